// The bus commands of busprobe-cli, run in this process against the
// simulated station on a pseudo-terminal (bytes that reached it, layout
// state, output, exit status) and against stations that misbehave.

#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

#include <fstream>
#include <future>
#include <regex>
#include <sstream>
#include <thread>

#include "apps/cli/cli_sink.h"
#include "apps/cli_test_support.h"
#include "foundation/kvr_file.h"
#include "link/kvr_serial.h"
#include "support/temp_dir.h"
#include "support/unprivileged.h"

namespace {

using namespace std::chrono_literals;

// Golden requests from the LocoNet message layout (checksums worked by hand).
const cli_bytes power_on = {0x83, 0x7C};
const cli_bytes direct_read_cv29 = {0xEF, 0x0E, 0x7C, 0x28, 0, 0, 0, 0, 0, 0x1C, 0, 0, 0, 0x56};
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
        std::string message;
    } cases[] = {
        {{"cv", "read", "1025"}, "CV 1025 is outside 1 to 1024"},
        {{"cv", "write", "1", "256"}, "value 256 is outside 0 to 255"},
        {{"cv", "read", "9", "--mode", "register"}, "register 9 is outside 1 to 8"},
        {{"cv", "read", "1", "--mode", "fast"}, "unknown mode 'fast'"},
        {{"cv", "read", "1", "--mode", "ops"}, "needs the locomotive's --address"},
        {{"cv", "read", "1", "--mode", "ops", "--address", "0"}, "address 0 is outside 1 to 10239"},
        {{"switch", "0", "closed"}, "switch 0 is outside 1 to 2048"},
        {{"switch", "2049", "thrown"}, "switch 2049 is outside 1 to 2048"},
        {{"throttle", "10240"}, "address 10240 is outside 1 to 10239"},
        {{"throttle", "0"}, "address 0 is outside 1 to 10239"},
        {{"throttle", "3", "--speed", "128"}, "speed 128 is outside 0 to 127"},
        {{"throttle", "3", "--speed", "29", "--steps", "28"}, "speed 29 is outside 0 to 28"},
        {{"throttle", "3", "--f", "29=on"}, "function 29 is outside 0 to 28"},
        {{"address", "write", "192", "256"}, "CV18 value 256 is outside 0 to 255"},
        {{"monitor", "--count", "0"}, "not a positive number"},
        {{"fly"}, "unknown command 'fly'"},
        {{"--adapter", "ms200", "power", "on"}, "unknown adapter 'ms200'"},
        {{"replay"}, "too few arguments"},
        {{"replay", "f", "--live", "--speed", "0"}, "--speed 0 is out of range (0.01 to 1000)"},
        {{"replay", "f", "--live", "--speed", "fast"}, "--speed 'fast' is not a number"},
        {{"record"}, "too few arguments"},
        {{"record", "f", "--count", "0"}, "--count '0' is not a positive number"},
        {{"record", "f", "g"}, "unexpected argument 'g'"},
        // Negative numbers are numbers out of range, not options.
        {{"switch", "-5", "closed"}, "switch -5 is out of range (1 to 2048)"},
        {{"throttle", "3", "--speed", "-1"}, "speed -1 is out of range (0 to 127)"},
        {{"monitor", "--count", "-1"}, "--count -1 is out of range"},
        {{"--timeout", "-1", "clock"}, "--timeout -1 is out of range"},
        // What the user typed is echoed escaped and cut, never sent raw to the terminal.
        {{"power", "\x1b]0;x\a"}, "not '\\e]0;x\\x07'"},
        {{"cv", "\xff\xc2\x9b" + std::string(100, 'a')}, "'\\xFF\\xC2\\x9B" + std::string(58, 'a') + "...'"},
    };
    for (const auto& c : cases) {
        cli_result r = run_on(bus.path(), c.args);
        EXPECT_EQ(r.status, kvr_cli_usage) << c.message;
        EXPECT_EQ(r.err.rfind("busprobe-cli: ", 0), 0u) << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("Usage: busprobe-cli"), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(std::count_if(r.err.begin(), r.err.end(), [](char ch) { return ch != '\n' && (ch & 0xE0) == 0; }), 0)
            << r.err;
    }
    EXPECT_NE(run_on("COM9", {"power", "on"}).err.find("unknown port name 'COM9'"), std::string::npos);
    bus.settle();
    EXPECT_TRUE(bus.seen().empty());
    for (const auto& args : std::vector<std::vector<std::string>>{{"--help"}, {"throttle", "-h"}, {"help", "cv", "read"}}) {
        cli_result r = run_cli(args);
        EXPECT_EQ(r.status, kvr_cli_ok);
        EXPECT_EQ(r.out.rfind("Usage: busprobe-cli", 0), 0u) << r.out;
    }
    // The help's opening names every kind of adapter the program drives.
    const std::string help = run_cli({"--help"}).out;
    const std::string intro = help.substr(0, help.find("Commands:"));
    for (const char* kind : {"MS100", "LocoBuffer", "LocoNet-over-TCP", "SIM"})
        EXPECT_NE(intro.find(kind), std::string::npos) << kind << " missing from:\n" << intro;
}

