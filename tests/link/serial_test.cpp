// The serial calls made to fail: a driver that refuses the bus rate or the
// settings, one that takes writes only in part, and one whose writes never
// complete. The device is a pseudo-terminal; the failures come from a
// kvr_serial_io that passes every other call through.
//
// Only the kernel's terminal structures here (<asm/termbits.h>): <termios.h>
// defines the same names differently.

#include <gtest/gtest.h>

#include <asm/termbits.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

#include <poll.h>
#include <sys/ioctl.h>

#include "foundation/kvr_exception.h"
#include "foundation/kvr_file.h"
#include "link_test_support.h"
#include "support/eventually.h"
#include "support/stores_probe.h"
#include "support/temp_dir.h"
#include "support/test_pty.h"
#include "link/kvr_link.h"
#include "link/kvr_serial.h"

using namespace link_test;

namespace {

// Passes calls through unless told otherwise. Set up before the link opens;
// the write and room-wait faults may change while it runs.
class faulty_io : public kvr_serial_io {
public:
    // The n-th call (1-based) of `request` fails with `err`.
    void fail_ioctl(unsigned long request, int nth, int err) { ioctl_faults_[{request, nth}] = err; }
    // Every TCGETS2 reports this output rate instead of the real one.
    unsigned report_ospeed = 0;

    int ioctl(int fd, unsigned long request, void* arg) override {
        const int nth = ++ioctl_calls_[request];
        auto fault = ioctl_faults_.find({request, nth});
        if (fault != ioctl_faults_.end()) {
            errno = fault->second;
            return -1;
        }
        const int r = kvr_serial_io::ioctl(fd, request, arg);
        if (r == 0 && request == TCGETS2 && report_ospeed != 0) static_cast<termios2*>(arg)->c_ospeed = report_ospeed;
        return r;
    }

    // Writes: at most `chunk` bytes a call (0: all), every other call EAGAIN
    // when `stutter`; none at all when `stuck`.
    std::atomic<std::size_t> chunk{0};
    std::atomic<bool> stutter{false};
    std::atomic<bool> stuck{false};
    std::atomic<int> write_calls{0};

    ssize_t write(int fd, const void* buf, std::size_t count) override {
        const int n = ++write_calls;
        if (stuck || (stutter && n % 2 == 0)) {
            errno = EAGAIN;
            return -1;
        }
        return kvr_serial_io::write(fd, buf, chunk ? std::min(count, chunk.load()) : count);
    }

