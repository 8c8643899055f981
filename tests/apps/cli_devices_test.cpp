// busprobe-cli devices, sv, lncv and opsw against the simulated station and
// its devices on a pseudo-terminal (addresses as sim/kvr_sim_options.h
// documents them: SV2 device 3, LNCV article 6861 module 1, detector board
// 1). Message layouts: PROTOCOL-FACTS.md (SV) and PROTOCOL-MODERN.md §2-§4.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "apps/cli_test_support.h"
#include "loconet/kvr_device_msgs.h"
#include "sim/kvr_sim_station.h"

namespace {

cli_result run_on(const std::string& port, std::vector<std::string> args) {
    args.insert(args.begin(), {"-p", port});
    return run_cli(args);
}

cli_bytes bytes_of(const kvr_loconet_msg& m) { return cli_bytes(m.data(), m.data() + m.length()); }

const cli_bytes lncv_end = bytes_of(kvr_build_lncv(kvr_lncv_end(6861, 1)));

bool lncv_programming(sim_bus& bus) {
    return bus.with_station([](kvr_sim_station& s) { return s.devices().lncv_programming(); });
}

TEST(CliDevices, WritesThatCouldHarmAreRefusedBeforeThePortIsOpened) {
    sim_bus bus;
    const std::vector<std::vector<std::string>> refused = {
        {"sv", "write", "0", "5", "1"},                      // every SV2 device
        {"sv", "reconfigure", "0"},
        {"lncv", "write", "6861", "65535", "3", "1"},         // every module of the article
        {"opsw", "write", "5", "closed"},                   // no --yes
        {"opsw", "write", "8", "closed", "--yes"},          // bit 7: no switch
        {"opsw", "write", "129", "closed", "--yes"},
        {"sv", "write", "3", "5", "256"},
        {"lncv", "read", "6861", "1", "1", "0"},
        {"devices", "--wait", "0"},
        {"opsw", "read", "--board", "lamp", "1", "3"},
    };
    for (const auto& args : refused) {
        const cli_result r = run_on(bus.path(), args);
        EXPECT_EQ(r.status, kvr_cli_usage) << args[0] << " " << args[1] << "\n" << r.err;
    }
    EXPECT_TRUE(bus.seen().empty());
}

TEST(CliDevices, DevicesListsEachDeviceOnOneLineAndLeavesNoModuleProgramming) {
    sim_bus bus;
    const cli_result r = run_on(bus.path(), {"devices", "--wait", "1", "--article", "6861"});
    ASSERT_EQ(r.status, kvr_cli_ok) << r.err;
    EXPECT_EQ(r.out,
              "sv2 3 manufacturer 13 developer 1 product 4660 serial 22136\n"
              "lncv 1 article 6861\n");
    EXPECT_TRUE(bus.saw_in_order({lncv_end}));
    EXPECT_FALSE(lncv_programming(bus));
}

TEST(CliDevices, SvWriteRoundTripsAndARefusalNamesDeviceAndSv) {
    sim_bus bus;
    ASSERT_EQ(run_on(bus.path(), {"sv", "write", "3", "5", "77"}).status, kvr_cli_ok);
    ASSERT_EQ(run_on(bus.path(), {"sv", "write", "3", "6", "1", "2", "3", "4"}).status, kvr_cli_ok);
    cli_result r = run_on(bus.path(), {"sv", "read", "3", "4", "6"});
    ASSERT_EQ(r.status, kvr_cli_ok) << r.err;
    EXPECT_EQ(r.out, "SV 4 = 0\nSV 5 = 77\nSV 6 = 1\nSV 7 = 2\nSV 8 = 3\nSV 9 = 4\n");
    // SV 0 is read-only in the simulated device: B4 65 2C, never a success.
    r = run_on(bus.path(), {"sv", "write", "3", "0", "9"});
    EXPECT_EQ(r.status, kvr_cli_failed);
    EXPECT_EQ(r.err.rfind("SV2 device 3: SV 0: write failed (B4 65 2C)\n", 0), 0u) << r.err;
    // Nobody at 4.
    r = run_on(bus.path(), {"sv", "read", "4", "1"});
    EXPECT_EQ(r.status, kvr_cli_failed);
    EXPECT_EQ(r.err.rfind("SV2 device 4: SV 1: no answer\n", 0), 0u) << r.err;
}

TEST(CliDevices, SvChangeAddressBySerialThenTheDeviceAnswersThere) {
    sim_bus bus;
    ASSERT_EQ(run_on(bus.path(), {"sv", "change-address", "22136", "9"}).status, kvr_cli_ok);
    cli_result r = run_on(bus.path(), {"sv", "read", "9", "0"});
    EXPECT_EQ(r.out, "SV 0 = 1\n") << r.err;
    r = run_on(bus.path(), {"sv", "change-address", "1", "10"});
    EXPECT_EQ(r.status, kvr_cli_failed);
    EXPECT_NE(r.err.find("no SV2 device with serial 1 answered"), std::string::npos) << r.err;
}

TEST(CliDevices, LncvWriteRoundTripsAndEverySessionEnds) {
    sim_bus bus;
    ASSERT_EQ(run_on(bus.path(), {"lncv", "write", "6861", "1", "3", "250"}).status, kvr_cli_ok);
    EXPECT_FALSE(lncv_programming(bus));
    cli_result r = run_on(bus.path(), {"lncv", "read", "6861", "1", "1", "3"});
    ASSERT_EQ(r.status, kvr_cli_ok) << r.err;
    EXPECT_EQ(r.out, "LNCV 1 = 2\nLNCV 2 = 0\nLNCV 3 = 250\n");
    EXPECT_FALSE(lncv_programming(bus));

    // Refused by the module: a failure naming it, and the session ended.
    r = run_on(bus.path(), {"lncv", "write", "6861", "1", "15", "1"});
    EXPECT_EQ(r.status, kvr_cli_failed);
    EXPECT_EQ(r.err.rfind("LNCV module 1 of article 6861: LNCV 15: write read-only (B4 6D 02)\n", 0), 0u) << r.err;
    EXPECT_FALSE(lncv_programming(bus));
}

TEST(CliDevices, LncvCancelledByTheTimeoutStillEndsTheSession) {
    kvr_sim_options o = sim_bus::instant();
    o.devices = false;  // nothing answers: the start waits until the time-out
    sim_bus bus(o);
    const cli_result r = run_on(bus.path(), {"--timeout", "0.3", "lncv", "read", "6861", "1", "1"});
    EXPECT_EQ(r.status, kvr_cli_cancelled) << r.err;
    EXPECT_TRUE(bus.saw_in_order({bytes_of(kvr_build_lncv(kvr_lncv_start(6861, 1))), lncv_end}));
}

TEST(CliDevices, OpswWriteRoundTripsOnTheStationAndOnABoard) {
    sim_bus bus;
    ASSERT_EQ(run_on(bus.path(), {"opsw", "write", "5", "closed", "--yes"}).status, kvr_cli_ok);
    cli_result r = run_on(bus.path(), {"opsw", "read", "4", "5", "8"});
    EXPECT_EQ(r.out, "OpSw 4 thrown\nOpSw 5 closed\nOpSw 8 thrown\n") << r.err;
    r = run_on(bus.path(), {"opsw", "read"});
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 64) << r.out;

    ASSERT_EQ(run_on(bus.path(), {"opsw", "write", "--board", "detector", "1", "3", "closed"}).status, kvr_cli_ok);
    r = run_on(bus.path(), {"opsw", "read", "--board", "detector", "1", "3"});
    EXPECT_EQ(r.out, "OpSw 3 closed\n") << r.err;
    // PROTOCOL-MODERN.md §4: D0 62 00 71 04 38 reads OpSw 3 of detector board 1.
    EXPECT_TRUE(bus.saw_in_order({{0xD0, 0x62, 0x00, 0x71, 0x04, 0x38}}));
    r = run_on(bus.path(), {"opsw", "read", "--board", "detector", "2", "3"});
    EXPECT_EQ(r.status, kvr_cli_failed);
    EXPECT_EQ(r.err.rfind("occupancy detector board 2: OpSw 3: no answer\n", 0), 0u) << r.err;
}

}  // namespace
