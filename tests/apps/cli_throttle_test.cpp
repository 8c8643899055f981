// busprobe-cli throttle and stop against the simulated station: the tool only
// maps its arguments onto the throttle, so what reaches the bus is the read,
// the take and each change named, byte for byte. Slot layout, the NULL move,
// speed 1 as the emergency stop and OPC_IDLE: LocoNet PE opcode summary.

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "apps/cli_test_support.h"
#include "support/temp_dir.h"

namespace {

cli_result run_on(const std::string& port, std::vector<std::string> args, const std::string& settings = {}) {
    args.insert(args.begin(), {"-p", port});
    return run_cli(args, settings);
}

cli_bytes with_checksum(cli_bytes b) {
    uint8_t x = 0;
    for (uint8_t v : b) x ^= v;
    b.push_back(static_cast<uint8_t>(~x));
    return b;
}

std::string hex_args(const cli_bytes& b) {
    std::string s;
    for (uint8_t v : b) {
        char t[4];
        std::snprintf(t, sizeof t, "%02X", v);
        s += (s.empty() ? "" : " ") + std::string(t);
    }
    return s;
}

// What the tool sent from `from` on: the station's answers (slot data, long
// acknowledges) and its echoes of them left out.
std::vector<cli_bytes> requests_since(sim_bus& bus, std::size_t from) {
    bus.settle();
    const std::vector<cli_bytes> all = bus.seen();
    std::vector<cli_bytes> out;
    for (std::size_t i = from; i < all.size(); ++i)
        if (all[i][0] != 0xE7 && all[i][0] != 0xB4) out.push_back(all[i]);
    return out;
}

// Loco 7 in slot 10, in use by throttle 0x0205 at speed 20, written by hand.
const cli_bytes loco7_held = with_checksum({0xEF, 0x0E, 0x0A, 0x33, 0x07, 20, 0x00, 0x07, 0x00, 0x00, 0x00, 0x02, 0x05});

TEST(CliThrottleSends, TheReadTheTakeAndOneDirfForDirectionAndF0) {
    sim_bus bus;
    const cli_result r = run_on(bus.path(), {"throttle", "3", "--fwd", "--f", "0=on"});
    ASSERT_EQ(r.status, kvr_cli_ok) << r.err;
    // The first free slot of the simulated station is slot 1.
    EXPECT_EQ(requests_since(bus, 0), (std::vector<cli_bytes>{{0xBF, 0x00, 0x03, 0x43},
                                                               {0xBA, 0x01, 0x01, 0x45},
                                                               with_checksum({0xA1, 0x01, 0x10})}));
    // Functions of one group named together go out in one message.
    std::size_t mark = bus.seen().size();
    ASSERT_EQ(run_on(bus.path(), {"throttle", "3", "--f", "13=on", "--f", "14=on"}).status, kvr_cli_ok);
    EXPECT_EQ(requests_since(bus, mark),
              (std::vector<cli_bytes>{with_checksum({0xED, 0x0B, 0x7F, 0x34, 0x02, 0x03, 0x5E, 0x03, 0x00, 0x00})}));
    // A speed goes alone, on the wire's scale.
    mark = bus.seen().size();
    ASSERT_EQ(run_on(bus.path(), {"throttle", "3", "--speed", "40"}).status, kvr_cli_ok);
    EXPECT_EQ(requests_since(bus, mark),
              (std::vector<cli_bytes>{{0xBF, 0x00, 0x03, 0x43}, with_checksum({0xA0, 0x01, 40})}));
}

TEST(CliThrottleSends, NoOptionsReadsAndChangesNothing) {
    sim_bus bus;
    ASSERT_EQ(run_on(bus.path(), {"send", hex_args(loco7_held)}).status, kvr_cli_ok);
    const std::size_t mark = bus.seen().size();
    const cli_result r = run_on(bus.path(), {"throttle", "7"});
    EXPECT_EQ(r.status, kvr_cli_ok) << r.err;
    EXPECT_NE(r.out.find("IN_USE adr(  7) spd(20)"), std::string::npos) << r.out;
    EXPECT_EQ(requests_since(bus, mark), (std::vector<cli_bytes>{{0xBF, 0x00, 0x07, 0x47}}));
    const auto slot = bus.with_station([](kvr_sim_station& s) { return s.slot(10); });
    EXPECT_EQ(slot[8], 0x02) << "still held by throttle 0x0205";
}

TEST(CliThrottleSends, ALocoHeldElsewhereIsRefusedUnlessStolen) {
    sim_bus bus;
    ASSERT_EQ(run_on(bus.path(), {"send", hex_args(loco7_held)}).status, kvr_cli_ok);
    std::size_t mark = bus.seen().size();
    cli_result r = run_on(bus.path(), {"throttle", "7", "--speed", "10"});
    EXPECT_EQ(r.status, kvr_cli_failed);
    EXPECT_NE(r.err.find("in use by throttle 517 (0x0205)"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("--steal"), std::string::npos) << r.err;
    EXPECT_EQ(requests_since(bus, mark), (std::vector<cli_bytes>{{0xBF, 0x00, 0x07, 0x47}}));

    r = run_on(bus.path(), {"throttle", "7", "--speed", "10", "--steal"});
    EXPECT_EQ(r.status, kvr_cli_ok) << r.err;
    const auto slot = bus.with_station([](kvr_sim_station& s) { return s.slot(10); });
    EXPECT_EQ(slot[8], 0x01) << "our id";
    EXPECT_EQ(slot[2], 10);
}

TEST(CliStop, StopsTheLocoOrEveryLocoAheadOfTheQueue) {
    sim_bus bus;
    ASSERT_EQ(run_on(bus.path(), {"throttle", "3", "--speed", "50"}).status, kvr_cli_ok);
    std::size_t mark = bus.seen().size();
    EXPECT_EQ(run_on(bus.path(), {"stop", "3"}).status, kvr_cli_ok);
    EXPECT_EQ(requests_since(bus, mark),
              (std::vector<cli_bytes>{{0xBF, 0x00, 0x03, 0x43}, with_checksum({0xA0, 0x01, 0x01})}));
    mark = bus.seen().size();
    EXPECT_EQ(run_on(bus.path(), {"stop", "--all"}).status, kvr_cli_ok);
    EXPECT_EQ(requests_since(bus, mark), (std::vector<cli_bytes>{{0x85, 0x7A}}));

    // Speed 1 is the emergency stop on the wire: refused, pointing to stop.
    const cli_result one = run_on(bus.path(), {"throttle", "3", "--speed", "1"});
    EXPECT_EQ(one.status, kvr_cli_usage);
    EXPECT_NE(one.err.find("busprobe-cli stop 3"), std::string::npos) << one.err;
    EXPECT_EQ(run_on(bus.path(), {"stop", "3", "--all"}).status, kvr_cli_usage);
}

TEST(CliThrottleSends, TheFuncsendSettingChoosesHowHighFunctionsGoUnlessGiven) {
    sim_bus bus;
    temp_dir dir;
    const std::string ini = (dir.path / "busprobe.ini").string();
    std::ofstream(ini) << "[SETTING]\nFUNCSEND=opcodes\n";
    std::size_t mark = bus.seen().size();
    ASSERT_EQ(run_on(bus.path(), {"throttle", "3", "--f", "13=on", "--f", "14=on"}, ini).status, kvr_cli_ok);
    std::vector<cli_bytes> sent = requests_since(bus, mark);
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ(sent.back(), with_checksum({0xD4, 0x20, 0x01, 0x08, 0x03}));
    mark = bus.seen().size();
    ASSERT_EQ(run_on(bus.path(), {"throttle", "3", "--f", "13=on", "--functions", "packet"}, ini).status, kvr_cli_ok);
    sent = requests_since(bus, mark);
    ASSERT_EQ(sent.size(), 1u) << "a packet needs no slot";
    EXPECT_EQ(sent[0][0], 0xED);
}

}  // namespace
