#include "bench/bench_summary.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <utility>
#include <vector>

namespace bench_summary {
namespace {

struct figure {
    double value;
    std::string unit;
};

std::mutex figures_mutex;
// Kept in the order first recorded, so the summary follows the benchmarks.
std::vector<std::pair<std::string, figure>> figures;

std::string format_value(double v) {
    char buf[64];
    if (v >= 1000.0)
        std::snprintf(buf, sizeof buf, "%.0f", v);
    else if (v >= 10.0)
        std::snprintf(buf, sizeof buf, "%.2f", v);
    else
        std::snprintf(buf, sizeof buf, "%.3f", v);
    return buf;
}

void print_figures() {
    const char* path = std::getenv("BUSPROBE_BENCH_SUMMARY");
    std::FILE* file = path != nullptr && *path != '\0' ? std::fopen(path, "a") : nullptr;
    std::lock_guard<std::mutex> lk(figures_mutex);
    for (const auto& [name, f] : figures) {
        const std::string line = name + ": " + format_value(f.value) + " " + f.unit + "\n";
        std::fputs(line.c_str(), stdout);
        if (file != nullptr) std::fputs(line.c_str(), file);
    }
    if (file != nullptr) std::fclose(file);
}

}  // namespace

double thread_seconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

void record(const std::string& name, double value, const std::string& unit) {
    std::lock_guard<std::mutex> lk(figures_mutex);
    for (auto& [n, f] : figures) {
        if (n == name) {
            f = {value, unit};
            return;
        }
    }
    figures.push_back({name, {value, unit}});
}

int run(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::fflush(stdout);
    print_figures();
    return 0;
}

}  // namespace bench_summary
