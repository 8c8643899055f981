// Transmit latency on a busy bus: another node fills 75 % of the bus with
// sensor reports (paced at 16457 baud over a pseudo-terminal, a simulated
// command station beside it) while the link sends one message at a time.
// Each sample runs from `send` to the moment the bus reads the message; the
// sends fall at varied moments of the traffic. The goal is a p99 under
// 50 ms: a Power Off must not wait for a gap in other nodes' traffic.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "bench/bench_summary.h"
#include "foundation/kvr_exception.h"
#include "loconet/kvr_ms100.h"
#include "support/flood_bus.h"

namespace {

using flood_test::bus_clock;

constexpr double bus_load = 0.75;
constexpr int samples = 400;

double percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0.0;
    std::sort(v.begin(), v.end());
    const auto at = static_cast<std::size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
    return v[std::min(at, v.size() - 1)];
}

void BM_TxLatencyAtBusLoad75(benchmark::State& state) {
    std::mutex m;
    std::condition_variable cv;
    kvr_loconet_msg wanted;
    bus_clock::time_point arrived{};
    bool seen = false;
    flood_test::flood_bus bus(bus_load, [&](const kvr_loconet_msg& msg, bus_clock::time_point at, std::size_t) {
        std::lock_guard<std::mutex> lk(m);
        if (seen || !(msg == wanted)) return;
        arrived = at;
        seen = true;
        cv.notify_all();
    });
    kvr_ms100 link;
    try {
        link.open(bus.path());
    } catch (const kvr_exception& e) {
        state.SkipWithError(e.message.c_str());
        return;
    }
    std::mt19937 rng(11);
    std::vector<double> latencies_ms;
    for (auto _ : state) {
        latencies_ms.clear();
        for (int i = 0; i < samples; ++i) {
            std::this_thread::sleep_for(std::chrono::microseconds(rng() % 10000));
            const auto msg = kvr_loconet_msg::with_checksum(
                {OPC_LOCO_SPD, static_cast<uint8_t>(1 + i % 100), static_cast<uint8_t>(rng() % 128)});
            std::unique_lock<std::mutex> lk(m);
            wanted = msg;
            seen = false;
            lk.unlock();
            const auto sent = bus_clock::now();
            link.send(msg, 0);
            lk.lock();
            if (!cv.wait_for(lk, std::chrono::seconds(5), [&] { return seen; })) {
                state.SkipWithError("a message never reached the bus");
                break;
            }
            latencies_ms.push_back(std::chrono::duration<double, std::milli>(arrived - sent).count());
        }
    }
    link.close();
    if (latencies_ms.empty()) return;
    state.counters["p50_ms"] = percentile(latencies_ms, 0.50);
    state.counters["p99_ms"] = percentile(latencies_ms, 0.99);
    bench_summary::record("tx_latency_ms_p99_at_bus_load_75", percentile(latencies_ms, 0.99), "ms");
}

BENCHMARK(BM_TxLatencyAtBusLoad75)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) { return bench_summary::run(argc, argv); }
