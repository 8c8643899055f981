// busprobe-cli slots against the simulated station on a pseudo-terminal.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "apps/cli_test_support.h"

namespace {

cli_result run_on(const std::string& port, std::vector<std::string> args) {
    args.insert(args.begin(), {"-p", port});
    return run_cli(args);
}

TEST(CliSlots, ReadPrintsEachSlotInUseWithItsLocoAndReleaseShows) {
    sim_bus bus;
    ASSERT_EQ(run_on(bus.path(), {"throttle", "3", "--speed", "10"}).status, kvr_cli_ok);
    ASSERT_EQ(run_on(bus.path(), {"throttle", "1234", "--speed", "20", "--rev", "--f", "0=on"}).status, kvr_cli_ok);

    cli_result r = run_on(bus.path(), {"slots", "--read"});
    ASSERT_EQ(r.status, kvr_cli_ok) << r.err;
    // The throttle writes 128 steps (code 7) and takes the slot in use.
    EXPECT_EQ(r.out,
              "  1  loco 3  in use  128 steps  speed 10  fwd  F0-F8 000000000\n"
              "  2  loco 1234  in use  128 steps  speed 20  rev  F0-F8 100000000\n");
    EXPECT_NE(r.err.find("119 of 119 slots answered"), std::string::npos) << r.err;
    // Every loco slot was asked for: BB 01 00 45 .. BB 77 00 33.
    EXPECT_TRUE(bus.saw_in_order({{0xBB, 0x01, 0x00, 0x45}, {0xBB, 0x77, 0x00, 0x33}}));

    // A slot released elsewhere (B5 01 13: common) is left out, shown with --all.
    bus.with_station([](kvr_sim_station& s) {
        s.receive(kvr_loconet_msg::with_checksum({OPC_SLOT_STAT1, 0x01, 0x17}), kvr_sim_time{0});
        return 0;
    });
    r = run_on(bus.path(), {"slots", "--read", "--all"});
    EXPECT_NE(r.out.find("  1  loco 3  common  128 steps  speed 10"), std::string::npos) << r.out;
    r = run_on(bus.path(), {"slots", "--read"});
    EXPECT_EQ(r.out.find("loco 3 "), std::string::npos) << r.out;
}

TEST(CliSlots, ListeningShowsOnlyWhatTheBusCarriesAndEndsAtTheTimeout) {
    sim_bus bus;
    ASSERT_EQ(run_on(bus.path(), {"throttle", "3", "--speed", "10"}).status, kvr_cli_ok);
    // Nobody reads a slot meanwhile: nothing to show, and the time-out ends
    // the listening early without being a failure.
    cli_result r = run_on(bus.path(), {"--timeout", "1", "slots"});
    EXPECT_EQ(r.status, kvr_cli_ok) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("no slot in use"), std::string::npos) << r.err;
}

TEST(CliSlots, RefusesUnknownOptionsAndArguments) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"-p", "SIM", "slots", "--reed"}, {"-p", "SIM", "slots", "5"}}) {
        cli_result r = run_cli(args);
        EXPECT_EQ(r.status, kvr_cli_usage) << r.err;
        EXPECT_NE(r.err.find("Usage: busprobe-cli [-p PORT] [--timeout SECONDS] slots"), std::string::npos) << r.err;
    }
}

}  // namespace