TEST(CliCommands, PowerSwitchAndClockReachTheLayout) {
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
    EXPECT_EQ(s[STAT] & 7, 3) << "the slot's 128 steps (code 011) kept";
    // DIRF bit 5 set is reverse, clear forward (the opposite was once sent).
    EXPECT_FALSE(s[DIRF] & 0x20) << "forward";

    s = run_loco3({"--speed", "14", "--steps", "28"});
    EXPECT_EQ(s[STAT] & 7, 0) << "28 steps, picked: code 000 beside the 011 it had";
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
    // The requests and their order are the command station's (checked there).
    auto cvs = bus.with_station([](kvr_sim_station& s) {
        kvr_sim_decoder& d = s.programmer().track_decoder();
        return std::array<int, 3>{d.cv(17), d.cv(18), d.cv(29) & 0x20};
    });
    EXPECT_EQ(cvs, (std::array<int, 3>{196, 210, 0x20}));

    sim_bus paged;
    EXPECT_EQ(run_on(paged.path(), {"address", "write", "192", "100"}).status, kvr_cli_ok);
    auto paged_cvs = paged.with_station([](kvr_sim_station& s) {
        kvr_sim_decoder& d = s.programmer().track_decoder();
        return std::array<int, 2>{d.cv(18), d.cv(29) & 0x20};
    });
    EXPECT_EQ(paged_cvs, (std::array<int, 2>{100, 0})) << "paged mode leaves CV 29 alone";
}

TEST(CliFailure, NoDecoderGivesTheFullReportAndNoAcknowledgeItsOwnLine) {
    kvr_sim_options o = sim_bus::instant();
    o.decoder_present = false;
    sim_bus bus(o);
    cli_result r = run_on(bus.path(), {"cv", "read", "29"});
    EXPECT_EQ(r.status, kvr_cli_failed);
    EXPECT_EQ(r.out, "");
    // The line in plain words first, then the full report.
    EXPECT_EQ(r.err.rfind("No decoder on the programming track. Put the locomotive on it and try again.\n"
                          "kvr_dccx_loconet::do_paged_read() ",
                          0),
              0u)
        << r.err;
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
        pty.write({0xB4, 0x6F, 0x01, 0x25});  // LACK: task accepted
        pty.write(reply);
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
    EXPECT_EQ(silent.read(direct_read_cv29.size(), 1000), direct_read_cv29) << "the read had begun";
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind("busprobe-cli: cancelled: time-out after 1 s\n", 0), 0u) << r.err;
    EXPECT_NE(r.err.find("\nCANCEL "), std::string::npos) << r.err;
}

// Runs the monitor on a thread and feeds the switch request every 20 ms
// until it returns (for half a minute at most: a hang guard).
cli_result monitor_fed(std::vector<std::string> options, int out_fd = -1, std::vector<std::string> globals = {}) {
    bare_pty pty;
    options.insert(options.begin(), {"-p", pty.path(), "monitor"});
    options.insert(options.begin(), globals.begin(), globals.end());
    auto monitor = std::async(std::launch::async, [&] { return run_cli(options, {}, out_fd); });
    for (int i = 0; i < 1500 && monitor.wait_for(20ms) != std::future_status::ready; ++i) pty.write(sw11_req);
    return monitor.get();
}

