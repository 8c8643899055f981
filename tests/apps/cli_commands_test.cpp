// The bus commands of busprobe-cli, run in this process against the
// simulated station on a pseudo-terminal (bytes that reached it, layout
// state, output, exit status) and against stations that misbehave.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <future>
#include <regex>
#include <sstream>
#include <thread>

#include "apps/cli/cli_command.h"
#include "apps/cli_test_support.h"
#include "foundation/kvr_file.h"

namespace {

using namespace std::chrono_literals;

// Golden requests from the LocoNet message layout (checksums worked by hand).
const cli_bytes power_on = {0x83, 0x7C};
const cli_bytes power_off = {0x82, 0x7D};
const cli_bytes fast_clock_request = {0xBB, 0x7B, 0x00, 0x3F};
const cli_bytes loco3_request = {0xBF, 0x00, 0x03, 0x43};
const cli_bytes direct_read_cv29 = {0xEF, 0x0E, 0x7C, 0x28, 0x00, 0x00, 0x00, 0x00, 0x00, 0x1C, 0x00, 0x00, 0x00, 0x56};
const cli_bytes ops_read_cv29_loco3 = {0xEF, 0x0E, 0x7C, 0x24, 0x00, 0x00, 0x03, 0x00, 0x00, 0x1C, 0x00, 0x00, 0x00, 0x59};
const cli_bytes cv29_bit5_write = {0xEF, 0x0E, 0x7C, 0x48, 0x00, 0x00, 0x00, 0x00, 0x02, 0x1C, 0x6D, 0x00, 0x00, 0x59};
const std::string sw11_line = "OPC_SW_REQ      :SW#[11 (2:3)] for Closed/Green(on)";
const std::string sw11_pattern = std::regex_replace(sw11_line, std::regex(R"([\[\]()])"), R"(\$&)");

std::vector<std::string> with_port(const std::string& port, std::vector<std::string> args) {
    args.insert(args.begin(), {"-p", port});
    return args;
}

// Slot bytes 3..12 of the simulated station's slot holding `address`.
std::array<uint8_t, 10> loco_slot(sim_bus& bus, uint16_t address) {
    bus.settle();
    return bus.with_station([address](kvr_sim_station& st) {
        for (int n = 1; n <= kvr_sim_station::loco_slots; ++n) {
            auto s = st.slot(static_cast<uint8_t>(n));
            if (s[6] * 128 + s[1] == address && (s[0] & 0x30) != 0) return s;
        }
        return std::array<uint8_t, 10>{};
    });
}
constexpr int STAT = 0, SPD = 2, DIRF = 3, SND = 7;

struct refused_case {
    std::vector<std::string> args;
    const char* message;
};

TEST(CliUsage, RefusesBadInputBeforeAnythingIsSent) {
    sim_bus bus;
    const refused_case cases[] = {
        {{"cv", "read", "0"}, "CV 0 is outside 1 to 1024"},
        {{"cv", "read", "1025"}, "CV 1025 is outside 1 to 1024"},
        {{"cv", "write", "1", "256"}, "value 256 is outside 0 to 255"},
        {{"cv", "write", "1", "-1"}, "unknown option '-1'"},
        {{"cv", "read", "9", "--mode", "register"}, "register 9 is outside 1 to 8"},
        {{"cv", "read", "1", "--mode", "fast"}, "unknown mode 'fast'"},
        {{"cv", "write", "1", "2", "--mode", "direct-bits"}, "unknown mode 'direct-bits'"},
        {{"cv", "read", "1", "--mode", "ops"}, "needs the locomotive's --address"},
        {{"cv", "read", "1", "--mode", "ops", "--address", "0"}, "address 0 is outside 1 to 10239"},
        {{"cv", "read", "1", "--address", "3"}, "--address is for operations mode"},
        {{"cv", "write", "1", "2", "--feedback"}, "--feedback is for operations mode"},
        {{"switch", "0", "closed"}, "switch 0 is outside 1 to 2048"},
        {{"switch", "2049", "thrown"}, "switch 2049 is outside 1 to 2048"},
        {{"switch", "5", "open"}, "'closed' or 'thrown'"},
        {{"throttle", "10240"}, "address 10240 is outside 0 to 10239"},
        {{"throttle", "3", "--speed", "128"}, "speed 128 is outside 0 to 127"},
        {{"throttle", "3", "--speed", "29", "--steps", "28"}, "speed 29 is outside 0 to 28"},
        {{"throttle", "3", "--steps", "14", "--speed", "1"}, "--steps must be 28 or 128"},
        {{"throttle", "3", "--f", "9=on"}, "function 9 is outside 0 to 8"},
        {{"throttle", "3", "--f", "1=dim"}, "N=on or N=off"},
        {{"throttle", "3", "--fwd", "--rev"}, "exclude each other"},
        {{"address", "write", "192", "256"}, "CV18 value 256 is outside 0 to 255"},
        {{"address", "write", "192", "1", "--mode", "ops"}, "unknown mode 'ops'"},
        {{"power", "maybe"}, "'on' or 'off'"},
        {{"monitor", "--count", "0"}, "not a positive number"},
        {{"clock", "now"}, "unexpected argument 'now'"},
        {{"fly"}, "unknown command 'fly'"},
        {{"--timeout", "soon", "clock"}, "not a number of seconds"},
    };
    for (const refused_case& c : cases) {
        cli_result r = run_cli(with_port(bus.path(), c.args));
        std::string line = testing::PrintToString(c.args);
        EXPECT_EQ(r.status, kvr_cli_usage) << line;
        EXPECT_EQ(r.err.rfind("busprobe-cli: ", 0), 0u) << line << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << line << r.err;
        EXPECT_NE(r.err.find("Usage: busprobe-cli"), std::string::npos) << line;
        EXPECT_EQ(r.out, "") << line;
    }
    cli_result r = run_cli({"-p", "COM9", "power", "on"});
    EXPECT_EQ(r.status, kvr_cli_usage);
    EXPECT_NE(r.err.find("unknown port name 'COM9'"), std::string::npos);
    bus.settle();
    EXPECT_TRUE(bus.seen().empty());
}

TEST(CliUsage, HelpForTheToolAndEachCommand) {
    const std::vector<std::vector<std::string>> asks = {
        {"--help"}, {"monitor", "--help"}, {"power", "-h"}, {"clock", "--help"},
        {"switch", "--help"}, {"throttle", "--help"}, {"cv", "--help"}, {"cv", "read", "--help"},
        {"cv", "write", "--help"}, {"address", "write", "--help"}, {"help", "cv", "read"},
    };
    for (const auto& args : asks) {
        cli_result r = run_cli(args);
        EXPECT_EQ(r.status, kvr_cli_ok) << testing::PrintToString(args);
        EXPECT_EQ(r.out.rfind("Usage: busprobe-cli", 0), 0u) << r.out;
        EXPECT_EQ(r.err, "");
    }
    EXPECT_NE(run_cli({"cv", "read", "--help"}).out.find("direct-bits"), std::string::npos);
    EXPECT_NE(run_cli({"--help"}).out.find("Exit status"), std::string::npos);
}

TEST(CliUsage, NumbersAreDecimalOrHex) {
    EXPECT_EQ(cli_parse_number("29"), 29u);
    EXPECT_EQ(cli_parse_number("0x1D"), 29u);
    EXPECT_EQ(cli_parse_number("0X1d"), 29u);
    EXPECT_FALSE(cli_parse_number(""));
    EXPECT_FALSE(cli_parse_number("0x"));
    EXPECT_FALSE(cli_parse_number("1e3"));
    EXPECT_FALSE(cli_parse_number("+5"));
    EXPECT_FALSE(cli_parse_number("99999999999999999999"));
}

TEST(CliPower, SwitchesTrackPowerOffAndOn) {
    sim_bus bus;
    cli_result off = run_cli(with_port(bus.path(), {"power", "off"}));
    EXPECT_EQ(off.status, kvr_cli_ok) << off.err;
    EXPECT_EQ(off.out, "");
    EXPECT_TRUE(bus.saw_in_order({power_off}));
    bus.settle();
    EXPECT_EQ(bus.with_station([](kvr_sim_station& s) { return s.track_status() & 1; }), 0);

    cli_result on = run_cli(with_port(bus.path(), {"power", "on"}));
    EXPECT_EQ(on.status, kvr_cli_ok) << on.err;
    EXPECT_TRUE(bus.saw_in_order({power_off, power_on}));
    bus.settle();
    EXPECT_EQ(bus.with_station([](kvr_sim_station& s) { return s.track_status() & 1; }), 1);
}

TEST(CliSwitch, SetsTurnoutsWithTheirGoldenRequests) {
    sim_bus bus;
    EXPECT_EQ(run_cli(with_port(bus.path(), {"switch", "200", "thrown"})).status, kvr_cli_ok);
    EXPECT_EQ(run_cli(with_port(bus.path(), {"switch", "2048", "closed", "--off"})).status, kvr_cli_ok);
    EXPECT_TRUE(bus.saw_in_order({{0xBD, 0x47, 0x11, 0x14}, {0xBD, 0x7F, 0x2F, 0x12}}));
    bus.settle();
    kvr_sim_turnout t200 = bus.with_station([](kvr_sim_station& s) { return s.turnout(200); });
    kvr_sim_turnout t2048 = bus.with_station([](kvr_sim_station& s) { return s.turnout(2048); });
    EXPECT_FALSE(t200.closed);
    EXPECT_TRUE(t200.output_on);
    EXPECT_TRUE(t2048.closed);
    EXPECT_FALSE(t2048.output_on);
}

TEST(CliClock, PrintsTheFastClockLineThatAnswersTheRequest) {
    sim_bus bus;
    cli_result r = run_cli(with_port(bus.path(), {"clock"}));
    EXPECT_EQ(r.status, kvr_cli_ok) << r.err;
    EXPECT_TRUE(std::regex_match(r.out, std::regex(R"(OPC_SL_RD_DATA  :SLOT#\[123\] FAST CLOCK rate\(4:1\) days\( 0\) hrs24\(00\) min\(0\d\) .*\n)")))
        << r.out;
    EXPECT_TRUE(bus.saw_in_order({fast_clock_request}));
}

TEST(CliThrottle, DrivesSpeedDirectionAndFunctionsOfOneLocomotive) {
    sim_bus bus;
    cli_result r = run_cli(with_port(bus.path(), {"throttle", "3", "--speed", "63", "--fwd"}));
    ASSERT_EQ(r.status, kvr_cli_ok) << r.err;
    EXPECT_TRUE(bus.saw_in_order({loco3_request}));
    auto s = loco_slot(bus, 3);
    EXPECT_EQ(s[SPD], 63);
    EXPECT_EQ(s[STAT] & 7, 7) << "128 steps";
    EXPECT_TRUE(s[DIRF] & 0x20) << "forward";

    ASSERT_EQ(run_cli(with_port(bus.path(), {"throttle", "3", "--speed", "14", "--steps", "28"})).status, kvr_cli_ok);
    s = loco_slot(bus, 3);
    EXPECT_EQ(s[STAT] & 7, 4) << "28 steps";
    EXPECT_EQ(s[SPD], 14 * 127 / 28);
    EXPECT_TRUE(s[DIRF] & 0x20) << "the direction was kept";

    // Direction and group-1 functions together: the functions must not send
    // the old direction back.
    ASSERT_EQ(run_cli(with_port(bus.path(), {"throttle", "3", "--rev", "--f", "0=on", "--f", "2=on"})).status, kvr_cli_ok);
    s = loco_slot(bus, 3);
    EXPECT_EQ(s[DIRF], 0x12) << "reverse, F0 and F2";

    ASSERT_EQ(run_cli(with_port(bus.path(), {"throttle", "3", "--f", "5=on", "--f", "8=on", "--f", "0=off"})).status, kvr_cli_ok);
    s = loco_slot(bus, 3);
    EXPECT_EQ(s[SND] & 0x0F, 0x09) << "F5 and F8";
    EXPECT_EQ(s[DIRF], 0x02) << "F0 off, F2 and the direction kept";

    r = run_cli(with_port(bus.path(), {"throttle", "3"}));
    EXPECT_EQ(r.status, kvr_cli_ok);
    EXPECT_NE(r.out.find("adr(  3) spd(63) DIR(rev) F0-4(00100) F5-8(1001)"), std::string::npos) << r.out;
}

struct read_case {
    std::vector<std::string> args;
    std::string line;
    cli_bytes first_request;  // empty: not checked
};

TEST(CliCvRead, PrintsTheValueInEveryMode) {
    sim_bus bus;
    const std::string cv29 = "CV 29 = 6 (0x06, 00000110)\n";
    const read_case cases[] = {
        {{"cv", "read", "29"}, cv29, {0xEF, 0x0E, 0x7C, 0x20, 0, 0, 0, 0, 0, 0x1C, 0, 0, 0, 0x5E}},
        {{"cv", "read", "29", "--mode", "direct"}, cv29, direct_read_cv29},
        {{"cv", "read", "5", "--mode", "register"}, "CV 5 = 6 (0x06, 00000110)\n", {}},
        {{"cv", "read", "29", "--mode", "ops", "--address", "3"}, cv29, ops_read_cv29_loco3},
        {{"cv", "read", "29", "--mode", "direct-bits"}, cv29, {}},
        {{"cv", "read", "29", "--mode", "ops-bits", "--address", "3"}, cv29, {}},
        {{"cv", "read", "8"}, "CV 8 = 13 (0x0D, 00001101)\n", {}},
    };
    for (const read_case& c : cases) {
        bus.clear();
        cli_result r = run_cli(with_port(bus.path(), c.args));
        EXPECT_EQ(r.status, kvr_cli_ok) << testing::PrintToString(c.args) << r.err;
        EXPECT_EQ(r.out, c.line) << testing::PrintToString(c.args);
        if (!c.first_request.empty()) {
            EXPECT_TRUE(bus.saw_in_order({c.first_request}));
        }
    }
}

TEST(CliCvWrite, WritesInEveryModeAndValueReadsBack) {
    sim_bus bus;
    auto track_cv = [&bus](unsigned cv) {
        bus.settle();
        return bus.with_station([cv](kvr_sim_station& s) { return s.programmer().track_decoder().cv(cv); });
    };
    auto main_cv = [&bus](uint16_t loco, unsigned cv) {
        bus.settle();
        return bus.with_station([=](kvr_sim_station& s) { return s.programmer().main_decoder(loco).cv(cv); });
    };
    EXPECT_EQ(run_cli(with_port(bus.path(), {"cv", "write", "3", "10"})).status, kvr_cli_ok);
    EXPECT_EQ(track_cv(3), 10);
    EXPECT_EQ(run_cli(with_port(bus.path(), {"cv", "write", "17", "0xC0", "--mode", "direct"})).status, kvr_cli_ok);
    EXPECT_EQ(track_cv(17), 0xC0);
    EXPECT_TRUE(bus.saw_in_order({{0xEF, 0x0E, 0x7C, 0x68, 0, 0, 0, 0, 0x02, 0x10, 0x40, 0, 0, 0x58}}));
    EXPECT_EQ(run_cli(with_port(bus.path(), {"cv", "write", "4", "7", "--mode", "register"})).status, kvr_cli_ok);
    EXPECT_EQ(track_cv(4), 7);
    EXPECT_EQ(run_cli(with_port(bus.path(), {"cv", "read", "17", "--mode", "direct"})).out,
              "CV 17 = 192 (0xC0, 11000000)\n");

    EXPECT_EQ(run_cli(with_port(bus.path(), {"cv", "write", "3", "10", "--mode", "ops", "--address", "3"})).status,
              kvr_cli_ok);
    EXPECT_TRUE(bus.saw_in_order({{0xEF, 0x0E, 0x7C, 0x64, 0, 0, 0x03, 0, 0, 0x02, 0x0A, 0, 0, 0x0D}}));
    EXPECT_EQ(main_cv(3, 3), 10);
    cli_result fb = run_cli(with_port(bus.path(), {"cv", "write", "3", "10", "--mode", "ops", "--address", "1234", "--feedback"}));
    EXPECT_EQ(fb.status, kvr_cli_ok) << fb.err;
    EXPECT_TRUE(bus.saw_in_order({{0xEF, 0x0E, 0x7C, 0x6C, 0, 0x09, 0x52, 0, 0, 0x02, 0x0A, 0, 0, 0x5D}}));
    EXPECT_EQ(main_cv(1234, 3), 10);
}

TEST(CliAddressWrite, DirectModeEnablesTheLongAddressThenWritesCv17And18) {
    sim_bus bus;
    cli_result r = run_cli(with_port(bus.path(), {"address", "write", "196", "210", "--mode", "direct"}));
    ASSERT_EQ(r.status, kvr_cli_ok) << r.err;
    EXPECT_TRUE(bus.saw_in_order({cv29_bit5_write,
                                  {0xEF, 0x0E, 0x7C, 0x68, 0, 0, 0, 0, 0x02, 0x10, 0x44, 0, 0, 0x5C},
                                  {0xEF, 0x0E, 0x7C, 0x68, 0, 0, 0, 0, 0x02, 0x11, 0x52, 0, 0, 0x4B}}));
    bus.settle();
    auto cvs = bus.with_station([](kvr_sim_station& s) {
        kvr_sim_decoder& d = s.programmer().track_decoder();
        return std::array<uint8_t, 3>{d.cv(17), d.cv(18), d.cv(29)};
    });
    EXPECT_EQ(cvs[0], 196);
    EXPECT_EQ(cvs[1], 210);
    EXPECT_TRUE(cvs[2] & 0x20);

    sim_bus paged;
    EXPECT_EQ(run_cli(with_port(paged.path(), {"address", "write", "192", "100"})).status, kvr_cli_ok);
    EXPECT_FALSE(paged.saw_in_order({cv29_bit5_write})) << "paged mode leaves CV 29 alone";
    paged.settle();
    EXPECT_EQ(paged.with_station([](kvr_sim_station& s) { return s.programmer().track_decoder().cv(18); }), 100);
}

TEST(CliFailure, NoDecoderOnTheTrackGivesTheFullReportAndStatus1) {
    kvr_sim_options o = sim_bus::instant_options();
    o.decoder_present = false;
    sim_bus bus(o);
    cli_result r = run_cli(with_port(bus.path(), {"cv", "read", "29"}));
    EXPECT_EQ(r.status, kvr_cli_failed);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind("kvr_dccx_loconet::do_paged_read() ", 0), 0u) << r.err;
    EXPECT_NE(r.err.find("\nNo Decoder Detected "), std::string::npos) << r.err;
}

