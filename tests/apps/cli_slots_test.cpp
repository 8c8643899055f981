// busprobe-cli slots against the simulated station on a pseudo-terminal.

#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
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

// The move alone leaves the status as it was (JMRI SlotManager): dispatch
// is the slot set common (B5), then moved to slot 0 (BA slot 00).
TEST(CliSlots, DispatchSetsTheSlotCommonThenMovesItAndReleaseSetsItCommon) {
    sim_bus bus;
    ASSERT_EQ(run_on(bus.path(), {"throttle", "3", "--speed", "10"}).status, kvr_cli_ok);
    const auto status_of = [&](uint8_t slot) {
        return bus.with_station([slot](kvr_sim_station& s) { return s.slot(slot)[0]; });
    };
    ASSERT_EQ(status_of(1) & 0x30, 0x30) << "in use";
    cli_result r = run_on(bus.path(), {"slots", "--dispatch", "1"});
    EXPECT_EQ(r.status, kvr_cli_ok) << r.err;
    bus.settle();
    const std::vector<cli_bytes> all = bus.seen();
    const auto common = std::find_if(all.begin(), all.end(), [](const cli_bytes& m) {
        return m.size() == 4 && m[0] == 0xB5 && m[1] == 0x01 && (m[2] & 0x30) == 0x10;
    });
    ASSERT_NE(common, all.end()) << "the status write, common";
    EXPECT_NE(std::find(common, all.end(), cli_bytes{0xBA, 0x01, 0x00, 0x44}), all.end()) << "then the move";
    EXPECT_EQ(status_of(1) & 0x30, 0x10) << "common, for the throttle that takes it";
    // The next throttle's DISPATCH GET finds it.
    EXPECT_EQ(run_on(bus.path(), {"send", "BA", "00", "00"}).status, kvr_cli_ok);
    EXPECT_EQ(status_of(1) & 0x30, 0x30);

    r = run_on(bus.path(), {"slots", "--release", "1"});
    EXPECT_EQ(r.status, kvr_cli_ok) << r.err;
    EXPECT_EQ(status_of(1) & 0x30, 0x10);

    for (const std::vector<std::string>& bad : std::vector<std::vector<std::string>>{
             {"slots", "--dispatch", "0"}, {"slots", "--release", "120"}, {"slots", "--release", "250"}, {"slots", "--dispatch", "1", "--read"},
             {"slots", "--release", "1", "--dispatch", "2"}}) {
        const cli_result u = run_on(bus.path(), bad);
        EXPECT_EQ(u.status, kvr_cli_usage) << u.err;
    }
}

// A command station that answers nothing: the read stops after the first
// few slots with a plain report and exit 1, instead of passing all 119 over
// one by one, and a dispatch fails without sending anything.
TEST(CliSlots, ASilentCommandStationIsAFailureFoundOutEarly) {
    kvr_sim_options o = sim_bus::instant();
    o.drop_answers = 1'000'000;
    sim_bus bus(o);
    cli_result r = run_on(bus.path(), {"--timeout", "30", "slots", "--read"});
    EXPECT_EQ(r.status, kvr_cli_failed) << r.err;
    EXPECT_NE(r.err.find("no answer from the command station"), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
    bus.settle();
    for (const cli_bytes& m : bus.seen()) EXPECT_LE(m[1], 3) << "slot 4 and later never asked";

    r = run_on(bus.path(), {"--timeout", "30", "slots", "--dispatch", "1"});
    EXPECT_EQ(r.status, kvr_cli_failed) << r.err;
    bus.settle();
    for (const cli_bytes& m : bus.seen()) EXPECT_EQ(m[0], 0xBB) << "only the slot's read went out";
}

// Stopped by the time-out, the read still prints what it read, with the
// count, and says it stopped.
TEST(CliSlots, AReadStoppedEarlyPrintsWhatItRead) {
    kvr_sim_options o = sim_bus::instant();
    sim_bus bus(o);
    ASSERT_EQ(run_on(bus.path(), {"throttle", "3", "--speed", "10"}).status, kvr_cli_ok);
    bus.with_station([](kvr_sim_station& s) {
        s.options().instant = false;
        s.options().ack_delay_ms = 100;  // 119 slots take 12 s
        return 0;
    });
    const cli_result r = run_on(bus.path(), {"--timeout", "1", "slots", "--read"});
    EXPECT_EQ(r.status, kvr_cli_cancelled) << r.err;
    EXPECT_EQ(r.out, "  1  loco 3  in use  128 steps  speed 10  fwd  F0-F8 000000000\n");
    EXPECT_TRUE(std::regex_search(r.err, std::regex(R"(busprobe-cli: \d+ of \d+ slots answered before the read stopped)")))
        << r.err;
    EXPECT_NE(r.err.find("time-out after 1 s"), std::string::npos) << r.err;
}

TEST(CliSlots, RefusesUnknownOptionsAndArguments) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"-p", "SIM", "slots", "--reed"}, {"-p", "SIM", "slots", "5"}}) {
        cli_result r = run_cli(args);
        EXPECT_EQ(r.status, kvr_cli_usage) << r.err;
        EXPECT_NE(r.err.find("Usage: busprobe-cli [-p PORT] [--timeout SECONDS] slots"), std::string::npos) << r.err;
    }
}