TEST(CliMonitor, PrintsLinesUntilTheCountWithTimeBytesAndALogCopy) {
    cli_result r = monitor_fed({"--count", "3"});
    EXPECT_EQ(r.status, kvr_cli_ok) << r.err;
    EXPECT_EQ(r.out, sw11_line + "\n" + sw11_line + "\n" + sw11_line + "\n");

    // --log-dir names a folder that does not exist yet: the first record makes it.
    temp_dir logs;
    const std::string log_dir = (logs.path / "state" / "busprobe").string();
    r = monitor_fed({"--log-dir", log_dir, "--time", "--hex", "--log", "--count", "2"});
    kvr_global_dated_log().set_directory({});
    EXPECT_EQ(r.status, kvr_cli_ok) << r.err;
    const std::string pattern = std::regex_replace(sw11_line, std::regex(R"([\[\]()])"), R"(\$&)");
    const std::string stamped = R"(\d\d:\d\d:\d\d\.\d\d\d B0 0A 30 75  )" + pattern + "\n";
    EXPECT_TRUE(std::regex_match(r.out, std::regex("(" + stamped + "){2}"))) << r.out;
    std::ifstream after(kvr_dated_log(log_dir).today_path(), std::ios::binary);
    std::string added((std::istreambuf_iterator<char>(after)), std::istreambuf_iterator<char>());
    std::regex logged(R"(\d{4}/\d\d/\d\d \d\d:\d\d:\d\d )" + pattern);
    EXPECT_EQ(std::distance(std::sregex_iterator(added.begin(), added.end(), logged), std::sregex_iterator()), 2)
        << added;
}

