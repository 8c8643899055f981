// busprobe-cli throttle --f for F9 to F28 and clock set, against the
// simulated station: the bytes that reached the bus and the clock it keeps.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "apps/cli_test_support.h"

namespace {

cli_result run_on(const std::string& port, std::vector<std::string> args) {
    args.insert(args.begin(), {"-p", port});
    return run_cli(args);
}

// NMRA S-9.2.1 groups inside OPC_IMM_PACKET (LocoNet PE), checksums by hand.
TEST(CliFunctions, HighFunctionsGoAsPacketsOrAsSlotMessages) {
    sim_bus bus;
    cli_result r = run_on(bus.path(), {"throttle", "3", "--f", "12=on"});
    EXPECT_EQ(r.status, kvr_cli_ok) << r.err;
    EXPECT_TRUE(bus.saw_in_order({{0xED, 0x0B, 0x7F, 0x24, 0x02, 0x03, 0x28, 0x00, 0x00, 0x00, 0x6B}}));
    r = run_on(bus.path(), {"throttle", "1234", "--f", "28=on"});
    EXPECT_EQ(r.status, kvr_cli_ok) << r.err;
    EXPECT_TRUE(bus.saw_in_order({{0xED, 0x0B, 0x7F, 0x44, 0x0F, 0x44, 0x52, 0x5F, 0x00, 0x00, 0x64}}));
    // Two of one group travel together; a packet needs no slot.
    const std::size_t before = bus.seen().size();
    r = run_on(bus.path(), {"throttle", "3", "--f", "9=on", "--f", "11=on"});
    EXPECT_EQ(r.status, kvr_cli_ok) << r.err;
    bus.settle();
    const std::vector<cli_bytes> all = bus.seen();
    const std::vector<cli_bytes> after(all.begin() + static_cast<long>(before), all.end());
    const auto last_packet = std::find_if(after.rbegin(), after.rend(), [](const cli_bytes& m) { return m[0] == 0xED; });
    ASSERT_NE(last_packet, after.rend());
    EXPECT_EQ(*last_packet, (cli_bytes{0xED, 0x0B, 0x7F, 0x24, 0x02, 0x03, 0x25, 0x00, 0x00, 0x00, 0x66}));
    for (const cli_bytes& m : after) EXPECT_NE(m[0], 0xBF) << "no slot asked for";

    // Opcodes: the loco's slot first, then A3 / D4 to it.
    r = run_on(bus.path(), {"throttle", "3", "--f", "12=on", "--f", "20=on", "--functions", "opcodes"});
    EXPECT_EQ(r.status, kvr_cli_ok) << r.err;
    const uint8_t slot = bus.with_station([](kvr_sim_station& st) {
        for (int n = 1; n <= kvr_sim_station::loco_slots; ++n) {
            const auto s = st.slot(static_cast<uint8_t>(n));
            if (s[6] * 128 + s[1] == 3) return static_cast<uint8_t>(n);
        }
        return uint8_t{0};
    });
    ASSERT_NE(slot, 0);
    const auto with_checksum = [](cli_bytes b) {
        uint8_t x = 0;
        for (uint8_t v : b) x ^= v;
        b.push_back(static_cast<uint8_t>(~x));
        return b;
    };
    EXPECT_TRUE(bus.saw_in_order({{0xBF, 0x00, 0x03, 0x43}, with_checksum({0xA3, slot, 0x08}),
                                  with_checksum({0xD4, 0x20, slot, 0x05, 0x30})}));

    EXPECT_EQ(run_cli({"-p", bus.path(), "throttle", "3", "--functions", "dcc"}).status, kvr_cli_usage);
}

// LocoNet PE: B4 6D 00 is the command station's "packet buffer full".
TEST(CliFunctions, APacketBufferThatStaysFullFailsTheCommand) {
    kvr_sim_options o = sim_bus::instant();
    o.packet_buffer_full = true;
    sim_bus bus(o);
    const cli_result r = run_on(bus.path(), {"throttle", "3", "--f", "12=on"});
    EXPECT_EQ(r.status, kvr_cli_failed);
    EXPECT_NE(r.err.find("packet buffer stayed full"), std::string::npos) << r.err;
    bus.settle();
    const cli_bytes f12 = {0xED, 0x0B, 0x7F, 0x24, 0x02, 0x03, 0x28, 0x00, 0x00, 0x00, 0x6B};
    const std::vector<cli_bytes> all = bus.seen();
    EXPECT_EQ(std::count(all.begin(), all.end(), f12), 3) << "sent again twice, then given up";
}

TEST(CliClockSet, WritesTheClockWhichThenRunsAtTheRate) {
    sim_bus bus;
    cli_result r = run_on(bus.path(), {"clock", "set", "14:30", "--rate", "6"});
    EXPECT_EQ(r.status, kvr_cli_ok) << r.err;
    EXPECT_NE(r.out.find("FAST CLOCK rate(6:1) days( 0) hrs24(14) min(30)"), std::string::npos) << r.out;
    EXPECT_EQ(bus.with_station([](kvr_sim_station& s) { return s.clock().rate(); }), 6);

    // Without --rate the rate stays; --stop holds the clock.
    r = run_on(bus.path(), {"clock", "set", "7:05"});
    EXPECT_NE(r.out.find("rate(6:1) days( 0) hrs24(07) min(05)"), std::string::npos) << r.out;
    r = run_on(bus.path(), {"clock", "set", "23:59", "--stop"});
    EXPECT_NE(r.out.find("rate(0:1) days( 0) hrs24(23) min(59)"), std::string::npos) << r.out;

    // A stopped clock has rate 0: a rate given with --stop would be lost.
    for (const std::vector<std::string>& bad : std::vector<std::vector<std::string>>{
             {"clock", "set", "24:00"}, {"clock", "set", "12:60"}, {"clock", "set", "1230"}, {"clock", "set"},
             {"clock", "set", "12:30", "--rate", "0"}, {"clock", "set", "12:30", "--rate", "128"},
             {"clock", "set", "10:00", "--rate", "9", "--stop"}}) {
        const cli_result u = run_on(bus.path(), bad);
        EXPECT_EQ(u.status, kvr_cli_usage) << bad.back();
        EXPECT_NE(u.err.find("clock set HH:MM"), std::string::npos) << u.err;
    }
}

// LocoNet PE, JMRI LnClockControl: the write sets the command station's
// tick counter, so it carries a minute of ticks to go (FRAC 7B 78, not 00
// 00), and ID1/ID2 7F/70 from the range kept for PCs.
TEST(CliClockSet, WritesAMinuteToGoAndAPcsIdentity) {
    sim_bus bus;
    const cli_result r = run_on(bus.path(), {"clock", "set", "10:00", "--rate", "1"});
    EXPECT_EQ(r.status, kvr_cli_ok) << r.err;
    bus.settle();
    const std::vector<cli_bytes> all = bus.seen();
    const auto write = std::find_if(all.begin(), all.end(), [](const cli_bytes& m) { return m[0] == 0xEF; });
    ASSERT_NE(write, all.end());
    ASSERT_EQ(write->size(), 14u);
    // rate 1, FRAC_MINSL 7B, FRAC_MINSH 78, MINS 43 (:00), HRS 72 (10h).
    EXPECT_EQ(cli_bytes(write->begin() + 2, write->begin() + 7), (cli_bytes{0x7B, 0x01, 0x7B, 0x78, 0x43}));
    EXPECT_EQ((*write)[8], 0x72);
    EXPECT_EQ(cli_bytes(write->begin() + 11, write->begin() + 13), (cli_bytes{0x7F, 0x70}));
}

}  // namespace