TEST(CliFailure, ReadWithoutAcknowledgeIsReportedOnStandardError) {
    scripted_station station([](const kvr_loconet_msg& m) -> std::vector<kvr_loconet_msg> {
        if (m.opcode() != OPC_WR_SL_DATA || m[2] != kvr_slot_programmer) return {};
        kvr_loconet_msg reply = m;
        reply.set_opcode(OPC_SL_RD_DATA);
        reply[4] = 0x02;  // PSTAT: no write acknowledge
        reply.renew_checksum();
        return {make_msg({0xB4, 0x6F, 0x01}), reply};
    });
    cli_result r = run_cli(with_port(station.path(), {"--timeout", "10", "cv", "read", "29", "--mode", "direct"}));
    EXPECT_EQ(r.status, kvr_cli_failed);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "CV 29: no acknowledge from the decoder\n");
    ASSERT_FALSE(station.received().empty());
    EXPECT_EQ(station.received().front(), direct_read_cv29);
}

TEST(CliCancel, TimeoutEndsAReadThatNobodyAnswersWithStatus3) {
    bare_pty silent;
    cli_result r = run_cli(with_port(silent.path(), {"--timeout", "1", "cv", "read", "29", "--mode", "direct"}));
    EXPECT_EQ(r.status, kvr_cli_cancelled);
    EXPECT_LT(r.seconds, 1.5);
    EXPECT_GE(r.seconds, 0.9);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind("busprobe-cli: cancelled: time-out after 1 s\n", 0), 0u) << r.err;
    EXPECT_NE(r.err.find("\nCANCEL "), std::string::npos) << r.err;
}

