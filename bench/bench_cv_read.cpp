// End-to-end direct CV read: command station, link and serial driver
// against the simulated station on a pseudo-terminal, the same path the
// window uses with "SIM".
//
// Bus floor: a direct read puts three messages on the bus: the 14-byte task
// (its echo is what every node sees), the 4-byte acknowledge and the 14-byte
// final reply. At 16457 baud a byte takes 10 bits, 0.608 ms, so 32 bytes
// take 19.4 ms; the paced read should stay within 1.5 times that plus 10 ms.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <cstdio>
#include <vector>

#include "bench/bench_summary.h"
#include "foundation/kvr_exception.h"
#include "foundation/kvr_sys_event.h"
#include "link/kvr_link.h"
#include "sim/kvr_sim_runner.h"
#include "station/kvr_dccx_loconet.h"
#include "support/shared_sim.h"

namespace {

using bench_clock = std::chrono::steady_clock;

constexpr double bus_baud = 16457.0;
constexpr double bits_per_byte = 10.0;
constexpr unsigned read_cv = 8;  // the manufacturer, read-only: never changes

double median(std::vector<double> v) {
    if (v.empty()) return 0.0;
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2.0;
}

struct read_setup {
    bool notice_at_once;
    bool pace;
    const char* figure;
    bool tcp = false;  // through our LocoNet-over-TCP server, on loopback
};

void run_reads(benchmark::State& state, const read_setup& setup) {
    kvr_sim_options options;
    options.instant = true;
    options.pace = setup.pace;
    std::atomic<std::size_t> bus_bytes{0};
    kvr_sim_runner sim(options, [&bus_bytes](const kvr_loconet_msg& m) {
        bus_bytes.fetch_add(static_cast<std::size_t>(m.length()));
    });
    const uint16_t expected = sim.with_station([](kvr_sim_station& s) {
        return static_cast<uint16_t>(s.programmer().track_decoder().cv(read_cv));
    });

    std::unique_ptr<shared_port> hop;
    kvr_link link;
    kvr_sys_event abort(true);
    kvr_dccx_timing timing;
    timing.notice_at_once = setup.notice_at_once;
    kvr_dccx_loconet station(link, timing);
    station.set_abort_event(&abort);
    try {
        if (setup.tcp) hop = std::make_unique<shared_port>(sim.device_path());  // our server in between
        // The first read waits for the connection, made on the link's thread.
        link.open(hop ? hop->url() : sim.device_path());
        // The first read after opening also pays for the terminal settling.
        station.do_direct_read(read_cv);
    } catch (const kvr_exception& e) {
        state.SkipWithError(e.message.c_str());
        link.close();
        return;
    }

    std::vector<double> times_ms;
    std::vector<double> floors_ms;
    for (auto _ : state) {
        const std::size_t bytes_before = bus_bytes.load();
        const auto t0 = bench_clock::now();
        const uint16_t value = station.do_direct_read(read_cv);
        const auto t1 = bench_clock::now();
        // The final reply is observed before it is written to the terminal,
        // so every byte of this read is counted by now.
        const std::size_t bytes = bus_bytes.load() - bytes_before;
        if (value != expected) {
            state.SkipWithError("direct read returned the wrong value");
            break;
        }
        times_ms.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
        floors_ms.push_back(static_cast<double>(bytes) * bits_per_byte / bus_baud * 1000.0);
        state.SetIterationTime(std::chrono::duration<double>(t1 - t0).count());
    }
    link.close();
    if (times_ms.empty()) return;
    state.counters["median_ms"] = median(times_ms);
    bench_summary::record(setup.figure, median(times_ms), "ms");
    if (setup.pace) {
        state.counters["bus_floor_ms"] = median(floors_ms);
        bench_summary::record("cv_read_direct_bus_floor_ms", median(floors_ms), "ms");
    }
}

void BM_CvReadDirectWake(benchmark::State& state) {
    run_reads(state, {true, false, "cv_read_direct_ms_wake"});
}
void BM_CvReadDirectTcp(benchmark::State& state) {
    run_reads(state, {true, false, "cv_read_direct_ms_tcp", true});
}
void BM_CvReadDirectPoll(benchmark::State& state) {
    run_reads(state, {false, false, "cv_read_direct_ms_poll"});
}
void BM_CvReadDirectPaced(benchmark::State& state) {
    run_reads(state, {true, true, "cv_read_direct_ms_paced"});
}

// Fixed counts: a polled read takes about a second.
BENCHMARK(BM_CvReadDirectWake)->UseManualTime()->Iterations(41)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CvReadDirectTcp)->UseManualTime()->Iterations(41)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CvReadDirectPoll)->UseManualTime()->Iterations(7)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CvReadDirectPaced)->UseManualTime()->Iterations(41)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) { return bench_summary::run(argc, argv); }
