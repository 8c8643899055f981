// The bus commands of busprobe-cli, run in this process against the
// simulated station on a pseudo-terminal (bytes that reached it, layout
// state, output, exit status) and against stations that misbehave.

#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <fstream>
#include <future>
#include <regex>
#include <sstream>
#include <thread>

#include "apps/cli_test_support.h"
#include "foundation/kvr_file.h"

namespace {

using namespace std::chrono_literals;

// Golden requests from the LocoNet message layout (checksums worked by hand).
const cli_bytes power_on = {0x83, 0x7C};
const cli_bytes direct_read_cv29 = {0xEF, 0x0E, 0x7C, 0x28, 0, 0, 0, 0, 0, 0x1C, 0, 0, 0, 0x56};
const cli_bytes cv29_bit5_write = {0xEF, 0x0E, 0x7C, 0x48, 0, 0, 0, 0, 0x02, 0x1C, 0x6D, 0, 0, 0x59};
const std::string sw11_line = "OPC_SW_REQ      :SW#[11 (2:3)] for Closed/Green(on)";
const cli_bytes sw11_req = {0xB0, 0x0A, 0x30, 0x75};

cli_result run_on(const std::string& port, std::vector<std::string> args) {
    args.insert(args.begin(), {"-p", port});
    return run_cli(args);
}

TEST(CliUsage, RefusesBadInputBeforeAnythingIsSent) {
    sim_bus bus;
    const struct {
        std::vector<std::string> args;
        const char* message;
    } cases[] = {
        {{"cv", "read", "1025"}, "CV 1025 is outside 1 to 1024"},
        {{"cv", "write", "1", "256"}, "value 256 is outside 0 to 255"},
        {{"cv", "read", "9", "--mode", "register"}, "register 9 is outside 1 to 8"},
        {{"cv", "read", "1", "--mode", "fast"}, "unknown mode 'fast'"},
        {{"cv", "read", "1", "--mode", "ops"}, "needs the locomotive's --address"},
        {{"cv", "read", "1", "--mode", "ops", "--address", "0"}, "address 0 is outside 1 to 10239"},
        {{"switch", "0", "closed"}, "switch 0 is outside 1 to 2048"},
        {{"switch", "2049", "thrown"}, "switch 2049 is outside 1 to 2048"},
        {{"throttle", "10240"}, "address 10240 is outside 0 to 10239"},
        {{"throttle", "3", "--speed", "128"}, "speed 128 is outside 0 to 127"},
        {{"throttle", "3", "--speed", "29", "--steps", "28"}, "speed 29 is outside 0 to 28"},
        {{"throttle", "3", "--f", "9=on"}, "function 9 is outside 0 to 8"},
        {{"address", "write", "192", "256"}, "CV18 value 256 is outside 0 to 255"},
        {{"monitor", "--count", "0"}, "not a positive number"},
        {{"fly"}, "unknown command 'fly'"},
    };
    for (const auto& c : cases) {
        cli_result r = run_on(bus.path(), c.args);
        EXPECT_EQ(r.status, kvr_cli_usage) << c.message;
        EXPECT_EQ(r.err.rfind("busprobe-cli: ", 0), 0u) << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("Usage: busprobe-cli"), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "");
    }
    EXPECT_NE(run_on("COM9", {"power", "on"}).err.find("unknown port name 'COM9'"), std::string::npos);
    bus.settle();
    EXPECT_TRUE(bus.seen().empty());
    for (const auto& args : std::vector<std::vector<std::string>>{{"--help"}, {"throttle", "-h"}, {"help", "cv", "read"}}) {
        cli_result r = run_cli(args);
        EXPECT_EQ(r.status, kvr_cli_ok);
        EXPECT_EQ(r.out.rfind("Usage: busprobe-cli", 0), 0u) << r.out;
    }
}

