// Decoding and the receive path against a realistic traffic mix. A
// saturated LocoNet carries well under 1,000 messages a second; the goal is
// at least a thousand times that.

#include <benchmark/benchmark.h>

#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "bench/bench_summary.h"
#include "bench/traffic_mix.h"
#include "link/kvr_loconet_port.h"
#include "loconet/kvr_monitor.h"
#include "station/kvr_dccx_loconet.h"

namespace {

using bench_summary::thread_seconds;

// Framing plus monitor text, as `busprobe-cli decode` and the receive path do
// it, without the stores.
void BM_MonitorDecode(benchmark::State& state) {
    const std::vector<uint8_t> bytes = traffic_mix::bytes_of(traffic_mix::messages());
    std::size_t messages = 0;
    std::size_t text_bytes = 0;
    const double t0 = thread_seconds();
    for (auto _ : state) {
        std::deque<uint8_t> queue(bytes.begin(), bytes.end());
        kvr_loconet_msg msg;
        while (!queue.empty()) {
            if (msg.take_from(queue) == 0) continue;
            const std::string text = kvr_monitor::to_text(msg);
            text_bytes += text.size();
            ++messages;
        }
    }
    const double s = thread_seconds() - t0;
    benchmark::DoNotOptimize(text_bytes);
    state.SetItemsProcessed(static_cast<int64_t>(messages));
    bench_summary::record("monitor_decode_msgs_per_s", static_cast<double>(messages) / s, "msgs/s");
}
BENCHMARK(BM_MonitorDecode);

// The window's sink makes each message's monitor line and hands it to the
// GUI thread through a locked queue; this one does the same and lets the
// queue be drained now and then.
class queue_sink : public kvr_link_listener {
public:
    void on_message(const kvr_loconet_msg& msg, const kvr_capture_time&) override {
        std::string text = kvr_monitor::line(msg);
        std::lock_guard<std::mutex> lk(m_);
        lines_.push_back(std::move(text));
        if (lines_.size() >= 4096) {
            posted_ += lines_.size();
            lines_.clear();
        }
    }
    std::size_t posted() {
        std::lock_guard<std::mutex> lk(m_);
        return posted_ + lines_.size();
    }

private:
    std::mutex m_;
    std::vector<std::string> lines_;
    std::size_t posted_ = 0;
};

// The receive path without a device: what the I/O thread does with the bytes
// of one read.
class bench_port : public kvr_loconet_port {
public:
    void send(const kvr_loconet_msg&, uint32_t) override {}
    void close() override {}
    void open(const std::string&) override {}
};

void BM_ReceivePath(benchmark::State& state) {
    const std::vector<kvr_loconet_msg> mix = traffic_mix::messages();
    const std::vector<uint8_t> bytes = traffic_mix::bytes_of(mix);
    const std::size_t per_round = mix.size();
    // A read returns what the driver buffered: at 16457 baud and a 10 ms
    // poll cycle that is about 16 bytes, more after a busy spell.
    const std::size_t chunk = static_cast<std::size_t>(state.range(0));
    bench_port port;
    kvr_dccx_loconet station(port);  // files the replies, as in the programs
    queue_sink sink;
    port.add_listener(&sink);
    std::size_t messages = 0;
    const double t0 = thread_seconds();
    for (auto _ : state) {
        for (std::size_t i = 0; i < bytes.size(); i += chunk)
            port.receive_bytes(bytes.data() + i, std::min(chunk, bytes.size() - i));
        messages += per_round;
    }
    const double s = thread_seconds() - t0;
    if (sink.posted() != messages) state.SkipWithError("the sink missed lines");
    state.SetItemsProcessed(static_cast<int64_t>(messages));
    if (chunk == 16)
        bench_summary::record("receive_path_msgs_per_s", static_cast<double>(messages) / s, "msgs/s");
}
BENCHMARK(BM_ReceivePath)->Arg(16)->Arg(256);

}  // namespace

int main(int argc, char** argv) { return bench_summary::run(argc, argv); }
