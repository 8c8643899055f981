// Every way a busprobe-cli command ends (stop signals, a second one, a
// closed terminal, an output or FIFO that blocks, the time-out) must end it
// and leave the port free for the user's next command. The exclusive lock
// on a terminal outlives a program that ends without clearing it, but only
// an ordinary user is refused by it (root opens a held terminal anyway), so
// the simulator and every command run as one.

#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "support/child_program.h"
#include "support/eventually.h"
#include "support/temp_dir.h"
#include "support/unprivileged.h"

namespace {

using namespace std::chrono_literals;
const std::string cli_path = BUSPROBE_CLI_PATH;

// The programs as the ordinary user may run them: from the build folder, or
// from a copy when the build lies in a folder only its owner may enter.
const unprivileged::program_copy& user_sim() {
    static const unprivileged::program_copy copy(BUSPROBE_SIM_PATH);
    return copy;
}
const unprivileged::program_copy& user_cli_program() {
    static const unprivileged::program_copy copy(BUSPROBE_CLI_PATH);
    return copy;
}

#define SKIP_UNLESS_THE_USER_CAN_RUN_THE_PROGRAMS()                                              \
    if (user_sim().path().empty() || user_cli_program().path().empty())                          \
    GTEST_SKIP() << user_sim().why_not() << user_cli_program().why_not()

// busprobe-sim with steady traffic, as the ordinary user, so its device is
// theirs to open.
struct user_bus {
    child_program sim{{user_sim().path(), "--traffic", "100"}, {.stderr_to_pipe = false, .ordinary_user = true}};
    std::string device = sim.read_line(10s).value_or("(no device)");
};

child_program user_cli(std::vector<std::string> args, const char* stdout_to = nullptr) {
    args.insert(args.begin(), user_cli_program().path());
    return child_program(std::move(args), {.stdout_to = stdout_to, .ordinary_user = true});
}

// The same user's next command on the port: 0 when it could open it.
int next_command(const user_bus& bus) {
    child_program next = user_cli({"-p", bus.device, "--timeout", "10", "power", "on"});
    const int status = next.wait(20s);
    EXPECT_EQ(status, 0) << next.out;
    return status;
}

// The process has `file` open: its command is under way.
bool holds_file(const child_program& p, const std::string& file) {
    std::error_code ec;
    for (const auto& fd : std::filesystem::directory_iterator("/proc/" + std::to_string(p.pid()) + "/fd", ec))
        if (std::filesystem::read_symlink(fd.path(), ec) == file) return true;
    return false;
}

// The process's main thread waits in a write to a full pipe or FIFO (the
// kernel names the wait "pipe_write" or "anon_pipe_write").
bool blocked_writing(const child_program& p) {
    std::ifstream wchan("/proc/" + std::to_string(p.pid()) + "/wchan");
    std::string where;
    std::getline(wchan, where);
    return where.find("pipe_write") != std::string::npos;
}

// A FIFO in a folder of the ordinary user's that holds a reader which never
// reads, already full: whatever a command writes to it blocks.
struct full_fifo {
    full_fifo() {
        unprivileged::hand_over(dir.path.string());
        ::mkfifo(path.c_str(), 0600);
        unprivileged::hand_over(path);
        reader = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        filler = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        ::fcntl(filler, F_SETPIPE_SZ, 4096);
        const std::string block(4096, 'x');
        while (::write(filler, block.data(), block.size()) > 0) continue;
    }
    ~full_fifo() {
        ::close(filler);
        ::close(reader);
    }
    temp_dir dir;
    std::string path = (dir.path / "fifo").string();
    int reader = -1;
    int filler = -1;
};

TEST(CliStop, EveryStopSignalEndsTheCommandAndLeavesThePortFree) {
    SKIP_UNLESS_THE_USER_CAN_RUN_THE_PROGRAMS();
    user_bus bus;
    ASSERT_EQ(bus.device.rfind("/dev/", 0), 0u) << bus.device;
    struct {
        const char* what;
        std::vector<int> signals;
    } const cases[] = {
        {"closed terminal", {SIGHUP}},
        {"quit key", {SIGQUIT}},
        {"timeout(1) sends SIGTERM twice", {SIGTERM, SIGTERM}},
        {"double Ctrl-C", {SIGINT, SIGINT}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        child_program monitor = user_cli({"-p", bus.device, "--timeout", "0", "monitor"});
        ASSERT_TRUE(monitor.read_line(10s)) << monitor.out;  // the port is open
        for (int sig : c.signals) monitor.signal(sig);
        const int status = monitor.wait(10s);
        // Ended by the program itself, not by the signal's default action.
        EXPECT_TRUE(status == 0 || status == 3) << status << "\n" << monitor.out;
        next_command(bus);
    }
}

// The output or file of a command that nobody takes: the stop (a signal or
// the time-out) must still end it, with status 3, and free the port.
TEST(CliStop, ACommandWhoseOutputOrFifoBlocksStillEnds) {
    SKIP_UNLESS_THE_USER_CAN_RUN_THE_PROGRAMS();
    user_bus bus;
    ASSERT_EQ(bus.device.rfind("/dev/", 0), 0u) << bus.device;
    {
        SCOPED_TRACE("monitor | reader that stopped reading, then SIGTERM");
        full_fifo out;
        child_program monitor = user_cli({"-p", bus.device, "--timeout", "0", "monitor"}, out.path.c_str());
        ASSERT_TRUE(eventually([&] { return blocked_writing(monitor); }, 10s));
        monitor.signal(SIGTERM);
        EXPECT_EQ(monitor.wait(15s), 3) << monitor.out;
        next_command(bus);
    }
    {
        SCOPED_TRACE("monitor --timeout 2 | reader that stopped reading");
        full_fifo out;
        // The traffic gives the monitor lines to write long before the time-out.
        child_program monitor = user_cli({"-p", bus.device, "--timeout", "2", "monitor"}, out.path.c_str());
        EXPECT_EQ(monitor.wait(15s), 3) << monitor.out;
        next_command(bus);
    }
    {
        SCOPED_TRACE("record into a FIFO whose reader stopped reading");
        full_fifo file;
        child_program record = user_cli({"-p", bus.device, "--timeout", "1", "record", file.path});
        EXPECT_EQ(record.wait(15s), 3) << record.out;
        next_command(bus);
    }
    const temp_dir dir;
    unprivileged::hand_over(dir.path.string());
    const std::string lonely = (dir.path / "lonely").string();
    ASSERT_EQ(::mkfifo(lonely.c_str(), 0600), 0);
    unprivileged::hand_over(lonely);
    for (const char* verb : {"record", "replay"}) {
        SCOPED_TRACE(std::string(verb) + " on a FIFO with no other end");
        std::vector<std::string> args = {"-p", bus.device, "--timeout", "1", verb, lonely};
        if (std::string(verb) == "replay") args.push_back("--live");
        child_program c = user_cli(args);
        EXPECT_EQ(c.wait(15s), 3) << c.out;
        next_command(bus);
    }
}

}  // namespace

namespace {

// Peak resident size in kB of the largest child waited for so far.
[[maybe_unused]] long children_peak_kb() {
    rusage r{};
    ::getrusage(RUSAGE_CHILDREN, &r);
    return r.ru_maxrss;
}

// replay reads the file as it sends: a line that never ends (/dev/zero)
// and a million messages sharing one time stamp (all due at once) end at
// the time-out or a signal, in a small, flat memory.
TEST(CliStop, ReplayReadsAsItSendsSoAnyFileEndsOnTime) {
    {
        child_program zero({cli_path, "-p", "SIM", "--timeout", "1", "replay", "/dev/zero"});
        EXPECT_EQ(zero.wait(20s), 3) << zero.out;
    }
    {
        child_program zero({cli_path, "-p", "SIM", "--timeout", "0", "replay", "/dev/zero"});
        ASSERT_TRUE(eventually([&] { return holds_file(zero, "/dev/zero"); }, 10s));
        zero.signal(SIGTERM);
        EXPECT_EQ(zero.wait(20s), 3) << zero.out;
    }
    const temp_dir dir;
    const std::string same_time = (dir.path / "same-time.cap").string();
    {
        std::string text;
        for (int i = 0; i < 1'000'000; ++i) text += "(1733500000.000000) 83 7C\n";
        write_file(same_time, text);
    }
    child_program many({cli_path, "-p", "SIM", "--timeout", "2", "replay", same_time});
    EXPECT_EQ(many.wait(30s), 3) << many.out;
    // Queued whole, the messages take well over 100 MB. A sanitizer's
    // runtime keeps freed memory in quarantine, which says nothing here.
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    EXPECT_LT(children_peak_kb(), 40'000);
#endif
}

}  // namespace
