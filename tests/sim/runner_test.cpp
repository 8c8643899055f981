// The station served on a pseudo-terminal: raw clients, and the real serial
// driver through the "SIM" port.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <unistd.h>

#include "foundation/kvr_exception.h"
#include "link/kvr_link.h"
#include "pty_client.h"
#include "sim/kvr_sim_port.h"
#include "sim/kvr_sim_runner.h"
#include "support/eventually.h"
#include "support/stores_probe.h"
#include "support/temp_dir.h"
#include "support/unprivileged.h"

namespace {

using namespace std::chrono_literals;

const bytes loco3 = {0xBF, 0x00, 0x03, 0x43};
// DIRF 0x00: a freshly loaded slot runs forward, and DIRF bit 5 set means reverse.
const bytes slot1_loco3 = {0xE7, 0x0E, 0x01, 0x03, 0x03, 0x00, 0x00, 0x07, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10};
const bytes switch1 = {0xBD, 0x00, 0x30, 0x72}, switch_ack = {0xB4, 0x3D, 0x7F, 0x09};


kvr_loconet_msg msg_of(std::initializer_list<uint8_t> b) { return kvr_loconet_msg::with_checksum(b); }

}  // namespace

TEST(SimRunner, AnswersOnThePseudoTerminalAcrossReopens) {
    std::mutex m;
    msgs seen;
    kvr_sim_runner runner(kvr_sim_options{.instant = true}, [&](const kvr_loconet_msg& msg) {
        std::lock_guard<std::mutex> lock(m);
        seen.emplace_back(msg.data(), msg.data() + msg.length());
    });
    ASSERT_EQ(runner.device_path().rfind("/dev/pts/", 0), 0u) << runner.device_path();
    {
        pty_client c(runner.device_path());
        ASSERT_TRUE(c.is_open());
        c.write(switch1);
        EXPECT_EQ(c.read(2), (msgs{switch1, switch_ack}));
    }
    ASSERT_TRUE(eventually([&] { return !runner.client_present(); }));  // nobody on the line meanwhile
    pty_client again(runner.device_path());
    ASSERT_TRUE(again.is_open());
    again.write(loco3);
    EXPECT_EQ(again.read(2), (msgs{loco3, slot1_loco3}));
    std::lock_guard<std::mutex> lock(m);  // the observer saw every message on the bus
    EXPECT_EQ(seen, (msgs{switch1, switch_ack, loco3, slot1_loco3}));
}

// The whole serial path: the driver opens "SIM", its I/O thread writes the
// requests to the pseudo-terminal and files the answers in its stores (a CV
// read at the layout's own pace: the window's test over "SIM").
TEST(SimLink, AnswersComeBackThroughTheSerialDriverFromAFreshStationEachOpen) {
    kvr_link link;
    stores_probe stores(link);
    kvr_sim_register_port(link, kvr_sim_options{});  // realistic timing
    ASSERT_TRUE(link.is_virtual_port("SIM"));
    link.open("SIM");
    ASSERT_TRUE(link.is_open());

    link.send(msg_of({OPC_LOCO_ADR, 0x00, 0x03}), 0);
    EXPECT_TRUE(eventually([&] { return stores.slot_of_address(3) == 1; }));

    link.close();

    // Closing stopped the station; opening again starts a fresh one.
    link.open("SIM");
    link.send(msg_of({OPC_RQ_SL_DATA, 0x01, 0x00}), 0);
    EXPECT_TRUE(eventually([&] {
        auto s = stores.slot_data(1);
        return s && (*s)[4] == 0;  // slot 1 blank again
    }));
    link.close();
}