// PROTOCOL-MODERN.md section 1: a station offering expanded slots (TRK bit
// 6) is driven by BE / D4 / D5 and read back with BB SL 4x as E6, F0-F28
// from the slot itself; --slots classic keeps the old messages.
TEST(CliSlots, AnExpandedStationIsDrivenAndReadThroughItsExpandedSlots) {
    kvr_sim_options o = sim_bus::instant();
    o.expanded = true;
    sim_bus bus(o);
    cli_result r = run_on(bus.path(), {"throttle", "3", "--speed", "10", "--f", "12=on"});
    ASSERT_EQ(r.status, kvr_cli_ok) << r.err;
    bus.settle();
    const std::vector<cli_bytes> sent = bus.seen();
    const auto has = [&](auto&& match) { return std::any_of(sent.begin(), sent.end(), match); };
    EXPECT_TRUE(has([](const cli_bytes& m) { return m == cli_bytes{0xBE, 0x00, 0x03, 0x42}; }));
    EXPECT_TRUE(has([](const cli_bytes& m) { return m[0] == 0xD5 && (m[1] & 0xF8) == 0x18 && m[4] == 0x20; }))
        << "F12 in the D5 group F7-F13";
    EXPECT_TRUE(has([](const cli_bytes& m) { return m[0] == 0xD5 && (m[1] & 0xF8) == 0x00 && m[4] == 10; }));
    EXPECT_FALSE(has([](const cli_bytes& m) { return m[0] == 0xA0 || m[0] == 0xED; })) << "no classic speed or packet";

    r = run_on(bus.path(), {"slots", "--read"});
    ASSERT_EQ(r.status, kvr_cli_ok) << r.err;
    EXPECT_TRUE(std::regex_search(r.out, std::regex(R"(\d+  loco 3  in use  128 steps  speed 10  fwd  F0-F28 000000000000100000000000000000?\n)")))
        << r.out;
    // 400 of 401 on a quiet machine; a loaded one can miss a slot's answer
    // window, and the expanded read ends at the first slot not answered.
    EXPECT_TRUE(std::regex_search(r.err, std::regex(R"(slots answered; expanded slots: \d+ of \d+ answered)"))) << r.err;
    // Slot 426 is past the station's last: refused (B4 66 00), asked at most
    // once, the read ends there.
    bus.settle();
    const std::vector<cli_bytes> all = bus.seen();
    EXPECT_LE(std::count(all.begin(), all.end(), cli_bytes{0xBB, 0x2A, 0x43, 0x2D}), 1);
    EXPECT_EQ(std::count(all.begin(), all.end(), cli_bytes{0xBB, 0x2B, 0x43, 0x2C}), 0);

    // Classic: the same station read as an old one, F0-F8 only.
    r = run_on(bus.path(), {"slots", "--read", "--slots", "classic"});
    ASSERT_EQ(r.status, kvr_cli_ok) << r.err;
    EXPECT_NE(r.out.find("loco 3  in use  128 steps  speed 10  fwd  F0-F8 000000000"), std::string::npos) << r.out;
    EXPECT_EQ(r.err.find("expanded"), std::string::npos) << r.err;
    EXPECT_EQ(run_on(bus.path(), {"throttle", "3", "--speed", "5", "--slots", "both"}).status, kvr_cli_usage);

    // F9..F28 alone, expanded chosen: into the slot by D5 (F20 in group
    // 0x20 bit 6), not as a DCC packet the slot never learns of.
    const std::size_t before = bus.seen().size();
    ASSERT_EQ(run_on(bus.path(), {"throttle", "3", "--f", "20=on", "--slots", "expanded"}).status, kvr_cli_ok);
    bus.settle();
    const std::vector<cli_bytes> now = bus.seen();
    const std::vector<cli_bytes> later(now.begin() + static_cast<std::ptrdiff_t>(before), now.end());
    EXPECT_TRUE(std::any_of(later.begin(), later.end(), [](const cli_bytes& m) {
        return m[0] == 0xD5 && (m[1] & 0xF8) == 0x20 && (m[4] & 0x40) != 0;
    }));
    EXPECT_TRUE(std::none_of(later.begin(), later.end(), [](const cli_bytes& m) { return m[0] == 0xED; }));
}

}  // namespace