TEST(CliCommands, PowerSwitchAndClockSendTheirGoldenRequests) {
    sim_bus bus;
    EXPECT_EQ(run_on(bus.path(), {"power", "off"}).status, kvr_cli_ok);
    EXPECT_EQ(bus.with_station([](kvr_sim_station& s) { return s.track_status() & 1; }), 0);
    EXPECT_EQ(run_on(bus.path(), {"power", "on"}).status, kvr_cli_ok);
    EXPECT_EQ(bus.with_station([](kvr_sim_station& s) { return s.track_status() & 1; }), 1);

    EXPECT_EQ(run_on(bus.path(), {"switch", "200", "thrown"}).status, kvr_cli_ok);
    EXPECT_EQ(run_on(bus.path(), {"switch", "2048", "closed", "--off"}).status, kvr_cli_ok);
    kvr_sim_turnout t200 = bus.with_station([](kvr_sim_station& s) { return s.turnout(200); });
    kvr_sim_turnout t2048 = bus.with_station([](kvr_sim_station& s) { return s.turnout(2048); });
    EXPECT_TRUE(!t200.closed && t200.output_on && t2048.closed && !t2048.output_on);

    cli_result clock = run_on(bus.path(), {"clock"});
    EXPECT_EQ(clock.status, kvr_cli_ok) << clock.err;
    EXPECT_TRUE(std::regex_match(clock.out, std::regex(R"(OPC_SL_RD_DATA  :SLOT#\[123\] FAST CLOCK rate\(4:1\) days\( 0\) hrs24\(00\) min\(0\d\) .*\n)")))
        << clock.out;
    EXPECT_TRUE(bus.saw_in_order({{0x82, 0x7D}, power_on, {0xBD, 0x47, 0x11, 0x14}, {0xBD, 0x7F, 0x2F, 0x12},
                                  {0xBB, 0x7B, 0x00, 0x3F}}));
}

TEST(CliThrottle, DrivesSpeedDirectionAndFunctionsOfOneLocomotive) {
    sim_bus bus;
    enum { STAT = 0, SPD = 2, DIRF = 3, SND = 7 };
    auto run_loco3 = [&bus](std::vector<std::string> options) {
        options.insert(options.begin(), {"throttle", "3"});
        EXPECT_EQ(run_on(bus.path(), options).status, kvr_cli_ok);
        return bus.with_station([](kvr_sim_station& st) {
            for (int n = 1; n <= kvr_sim_station::loco_slots; ++n) {
                auto s = st.slot(static_cast<uint8_t>(n));
                if (s[6] * 128 + s[1] == 3 && (s[0] & 0x30) != 0) return s;
            }
            return std::array<uint8_t, 10>{};
        });
    };
    auto s = run_loco3({"--speed", "63", "--fwd"});
    EXPECT_TRUE(bus.saw_in_order({{0xBF, 0x00, 0x03, 0x43}}));
    EXPECT_EQ(s[SPD], 63);
    EXPECT_EQ(s[STAT] & 7, 7) << "128 steps";
    // DIRF bit 5 set is reverse, clear forward (the opposite was once sent).
    EXPECT_FALSE(s[DIRF] & 0x20) << "forward";

    s = run_loco3({"--speed", "14", "--steps", "28"});
    EXPECT_EQ(s[STAT] & 7, 4) << "28 steps";
    EXPECT_EQ(s[SPD], 14 * 127 / 28);
    EXPECT_FALSE(s[DIRF] & 0x20) << "the direction was kept";

    // The group-1 functions must not send the old direction back.
    s = run_loco3({"--rev", "--f", "0=on", "--f", "2=on"});
    EXPECT_EQ(s[DIRF], 0x32) << "reverse, F0 and F2";

    s = run_loco3({"--f", "5=on", "--f", "8=on", "--f", "0=off"});
    EXPECT_EQ(s[SND] & 0x0F, 0x09) << "F5 and F8";
    EXPECT_EQ(s[DIRF], 0x22) << "F0 off, F2 and the direction kept";

    cli_result r = run_on(bus.path(), {"throttle", "3"});
    EXPECT_NE(r.out.find("adr(  3) spd(63) DIR(rev) F0-4(00100) F5-8(1001)"), std::string::npos) << r.out;
}