    // The wait for room: with `hold_room_wait` it lasts until released (or
    // five seconds pass, so a fault in the driver cannot hang the test).
    std::atomic<bool> hold_room_wait{false};
    int poll(pollfd* pfd, int timeout_ms) override {
        if (!hold_room_wait) return kvr_serial_io::poll(pfd, timeout_ms);
        std::unique_lock<std::mutex> lk(m_);
        waiting_ = true;
        cv_.notify_all();
        cv_.wait_for(lk, std::chrono::seconds(5), [&] { return released_; });
        waiting_ = false;
        return 0;
    }
    bool wait_until_in_room_wait() {
        std::unique_lock<std::mutex> lk(m_);
        return cv_.wait_for(lk, std::chrono::seconds(5), [&] { return waiting_; });
    }
    bool in_room_wait() {
        std::lock_guard<std::mutex> lk(m_);
        return waiting_;
    }
    void release() {
        std::lock_guard<std::mutex> lk(m_);
        released_ = true;
        hold_room_wait = false;
        cv_.notify_all();
    }

private:
    std::map<unsigned long, int> ioctl_calls_;
    std::map<std::pair<unsigned long, int>, int> ioctl_faults_;
    std::mutex m_;
    std::condition_variable cv_;
    bool waiting_ = false;
    bool released_ = false;
};

std::string dated_log_text() { return read_all(kvr_global_dated_log().today_path()); }

// The calls of an open, in order: TCGETS2 probes the terminal; the rate is
// read (TCGETS2 2), set (TCSETS2 1) and read back (TCGETS2 3); the raw
// settings are read (4) and set (2); flow control read (5) and set (3); the
// read time-outs read (6) and set (4).
TEST(SerialFaults, RefusedRateAndSettingsFailOpenWithTheirStepAndFreeThePort) {
    scratch_dir dir;
    test_pty bus;
    const struct {
        const char* what;
        unsigned long request;
        int nth;
        unsigned ospeed;
        const char* step;
        uint32_t code;
        int line;
    } cases[] = {
        {"rate refused", TCSETS2, 1, 0, "not support BAUD_USER", 0, 88},
        {"rate kept at 9600", 0, 0, 9600, "not support BAUD_USER", 0, 88},
        {"probe", TCGETS2, 1, 0, "GetCommProperties", EIO, 68},
        {"settings read", TCGETS2, 4, 0, "GetCommState", EIO, 99},
        {"settings written", TCSETS2, 2, 0, "SetCommState", EIO, 116},
        {"flow control written", TCSETS2, 3, 0, "SetCommState", EIO, 116},
        {"time-outs read", TCGETS2, 6, 0, "GetCommTimeouts", EIO, 127},
        {"time-outs written", TCSETS2, 4, 0, "SetCommTimeouts", EIO, 141},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        faulty_io io;
        if (c.request) io.fail_ioctl(c.request, c.nth, EIO);
        io.report_ospeed = c.ospeed;
        kvr_link link(io);
        try {
            link.open(bus.path());
            ADD_FAILURE() << "open succeeded";
        } catch (const kvr_exception& e) {
            EXPECT_EQ(e.where, "(" + bus.path() + ") :" + c.step);
            EXPECT_EQ(e.code, c.code);
            EXPECT_EQ(e.source, "kvr_ms100(" + std::to_string(c.line) + ")");
        }
        EXPECT_FALSE(link.is_open());
        // Closed again: the exclusive hold is gone, a sound open succeeds.
        kvr_link sound;
        EXPECT_NO_THROW(sound.open(bus.path()));
        sound.close();
    }
}

// The driver takes a few bytes at a time and refuses every other call: the
// message still reaches the bus whole, nothing is recorded as a failure.
TEST(SerialFaults, PartialWritesCompleteTheMessage) {
    scratch_dir dir;
    test_pty bus;
    faulty_io io;
    io.chunk = 3;
    io.stutter = true;
    kvr_link link(io);
    link.open(bus.path());
    const kvr_loconet_msg task = msg_of({0xEF, 0x0E, 0x7C, 0x28, 0, 0, 0, 0, 0, 0x1C, 0, 0, 0});
    link.send(task, 0);
    link.send(msg_of({OPC_GPON}), 0);
    std::vector<uint8_t> expected = bytes_of(task);
    append(expected, msg_of({OPC_GPON}));
    EXPECT_EQ(bus.read(expected.size()), expected);
    link.close();
    EXPECT_GT(io.write_calls.load(), 10);
    EXPECT_EQ(dated_log_text(), "");
}

// A write the driver never takes: the message is given up after the bound
// with one record naming the write, and the link goes on with the next.
TEST(SerialFaults, WriteThatNeverCompletesIsRecordedAndTheLinkGoesOn) {
    scratch_dir dir;
    test_pty bus;
    faulty_io io;
    io.stuck = true;
    kvr_link link(io);
    link.open(bus.path());
    link.send(msg_of({OPC_GPOFF}), 0);
    ASSERT_TRUE(link.wait_tx_empty(5000));
    io.stuck = false;
    link.send(msg_of({OPC_GPON}), 0);
    EXPECT_EQ(bus.read(2), bytes_of(msg_of({OPC_GPON})));
    EXPECT_TRUE(link.is_open());
    link.close();
    const std::string log = dated_log_text();
    EXPECT_NE(log.find("kvr_ms100::send_raw"), std::string::npos) << log;
}

// While a write waits for room in the driver, nothing a reader needs is held: a store
// look-up from another thread (the window, the command station) completes
// during the wait, and received traffic is filed once the write is done.
TEST(SerialFaults, StoreLookupCompletesWhileAWriteIsStuck) {
    scratch_dir dir;
    test_pty bus;
    faulty_io io;
    kvr_link link(io);
    stores_probe stores(link);
    link.open(bus.path());
    bus.write(bytes_of(slot_read(3, 3, 0)));
    ASSERT_TRUE(eventually([&] { return stores.slot_data(3).has_value(); }));

    io.hold_room_wait = true;
    io.stuck = true;
    link.send(msg_of({OPC_GPOFF}), 0);
    ASSERT_TRUE(io.wait_until_in_room_wait());
    const bool found = stores.slot_data(3).has_value();
    const bool still_stuck = io.in_room_wait();
    io.stuck = false;
    io.release();
    link.close();
    EXPECT_TRUE(still_stuck);
    EXPECT_TRUE(found);
}

}  // namespace