// A log folder that cannot be made is reported with the folder as typed,
// its control characters escaped, and the monitor fails.
TEST(CliMonitor, AnUnusableLogFolderIsReportedQuoted) {
    temp_dir logs;
    std::ofstream(logs.path / "plain") << "not a folder";
    const std::string log_dir = (logs.path / "plain" / "\x1b]0;X\a").string();
    const cli_result r = monitor_fed({"--log-dir", log_dir, "--log", "--count", "2"});
    kvr_global_dated_log().set_directory({});
    EXPECT_EQ(r.status, kvr_cli_failed) << r.err;
    EXPECT_NE(r.err.find("the log cannot be written in '" + (logs.path / "plain").string() + "/\\e]0;X\\x07'"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(r.err.find('\x1b'), std::string::npos) << "no raw escape";
}

TEST(CliMonitor, TimeoutEndsItAMissedCountIsCancelledALostLinkFails) {
    bare_pty quiet;
    cli_result plain = run_on(quiet.path(), {"--timeout", "0.3", "monitor"});
    EXPECT_EQ(plain.status, kvr_cli_ok) << plain.err;
    EXPECT_EQ(run_on(quiet.path(), {"--timeout", "0.3", "monitor", "--count", "1"}).status, kvr_cli_cancelled);

    // Pulled out once the monitor shows what it reads; the time-out is only
    // a hang guard.
    int shown[2];
    ASSERT_EQ(::pipe2(shown, O_CLOEXEC), 0);
    auto monitor = std::async(std::launch::async, [&] {
        return run_cli({"-p", quiet.path(), "--timeout", "30", "monitor"}, {}, shown[1]);
    });
    std::string lines;
    for (int i = 0; i < 1500 && lines.find('\n') == std::string::npos; ++i) {
        quiet.write(sw11_req);
        pollfd p{shown[0], POLLIN, 0};
        char buf[256];
        if (::poll(&p, 1, 20) == 1)
            if (const ssize_t n = ::read(shown[0], buf, sizeof buf); n > 0) lines.append(buf, static_cast<std::size_t>(n));
    }
    EXPECT_EQ(lines.substr(0, lines.find('\n')), sw11_line);
    quiet.hang_up();
    cli_result lost = monitor.get();
    ::close(shown[0]);
    ::close(shown[1]);
    EXPECT_EQ(lost.status, kvr_cli_failed);
    EXPECT_NE(lost.err.find("was lost"), std::string::npos) << lost.err;
}

TEST(CliThrottle, DirectionOrFunctionsAloneTakeTheSlotSoTheChangeStays) {
    sim_bus bus;
    EXPECT_EQ(run_on(bus.path(), {"throttle", "200", "--f", "1=on"}).status, kvr_cli_ok);
    EXPECT_EQ(run_on(bus.path(), {"throttle", "201", "--rev"}).status, kvr_cli_ok);
    // Asking for another address must not reload the slots of 200 and 201.
    EXPECT_EQ(run_on(bus.path(), {"throttle", "202"}).status, kvr_cli_ok);
    cli_result f1 = run_on(bus.path(), {"throttle", "200"});
    EXPECT_NE(f1.out.find("IN_USE adr(200)"), std::string::npos) << f1.out;
    EXPECT_NE(f1.out.find("F0-4(01000)"), std::string::npos) << f1.out;
    cli_result rev = run_on(bus.path(), {"throttle", "201"});
    EXPECT_NE(rev.out.find("IN_USE adr(201)"), std::string::npos) << rev.out;
    EXPECT_NE(rev.out.find("DIR(rev)"), std::string::npos) << rev.out;
}

TEST(CliSwitch, WaitsForTheAcknowledgeARefusalFailsNoneIsCancelled) {
    kvr_sim_options full = sim_bus::instant();
    full.switch_buffer_full = true;
    sim_bus refusing(full);
    cli_result r = run_on(refusing.path(), {"switch", "7", "thrown"});
    EXPECT_EQ(r.status, kvr_cli_failed);
    EXPECT_NE(r.err.find("switch 7 refused by the command station\n"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("FIFO is FULL,command Rejected!!!"), std::string::npos) << r.err;
    EXPECT_TRUE(refusing.with_station([](kvr_sim_station& s) { return s.turnout(7).closed; }));

    kvr_sim_options dropping = sim_bus::instant();
    dropping.drop_answers = 1000;
    sim_bus silent(dropping);
    r = run_on(silent.path(), {"--timeout", "1", "switch", "7", "thrown"});
    EXPECT_EQ(r.status, kvr_cli_cancelled) << r.err;
    EXPECT_NE(r.err.find("the request was sent and its answer not awaited, so the turnout may have been set"),
              std::string::npos)
        << r.err;
}

TEST(CliCancel, CancelledWriteSaysTheDecoderMayHaveBeenWritten) {
    kvr_sim_options slow;  // answers at their usual pace, the write's after 2 s
    slow.write_delay_ms = 2000;
    sim_bus bus(slow);
    cli_result r = run_on(bus.path(), {"--timeout", "1", "cv", "write", "3", "21"});
    EXPECT_EQ(r.status, kvr_cli_cancelled);
    EXPECT_NE(r.err.find("busprobe-cli: the request was sent and its answer not awaited, so the decoder may "
                         "have been written\n"),
              std::string::npos)
        << r.err;
    // And so it was.
    EXPECT_EQ(bus.with_station([](kvr_sim_station& s) { return s.programmer().track_decoder().cv(3); }), 21);
}

// The port stored in the settings file is the default; none given or stored
// is a usage error, and a bad stored one names the file. The files written
// here hold no serial port of this machine, so nothing can fall back to one.
TEST(CliPort, TheSettingsFileGivesTheDefaultPortOrNamesItsFault) {
    sim_bus bus;
    const temp_dir dir;
    const std::string ini = (dir.path / "busprobe.ini").string();
    write_file(ini, "[SETTING]\nCOMMPORT=" + bus.path() + "\nLOGDIR=0\n");
    EXPECT_EQ(run_cli({"power", "on"}, ini).status, kvr_cli_ok);
    EXPECT_TRUE(bus.saw_in_order({power_on}));

    write_file(ini, "[SETTING]\nLOGDIR=1\n");
    for (const std::string& settings : {std::string(), ini}) {
        cli_result r = run_cli({"power", "on"}, settings);
        EXPECT_EQ(r.status, kvr_cli_usage);
        EXPECT_EQ(r.err.rfind("busprobe-cli: no port: give -p PORT (COM1 to COM4, SIM, a device path or tcp://HOST[:PORT])\n", 0), 0u)
            << r.err;
    }
    write_file(ini, "[SETTING]\nCOMMPORT=\x1b[2J\n");
    cli_result r = run_cli({"power", "on"}, ini);
    EXPECT_EQ(r.status, kvr_cli_usage);
    EXPECT_NE(r.err.find("unknown port name '\\e[2J' in COMMPORT of '" + ini + "'"), std::string::npos) << r.err;
}

// The adapter kind the window stored beside its port applies to that port
// ("auto", as the window writes it, included); --adapter overrides it.
TEST(CliPort, TheSettingsFilesAdapterOpensTheStoredPort) {
    struct held_pty : bare_pty {
        // The line as the tool left it: rate and RTS/CTS.
        std::pair<unsigned, bool> line() const {
            unsigned baud = 0;
            bool rtscts = false;
            kvr_serial::line_settings(slave_, &baud, &rtscts, kvr_serial_io::system());
            return {baud, rtscts};
        }
    };
    const temp_dir dir;
    const std::string ini = (dir.path / "busprobe.ini").string();
    const struct {
        std::string adapter;
        std::vector<std::string> args;
        std::pair<unsigned, bool> line;
    } cases[] = {
        {"locobuffer-19200", {}, {19200, true}},
        {"ms100", {}, {16457, false}},
        {"auto", {}, {16457, false}},  // a pseudo-terminal gets the MS100 settings
        {"locobuffer-19200", {"--adapter", "auto"}, {16457, false}},
        {"locobuffer-19200", {"--adapter", "locobuffer"}, {57600, true}},
    };
    for (const auto& c : cases) {
        held_pty pty;
        write_file(ini, "[SETTING]\nCOMMPORT=" + pty.path() + "\nADAPTER=" + c.adapter + "\n");
        std::vector<std::string> args = c.args;
        for (const char* a : {"--timeout", "1", "power", "on"}) args.push_back(a);
        const cli_result r = run_cli(args, ini);  // nobody answers: the status does not matter
        EXPECT_EQ(pty.line(), c.line) << c.adapter << " " << r.err;
    }
}

// Small refusals: a negative replay speed is out of range, not "not a
// number", and an empty capture file name is a usage error.
TEST(CliUsage, NegativeSpeedAndEmptyCaptureNameAreUsageErrors) {
    const struct {
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {{"replay", "f", "--speed", "-1"}, "--speed -1 is out of range (0.01 to 1000)"},
        {{"record", ""}, "the capture file name is empty"},
        {{"replay", ""}, "the capture file name is empty"},
    };
    for (const auto& c : cases) {
        const cli_result r = run_on("SIM", c.args);
        EXPECT_EQ(r.status, kvr_cli_usage) << c.message;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    }
    EXPECT_NE(run_cli({"monitor", "--help"}).out.find("monitor [--time] [--hex] [--extended]"), std::string::npos);
}

// A file descriptor to write standard output to, and the end a reader holds.
struct out_pipe {
    out_pipe() {
        if (pipe2(fd, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    }
    ~out_pipe() {
        for (int f : fd)
            if (f >= 0) ::close(f);
    }
    void close_reader() { ::close(fd[0]), fd[0] = -1; }
    int fd[2] = {-1, -1};
};

TEST(CliOutput, OutputThatCannotBeWrittenFailsOnlyAMonitorWithoutReaderEndsQuietly) {
    signal(SIGPIPE, SIG_IGN);  // as the program does: a closed pipe is a failed write
    int full = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
    ASSERT_GE(full, 0);
    sim_bus bus;
    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string>>{{"-p", bus.path(), "cv", "read", "29", "--mode", "direct"},
                                               {"-p", bus.path(), "clock"},
                                               {"decode", "83", "7C"},
                                               {"--help"}}) {
        cli_result r = run_cli(args, {}, full);
        EXPECT_EQ(r.status, kvr_cli_failed) << args[2];
        EXPECT_NE(r.err.find("busprobe-cli: the output could not be written: No space left on device\n"),
                  std::string::npos)
            << r.err;
    }
    cli_result monitor_full = monitor_fed({"--count", "1000"}, full);
    EXPECT_EQ(monitor_full.status, kvr_cli_failed);
    ::close(full);

    out_pipe gone;
    gone.close_reader();
    // Global options before the command word do not hide that it is a monitor.
    cli_result monitor_head = monitor_fed({"--count", "1000"}, gone.fd[1], {"--adapter", "ms100", "--timeout=30"});
    EXPECT_EQ(monitor_head.status, kvr_cli_ok) << monitor_head.err;
    EXPECT_EQ(monitor_head.err, "");
    out_pipe gone_too;
    gone_too.close_reader();
    EXPECT_EQ(run_cli({"decode", "83", "7C"}, {}, gone_too.fd[1]).status, kvr_cli_failed);
}

// Reads the pipe until `text` has come (or the pipe ends); returns all read.
std::string read_until(int fd, const std::string& text, std::string got = {}, int wait_ms = 10000) {
    char buf[65536];
    pollfd p{fd, POLLIN, 0};
    while (got.find(text) == std::string::npos && poll(&p, 1, wait_ms) == 1) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0) break;
        got.append(buf, static_cast<std::size_t>(n));
    }
    return got;
}

TEST(CliMonitor, AStalledReaderLosesOldLinesWithACountNotMemory) {
    // Nobody reads the pipe while far more lines arrive than the monitor
    // keeps; then the reader catches up. Every line is shown or counted.
    const int fed = 3 * static_cast<int>(cli_sink::max_queued_lines);
    bare_pty pty;
    out_pipe stalled;
    auto monitor = std::async(std::launch::async,
                              [&] { return run_cli({"-p", pty.path(), "--timeout", "0", "monitor"}, {}, stalled.fd[1]); });
    // Probes to distinct slots until the first shows: those sent before the
    // link was open are lost, every later one is received.
    std::string out;
    int probes = 0;
    while (out.empty() && probes < 120) {
        ++probes;
        const uint8_t slot = static_cast<uint8_t>(probes);
        pty.write({0xA0, slot, 0x00, static_cast<uint8_t>(0xFF ^ 0xA0 ^ slot)});
        out = read_until(stalled.fd[0], "\n", {}, 20);
    }
    std::smatch first;
    ASSERT_TRUE(std::regex_search(out, first, std::regex(R"(SLOT#\[(\d+)\] spd)"))) << out;
    const std::size_t received = static_cast<std::size_t>(probes) - std::stoul(first[1]) + 1 + fed + 1;

    for (int i = 0; i < fed; ++i) pty.write(sw11_req);
    pty.write(power_on);
    out = read_until(stalled.fd[0], "OPC_GPON:\n", out);
    pty.hang_up();
    cli_result r = monitor.get();
    ::close(stalled.fd[1]), stalled.fd[1] = -1;
    out = read_until(stalled.fd[0], "\xff", out);
    EXPECT_EQ(r.status, kvr_cli_failed) << "the link was lost";

    std::smatch gap;
    ASSERT_TRUE(std::regex_search(out, gap, std::regex("\u2026 (\\d+) lines not shown\n"))) << out.substr(0, 200);
    const auto lines = static_cast<std::size_t>(std::count(out.begin(), out.end(), '\n'));
    EXPECT_EQ(lines - 1 + std::stoul(gap[1]), received);
    EXPECT_NE(out.find("OPC_GPON:\n"), std::string::npos);
}

TEST(CliSettings, SharesTheWindowsFileBesideTheProgramsForEveryUser) {
    const std::string dir = testing::TempDir() + "busprobe-cli-settings";
    ::mkdir(dir.c_str(), 0755);
    const std::string cli = dir + "/busprobe-cli";
    const std::string window_ini = dir + "/busprobe.ini";
    EXPECT_EQ(cli_settings_path_for(cli, "/xdg", "/home/u"), window_ini) << "a folder the user may write";

    // A folder the user may not write: the window's file there when it
    // exists, else the user's configuration folder, whatever the tool's
    // own name.
    std::ofstream(window_ini) << "[SETTING]\nCOMMPORT=SIM\n";
    ::chmod(dir.c_str(), 0555);
    const auto as_user = [&] { return unprivileged::run([&] { return cli_settings_path_for(cli, "/xdg", "/home/u"); }); };
    EXPECT_EQ(as_user(), window_ini);
    ::chmod(dir.c_str(), 0755);
    std::remove(window_ini.c_str());
    ::chmod(dir.c_str(), 0555);
    EXPECT_EQ(as_user(), "/xdg/busprobe/busprobe.ini");
    ::chmod(dir.c_str(), 0755);
    ::rmdir(dir.c_str());
}

}  // namespace
