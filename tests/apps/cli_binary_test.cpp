// The real busprobe-cli program: started as a child process, against the
// built-in simulated layout, against busprobe-sim, and stopped by Ctrl-C.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "apps/cli_test_support.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;
using steady = std::chrono::steady_clock;

// A child process with its standard output and error on pipes.
class child {
public:
    explicit child(std::vector<std::string> argv) {
        int out[2], err[2];
        if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, out[1], 1);
        posix_spawn_file_actions_adddup2(&fa, err[1], 2);
        std::vector<char*> args;
        for (std::string& a : argv) args.push_back(a.data());
        args.push_back(nullptr);
        if (posix_spawn(&pid_, args[0], &fa, nullptr, args.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&fa);
        ::close(out[1]);
        ::close(err[1]);
        out_ = out[0];
        err_ = err[0];
    }
    ~child() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        ::close(out_);
        ::close(err_);
    }

    bool started() const { return pid_ > 0; }
    void signal(int sig) { kill(pid_, sig); }

    // One line of standard output, without its line end ("" on time-out).
    std::string read_line(std::chrono::milliseconds limit) {
        auto end = steady::now() + limit;
        while (steady::now() < end) {
            std::size_t nl = out.find('\n');
            if (nl != std::string::npos) {
                std::string line = out.substr(0, nl);
                out.erase(0, nl + 1);
                return line;
            }
            if (!pump(20)) break;
        }
        return "";
    }

    // Collects the output to the end and returns the exit status, or -1 when
    // the child did not end within `limit`.
    int wait(std::chrono::milliseconds limit) {
        auto end = steady::now() + limit;
        while (steady::now() < end && pump(20)) {
        }
        int status = 0;
        while (steady::now() < end) {
            pid_t r = waitpid(pid_, &status, WNOHANG);
            if (r == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(5ms);
        }
        return -1;
    }

    std::string out, err;

private:
    // Reads what waits on the pipes; false when both have ended.
    bool pump(int ms) {
        pollfd p[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
        if (poll(p, 2, ms) < 0) return false;
        bool open = false;
        for (int i = 0; i < 2; ++i) {
            if (p[i].revents == 0) {
                open = true;
                continue;
            }
            char buf[4096];
            ssize_t n = ::read(p[i].fd, buf, sizeof buf);
            if (n > 0) {
                (i == 0 ? out : err).append(buf, static_cast<std::size_t>(n));
                open = true;
            }
        }
        return open;
    }

    pid_t pid_ = -1;
    int out_ = -1, err_ = -1;
};

const std::string cli_path = BUSPROBE_CLI_PATH;
const std::string sim_path = BUSPROBE_SIM_PATH;

TEST(CliProgram, ReadsCv29FromTheBuiltInSimInWellUnderASecond) {
    auto start = steady::now();
    child c({cli_path, "-p", "SIM", "cv", "read", "29", "--mode", "direct"});
    ASSERT_TRUE(c.started());
    EXPECT_EQ(c.wait(5s), 0) << c.err;
    double seconds = std::chrono::duration<double>(steady::now() - start).count();
    EXPECT_EQ(c.out, "CV 29 = 6 (0x06, 00000110)\n");
    EXPECT_LT(seconds, 0.6);
}

TEST(CliProgram, CtrlCCancelsAWaitingReadWithStatus3) {
    bare_pty silent;
    child c({cli_path, "-p", silent.path(), "cv", "read", "29"});
    ASSERT_TRUE(c.started());
    std::this_thread::sleep_for(400ms);
    auto sent = steady::now();
    c.signal(SIGINT);
    EXPECT_EQ(c.wait(3s), 3) << c.err;
    EXPECT_LT(std::chrono::duration<double>(steady::now() - sent).count(), 0.5);
    EXPECT_NE(c.err.find("CANCEL"), std::string::npos) << c.err;
}

TEST(CliProgram, DrivesBusprobeSimOnItsPseudoTerminal) {
    child sim({sim_path, "--log"});
    ASSERT_TRUE(sim.started());
    std::string device = sim.read_line(3s);
    ASSERT_EQ(device.rfind("/dev/", 0), 0u) << device;

    child power({cli_path, "-p", device, "power", "on"});
    EXPECT_EQ(power.wait(5s), 0) << power.err;
    child sw({cli_path, "-p", device, "switch", "11", "closed"});
    EXPECT_EQ(sw.wait(5s), 0) << sw.err;
    child read({cli_path, "-p", device, "cv", "read", "1"});
    EXPECT_EQ(read.wait(5s), 0) << read.err;
    EXPECT_EQ(read.out, "CV 1 = 3 (0x03, 00000011)\n");

    // The simulator's log shows the requests as they reached it.
    std::string log;
    for (std::string l = sim.read_line(500ms); !l.empty(); l = sim.read_line(200ms)) log += l + "\n";
    EXPECT_NE(log.find("OPC_GPON"), std::string::npos) << log;
    EXPECT_NE(log.find("OPC_SW_ACK      :REQ SW#[11 (2:3)] for Closed/Green(on)"), std::string::npos) << log;
    EXPECT_NE(log.find("Paged Read"), std::string::npos) << log;
    sim.signal(SIGTERM);
    EXPECT_EQ(sim.wait(3s), 0);
}

TEST(CliProgram, UsageErrorsAndVersion) {
    child bad({cli_path, "-p", "SIM", "switch", "4096", "closed"});
    EXPECT_EQ(bad.wait(3s), 2);
    EXPECT_NE(bad.err.find("switch 4096 is outside 1 to 2048"), std::string::npos) << bad.err;
    child none({cli_path});
    EXPECT_EQ(none.wait(3s), 2);
    child version({cli_path, "--version"});
    EXPECT_EQ(version.wait(3s), 0);
    EXPECT_EQ(version.out.rfind("busprobe-cli ", 0), 0u);
}

}  // namespace
