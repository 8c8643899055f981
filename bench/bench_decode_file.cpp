// `busprobe-cli decode` of a capture file of one million messages, as a
// whole process: start-up, reading, parsing, decoding and writing the lines
// (to /dev/null). The figure counts the child's processor time (user and
// system, all threads), which other processes on a shared machine do not
// inflate; the wall-clock rate is printed beside it.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "bench/bench_summary.h"
#include "bench/traffic_mix.h"
#include "loconet/kvr_capture.h"

extern char** environ;

namespace {

constexpr long capture_messages = 1'000'000;

// The traffic mix over and over, one message every 700 us.
std::string write_capture() {
    const std::string path = "/tmp/busprobe-bench-capture-" + std::to_string(::getpid());
    const std::vector<kvr_loconet_msg> mix = traffic_mix::messages();
    kvr_capture_writer w;
    if (!w.open(path)) return {};
    int64_t us = int64_t{1733500000} * 1000000;
    for (long i = 0; i < capture_messages; ++i, us += 700)
        w.write({us / 1000000, static_cast<uint32_t>(us % 1000000)}, mix[static_cast<std::size_t>(i) % mix.size()]);
    return w.close() ? path : std::string{};
}

// Runs busprobe-cli decode < path > /dev/null; its processor seconds, or -1.
double run_decode(const std::string& path) {
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, path.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    std::string exe = BUSPROBE_CLI_PATH, verb = "decode";
    char* argv[] = {exe.data(), verb.data(), nullptr};
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, argv[0], &fa, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&fa);
    if (spawned != 0) return -1;
    int status = 0;
    rusage use{};
    if (wait4(pid, &status, 0, &use) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
    const auto secs = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    return secs(use.ru_utime) + secs(use.ru_stime);
}

void BM_DecodeFile(benchmark::State& state) {
    const std::string path = write_capture();
    if (path.empty()) {
        state.SkipWithError("the capture file could not be written");
        return;
    }
    double cpu = 0, wall = 0;
    for (auto _ : state) {
        const auto t0 = std::chrono::steady_clock::now();
        cpu = run_decode(path);
        wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        if (cpu < 0) state.SkipWithError("busprobe-cli decode failed");
    }
    std::remove(path.c_str());
    if (cpu <= 0) return;
    state.SetItemsProcessed(capture_messages);
    bench_summary::record("decode_file_msgs_per_s", capture_messages / cpu, "msgs/s");
    std::printf("decode_file wall clock: %.0f msgs/s (%.2f s)\n", capture_messages / wall, wall);
}
BENCHMARK(BM_DecodeFile)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) { return bench_summary::run(argc, argv); }
