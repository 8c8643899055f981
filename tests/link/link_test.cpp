// The serial driver on a pseudo-terminal: the test holds the master side and
// plays the bus; the driver opens the slave side as it would open an adapter.

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <thread>

#include <sys/stat.h>
#include <unistd.h>

#include "foundation/kvr_exception.h"
#include "foundation/kvr_file.h"
#include "link_test_support.h"
#include "link/kvr_link.h"
#include "link/kvr_tx_gate.h"
#include "support/eventually.h"
#include "support/flood_bus.h"
#include "support/stores_probe.h"
#include "support/temp_dir.h"
#include "support/test_pty.h"
#include "support/unprivileged.h"

using namespace link_test;

namespace {

int log_records() {
    std::ifstream in(kvr_global_dated_log().today_path());
    int n = 0;
    for (std::string line; std::getline(in, line);) ++n;
    return n;
}

struct Ms100Pty : ::testing::Test {
    Ms100Pty() { link.add_listener(&sink); }
    ~Ms100Pty() override { link.close(); }

    scratch_dir dir;
    test_pty pty;
    line_sink sink;
    kvr_link link;
    stores_probe stores{link};  // listens before the sink
};

}  // namespace

TEST(Ms100Names, ComPortsMapToSerialDevicesAndPathsStay) {
    const struct { const char* name; const char* path; } cases[] = {
        {"COM1", "/dev/ttyS0"}, {"COM4", "/dev/ttyS3"}, {"com2", "/dev/ttyS1"}, {"COM5", ""},
        {"COM0", ""}, {"/dev/pts/7", "/dev/pts/7"}, {"SIM", ""}, {"", ""},
        {"./bus", "./bus"}, {"../dev/bus", "../dev/bus"}, {"bus", ""}, {".bus", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(kvr_link::device_path_for(c.name), c.path) << c.name;
}

TEST(Ms100Open, FailuresNameThePortAsGivenWithCodeAndLine) {
    scratch_dir dir;
    const std::string missing = dir.path + "/no-such-tty";
    const struct { std::string name, where; uint32_t code; int line; } cases[] = {
        {missing, "(" + missing + ") :CreateFile (unplugged, or the wrong name)", ENOENT, 54},
        {"NOSUCHPORT", "(NOSUCHPORT) :CreateFile (unplugged, or the wrong name)", ENOENT, 54},
        {"/dev/null", "(/dev/null) :GetCommProperties (not a serial device)", ENOTTY, 68},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        kvr_link link;
        try {
            link.open(c.name);
            ADD_FAILURE() << "open succeeded";
        } catch (const kvr_exception& e) {
            EXPECT_EQ(e.where, c.where);
            EXPECT_EQ(e.code, c.code);
            EXPECT_EQ(e.source, "kvr_ms100(" + std::to_string(c.line) + ")");
        }
        EXPECT_FALSE(link.is_open());
    }
}

// A device the user may not open: the report says how to get the right.
// Root may open anything, so this runs as an ordinary user.
TEST(Ms100Open, PermissionDeniedNamesTheDialoutGroupForAnOrdinaryUser) {
    test_pty pty;  // made by root, an ordinary user may not open its slave
    const std::string path = pty.path();
    // Made by that user itself when the tests run as one: its owner takes
    // the rights away.
    if (::geteuid() != 0) {
        ASSERT_EQ(::chmod(path.c_str(), 0), 0) << std::strerror(errno);
    }
    EXPECT_EQ(unprivileged::run([path]() -> std::string {
                  kvr_link link;
                  try {
                      link.open(path);
                      return "open succeeded";
                  } catch (const kvr_exception& e) {
                      if (e.code != EACCES) return "code " + std::to_string(e.code) + ": " + e.message;
                      return e.where;
                  }
              }),
              "(" + path + ") :CreateFile (the user must be in the dialout group: "
              "sudo usermod -aG dialout $USER, then log in again)");
}

// "-p ./bus" beside a simulator's link works like the absolute path.
TEST_F(Ms100Pty, OpensADevicePathRelativeToTheCurrentFolder) {
    ASSERT_EQ(::symlink(pty.path().c_str(), "bus"), 0);
    link.open("./bus");
    link.send(msg_of({OPC_GPON}), 0);
    EXPECT_EQ(pty.read(2, 2000), bytes_of(msg_of({OPC_GPON})));
}

// The port is held exclusively while open, and free again after close even
// though the other side of the line stays (a simulator's pseudo-terminal).
// Root may open a terminal held exclusively, so this runs as an ordinary user.
TEST(Ms100Exclusive, HeldWhileOpenFreeAgainAfterCloseForAnOrdinaryUser) {
    EXPECT_EQ(unprivileged::run([]() -> std::string {
                  test_pty pty;  // made by the ordinary user, so it may open it
                  kvr_link first, second;
                  for (int round = 1; round <= 3; ++round) {
                      try {
                          first.open(pty.path());
                      } catch (const kvr_exception& e) {
                          return "open " + std::to_string(round) + " failed: " + e.message;
                      }
                      try {
                          second.open(pty.path());
                          return "a second open succeeded while the port was held";
                      } catch (const kvr_exception& e) {
                          if (e.code != EBUSY) return "second open: " + e.message;
                          if (e.where.find("(another program holds the port)") == std::string::npos)
                              return "no hint: " + e.where;
                      }
                      first.close();
                  }
                  return "";
              }),
              "");
}

TEST_F(Ms100Pty, BurstWithGarbageDispatchesEveryGoodMessageOnceInOrder) {
    std::mt19937 rng(7);
    const auto r = [&](unsigned n) { return static_cast<uint8_t>(rng() % n); };
    std::vector<std::string> expected;
    std::map<uint8_t, kvr_loconet_msg> latest_slot, latest_ack;
    std::vector<uint8_t> wire;
    for (int i = 0; i < 300; ++i) {
        const kvr_loconet_msg m = i % 4 == 0   ? slot_read(1 + r(125), r(128), r(4), static_cast<uint8_t>(i % 128))
                                  : i % 4 == 1 ? long_ack(0x30 + r(0x40), r(128))
                                  : i % 4 == 2 ? msg_of({OPC_INPUT_REP, r(128), 0x50})
                                               : msg_of({OPC_GPON});
        expected.push_back(line_of(m));
        if (m.opcode() == OPC_SL_RD_DATA) latest_slot[m[2]] = m;
        if (m.opcode() == OPC_LONG_ACK) latest_ack[static_cast<uint8_t>(m[1] + 128)] = m;
        append(wire, m);
        kvr_loconet_msg bad = msg_of({OPC_LOCO_SPD, 0x05, r(128)});
        bad[3] ^= 0x20;  // broken checksum
        switch (rng() % 4) {
        case 0: wire.push_back(r(128)); break;  // stray byte
        case 1: append(wire, bad); break;
        case 2: wire.push_back(OPC_LOCO_DIRF); break;  // cut short by the next opcode
        default: break;
        }
    }

    link.open(pty.path());
    for (std::size_t at = 0; at < wire.size();) {
        const std::size_t n = std::min<std::size_t>(1 + rng() % 60, wire.size() - at);
        pty.write(std::vector<uint8_t>(wire.begin() + static_cast<long>(at), wire.begin() + static_cast<long>(at + n)));
        at += n;
        if (rng() % 3 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    // A last message after the burst: any line posted twice would show
    // before its line.
    const kvr_loconet_msg last = msg_of({OPC_GPOFF});
    pty.write(bytes_of(last));
    expected.push_back(line_of(last));
    ASSERT_TRUE(sink.wait_lines(expected.size(), 5000)) << sink.lines().size();
    EXPECT_EQ(sink.lines(), expected);

    for (const auto& [slot, m] : latest_slot) EXPECT_EQ(*stores.slot_data(slot), m);
    for (const auto& [opcode, m] : latest_ack) EXPECT_EQ(*stores.ack_for(opcode), m);
}

// Nothing carries over from one open to the next: a message still queued
// when the link closed (or queued while it was closed) would reach the bus
// minutes later, maybe another layout's; slot numbers and acknowledges
// filed on one bus mean nothing on the next. What is sent while open goes
// out byte exact, oldest first.
TEST_F(Ms100Pty, EachOpenStartsAfreshAndSendsOnlyWhatWasQueuedWhileOpen) {
    std::vector<kvr_loconet_msg> out;
    for (uint8_t i = 0; i < 5; ++i) out.push_back(msg_of({OPC_LOCO_SPD, static_cast<uint8_t>(i + 1), static_cast<uint8_t>(i * 5)}));
    out.push_back(slot_read(124, 0x00, 0x00));
    link.close();  // never opened
    link.send(msg_of({OPC_GPOFF}), 0);
    link.send(msg_of({OPC_GPON}), 7);
    EXPECT_EQ(link.tx_pending(), 2u);

    link.open(pty.path());
    EXPECT_EQ(link.tx_pending(), 0u);
    std::vector<uint8_t> filed;
    append(filed, slot_read(3, 0x2C, 0x02));
    append(filed, long_ack(0x3F, 0x7F));
    pty.write(filed);
    ASSERT_TRUE(sink.wait_lines(2, 2000));
    EXPECT_EQ(stores.slot_of_address(300), 3);
    link.open(pty.path());  // open on an open driver
    EXPECT_EQ(stores.slot_of_address(300), 0xFFFF);
    EXPECT_FALSE(stores.slot_data(3).has_value());
    EXPECT_FALSE(stores.ack_for(0xBF).has_value());
    for (const auto& m : out) link.send(m, 0);
    std::vector<uint8_t> expected;
    for (const auto& m : out) append(expected, m);
    EXPECT_EQ(pty.read(expected.size(), 3000), expected);
    EXPECT_TRUE(link.wait_tx_empty(1000));

    pty.write(bytes_of(msg_of({OPC_GPON})));
    ASSERT_TRUE(sink.wait_lines(3, 2000));
    link.close();
    link.close();
    // Closed and joined: nothing more was written or posted.
    EXPECT_TRUE(pty.read(1, 0).empty());
    EXPECT_EQ(sink.lines().size(), 3u);
    EXPECT_FALSE(link.is_open());
    EXPECT_TRUE(sink.reports().empty());
}

// The owner forgot to close: the destructor closes, joins and frees the port.
TEST_F(Ms100Pty, DestructorClosesAForgottenLink) {
    auto other = std::make_unique<kvr_link>();
    other->open(pty.path());
    other->send(msg_of({OPC_GPON}), 0);
    EXPECT_EQ(pty.read(2, 2000), bytes_of(msg_of({OPC_GPON})));
    other.reset();
    // The exclusive hold went with the descriptor.
    link.open(pty.path());
    EXPECT_TRUE(link.is_open());
}

// The bus echoes every byte a node sends; bytes that come back different are
// a collision ("Bus timing": the sender tries again after the backoff). Here
// the test plays the line: the first message collides once and then comes
// back whole, the second collides at every try and is given up with a
// report, and the queue goes on with the third.
TEST_F(Ms100Pty, ACollisionSendsAgainAndAMessageThatNeverGetsThroughIsReported) {
    const kvr_loconet_msg first = msg_of({OPC_LOCO_SPD, 0x05, 0x3F});
    const kvr_loconet_msg second = msg_of({OPC_SW_REQ, 0x0A, 0x30});
    const kvr_loconet_msg third = msg_of({OPC_GPON});
    const auto wrecked = [](const kvr_loconet_msg& m) {
        std::vector<uint8_t> b = bytes_of(m);
        b[1] &= 0x08;  // the other node's bits pulled the line low
        return b;
    };
    link.open(pty.path());
    link.send(first, 0);
    link.send(second, 0);
    link.send(third, 0);

    ASSERT_EQ(pty.read(4), bytes_of(first));
    pty.write(wrecked(first));
    ASSERT_EQ(pty.read(4), bytes_of(first)) << "sent again after the collision";
    pty.write(bytes_of(first));
    for (int attempt = 1; attempt <= kvr_tx_gate::max_tries; ++attempt) {
        ASSERT_EQ(pty.read(4), bytes_of(second)) << attempt;
        pty.write(wrecked(second));
    }
    EXPECT_EQ(pty.read(2), bytes_of(third));
    pty.write(bytes_of(third));
    ASSERT_TRUE(link.wait_tx_empty(5000));
    EXPECT_TRUE(pty.read(1, 200).empty()) << "each message ended with its echo or its last try";
    EXPECT_EQ(link.not_sent(), 1u);
    const auto lines = sink.lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "MS100: not sent, 4 collisions on the bus: B0 0A 30 75\r\n"), 1)
        << ::testing::PrintToString(lines);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), line_of(first)), 1);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), line_of(third)), 1);
    std::ifstream log(kvr_global_dated_log().today_path());
    const std::string logged((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
    EXPECT_NE(logged.find("not sent, 4 collisions on the bus: B0 0A 30 75"), std::string::npos) << logged;
}

// Other nodes keep the bus full: reports come twice as fast as the bus
// could carry them. Queued messages still go out while the traffic goes on,
// byte-exact and oldest first, and the link goes on reading meanwhile. When
// the gate opens is checked by its own tests, how soon the messages go out
// by the transmit-latency benchmark: here the scheduler decides both.
TEST_F(Ms100Pty, QueuedMessagesGoOutOnAFullBus) {
    std::vector<kvr_loconet_msg> out;
    for (uint8_t i = 0; i < 5; ++i) out.push_back(msg_of({OPC_LOCO_SPD, static_cast<uint8_t>(i + 1), 0x20}));
    std::mutex m;
    std::condition_variable cv;
    std::vector<kvr_loconet_msg> seen;
    flood_test::flood_bus bus(2.0, [&](const kvr_loconet_msg& msg, flood_test::bus_clock::time_point, std::size_t) {
        std::lock_guard<std::mutex> lk(m);
        seen.push_back(msg);
        cv.notify_all();
    });
    link.open(bus.path());
    ASSERT_TRUE(sink.wait_lines(20, 10000));  // the bus is busy

    for (const auto& msg : out) link.send(msg, 0);
    {
        std::unique_lock<std::mutex> lk(m);
        ASSERT_TRUE(cv.wait_for(lk, std::chrono::seconds(30), [&] { return seen.size() >= out.size(); }));
        EXPECT_EQ(seen, out);
    }
    const std::size_t read_so_far = sink.lines().size();
    EXPECT_TRUE(sink.wait_lines(read_so_far + 20, 10000));
}

// A consumer that fails on every line costs one record, not one per line, and
// never ends the link, though its code is EIO; only a failing device does:
// pulling the adapter out adds one record and one lost-link notice.
TEST_F(Ms100Pty, FailuresAreRecordedOnceAndAnUnpluggedAdapterIsReportedOnce) {
    sink.on_post = [](std::size_t) { throw kvr_exception("test sink", 5, "ms100_test", 1); };
    link.open(pty.path());
    std::vector<uint8_t> wire;
    for (uint8_t slot = 1; slot <= 5; ++slot) append(wire, slot_read(slot, slot, 0));
    pty.write(wire);
    ASSERT_TRUE(sink.wait_lines(5, 2000));
    // The records of the first five are written before the sixth line shows.
    pty.write(bytes_of(slot_read(6, 6, 0)));
    ASSERT_TRUE(sink.wait_lines(6, 2000));
    EXPECT_EQ(log_records(), 1);
    for (uint8_t slot = 1; slot <= 5; ++slot) EXPECT_TRUE(stores.slot_data(slot).has_value()) << int(slot);
    EXPECT_TRUE(link.is_open());

    link.send(msg_of({OPC_GPON}), 0);
    EXPECT_EQ(pty.read(2, 2000).size(), 2u);
    pty.hang_up();
    ASSERT_TRUE(sink.wait_lost(2000));
    EXPECT_TRUE(eventually([&] { return !link.is_open(); }));

    // Messages sent after the loss wait for the next open.
    link.send(msg_of({OPC_GPOFF}), 0);
    EXPECT_EQ(link.tx_pending(), 1u);
    link.close();  // joins the I/O thread: whatever it reported is in
    const auto reports = sink.reports();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_NE(reports[0].find("kvr_ms100::rx_proc"), std::string::npos) << reports[0];
    EXPECT_NE(reports[0].find("src:kvr_ms100("), std::string::npos) << reports[0];
    EXPECT_EQ(log_records(), 2);
    link.close();
    EXPECT_EQ(sink.reports().size(), 1u);
}

// The dated log cannot be written (its name is taken by a directory): the
// I/O thread goes on, and still reports the loss of the device.
TEST_F(Ms100Pty, FailingDatedLogDoesNotEndTheThread) {
    ASSERT_EQ(::mkdir(kvr_global_dated_log().today_path().c_str(), 0755), 0);
    sink.on_post = [](std::size_t) { throw kvr_exception("test sink", 5, "ms100_test", 1); };
    link.open(pty.path());
    pty.write(bytes_of(slot_read(9, 1, 0)));
    ASSERT_TRUE(sink.wait_lines(1, 2000));
    EXPECT_TRUE(stores.slot_data(9).has_value());
    pty.hang_up();
    EXPECT_TRUE(sink.wait_lost(2000));
    EXPECT_FALSE(link.is_open());
}