TEST(CliCvRead, PrintsTheValueInEveryMode) {
    sim_bus bus;
    const std::string cv29 = "CV 29 = 6 (0x06, 00000110)\n";
    const struct {
        std::vector<std::string> args;
        std::string line;
        cli_bytes request;  // empty: not checked
    } cases[] = {
        {{"cv", "read", "29"}, cv29, {0xEF, 0x0E, 0x7C, 0x20, 0, 0, 0, 0, 0, 0x1C, 0, 0, 0, 0x5E}},
        {{"cv", "read", "29", "--mode", "direct"}, cv29, direct_read_cv29},
        {{"cv", "read", "5", "--mode", "register"}, "CV 5 = 6 (0x06, 00000110)\n", {}},
        {{"cv", "read", "29", "--mode", "ops", "--address", "3"}, cv29,
         {0xEF, 0x0E, 0x7C, 0x24, 0, 0, 0x03, 0, 0, 0x1C, 0, 0, 0, 0x59}},
        {{"cv", "read", "29", "--mode", "direct-bits"}, cv29, {}},
        {{"cv", "read", "29", "--mode", "ops-bits", "--address", "3"}, cv29, {}},
        {{"cv", "read", "8"}, "CV 8 = 13 (0x0D, 00001101)\n", {}},
    };
    for (const auto& c : cases) {
        cli_result r = run_on(bus.path(), c.args);
        EXPECT_EQ(r.status, kvr_cli_ok) << r.err;
        EXPECT_EQ(r.out, c.line) << testing::PrintToString(c.args);
        if (!c.request.empty()) {
            EXPECT_TRUE(bus.saw_in_order({c.request}));
        }
    }
}

TEST(CliCvWrite, WritesInEveryModeAndValueReadsBack) {
    sim_bus bus;
    auto track_cv = [&bus](unsigned cv) {
        return bus.with_station([cv](kvr_sim_station& s) { return s.programmer().track_decoder().cv(cv); });
    };
    auto main_cv = [&bus](uint16_t loco, unsigned cv) {
        return bus.with_station([=](kvr_sim_station& s) { return s.programmer().main_decoder(loco).cv(cv); });
    };
    EXPECT_EQ(run_on(bus.path(), {"cv", "write", "3", "10"}).status, kvr_cli_ok);
    EXPECT_EQ(track_cv(3), 10);
    EXPECT_EQ(run_on(bus.path(), {"cv", "write", "17", "0xC0", "--mode", "direct"}).status, kvr_cli_ok);
    EXPECT_EQ(track_cv(17), 0xC0);
    EXPECT_EQ(run_on(bus.path(), {"cv", "write", "4", "7", "--mode", "register"}).status, kvr_cli_ok);
    EXPECT_EQ(track_cv(4), 7);
    EXPECT_EQ(run_on(bus.path(), {"cv", "read", "17", "--mode", "direct"}).out, "CV 17 = 192 (0xC0, 11000000)\n");

    EXPECT_EQ(run_on(bus.path(), {"cv", "write", "3", "10", "--mode", "ops", "--address", "3"}).status, kvr_cli_ok);
    EXPECT_EQ(main_cv(3, 3), 10);
    EXPECT_EQ(run_on(bus.path(), {"cv", "write", "3", "10", "--mode", "ops", "--address", "1234", "--feedback"}).status,
              kvr_cli_ok);
    EXPECT_EQ(main_cv(1234, 3), 10);
    EXPECT_TRUE(bus.saw_in_order({{0xEF, 0x0E, 0x7C, 0x68, 0, 0, 0, 0, 0x02, 0x10, 0x40, 0, 0, 0x58},
                                  {0xEF, 0x0E, 0x7C, 0x64, 0, 0, 0x03, 0, 0, 0x02, 0x0A, 0, 0, 0x0D},
                                  {0xEF, 0x0E, 0x7C, 0x6C, 0, 0x09, 0x52, 0, 0, 0x02, 0x0A, 0, 0, 0x5D}}));
}