// Runs the monitor on a thread while the test feeds the terminal.
std::future<cli_result> start_monitor(const std::string& path, std::vector<std::string> args) {
    return std::async(std::launch::async, [path, args] { return run_cli(with_port(path, args)); });
}

// Feeds `msg` every 20 ms until the monitor returns (at most 5 s).
cli_result feed_until_done(bare_pty& pty, std::future<cli_result>& monitor, const cli_bytes& msg) {
    for (int i = 0; i < 250 && monitor.wait_for(20ms) != std::future_status::ready; ++i) pty.write_master(msg);
    return monitor.get();
}

TEST(CliMonitor, PrintsEachMessageUntilTheCount) {
    bare_pty pty;
    auto monitor = start_monitor(pty.path(), {"monitor", "--count", "3"});
    cli_result r = feed_until_done(pty, monitor, bytes_of(make_msg({0xB0, 0x0A, 0x30})));
    EXPECT_EQ(r.status, kvr_cli_ok) << r.err;
    EXPECT_EQ(r.out, sw11_line + "\n" + sw11_line + "\n" + sw11_line + "\n");
}

TEST(CliMonitor, TimeAndBytesGoBeforeTheLineAndTheLogGetsACopy) {
    std::string log_path = kvr_global_dated_log().today_path();
    std::ifstream before(log_path, std::ios::binary | std::ios::ate);
    std::streamoff log_size = before ? static_cast<std::streamoff>(before.tellg()) : 0;

    bare_pty pty;
    auto monitor = start_monitor(pty.path(), {"monitor", "--time", "--hex", "--log", "--count", "2"});
    cli_result r = feed_until_done(pty, monitor, {0xB0, 0x0A, 0x30, 0x75});
    EXPECT_EQ(r.status, kvr_cli_ok) << r.err;
    std::regex line(R"(\d\d:\d\d:\d\d\.\d\d\d B0 0A 30 75  )" + sw11_pattern);
    std::istringstream lines(r.out);
    std::string l;
    int n = 0;
    while (std::getline(lines, l)) {
        EXPECT_TRUE(std::regex_match(l, line)) << l;
        ++n;
    }
    EXPECT_EQ(n, 2);

    std::ifstream after(log_path, std::ios::binary);
    after.seekg(log_size);
    std::string added((std::istreambuf_iterator<char>(after)), std::istreambuf_iterator<char>());
    std::regex logged(R"(\d{4}/\d\d/\d\d \d\d:\d\d:\d\d )" + sw11_pattern);
    EXPECT_EQ(std::distance(std::sregex_iterator(added.begin(), added.end(), logged), std::sregex_iterator()), 2)
        << added;
}