// Two users in one process, each with its own layout options: neither sees
// the other's, whoever offered "SIM" first.
// A bus that other nodes keep full by LocoNet's rules (--traffic beyond
// what the line carries): the link still wins the line, by its falling
// priority delay, and each message goes out exactly once and in order, its
// collisions sent again. One that collided at every try (a machine too busy
// to keep the simulated line's time can make that happen) is reported and
// never reaches the layout later.
TEST(SimLink, EveryMessageGetsOutOnceOnABusFullOfOtherNodes) {
    std::mutex m;
    msgs seen;
    kvr_sim_runner runner(kvr_sim_options{.instant = true, .traffic_per_s = 300}, [&](const kvr_loconet_msg& msg) {
        if (msg[0] != OPC_LOCO_SPD) return;
        std::lock_guard<std::mutex> lock(m);
        seen.emplace_back(msg.data(), msg.data() + msg.length());
    });
    kvr_link link;
    link.open(runner.device_path());
    msgs sent;
    for (uint8_t i = 1; i <= 20; ++i) {
        const kvr_loconet_msg speed = msg_of({OPC_LOCO_SPD, i, static_cast<uint8_t>(i * 3)});
        sent.emplace_back(speed.data(), speed.data() + speed.length());
        link.send(speed, 0);
    }
    ASSERT_TRUE(link.wait_tx_empty(10000)) << link.tx_pending();
    const std::size_t given_up = link.not_sent();
    link.close();
    std::lock_guard<std::mutex> lock(m);
    EXPECT_EQ(seen.size() + given_up, sent.size()) << "each carried once, or given up";
    std::size_t at = 0;
    for (const bytes& msg : seen) {
        while (at < sent.size() && sent[at] != msg) ++at;
        EXPECT_LT(at++, sent.size()) << "out of order or twice";
    }
    const kvr_sim_bus_stats stats = runner.with_station([](kvr_sim_station& s) { return s.bus_stats(); });
    EXPECT_EQ(stats.link_messages, seen.size());
}

TEST(SimLink, EachLinkOpensSimWithItsOwnOptions) {
    kvr_link full, plain, without;
    kvr_sim_register_port(full, kvr_sim_options{.instant = true, .switch_buffer_full = true});
    kvr_sim_register_port(plain, kvr_sim_options{.instant = true});
    EXPECT_FALSE(without.is_virtual_port("SIM"));
    full.open("SIM");
    plain.open("SIM");
    stores_probe full_stores(full), plain_stores(plain);
    for (kvr_link* link : {&full, &plain}) link->send(msg_of({OPC_SW_ACK, 0x00, 0x30}), 0);
    const auto ack_code = [](stores_probe& stores) {
        std::optional<kvr_loconet_msg> ack;
        eventually([&] { return (ack = stores.ack_for(OPC_SW_ACK)).has_value(); });
        return ack ? (*ack)[2] : -1;
    };
    EXPECT_EQ(ack_code(full_stores), 0x00);   // the command buffer is full: refused
    EXPECT_EQ(ack_code(plain_stores), 0x7F);  // accepted
    full.close();
    plain.close();
}

// `busprobe-sim --link L`, then one command after another on L: each takes
// the device exclusively and must leave it free for the next. Root would
// pass the exclusivity check anyway, so this runs as an ordinary user.
TEST(SimLink, AnOrdinaryUserOpensTheSimulatorsDeviceOneCommandAfterAnother) {
    EXPECT_EQ(unprivileged::run([]() -> std::string {
                  kvr_sim_runner runner(kvr_sim_options{.instant = true});
                  for (int command = 1; command <= 3; ++command) {
                      kvr_link link;
                      stores_probe stores(link);
                      try {
                          link.open(runner.device_path());
                      } catch (const kvr_exception& e) {
                          return "command " + std::to_string(command) + ": " + e.message;
                      }
                      link.send(msg_of({OPC_LOCO_ADR, 0x00, 0x03}), 0);
                      if (!eventually([&] { return stores.slot_of_address(3) == 1; }))
                          return "command " + std::to_string(command) + ": no answer";
                      link.close();
                  }
                  return "";
              }),
              "");
}

// A client that takes its time between opening the device and throwing away
// its stale input (as serial programs do on opening) still gets the first
// message of a replayed capture: the replay waits for that flush.
TEST(SimRunner, AReplayStartsOnceTheClientHasFlushedItsInput) {
    const temp_dir dir;
    const std::string path = (dir.path / "x.cap").string();
    write_file(path, "(1.000000) 83 7C\n(1.001000) 82 7D\n");
    auto replay = std::make_unique<kvr_sim_replay>(path, 1.0, false);
    ASSERT_TRUE(replay->open()) << replay->error();
    kvr_sim_runner runner(kvr_sim_options{.instant = true}, {}, std::move(replay));
    pty_client c(runner.device_path());
    ASSERT_TRUE(c.is_open());
    // A slow client: the runner has seen it open before the flush.
    ASSERT_TRUE(eventually([&] { return runner.client_present(); }));
    c.flush_input();
    EXPECT_EQ(c.read(2), (msgs{{0x83, 0x7C}, {0x82, 0x7D}}));
}