TEST(CliAddressWrite, DirectModeEnablesTheLongAddressThenWritesCv17And18) {
    sim_bus bus;
    cli_result r = run_on(bus.path(), {"address", "write", "196", "210", "--mode", "direct"});
    ASSERT_EQ(r.status, kvr_cli_ok) << r.err;
    EXPECT_TRUE(bus.saw_in_order({cv29_bit5_write,
                                  {0xEF, 0x0E, 0x7C, 0x68, 0, 0, 0, 0, 0x02, 0x10, 0x44, 0, 0, 0x5C},
                                  {0xEF, 0x0E, 0x7C, 0x68, 0, 0, 0, 0, 0x02, 0x11, 0x52, 0, 0, 0x4B}}));
    auto cvs = bus.with_station([](kvr_sim_station& s) {
        kvr_sim_decoder& d = s.programmer().track_decoder();
        return std::array<int, 3>{d.cv(17), d.cv(18), d.cv(29) & 0x20};
    });
    EXPECT_EQ(cvs, (std::array<int, 3>{196, 210, 0x20}));

    sim_bus paged;
    EXPECT_EQ(run_on(paged.path(), {"address", "write", "192", "100"}).status, kvr_cli_ok);
    EXPECT_FALSE(paged.saw_in_order({cv29_bit5_write})) << "paged mode leaves CV 29 alone";
    EXPECT_EQ(paged.with_station([](kvr_sim_station& s) { return s.programmer().track_decoder().cv(18); }), 100);
}

TEST(CliFailure, NoDecoderGivesTheFullReportAndNoAcknowledgeItsOwnLine) {
    kvr_sim_options o = sim_bus::instant();
    o.decoder_present = false;
    sim_bus bus(o);
    cli_result r = run_on(bus.path(), {"cv", "read", "29"});
    EXPECT_EQ(r.status, kvr_cli_failed);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind("kvr_dccx_loconet::do_paged_read() ", 0), 0u) << r.err;
    EXPECT_NE(r.err.find("\nNo Decoder Detected "), std::string::npos) << r.err;

    // A station that accepts the direct read, then reports no acknowledge.
    bare_pty pty;
    std::thread station([&pty] {
        cli_bytes got;
        uint8_t b;
        pollfd p{pty.master(), POLLIN, 0};
        while (got.size() < direct_read_cv29.size() && poll(&p, 1, 5000) == 1 && ::read(p.fd, &b, 1) == 1)
            got.push_back(b);
        if (got != direct_read_cv29) return;
        cli_bytes reply = got;
        reply[0] = 0xE7;  // OPC_SL_RD_DATA
        reply[4] = 0x02;  // PSTAT: no write acknowledge
        reply.back() = 0xFF;
        for (std::size_t i = 0; i + 1 < reply.size(); ++i) reply.back() ^= reply[i];
        pty.write_master({0xB4, 0x6F, 0x01, 0x25});  // LACK: task accepted
        pty.write_master(reply);
    });
    r = run_on(pty.path(), {"--timeout", "10", "cv", "read", "29", "--mode", "direct"});
    station.join();
    EXPECT_EQ(r.status, kvr_cli_failed);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "CV 29: no acknowledge from the decoder\n");
}

TEST(CliCancel, TimeoutEndsAReadThatNobodyAnswersWithStatus3) {
    bare_pty silent;
    cli_result r = run_on(silent.path(), {"--timeout", "1", "cv", "read", "29", "--mode", "direct"});
    EXPECT_EQ(r.status, kvr_cli_cancelled);
    EXPECT_LT(r.seconds, 1.5);
    EXPECT_GE(r.seconds, 0.9);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind("busprobe-cli: cancelled: time-out after 1 s\n", 0), 0u) << r.err;
    EXPECT_NE(r.err.find("\nCANCEL "), std::string::npos) << r.err;
}

