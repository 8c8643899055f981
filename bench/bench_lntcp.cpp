// LocoNet over TCP: how long one bus message takes to reach every one of 32
// clients of the server, all on loopback. Each iteration hands the server
// one message and waits until the last client has read its RECEIVE line;
// the figure is the 99th percentile of those times (goal under 5 ms).

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "bench/bench_summary.h"
#include "foundation/kvr_exception.h"
#include "link/kvr_lntcp_server.h"

namespace {

using bench_clock = std::chrono::steady_clock;
constexpr int fanout_clients = 32;

double percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0.0;
    std::sort(v.begin(), v.end());
    const std::size_t i = std::min(v.size() - 1, static_cast<std::size_t>(p * static_cast<double>(v.size())));
    return v[i];
}

int connect_loopback(uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Reads from every client until each has read the line ends it is owed,
// or 5 s pass (then false).
bool wait_lines(const std::vector<int>& fds, std::vector<int>& owed) {
    const auto end = bench_clock::now() + std::chrono::seconds(5);
    std::vector<pollfd> p;
    std::vector<std::size_t> who;
    char buf[4096];
    for (;;) {
        p.clear();
        who.clear();
        for (std::size_t i = 0; i < fds.size(); ++i) {
            if (owed[i] <= 0) continue;
            p.push_back({fds[i], POLLIN, 0});
            who.push_back(i);
        }
        if (p.empty()) return true;
        if (bench_clock::now() >= end) return false;
        if (::poll(p.data(), p.size(), 100) <= 0) continue;
        for (std::size_t k = 0; k < p.size(); ++k) {
            if (!(p[k].revents & POLLIN)) continue;
            const ssize_t n = ::read(p[k].fd, buf, sizeof buf);
            if (n <= 0) return false;
            owed[who[k]] -= static_cast<int>(std::count(buf, buf + n, '\n'));
        }
    }
}

void BM_ServeFanout(benchmark::State& state) {
    kvr_lntcp_server_options opt;
    opt.listen = {"127.0.0.1", 0};
    kvr_lntcp_server server(opt, nullptr, nullptr);
    try {
        server.start();
    } catch (const kvr_exception& e) {
        state.SkipWithError(e.message.c_str());
        return;
    }
    std::vector<int> fds;
    for (int i = 0; i < fanout_clients; ++i) fds.push_back(connect_loopback(server.port()));
    std::vector<int> owed(fds.size(), 1);  // the VERSION line
    if (std::count(fds.begin(), fds.end(), -1) != 0 || !wait_lines(fds, owed)) {
        state.SkipWithError("clients did not connect");
        return;
    }

    std::vector<double> times_ms;
    const kvr_loconet_msg msg = kvr_loconet_msg::with_checksum({0xA0, 0x05, 0x3F});
    for (auto _ : state) {
        std::fill(owed.begin(), owed.end(), 1);
        const auto t0 = bench_clock::now();
        server.bus_message(msg);
        if (!wait_lines(fds, owed)) {
            state.SkipWithError("a client missed a message");
            break;
        }
        const auto t1 = bench_clock::now();
        times_ms.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
        state.SetIterationTime(std::chrono::duration<double>(t1 - t0).count());
    }
    for (int fd : fds) ::close(fd);
    server.stop();
    if (times_ms.empty()) return;
    state.counters["p99_ms"] = percentile(times_ms, 0.99);
    bench_summary::record("serve_fanout_ms_p99_32_clients", percentile(times_ms, 0.99), "ms");
}

BENCHMARK(BM_ServeFanout)->UseManualTime()->Iterations(2000)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) { return bench_summary::run(argc, argv); }