TEST(CliMonitor, TimeoutEndsTheMonitorAndAMissedCountIsCancelled) {
    bare_pty quiet;
    cli_result plain = run_cli(with_port(quiet.path(), {"--timeout", "0.3", "monitor"}));
    EXPECT_EQ(plain.status, kvr_cli_ok) << plain.err;
    EXPECT_LT(plain.seconds, 1.0);
    cli_result counted = run_cli(with_port(quiet.path(), {"--timeout", "0.3", "monitor", "--count", "1"}));
    EXPECT_EQ(counted.status, kvr_cli_cancelled);
}

TEST(CliMonitor, ALostLinkEndsTheMonitorWithStatus1) {
    auto pty = std::make_unique<bare_pty>();
    auto monitor = start_monitor(pty->path(), {"--timeout", "5", "monitor"});
    std::this_thread::sleep_for(300ms);
    pty->hang_up();
    ASSERT_EQ(monitor.wait_for(3s), std::future_status::ready) << "the monitor did not notice the loss";
    cli_result r = monitor.get();
    EXPECT_EQ(r.status, kvr_cli_failed);
    EXPECT_NE(r.err.find("was lost"), std::string::npos) << r.err;
}

TEST(CliPort, DefaultPortComesFromTheSettingsFile) {
    sim_bus bus;
    std::string ini = testing::TempDir() + "busprobe-cli-port.ini";
    {
        std::ofstream f(ini);
        f << "[SETTING]\nCOMMPORT=" << bus.path() << "\nLOGDIR=0\n";
    }
    cli_result r = run_cli({"power", "on"}, ini);
    EXPECT_EQ(r.status, kvr_cli_ok) << r.err;
    EXPECT_TRUE(bus.saw_in_order({power_on}));
    {
        std::ofstream f(ini);
        f << "[SETTING]\nCOMMPORT=COM7\n";
    }
    r = run_cli({"power", "on"}, ini);
    EXPECT_EQ(r.status, kvr_cli_usage);
    EXPECT_NE(r.err.find("unknown port name 'COM7'"), std::string::npos);
    std::remove(ini.c_str());
}

TEST(CliSim, TheBuiltInSimAnswersADirectReadInWellUnderASecond) {
    cli_result r = run_cli({"-p", "SIM", "cv", "read", "29", "--mode", "direct"});
    EXPECT_EQ(r.status, kvr_cli_ok) << r.err;
    EXPECT_EQ(r.out, "CV 29 = 6 (0x06, 00000110)\n");
    EXPECT_LT(r.seconds, 0.6);
}

}  // namespace