// Runs the monitor on a thread and feeds the switch request every 20 ms
// until it returns (at most 5 s).
cli_result monitor_fed(std::vector<std::string> options) {
    bare_pty pty;
    options.insert(options.begin(), "monitor");
    auto monitor = std::async(std::launch::async, [&] { return run_on(pty.path(), options); });
    for (int i = 0; i < 250 && monitor.wait_for(20ms) != std::future_status::ready; ++i) pty.write_master(sw11_req);
    return monitor.get();
}

TEST(CliMonitor, PrintsLinesUntilTheCountWithTimeBytesAndALogCopy) {
    cli_result r = monitor_fed({"--count", "3"});
    EXPECT_EQ(r.status, kvr_cli_ok) << r.err;
    EXPECT_EQ(r.out, sw11_line + "\n" + sw11_line + "\n" + sw11_line + "\n");

    std::string log_path = kvr_global_dated_log().today_path();
    std::ifstream before(log_path, std::ios::binary | std::ios::ate);
    std::streamoff log_size = before ? static_cast<std::streamoff>(before.tellg()) : 0;
    r = monitor_fed({"--time", "--hex", "--log", "--count", "2"});
    EXPECT_EQ(r.status, kvr_cli_ok) << r.err;
    const std::string pattern = std::regex_replace(sw11_line, std::regex(R"([\[\]()])"), R"(\$&)");
    const std::string stamped = R"(\d\d:\d\d:\d\d\.\d\d\d B0 0A 30 75  )" + pattern + "\n";
    EXPECT_TRUE(std::regex_match(r.out, std::regex("(" + stamped + "){2}"))) << r.out;
    std::ifstream after(log_path, std::ios::binary);
    after.seekg(log_size);
    std::string added((std::istreambuf_iterator<char>(after)), std::istreambuf_iterator<char>());
    std::regex logged(R"(\d{4}/\d\d/\d\d \d\d:\d\d:\d\d )" + pattern);
    EXPECT_EQ(std::distance(std::sregex_iterator(added.begin(), added.end(), logged), std::sregex_iterator()), 2)
        << added;
}

TEST(CliMonitor, TimeoutEndsItAMissedCountIsCancelledALostLinkFails) {
    bare_pty quiet;
    cli_result plain = run_on(quiet.path(), {"--timeout", "0.3", "monitor"});
    EXPECT_EQ(plain.status, kvr_cli_ok) << plain.err;
    EXPECT_LT(plain.seconds, 1.0);
    EXPECT_EQ(run_on(quiet.path(), {"--timeout", "0.3", "monitor", "--count", "1"}).status, kvr_cli_cancelled);

    auto monitor = std::async(std::launch::async, [&] { return run_on(quiet.path(), {"--timeout", "5", "monitor"}); });
    std::this_thread::sleep_for(300ms);
    quiet.hang_up();
    ASSERT_EQ(monitor.wait_for(3s), std::future_status::ready) << "the monitor did not notice the loss";
    cli_result lost = monitor.get();
    EXPECT_EQ(lost.status, kvr_cli_failed);
    EXPECT_NE(lost.err.find("was lost"), std::string::npos) << lost.err;
}

TEST(CliPort, DefaultPortComesFromTheSettingsFile) {
    sim_bus bus;
    std::string ini = testing::TempDir() + "busprobe-cli-port.ini";
    std::ofstream(ini) << "[SETTING]\nCOMMPORT=" << bus.path() << "\nLOGDIR=0\n";
    EXPECT_EQ(run_cli({"power", "on"}, ini).status, kvr_cli_ok);
    EXPECT_TRUE(bus.saw_in_order({power_on}));
    std::ofstream(ini) << "[SETTING]\nCOMMPORT=COM7\n";
    cli_result r = run_cli({"power", "on"}, ini);
    EXPECT_EQ(r.status, kvr_cli_usage);
    EXPECT_NE(r.err.find("unknown port name 'COM7'"), std::string::npos);
    std::remove(ini.c_str());
}

}  // namespace
