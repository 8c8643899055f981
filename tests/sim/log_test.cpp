// The --log writer on a pipe the test reads (or closes).

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <string>

#include "sim/kvr_sim_log.h"

namespace {

struct log_pipe {
    log_pipe() { EXPECT_EQ(::pipe2(fds, O_CLOEXEC), 0); }
    ~log_pipe() {
        for (int fd : fds)
            if (fd >= 0) ::close(fd);
    }
    // Reads until `n` bytes came.
    std::string read(std::size_t n) {
        std::string out;
        char buf[256];
        while (out.size() < n) {
            const ssize_t got = ::read(fds[0], buf, std::min(sizeof buf, n - out.size()));
            if (got <= 0) break;
            out.append(buf, static_cast<std::size_t>(got));
        }
        return out;
    }
    int fds[2] = {-1, -1};
};

}  // namespace

// Lines past the bound are dropped and counted where they went missing;
// lines that find room again follow the count.
TEST(SimLog, DropsPastItsBoundAndWritesTheCountInTheirPlace) {
    log_pipe pipe;
    kvr_sim_log log(pipe.fds[1], 3);
    for (const char* line : {"a", "b", "c", "d", "e"}) log.push(line);
    log.start();
    const std::string expected = "a\nb\nc\n\u2026 2 lines not shown\n";
    EXPECT_EQ(pipe.read(expected.size()), expected);
    log.push("f");
    EXPECT_EQ(pipe.read(2), "f\n");
    EXPECT_TRUE(log.stop());
    EXPECT_EQ(kvr_sim_log::dropped_text(1), "\u2026 1 line not shown");
}

TEST(SimLog, AReaderThatLeftIsReportedOnce) {
    struct sigpipe_ignored {  // the write fails with EPIPE instead of ending the test
        void (*old)(int) = std::signal(SIGPIPE, SIG_IGN);
        ~sigpipe_ignored() { std::signal(SIGPIPE, old); }
    } ignored;
    log_pipe pipe;
    ::close(pipe.fds[0]);
    pipe.fds[0] = -1;
    std::atomic<int> gone{0};
    kvr_sim_log log(pipe.fds[1]);
    log.on_reader_gone = [&] { ++gone; };
    log.start();
    log.push("x");
    log.push("y");
    EXPECT_TRUE(log.stop());
    EXPECT_EQ(gone.load(), 1);
}
