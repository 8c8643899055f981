// busprobe-cli and busprobe-sim sharing one bus over LocoNet over TCP, as
// a user runs them: the programs as child processes, all on loopback.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "loconet/lntcp_test_client.h"

extern char** environ;

namespace {

using steady = std::chrono::steady_clock;

// A program with standard output and error on one pipe.
class program {
public:
    explicit program(std::vector<std::string> argv) {
        int p[2];
        if (::pipe2(p, O_CLOEXEC) != 0) return;
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, p[1], 1);
        posix_spawn_file_actions_adddup2(&fa, p[1], 2);
        std::vector<char*> args;
        for (std::string& a : argv) args.push_back(a.data());
        args.push_back(nullptr);
        if (posix_spawn(&pid, args[0], &fa, nullptr, args.data(), environ) != 0) pid = -1;
        posix_spawn_file_actions_destroy(&fa);
        ::close(p[1]);
        fd_ = p[0];
    }
    ~program() {
        if (pid > 0) ::kill(pid, SIGKILL), ::waitpid(pid, nullptr, 0);
        if (fd_ >= 0) ::close(fd_);
    }

    // Reads output until `text` shows up; false after 10 s (a hang guard).
    bool read_until(const std::string& text) {
        const auto end = steady::now() + std::chrono::seconds(10);
        while (out.find(text) == std::string::npos) {
            if (steady::now() >= end || !pump()) return false;
        }
        return true;
    }
    // The exit status; -1 when it did not end within 10 s.
    int wait() {
        const auto end = steady::now() + std::chrono::seconds(10);
        while (steady::now() < end) {
            int status = 0;
            if (::waitpid(pid, &status, WNOHANG) == pid) {
                pid = -1;
                while (pump()) continue;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            pump();
        }
        return -1;
    }

    pid_t pid = -1;
    std::string out;

private:
    bool pump() {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, 20) != 1) return true;
        char buf[4096];
        const ssize_t n = ::read(fd_, buf, sizeof buf);
        if (n <= 0) return false;
        out.append(buf, static_cast<std::size_t>(n));
        return true;
    }
    int fd_ = -1;
};

// The port after "127.0.0.1:" on the line that holds `prefix`.
std::string port_after(const std::string& out, const std::string& prefix) {
    const std::size_t at = out.find(prefix);
    if (at == std::string::npos) return {};
    const std::size_t begin = at + prefix.size();
    return out.substr(begin, out.find('\n', begin) - begin);
}

const std::string cli = BUSPROBE_CLI_PATH;

TEST(CliTcp, SimulatorSharedOverTcpAnswersTheCommandLine) {
    program sim({BUSPROBE_SIM_PATH, "--instant", "--tcp", "127.0.0.1:0"});
    ASSERT_TRUE(sim.read_until("\n127.0.0.1:")) << sim.out;
    while (sim.out.back() != '\n') ASSERT_TRUE(sim.read_until("\n")) << sim.out;
    const std::string port = port_after(sim.out, "\n127.0.0.1:");
    ASSERT_FALSE(port.empty()) << sim.out;
    const std::string url = "tcp://localhost:" + port;

    program write({cli, "-p", url, "cv", "write", "3", "12", "--mode", "direct"});
    EXPECT_EQ(write.wait(), 0) << write.out;
    program read({cli, "-p", url, "cv", "read", "3", "--mode", "direct"});
    EXPECT_EQ(read.wait(), 0) << read.out;
    EXPECT_EQ(read.out, "CV 3 = 12 (0x0C, 00001100)\n");

    ::kill(sim.pid, SIGTERM);
    EXPECT_EQ(sim.wait(), 0);
}

TEST(CliTcp, ServeSharesThePortUntilSigterm) {
    program serve({cli, "-p", "SIM", "serve", "--listen", "127.0.0.1:0", "--log"});
    ASSERT_TRUE(serve.read_until("busprobe-cli: serving SIM on 127.0.0.1:")) << serve.out;
    ASSERT_TRUE(serve.read_until("\n")) << serve.out;
    const std::string port = port_after(serve.out, "on 127.0.0.1:");

    lntcp_test::client watcher(static_cast<uint16_t>(std::stoi(port)));
    EXPECT_EQ(watcher.line().value_or("").rfind("VERSION Busprobe ", 0), 0u);
    program read({cli, "-p", "tcp://127.0.0.1:" + port, "cv", "read", "29", "--mode", "direct"});
    EXPECT_EQ(read.wait(), 0) << read.out;
    EXPECT_EQ(read.out, "CV 29 = 6 (0x06, 00000110)\n");
    // The watcher saw the other client's request go by.
    std::optional<std::string> line;
    while ((line = watcher.line()) && line->rfind("RECEIVE EF 0E 7C", 0) != 0) continue;
    EXPECT_TRUE(line);

    ASSERT_TRUE(serve.read_until("disconnected: closed by client")) << serve.out;
    EXPECT_TRUE(serve.read_until("OPC_WR_SL_DATA")) << serve.out;  // --log
    ::kill(serve.pid, SIGTERM);
    EXPECT_EQ(serve.wait(), 0) << serve.out;
    EXPECT_NE(serve.out.find("disconnected: server stopping"), std::string::npos) << serve.out;
    EXPECT_TRUE(watcher.closed_by_server());
}

TEST(CliTcp, NothingListeningIsALostLinkWithTheFix) {
    program serve({cli, "-p", "SIM", "serve", "--listen", "127.0.0.1:0"});
    ASSERT_TRUE(serve.read_until("\n")) << serve.out;
    const std::string port = port_after(serve.out, "on 127.0.0.1:");
    ::kill(serve.pid, SIGTERM);
    ASSERT_EQ(serve.wait(), 0);

    program power({cli, "-p", "tcp://127.0.0.1:" + port, "power", "on"});
    EXPECT_EQ(power.wait(), 1);
    EXPECT_NE(power.out.find("nothing listens at that address"), std::string::npos) << power.out;
    EXPECT_NE(power.out.find("Connection refused"), std::string::npos) << power.out;

    program usage({cli, "-p", "SIM", "--adapter", "ms200", "power", "on"});
    EXPECT_EQ(usage.wait(), 2);
    EXPECT_NE(usage.out.find("unknown adapter 'ms200'"), std::string::npos) << usage.out;
}

}  // namespace
