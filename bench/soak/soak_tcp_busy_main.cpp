// busprobe-soak-tcp-busy: a LocoNet-over-TCP client on a busy bus. Other
// nodes keep about half the simulated bus busy (120 reports a second) and a
// client connected over tcp:// sends commands one after the other, each
// once the last was confirmed, in two ways of sharing the bus:
//
//   sim    the simulator's own server (busprobe-sim --tcp): the server's
//          SENDs go on the bus as one more node that keeps the bus's rules
//   serve  a link on the simulator's pseudo-terminal shared by the server
//          (busprobe-cli serve): an MS100 link keeps the rules
//
// Checked for each: every command confirmed, none refused, the 99th
// percentile of the time from send to confirmation under 100 ms.
//
// Usage: busprobe-soak-tcp-busy [--commands N] [--traffic N]
// Prints its figures, one per line, "<way> <name>: <value> <unit>"; exit
// status 0 when every check held.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "link/kvr_link.h"
#include "link/kvr_lntcp_server.h"
#include "link/kvr_lntcp_share.h"
#include "sim/kvr_sim_runner.h"

namespace {

using soak_clock = std::chrono::steady_clock;

struct refusal_count : kvr_link_listener {
    std::atomic<unsigned> refused{0};
    std::atomic<unsigned> lost{0};
    void on_message(const kvr_loconet_msg&, const kvr_capture_time&) override {}
    void on_send_refused(const std::string&) override { refused.fetch_add(1); }
    void on_link_lost(const std::string&) override { lost.fetch_add(1); }
};

kvr_lntcp_server_options loopback() {
    kvr_lntcp_server_options o;
    o.listen = {"127.0.0.1", 0};
    o.version = "Busprobe soak";
    return o;
}

// Power on, a speed, a slot read the station answers: what a throttle sends.
kvr_loconet_msg command(unsigned i) {
    switch (i % 3) {
    case 0: return kvr_loconet_msg::with_checksum({0x83});
    case 1: return kvr_loconet_msg::with_checksum({0xA0, 0x01, static_cast<uint8_t>(i % 100)});
    default: return kvr_loconet_msg::with_checksum({0xBB, static_cast<uint8_t>(1 + i % 10), 0x00});
    }
}

struct figures {
    unsigned sent = 0, confirmed = 0, refused = 0, unanswered = 0;
    double p50 = 0, p99 = 0, max = 0;
};

figures drive(const std::string& url, unsigned commands) {
    figures f;
    refusal_count counts;
    kvr_link client;
    client.add_listener(&counts);
    client.open(url);
    std::vector<double> ms;
    for (unsigned i = 0; i < commands && counts.lost.load() == 0; ++i) {
        const unsigned refused_before = counts.refused.load();
        const auto t0 = soak_clock::now();
        client.send(command(i));
        ++f.sent;
        // The message leaves the queue when the server answered it.
        if (!client.wait_tx_empty(5000)) {
            ++f.unanswered;
            continue;
        }
        const double took = std::chrono::duration<double, std::milli>(soak_clock::now() - t0).count();
        if (counts.refused.load() != refused_before) {
            ++f.refused;
            continue;
        }
        ++f.confirmed;
        ms.push_back(took);
    }
    client.close();
    client.remove_listener(&counts);
    if (!ms.empty()) {
        std::sort(ms.begin(), ms.end());
        const auto at = [&](double q) { return ms[std::min(ms.size() - 1, static_cast<std::size_t>(q * ms.size()))]; };
        f.p50 = at(0.50);
        f.p99 = at(0.99);
        f.max = ms.back();
    }
    return f;
}

bool report(const char* way, const figures& f, unsigned commands) {
    std::printf("%s sent: %u commands\n", way, f.sent);
    std::printf("%s confirmed: %u commands\n", way, f.confirmed);
    std::printf("%s refused: %u commands\n", way, f.refused);
    std::printf("%s unanswered: %u commands\n", way, f.unanswered);
    std::printf("%s p50: %.1f ms\n", way, f.p50);
    std::printf("%s p99: %.1f ms\n", way, f.p99);
    std::printf("%s max: %.1f ms\n", way, f.max);
    const bool ok = f.sent == commands && f.confirmed == commands && f.refused == 0 && f.p99 < 100.0;
    std::printf("%s: %s\n", way, ok ? "ok" : "FAILED");
    std::fflush(stdout);
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    unsigned commands = 1000;
    unsigned traffic = 120;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string opt = argv[i];
        if (opt == "--commands") commands = static_cast<unsigned>(std::strtoul(argv[i + 1], nullptr, 10));
        else if (opt == "--traffic") traffic = static_cast<unsigned>(std::strtoul(argv[i + 1], nullptr, 10));
        else {
            std::fprintf(stderr, "usage: busprobe-soak-tcp-busy [--commands N] [--traffic N]\n");
            return 2;
        }
    }
    kvr_sim_options options;
    options.traffic_per_s = traffic;
    bool ok = true;

    // The simulator's own server, as busprobe-sim --tcp wires it.
    {
        kvr_sim_runner* runner_ptr = nullptr;
        kvr_lntcp_server server(
            loopback(),
            [&runner_ptr](const kvr_loconet_msg& msg) -> std::string {
                runner_ptr->send_from_node(msg);
                return {};
            },
            nullptr);
        kvr_sim_runner runner(options, [&server](const kvr_loconet_msg& msg) { server.bus_message(msg); });
        runner_ptr = &runner;
        server.start();
        ok = report("sim", drive("tcp://127.0.0.1:" + std::to_string(server.port()), commands), commands) && ok;
        server.stop();
    }

    // A link on the pseudo-terminal shared over TCP, as busprobe-cli serve
    // shares an adapter.
    {
        kvr_sim_runner runner(options);
        kvr_link bus_link;
        kvr_lntcp_share share(bus_link, loopback(), nullptr);
        bus_link.add_listener(&share);
        bus_link.open(runner.device_path());
        share.start();
        ok = report("serve", drive("tcp://127.0.0.1:" + std::to_string(share.server().port()), commands), commands) &&
             ok;
        share.stop();
        bus_link.close();
        bus_link.remove_listener(&share);
    }
    return ok ? 0 : 1;
}
