// busprobe-sim as a user runs it: from the build, on a pseudo-terminal,
// stopped with SIGTERM.

#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "loconet/lntcp_test_client.h"
#include "pty_client.h"
#include "sim/kvr_sim_args.h"
#include "support/unprivileged.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;

// The program with its standard output on a pipe.
class sim_process {
public:
    // `ordinary_user`: the program runs as the unprivileged test user.
    explicit sim_process(std::vector<std::string> args, bool ordinary_user = false) {
        int fds[2];
        if (::pipe(fds) != 0) return;
        if (ordinary_user) {
            spawn_as_ordinary_user(args, fds);
            return;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&actions, fds[0]);
        args.insert(args.begin(), BUSPROBE_SIM_EXE);
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, BUSPROBE_SIM_EXE, &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        ::close(fds[1]);
        out_ = fds[0];
    }
    ~sim_process() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        if (out_ >= 0) ::close(out_);
    }

    // Standard output up to the first line end, or what came within three seconds.
    std::string read_line() {
        const auto end = std::chrono::steady_clock::now() + 3s;
        std::size_t nl;
        while ((nl = text_.find('\n')) == std::string::npos)
            if (!read_some(20) && std::chrono::steady_clock::now() >= end) return {};
        std::string line = text_.substr(0, nl);
        text_.erase(0, nl + 1);
        return line;
    }

    // The exit status, or -1 when it did not end in time.
    int wait_exit() {
        for (int i = 0; i < 300; ++i) {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(10ms);
        }
        return -1;
    }

    // The rest of standard output after the program ended.
    std::string rest() {
        while (read_some(100)) continue;
        return text_;
    }
    pid_t pid() const { return pid_; }
    int out() const { return out_; }

    // Reads standard output until `text` shows up (true) or `s` seconds pass.
    bool read_until(const std::string& text, int s) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(s);
        while (text_.find(text) == std::string::npos) {
            if (std::chrono::steady_clock::now() >= end) return false;
            if (!read_some(20)) continue;
            if (text_.size() > 65536) text_.erase(0, text_.size() - 4096);  // keep the tail only
        }
        return true;
    }

private:
    void spawn_as_ordinary_user(std::vector<std::string>& args, int fds[2]) {
        args.insert(args.begin(), BUSPROBE_SIM_EXE);
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        const uid_t u = unprivileged::uid();
        const gid_t g = unprivileged::gid();
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(fds[1], STDOUT_FILENO);
            ::close(fds[0]);
            ::close(fds[1]);
            if (unprivileged::drop(u, g)) ::execv(BUSPROBE_SIM_EXE, argv.data());
            ::_exit(127);
        }
        ::close(fds[1]);
        out_ = fds[0];
    }

    bool read_some(int ms) {
        pollfd p{out_, POLLIN, 0};
        if (::poll(&p, 1, ms) <= 0) return false;
        char buf[512];
        const ssize_t n = ::read(out_, buf, sizeof buf);
        if (n <= 0) return false;
        text_.append(buf, static_cast<std::size_t>(n));
        return true;
    }

    pid_t pid_ = -1;
    int out_ = -1;
    std::string text_;
};

}  // namespace

TEST(SimProgram, PrintsItsPathAnswersAndExitsCleanlyOnSigterm) {
    const std::string link = ::testing::TempDir() + "busprobe-sim-test-link";
    ::unlink(link.c_str());
    sim_process p({"--instant", "--log", "--link", link});
    const std::string path = p.read_line();
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
    EXPECT_EQ(p.read_line(), "OPC_LOCO_ADR    :REQ LOCO#[3]");

    ::kill(p.pid(), SIGTERM);
    EXPECT_EQ(p.wait_exit(), 0);
    EXPECT_NE(p.rest().find("OPC_SL_RD_DATA  :SLOT#[1]   128spd FREE SLOT adr(  3)"), std::string::npos);
    EXPECT_NE(::access(link.c_str(), F_OK), 0) << "the link is removed";
}

// With --tcp, programs on the pseudo-terminal and over TCP share one
// simulated bus: each sees the other's requests and the station's answers.
TEST(SimProgram, TcpClientsShareTheBusWithThePseudoTerminal) {
    sim_process p({"--instant", "--tcp", "127.0.0.1:0"});
    const std::string path = p.read_line();
    const std::string address = p.read_line();
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

    ::kill(p.pid(), SIGTERM);
    EXPECT_EQ(p.wait_exit(), 0);
    EXPECT_TRUE(tcp.closed_by_server());
}

