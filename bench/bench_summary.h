#pragma once
// The figures a benchmark program reports. Each benchmark records its figure
// after its timed loop; Google Benchmark may run a benchmark several times
// while it settles the iteration count, and the last run, the longest, wins.
// After all benchmarks ran the figures are printed one per line,
//   <figure>: <value> <unit>
// on standard output and appended to the file named by BUSPROBE_BENCH_SUMMARY
// (run_all.sh gathers them there for the closing summary).

#include <string>

namespace bench_summary {

// Processor time of the calling thread, in seconds. The machine may be
// shared: figures of work done on one thread count this time, which other
// processes do not inflate.
double thread_seconds();

void record(const std::string& figure, double value, const std::string& unit);

// Initializes Google Benchmark with the command line, runs the benchmarks
// selected, then prints the figures. Returns the exit status for main.
int run(int argc, char** argv);

}  // namespace bench_summary
