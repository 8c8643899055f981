// Reading every loco slot (1..119) from the simulated station paced at the
// bus rate, through the command station, the link and the serial driver on a
// pseudo-terminal: the path of "Read all" and `busprobe-cli slots --read`.
//
// Bus floor, per slot: the 4-byte request and the 14-byte answer, 18 bytes
// of 10 bits at 16457 baud (10.94 ms), plus the line idle before each: 26
// bit times before the computer's request (carrier-detect backoff 20 and 6
// more for a node that is not the master, its priority delay at its least)
// and 20 before the command station's answer. 226 bit times, 13.73 ms a
// slot, 1.634 s for 119 slots. Goal: within 1.5 times the floor.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <vector>

#include "bench/bench_summary.h"
#include "foundation/kvr_exception.h"
#include "foundation/kvr_sys_event.h"
#include "link/kvr_link.h"
#include "sim/kvr_sim_runner.h"
#include "station/kvr_dccx_loconet.h"
#include "loconet/kvr_loconet_proto.h"

namespace {

constexpr double bus_baud = 16457.0;
constexpr double bits_per_byte = 10.0;
constexpr double request_bytes = 4, answer_bytes = 14;
constexpr double node_backoff_bits = 26, master_backoff_bits = 20;

double floor_s(unsigned slots) {
    const double bits = (request_bytes + answer_bytes) * bits_per_byte + node_backoff_bits + master_backoff_bits;
    return slots * bits / bus_baud;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2.0;
}

void BM_SlotsReadAll(benchmark::State& state) {
    kvr_sim_options options;
    options.instant = true;
    options.pace = true;
    kvr_sim_runner sim(options, [](const kvr_loconet_msg&) {});
    kvr_link link;
    kvr_sys_event abort(true);
    kvr_dccx_loconet station(link);
    station.set_abort_event(&abort);
    const unsigned slots = kvr_slot_loco_last - kvr_slot_loco_first + 1;
    std::vector<double> times;
    try {
        link.open(sim.device_path());
        station.do_read_slot(1);  // the terminal settles
        for (auto _ : state) {
            const auto t0 = std::chrono::steady_clock::now();
            const auto r = station.do_read_all_slots(kvr_slot_loco_first, kvr_slot_loco_last);
            const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
            if (r.answered != slots) {
                state.SkipWithError("a slot went unanswered");
                break;
            }
            times.push_back(s);
            state.SetIterationTime(s);
        }
    } catch (const kvr_exception& e) {
        state.SkipWithError(e.message.c_str());
    }
    link.close();
    if (times.empty()) return;
    const double t = median(times);
    state.counters["s"] = t;
    state.counters["bus_floor_s"] = floor_s(slots);
    bench_summary::record("slots_read_all_s", t, "s");
    bench_summary::record("slots_read_all_bus_floor_s", floor_s(slots), "s");
    bench_summary::record("slots_read_all_ratio_to_floor", t / floor_s(slots), "x");
}

BENCHMARK(BM_SlotsReadAll)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) { return bench_summary::run(argc, argv); }
