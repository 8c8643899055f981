// busprobe-sim as a user runs it: from the build, on a pseudo-terminal,
// stopped with SIGTERM.

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "link/lntcp_test_client.h"
#include "pty_client.h"
#include "sim/kvr_sim_args.h"
#include "support/child_program.h"
#include "support/eventually.h"
#include "support/unprivileged.h"

namespace {

using namespace std::chrono_literals;

// The program with its standard output on a pipe; as the ordinary test
// user when given the copy of the program that user can run.
struct sim_process : child_program {
    explicit sim_process(std::vector<std::string> args, const unprivileged::program_copy* as_user = nullptr)
        : child_program(with_program(as_user ? as_user->path() : BUSPROBE_SIM_EXE, std::move(args)),
                        {.stderr_to_pipe = false, .ordinary_user = as_user != nullptr}) {}
    static std::vector<std::string> with_program(const std::string& program, std::vector<std::string> args) {
        args.insert(args.begin(), program);
        return args;
    }
    // The next line of standard output, "" when none came.
    std::string line() { return read_line().value_or(""); }
};

}  // namespace

TEST(SimProgram, PrintsItsPathAnswersAndExitsCleanlyOnSigterm) {
    const std::string link = ::testing::TempDir() + "busprobe-sim-test-link";
    ::unlink(link.c_str());
    sim_process p({"--instant", "--log", "--link", link});
    const std::string path = p.line();
    ASSERT_EQ(path.rfind("/dev/pts/", 0), 0u) << path;
    char target[256] = {};
    ASSERT_GT(::readlink(link.c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(std::string(target), path);

    // Through the link, as another program would find it.
    {
        pty_client c(link);
        c.write({0xBF, 0x00, 0x03, 0x43});
        // DIRF 0x00: a freshly loaded slot runs forward, and DIRF bit 5 set means reverse.
        EXPECT_EQ(c.read(2), (msgs{{0xBF, 0x00, 0x03, 0x43},
                                   {0xE7, 0x0E, 0x01, 0x03, 0x03, 0x00, 0x00, 0x07, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10}}));
    }
    EXPECT_EQ(p.line(), "OPC_LOCO_ADR    :REQ LOCO#[3]");

    p.signal(SIGTERM);
    EXPECT_EQ(p.wait(), 0);
    EXPECT_NE(p.out.find("OPC_SL_RD_DATA  :SLOT#[1]   128spd FREE SLOT adr(  3)"), std::string::npos);
    EXPECT_NE(::access(link.c_str(), F_OK), 0) << "the link is removed";
}

// With --tcp, programs on the pseudo-terminal and over TCP share one
// simulated bus: each sees the other's requests and the station's answers.
TEST(SimProgram, TcpClientsShareTheBusWithThePseudoTerminal) {
    sim_process p({"--instant", "--tcp", "127.0.0.1:0"});
    const std::string path = p.line();
    const std::string address = p.line();
    ASSERT_EQ(address.rfind("127.0.0.1:", 0), 0u) << address;
    const auto port = static_cast<uint16_t>(std::stoi(address.substr(10)));

    lntcp_test::client tcp(port);
    ASSERT_TRUE(tcp.connected());
    EXPECT_EQ(tcp.line().value_or("").rfind("VERSION Busprobe ", 0), 0u);
    pty_client pty(path);

    // TCP -> bus: the echo and the answer reach both sides, then SENT OK.
    ASSERT_TRUE(tcp.write("SEND BF 00 03 43\r\n"));
    EXPECT_EQ(tcp.line(), "RECEIVE BF 00 03 43");
    EXPECT_EQ(tcp.line(), "SENT OK");
    EXPECT_EQ(tcp.line(), "RECEIVE E7 0E 01 03 03 00 00 07 00 00 00 00 00 10");
    EXPECT_EQ(pty.read(2), (msgs{{0xBF, 0x00, 0x03, 0x43},
                                 {0xE7, 0x0E, 0x01, 0x03, 0x03, 0x00, 0x00, 0x07, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10}}));

    // Pseudo-terminal -> bus: the TCP client sees it.
    pty.write({0x83, 0x7C});
    EXPECT_EQ(tcp.line(), "RECEIVE 83 7C");

    p.signal(SIGTERM);
    EXPECT_EQ(p.wait(), 0);
    EXPECT_TRUE(tcp.closed_by_server());
}

// Other nodes keep about half the bus busy. A client's SEND goes on the bus
// as from one more node that keeps the bus's rules: it waits for its turn
// and goes again after a collision, so every one is carried and confirmed.
// Put on the line regardless, one in four or five met another node's
// message, was lost with it and came back "SENT ERROR no echo".
TEST(SimProgram, TcpSendsAreAllCarriedOnABusyBus) {
    sim_process p({"--tcp", "127.0.0.1:0", "--traffic", "120"});
    p.line();
    const std::string address = p.line();
    ASSERT_EQ(address.rfind("127.0.0.1:", 0), 0u) << address;
    lntcp_test::client tcp(static_cast<uint16_t>(std::stoi(address.substr(10))));
    ASSERT_TRUE(tcp.connected());
    int confirmed = 0;
    std::vector<std::string> refused;
    for (int i = 0; i < 40; ++i) {
        // The echo comes back among the other nodes' reports, then SENT.
        ASSERT_TRUE(tcp.write(i % 2 ? "SEND 83 7C\r\n" : "SEND A0 01 00 5E\r\n"));
        for (std::optional<std::string> line = tcp.line(); line; line = tcp.line()) {
            if (*line == "SENT OK") {
                ++confirmed;
                break;
            }
            if (line->rfind("SENT", 0) == 0) {
                refused.push_back(*line);
                break;
            }
        }
    }
    EXPECT_EQ(confirmed, 40);
    EXPECT_EQ(refused, std::vector<std::string>{});
    p.signal(SIGTERM);
    EXPECT_EQ(p.wait(), 0);
}

TEST(SimProgram, TcpAddressInUseIsAnError) {
    sim_process first({"--instant", "--tcp", "127.0.0.1:0"});
    first.line();
    const std::string address = first.line();
    ASSERT_FALSE(address.empty());
    sim_process second({"--instant", "--tcp", address});
    EXPECT_EQ(second.wait(), 1);
}

namespace {

// A folder for links that the unprivileged user may write in.
struct link_dir {
    link_dir() {
        char tmpl[] = "/tmp/busprobe_sim_link_XXXXXX";
        path = ::mkdtemp(tmpl);
        unprivileged::hand_over(path);
    }
    ~link_dir() { std::filesystem::remove_all(path); }
    std::string target_of(const std::string& link) const {
        char target[256] = {};
        return ::readlink(link.c_str(), target, sizeof target - 1) > 0 ? target : "";
    }
    std::string path;
};

}  // namespace

// Every stop signal the program can catch ends it the same way: the link is
// gone, so it cannot lead into a terminal that later gets the same number.
TEST(SimProgram, EveryStopSignalRemovesTheLinkAsAnOrdinaryUser) {
    const unprivileged::program_copy sim(BUSPROBE_SIM_EXE);
    if (sim.path().empty()) GTEST_SKIP() << sim.why_not();
    link_dir dir;
    const std::string link = dir.path + "/bus";
    const struct {
        int sig;
        int status;
    } cases[] = {{SIGHUP, 128 + SIGHUP},   {SIGQUIT, 128 + SIGQUIT}, {SIGUSR1, 128 + SIGUSR1},
                 {SIGUSR2, 128 + SIGUSR2}, {SIGPIPE, 128 + SIGPIPE}, {SIGINT, 0},
                 {SIGTERM, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(strsignal(c.sig));
        sim_process p({"--link", link}, &sim);
        const std::string path = p.line();
        ASSERT_EQ(dir.target_of(link), path);
        ::kill(p.pid(), c.sig);
        EXPECT_EQ(p.wait(), c.status);
        EXPECT_NE(::access(link.c_str(), F_OK), 0) << "the link is left";
    }
}

// Only a symbolic link is ever replaced, a link that cannot be made ends the
// program, and of two simulators given one path the first to stop leaves the
// second one's link alone.
TEST(SimProgram, LinkReplacesOnlyLinksAndIsRemovedOnlyByItsOwner) {
    const unprivileged::program_copy sim(BUSPROBE_SIM_EXE);
    if (sim.path().empty()) GTEST_SKIP() << sim.why_not();
    link_dir dir;
    const std::string file = dir.path + "/notes";
    std::ofstream(file) << "keep";
    unprivileged::hand_over(file);
    sim_process on_file({"--link", file}, &sim);
    EXPECT_EQ(on_file.wait(), 1);
    EXPECT_EQ(on_file.out, "");
    std::ifstream in(file);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "keep");

    // A folder the ordinary user may not write in.
    sim_process no_room({"--link", "/root/busprobe-sim-link"}, &sim);
    EXPECT_EQ(no_room.wait(), 1);

    const std::string link = dir.path + "/bus";
    ASSERT_EQ(::symlink("/dev/pts/999999", link.c_str()), 0);  // stale, from a killed run
    sim_process first({"--link", link}, &sim);
    const std::string first_path = first.line();
    EXPECT_EQ(dir.target_of(link), first_path);
    sim_process second({"--link", link}, &sim);
    const std::string second_path = second.line();
    EXPECT_EQ(dir.target_of(link), second_path);
    first.signal(SIGTERM);
    EXPECT_EQ(first.wait(), 0);
    EXPECT_EQ(dir.target_of(link), second_path);
    second.signal(SIGTERM);
    EXPECT_EQ(second.wait(), 0);
    EXPECT_NE(::access(link.c_str(), F_OK), 0);
}

// `busprobe-sim --log | sleep 600`: the log's reader never reads. The bus
// goes on answering, the lines that found no room are counted in the log,
// and SIGTERM still ends the program.
TEST(SimProgram, ALogNobodyReadsNeitherStallsTheBusNorKeepsItRunning) {
    sim_process p({"--instant", "--log"});
    const std::string path = p.line();
    ASSERT_EQ(path.rfind("/dev/pts/", 0), 0u) << path;
    pty_client c(path);
    const bytes loco3 = {0xBF, 0x00, 0x03, 0x43};
    // Some 130 bytes of log per request: far more than a pipe holds.
    const auto flood = [&] {
        bytes batch;
        for (int i = 0; i < 100; ++i) batch.insert(batch.end(), loco3.begin(), loco3.end());
        for (int round = 0; round < 30; ++round) {
            c.write(batch);
            ASSERT_EQ(c.read(200).size(), 200u) << "round " << round;
        }
    };
    flood();
    // Reading again catches up with the queue and finds the count.
    EXPECT_TRUE(p.read_until(" lines not shown\n"));
    EXPECT_NE(p.out.find("\u2026 "), std::string::npos);

    flood();
    p.signal(SIGTERM);
    EXPECT_EQ(p.wait(10s, false), 0) << "ended without its log being read";
}

// The capture is read through before anything plays; a file that never
// ends (/dev/zero: one endless line) must not make the program deaf to its
// stop signals meanwhile.
TEST(SimProgram, AStopSignalEndsTheCheckOfAnEndlessCapture) {
    sim_process p({"--replay", "/dev/zero"});
    const auto reading = [&] {
        std::error_code ec;
        for (const auto& fd : std::filesystem::directory_iterator("/proc/" + std::to_string(p.pid()) + "/fd", ec))
            if (std::filesystem::read_symlink(fd.path(), ec) == "/dev/zero") return true;
        return false;
    };
    ASSERT_TRUE(eventually(reading, 10s));
    p.signal(SIGTERM);
    EXPECT_EQ(p.wait(10s), 0);
}

TEST(SimProgram, HelpPrintsTheUsage) {
    sim_process help({"--help"});
    EXPECT_EQ(help.line(), "Usage: busprobe-sim [options]");
    EXPECT_EQ(help.wait(), 0);
}

TEST(SimArgs, OptionsReachTheStationSettings) {
    const kvr_sim_args a = kvr_sim_parse_args({"--instant", "--busy", "3", "--drop=2", "--no-decoder",
                                               "--no-write-ack", "--switch-full", "--noise", "5", "--seed", "9",
                                               "--pace", "--demo", "--clock-rate", "0", "--ack-ms", "7",
                                               "--read-ms", "8", "--write-ms", "9", "--link", "/tmp/x", "--log",
                                               "--traffic=300", "--replay", "x.cap", "--speed=2.5", "--loop",
                                               "--expanded", "--no-devices"});
    EXPECT_EQ(a.error, "");
    const kvr_sim_options& o = a.options;
    EXPECT_TRUE(o.instant && !o.decoder_present && !o.decoder_acks_writes && o.switch_buffer_full && o.pace && o.demo &&
                o.expanded && !o.devices);
    EXPECT_EQ((std::vector<unsigned>{o.busy_tasks, o.drop_answers, o.noise_per_mille, o.seed, o.ack_delay_ms,
                                     o.read_delay_ms, o.write_delay_ms}),
              (std::vector<unsigned>{3, 2, 5, 9, 7, 8, 9}));
    EXPECT_EQ(o.clock_rate, 0);
    EXPECT_EQ(o.traffic_per_s, 300u);
    EXPECT_EQ(a.link, "/tmp/x");
    EXPECT_TRUE(a.log && a.replay_loop);
    EXPECT_EQ(a.replay, "x.cap");
    EXPECT_EQ(a.replay_speed, 2.5);

    const kvr_sim_args tcp = kvr_sim_parse_args({"--tcp", "4321"});
    ASSERT_TRUE(tcp.tcp);
    EXPECT_EQ(tcp.tcp->text(), "127.0.0.1:4321");  // loopback unless named
    EXPECT_EQ(kvr_sim_parse_args({"--tcp=[::]:99"}).tcp->text(), "[::]:99");

    const kvr_sim_args defaults = kvr_sim_parse_args({});
    EXPECT_FALSE(defaults.tcp);
    EXPECT_FALSE(defaults.options.instant);
    EXPECT_FALSE(defaults.options.expanded) << "the classic station unless asked";
    EXPECT_TRUE(defaults.options.devices);
    EXPECT_EQ(defaults.options.ack_delay_ms, 20u);

    struct bad_case {
        std::vector<std::string> args;
        const char* error;
    };
    const bad_case bad[] = {
        {{"--frobnicate"}, "unknown option --frobnicate"},
        {{"--busy"}, "bad value for --busy"},
        {{"--noise", "1001"}, "bad value for --noise"},
        {{"--ack-ms", "-1"}, "bad value for --ack-ms"},
        {{"--clock-rate=128"}, "bad value for --clock-rate"},
        {{"--traffic", "401"}, "bad value for --traffic"},
        {{"--link"}, "--link needs a path"},
        {{"--tcp", "host:x"}, "bad value for --tcp: bad port \"x\""},
    };
    for (const bad_case& b : bad) EXPECT_EQ(kvr_sim_parse_args(b.args).error, b.error);
    for (const std::vector<std::string>& replay :
         {std::vector<std::string>{"--replay", "x", "--speed", "0"}, {"--replay", "x", "--speed", "-1"},
          {"--replay", "x", "--speed", "2x"}, {"--replay", "x", "--speed", "nan"}, {"--loop"}, {"--replay"}})
        EXPECT_NE(kvr_sim_parse_args(replay).error, "") << replay.back();
}

// The log names the function packets and the slot function messages another
// program sends.
TEST(SimProgram, LogsFunctionPacketsAndSlotFunctionMessages) {
    sim_process p({"--instant", "--log"});
    const std::string path = p.line();
    ASSERT_EQ(path.rfind("/dev/pts/", 0), 0u) << path;
    pty_client c(path);
    // Loco 3, F12 on (NMRA S-9.2.1: 03 A8) inside OPC_IMM_PACKET (LocoNet PE).
    c.write({0xED, 0x0B, 0x7F, 0x24, 0x02, 0x03, 0x28, 0x00, 0x00, 0x00, 0x6B});
    EXPECT_EQ(c.read(2).size(), 2u) << "the echo, then the command station's B4 6D 7F";
    EXPECT_EQ(p.line(), "OPC_IMM_PACKET  :DCC LOCO#[3] F9-12(0001) F12 on reps(4) packet(03 A8)");
    EXPECT_EQ(p.line(), "OPC_LONG_ACK    :OPC_IMM_PACKET ACK(7F)");
    c.write({0xA3, 0x01, 0x09, 0x54});
    EXPECT_EQ(c.read(1).size(), 1u);
    EXPECT_EQ(p.line(), "OPC_LOCO_F9F12  :SLOT#[1] F9-12(1001) F9 F12 on");
}

// --expanded through the pseudo-terminal: a loco taken by BE, driven by D5
// and read back as E6 (PROTOCOL-MODERN.md §1), each message logged.
TEST(SimProgram, ExpandedStationDrivesALocoThroughTheNewerMessages) {
    sim_process p({"--instant", "--expanded", "--log"});
    const std::string path = p.line();
    ASSERT_EQ(path.rfind("/dev/pts/", 0), 0u) << path;
    pty_client c(path);
    c.write({0xBE, 0x00, 0x03, 0x42});
    const msgs taken = c.read(2);
    ASSERT_EQ(taken.size(), 2u);
    EXPECT_EQ(taken[1], (bytes{0xE6, 0x15, 0x00, 0x01, 0x03, 0x03, 0x00, 0x47, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x4A}));
    c.write({0xD5, 0x00, 0x01, 0x00, 0x0A, 0x21});  // slot 1 forward, speed 10
    c.write({0xD5, 0x20, 0x01, 0x00, 0x40, 0x4B});  // F20 on
    c.write({0xBB, 0x01, 0x40, 0x05});
    const msgs read = c.read(4);
    ASSERT_EQ(read.size(), 4u);
    EXPECT_EQ(read[3].at(8), 10) << "speed";
    EXPECT_EQ(read[3].at(9), 0x20) << "F20";
    p.signal(SIGTERM);
    EXPECT_EQ(p.wait(), 0);
    std::size_t lines = 0;
    for (std::size_t at = 0; (at = p.out.find('\n', at)) != std::string::npos; ++at) ++lines;
    EXPECT_EQ(lines, 1u + 6u) << "the device path, then one line a message:\n" << p.out;
    EXPECT_EQ(p.out.find("UNKNOWN"), std::string::npos) << p.out;
}