TEST(SimProgram, TcpAddressInUseIsAnError) {
    sim_process first({"--instant", "--tcp", "127.0.0.1:0"});
    first.read_line();
    const std::string address = first.read_line();
    ASSERT_FALSE(address.empty());
    sim_process second({"--instant", "--tcp", address});
    EXPECT_EQ(second.wait_exit(), 1);
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
        sim_process p({"--link", link}, true);
        const std::string path = p.read_line();
        ASSERT_EQ(dir.target_of(link), path);
        ::kill(p.pid(), c.sig);
        EXPECT_EQ(p.wait_exit(), c.status);
        EXPECT_NE(::access(link.c_str(), F_OK), 0) << "the link is left";
    }
}

// Only a symbolic link is ever replaced, a link that cannot be made ends the
// program, and of two simulators given one path the first to stop leaves the
// second one's link alone.
TEST(SimProgram, LinkReplacesOnlyLinksAndIsRemovedOnlyByItsOwner) {
    link_dir dir;
    const std::string file = dir.path + "/notes";
    std::ofstream(file) << "keep";
    unprivileged::hand_over(file);
    sim_process on_file({"--link", file}, true);
    EXPECT_EQ(on_file.wait_exit(), 1);
    EXPECT_EQ(on_file.rest(), "");
    std::ifstream in(file);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "keep");

    // A folder the ordinary user may not write in.
    sim_process no_room({"--link", "/root/busprobe-sim-link"}, true);
    EXPECT_EQ(no_room.wait_exit(), 1);

    const std::string link = dir.path + "/bus";
    ASSERT_EQ(::symlink("/dev/pts/999999", link.c_str()), 0);  // stale, from a killed run
    sim_process first({"--link", link}, true);
    const std::string first_path = first.read_line();
    EXPECT_EQ(dir.target_of(link), first_path);
    sim_process second({"--link", link}, true);
    const std::string second_path = second.read_line();
    EXPECT_EQ(dir.target_of(link), second_path);
    ::kill(first.pid(), SIGTERM);
    EXPECT_EQ(first.wait_exit(), 0);
    EXPECT_EQ(dir.target_of(link), second_path);
    ::kill(second.pid(), SIGTERM);
    EXPECT_EQ(second.wait_exit(), 0);
    EXPECT_NE(::access(link.c_str(), F_OK), 0);
}

// `busprobe-sim --log | sleep 600`: the log's reader never reads. The bus
// goes on answering, the lines that found no room are counted in the log,
// and SIGTERM still ends the program.
TEST(SimProgram, ALogNobodyReadsNeitherStallsTheBusNorKeepsItRunning) {
    sim_process p({"--instant", "--log"});
    const std::string path = p.read_line();
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
    EXPECT_TRUE(p.read_until(" lines not shown\n", 10));
    EXPECT_NE(p.rest().find("\u2026 "), std::string::npos);

    flood();
    ::kill(p.pid(), SIGTERM);
    EXPECT_EQ(p.wait_exit(), 0);
}

TEST(SimProgram, HelpPrintsTheUsage) {
    sim_process help({"--help"});
    EXPECT_EQ(help.read_line(), "Usage: busprobe-sim [options]");
    EXPECT_EQ(help.wait_exit(), 0);
}

TEST(SimArgs, OptionsReachTheStationSettings) {
    const kvr_sim_args a = kvr_sim_parse_args({"--instant", "--busy", "3", "--drop=2", "--no-decoder",
                                               "--no-write-ack", "--switch-full", "--noise", "5", "--seed", "9",
                                               "--pace", "--demo", "--clock-rate", "0", "--ack-ms", "7",
                                               "--read-ms", "8", "--write-ms", "9", "--link", "/tmp/x", "--log",
                                               "--traffic=300"});
    EXPECT_EQ(a.error, "");
    const kvr_sim_options& o = a.options;
    EXPECT_TRUE(o.instant && !o.decoder_present && !o.decoder_acks_writes && o.switch_buffer_full && o.pace && o.demo);
    EXPECT_EQ((std::vector<unsigned>{o.busy_tasks, o.drop_answers, o.noise_per_mille, o.seed, o.ack_delay_ms,
                                     o.read_delay_ms, o.write_delay_ms}),
              (std::vector<unsigned>{3, 2, 5, 9, 7, 8, 9}));
    EXPECT_EQ(o.clock_rate, 0);
    EXPECT_EQ(o.traffic_per_s, 300u);
    EXPECT_EQ(a.link, "/tmp/x");
    EXPECT_TRUE(a.log);

    const kvr_sim_args tcp = kvr_sim_parse_args({"--tcp", "4321"});
    ASSERT_TRUE(tcp.tcp);
    EXPECT_EQ(tcp.tcp->text(), "127.0.0.1:4321");  // loopback unless named
    EXPECT_EQ(kvr_sim_parse_args({"--tcp=[::]:99"}).tcp->text(), "[::]:99");

    const kvr_sim_args defaults = kvr_sim_parse_args({});
    EXPECT_FALSE(defaults.tcp);
    EXPECT_FALSE(defaults.options.instant);
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
}
