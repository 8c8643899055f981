// busprobe-soak-tcp: the LocoNet-over-TCP server sharing the simulated
// station with several clients for a set time, all on loopback. One client
// drives the bus with SEND lines as fast as the answers come; the others
// read. Beside them misbehaving clients come and go: one sends garbage and
// lines of 1 MB without an end, one leaves in the middle of a line, one never
// reads (it is dropped once its output passes the bound).
//
// Checked: every well-behaved reader got every bus message exactly once and
// in order (compared with the station's own record of what it put on the
// bus), and every SEND of the driver got its SENT OK.
//
// Usage: busprobe-soak-tcp [--seconds N] [--readers N]
// Ends with its counts, one per line, "<name>: <value> <unit>"; exit status
// 0 when every check held.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "loconet/kvr_lntcp_server.h"
#include "loconet/lntcp_test_client.h"
#include "sim/kvr_sim_runner.h"

namespace {

using soak_clock = std::chrono::steady_clock;

struct bus_record {
    std::mutex m;
    std::vector<std::string> lines;  // RECEIVE lines in bus order
};

// Reads RECEIVE lines until `marker`; anything else (VERSION) is skipped.
std::vector<std::string> read_until(lntcp_test::client& c, const std::string& marker, bool& complete) {
    std::vector<std::string> got;
    complete = false;
    while (std::optional<std::string> l = c.line()) {
        if (*l == marker) {
            complete = true;
            break;
        }
        if (l->rfind("RECEIVE ", 0) == 0) got.push_back(*l);
    }
    return got;
}

// The misbehaving clients, one round each, until `stop`.
void misbehave(uint16_t port, const std::atomic<bool>& stop, std::atomic<uint64_t>& rounds) {
    const std::string garbage(1 << 20, 'G');
    while (!stop.load()) {
        {
            lntcp_test::client junk(port, 0, 2);
            junk.write("\x01\x02\xff garbage\r\nSEND zz\r\nHELLO\n");
            junk.write("SEND " + garbage);  // 1 MB, no end
        }
        {
            lntcp_test::client leaver(port, 0, 2);
            leaver.write("SEND A0 05");  // and gone mid-line
        }
        ++rounds;
    }
}

}  // namespace

int main(int argc, char** argv) {
    unsigned seconds = 60;
    unsigned readers = 4;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        const unsigned v = static_cast<unsigned>(std::strtoul(argv[i + 1], nullptr, 10));
        if (a == "--seconds") seconds = std::max(1u, v);
        else if (a == "--readers") readers = std::clamp(v, 1u, 64u);
    }

    bus_record record;
    std::unique_ptr<kvr_lntcp_server> server;
    kvr_sim_runner* runner_ptr = nullptr;
    kvr_sim_runner runner(kvr_sim_options{.instant = true}, [&](const kvr_loconet_msg& m) {
        {
            std::lock_guard<std::mutex> lk(record.m);
            record.lines.push_back(kvr_lntcp_format_receive(m));
        }
        server->bus_message(m);
    });
    runner_ptr = &runner;
    kvr_lntcp_server_options opt;
    opt.listen = {"127.0.0.1", 0};
    opt.max_output = 256 * 1024;
    std::atomic<uint64_t> dropped{0};
    server = std::make_unique<kvr_lntcp_server>(
        opt,
        [runner_ptr](const kvr_loconet_msg& m) -> std::string {
            runner_ptr->with_station([&](kvr_sim_station& s) { s.receive(m, kvr_sim_time{0}); });
            return {};
        },
        [&dropped](const kvr_lntcp_report& r) {
            if (r.reason.find("not reading") != std::string::npos) ++dropped;
        });
    server->start();
    const uint16_t port = server->port();

    std::vector<std::unique_ptr<lntcp_test::client>> good;
    for (unsigned i = 0; i < readers; ++i) {
        good.push_back(std::make_unique<lntcp_test::client>(port));
        good.back()->line();  // VERSION: connected before any traffic
    }
    lntcp_test::client stalled(port, 4096);  // never reads
    lntcp_test::client driver(port);
    driver.line();

    std::atomic<bool> stop{false};
    std::atomic<uint64_t> rounds{0};
    std::thread bad([&] { misbehave(port, stop, rounds); });
    std::vector<std::vector<std::string>> got(readers);
    std::vector<bool> complete(readers, false);
    const std::string marker = kvr_lntcp_format_receive(kvr_loconet_msg::with_checksum({0x85}));
    std::vector<std::thread> reading;
    for (unsigned i = 0; i < readers; ++i)
        reading.emplace_back([&, i] {
            bool done = false;
            got[i] = read_until(*good[i], marker, done);
            complete[i] = done;
        });

    // The driver: speed requests to changing slots, each waited for.
    uint64_t sent = 0, ok = 0;
    const auto end = soak_clock::now() + std::chrono::seconds(seconds);
    while (soak_clock::now() < end) {
        const kvr_loconet_msg m = kvr_loconet_msg::with_checksum(
            {0xA0, static_cast<uint8_t>(1 + sent % 100), static_cast<uint8_t>(sent / 100 % 128)});
        if (!driver.write(kvr_lntcp_format_send(m) + "\r\n")) break;
        ++sent;
        while (std::optional<std::string> l = driver.line()) {
            if (*l == "SENT OK") {
                ++ok;
                break;
            }
            if (l->rfind("SENT ERROR", 0) == 0) break;
        }
    }
    stop.store(true);
    bad.join();

    // Every message the station put on the bus is in the record; the marker
    // goes last, through the same path.
    const kvr_loconet_msg mark = kvr_loconet_msg::with_checksum({0x85});
    runner.with_station([&](kvr_sim_station& s) { s.receive(mark, kvr_sim_time{0}); });
    for (auto& t : reading) t.join();
    server->stop();

    std::vector<std::string> expected;
    {
        std::lock_guard<std::mutex> lk(record.m);
        expected = record.lines;
    }
    expected.erase(std::find(expected.begin(), expected.end(), marker), expected.end());
    uint64_t lost = 0, extra = 0, incomplete = 0;
    for (unsigned i = 0; i < readers; ++i) {
        if (!complete[i]) ++incomplete;
        if (got[i] != expected) {
            lost += expected.size() > got[i].size() ? expected.size() - got[i].size() : 0;
            extra += got[i].size() > expected.size() ? got[i].size() - expected.size() : 0;
            if (got[i].size() == expected.size()) ++extra;  // same count, other order or content
        }
    }
    std::printf("tcp_soak_seconds: %u s\n", seconds);
    std::printf("tcp_soak_readers: %u clients\n", readers);
    std::printf("tcp_soak_bus_messages: %zu messages\n", expected.size());
    std::printf("tcp_soak_sends: %llu sent, %llu SENT OK\n", static_cast<unsigned long long>(sent),
                static_cast<unsigned long long>(ok));
    std::printf("tcp_soak_misbehaving_rounds: %llu rounds\n", static_cast<unsigned long long>(rounds.load()));
    std::printf("tcp_soak_stalled_reader_dropped: %llu times\n", static_cast<unsigned long long>(dropped.load()));
    std::printf("tcp_soak_lost_or_duplicated: %llu messages\n", static_cast<unsigned long long>(lost + extra));
    const bool held = lost == 0 && extra == 0 && incomplete == 0 && ok == sent && dropped.load() <= 1;
    std::printf("tcp_soak: %s\n", held ? "every check held" : "FAILED");
    return held ? 0 : 1;
}
