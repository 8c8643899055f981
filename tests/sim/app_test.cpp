// busprobe-sim as a user runs it: from the build, on a pseudo-terminal,
// stopped with SIGTERM.

#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "pty_client.h"
#include "sim/kvr_sim_args.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;

// The program with its standard output on a pipe.
class sim_process {
public:
    explicit sim_process(std::vector<std::string> args) {
        int fds[2];
        if (::pipe(fds) != 0) return;
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

private:
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

TEST(SimProgram, HelpPrintsTheUsage) {
    sim_process help({"--help"});
    EXPECT_EQ(help.read_line(), "Usage: busprobe-sim [options]");
    EXPECT_EQ(help.wait_exit(), 0);
}

TEST(SimArgs, OptionsReachTheStationSettings) {
    const kvr_sim_args a = kvr_sim_parse_args({"--instant", "--busy", "3", "--drop=2", "--no-decoder",
                                               "--no-write-ack", "--switch-full", "--noise", "5", "--seed", "9",
                                               "--pace", "--demo", "--clock-rate", "0", "--ack-ms", "7",
                                               "--read-ms", "8", "--write-ms", "9", "--link", "/tmp/x", "--log"});
    EXPECT_EQ(a.error, "");
    const kvr_sim_options& o = a.options;
    EXPECT_TRUE(o.instant && !o.decoder_present && !o.decoder_acks_writes && o.switch_buffer_full && o.pace && o.demo);
    EXPECT_EQ((std::vector<unsigned>{o.busy_tasks, o.drop_answers, o.noise_per_mille, o.seed, o.ack_delay_ms,
                                     o.read_delay_ms, o.write_delay_ms}),
              (std::vector<unsigned>{3, 2, 5, 9, 7, 8, 9}));
    EXPECT_EQ(o.clock_rate, 0);
    EXPECT_EQ(a.link, "/tmp/x");
    EXPECT_TRUE(a.log);

    const kvr_sim_args defaults = kvr_sim_parse_args({});
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
        {{"--link"}, "--link needs a path"},
    };
    for (const bad_case& b : bad) EXPECT_EQ(kvr_sim_parse_args(b.args).error, b.error);
}
