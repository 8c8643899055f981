// busprobe-soak-tcp: the LocoNet-over-TCP server sharing the simulated
// station with several clients for a set time, all on loopback. One client
// drives the bus with SEND lines as fast as the answers come; the others
// read. Beside them misbehaving clients come and go: one sends garbage and
// lines of 1 MB without an end, one leaves in the middle of a line, one never
// reads (it is dropped once its output passes the bound), and one floods the
// server with SENDs as fast as it can write them.
//
// Checked: every well-behaved reader got every bus message exactly once and
// in order (compared with the station's own record of what it put on the
// bus), every SEND of the driver got its SENT OK within 1 s despite the
// flood, and the process's memory stayed flat (no more than 32 MB above its
// size once the flood was under way).
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

#include <sys/socket.h>

#include "link/kvr_lntcp_server.h"
#include "link/lntcp_test_client.h"
#include "sim/kvr_sim_runner.h"

namespace {

using soak_clock = std::chrono::steady_clock;

// A sequence of lines as its count and a running hash (FNV-1a over each
// line and its end), so the record and the readers stay small however long
// the soak runs: two sequences with the same count and hash are the same.
struct line_digest {
    uint64_t count = 0;
    uint64_t hash = 14695981039346656037ull;
    void add(const std::string& line) {
        for (char c : line) hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ull;
        hash = (hash ^ '\n') * 1099511628211ull;
        ++count;
    }
    bool operator==(const line_digest&) const = default;
};

struct bus_record {
    std::mutex m;
    line_digest lines;  // RECEIVE lines in bus order, up to the marker
    bool marked = false;
};

// Reads RECEIVE lines until `marker`; anything else (VERSION) is skipped.
line_digest read_until(lntcp_test::client& c, const std::string& marker, bool& complete) {
    line_digest got;
    complete = false;
    while (std::optional<std::string> l = c.line()) {
        if (*l == marker) {
            complete = true;
            break;
        }
        if (l->rfind("RECEIVE ", 0) == 0) got.add(*l);
    }
    return got;
}

// The process's resident size in kB, from /proc.
long rss_kb() {
    std::FILE* f = std::fopen("/proc/self/status", "r");
    if (f == nullptr) return 0;
    char line[256];
    long kb = 0;
    while (std::fgets(line, sizeof line, f))
        if (std::sscanf(line, "VmRSS: %ld kB", &kb) == 1) break;
    std::fclose(f);
    return kb;
}

// Writes SENDs as fast as the socket takes them and reads away whatever
// comes back, until `stop`; counts the busy answers.
void flood(uint16_t port, const std::atomic<bool>& stop, std::atomic<uint64_t>& sends,
           std::atomic<uint64_t>& busy) {
    lntcp_test::client c(port, 0, 2);
    std::string burst;
    for (int i = 0; i < 100; ++i)
        burst += kvr_lntcp_format_send(kvr_loconet_msg::with_checksum({0xA0, 0x70, static_cast<uint8_t>(i)})) + "\r\n";
    std::string in;
    char buf[65536];
    while (!stop.load()) {
        if (c.write(burst)) sends += 100;
        for (ssize_t n; (n = ::recv(c.fd(), buf, sizeof buf, MSG_DONTWAIT)) > 0;) {
            in.append(buf, static_cast<std::size_t>(n));
            for (std::size_t at; (at = in.find("SENT ERROR busy")) != std::string::npos;) {
                ++busy;
                in.erase(0, at + 15);
            }
            if (in.size() > 64) in.erase(0, in.size() - 64);
        }
    }
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
    const std::string marker = kvr_lntcp_format_receive(kvr_loconet_msg::with_checksum({0x85}));
    kvr_sim_runner runner(kvr_sim_options{.instant = true}, [&](const kvr_loconet_msg& m) {
        const std::string line = kvr_lntcp_format_receive(m);
        {
            std::lock_guard<std::mutex> lk(record.m);
            if (line == marker) record.marked = true;
            if (!record.marked) record.lines.add(line);
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
    std::atomic<uint64_t> rounds{0}, flood_sends{0}, flood_busy{0};
    std::thread bad([&] { misbehave(port, stop, rounds); });
    std::thread flooder([&] { flood(port, stop, flood_sends, flood_busy); });
    std::vector<line_digest> got(readers);
    std::vector<bool> complete(readers, false);
    std::vector<std::thread> reading;
    for (unsigned i = 0; i < readers; ++i)
        reading.emplace_back([&, i] {
            bool done = false;
            got[i] = read_until(*good[i], marker, done);
            complete[i] = done;
        });

    // The driver: speed requests to changing slots, each waited for.
    uint64_t sent = 0, ok = 0;
    double slowest_ms = 0;
    std::this_thread::sleep_for(std::chrono::seconds(1));  // the flood under way
    const long rss_start = rss_kb();
    long rss_max = rss_start;
    auto next_sample = soak_clock::now();
    const auto end = soak_clock::now() + std::chrono::seconds(seconds);
    while (soak_clock::now() < end) {
        const kvr_loconet_msg m = kvr_loconet_msg::with_checksum(
            {0xA0, static_cast<uint8_t>(1 + sent % 100), static_cast<uint8_t>(sent / 100 % 128)});
        const auto asked = soak_clock::now();
        if (!driver.write(kvr_lntcp_format_send(m) + "\r\n")) break;
        ++sent;
        while (std::optional<std::string> l = driver.line()) {
            if (*l == "SENT OK") {
                ++ok;
                break;
            }
            if (l->rfind("SENT ERROR", 0) == 0) break;
        }
        const std::chrono::duration<double, std::milli> took = soak_clock::now() - asked;
        slowest_ms = std::max(slowest_ms, took.count());
        if (soak_clock::now() >= next_sample) {
            rss_max = std::max(rss_max, rss_kb());
            next_sample += std::chrono::seconds(1);
        }
    }
    stop.store(true);
    bad.join();
    flooder.join();

    // Every message the station put on the bus is in the record; the marker
    // goes last, through the same path.
    const kvr_loconet_msg mark = kvr_loconet_msg::with_checksum({0x85});
    runner.with_station([&](kvr_sim_station& s) { s.receive(mark, kvr_sim_time{0}); });
    for (auto& t : reading) t.join();
    server->stop();

    line_digest expected;
    {
        std::lock_guard<std::mutex> lk(record.m);
        expected = record.lines;
    }
    uint64_t lost = 0, extra = 0, incomplete = 0;
    for (unsigned i = 0; i < readers; ++i) {
        if (!complete[i]) ++incomplete;
        if (got[i] != expected) {
            lost += expected.count > got[i].count ? expected.count - got[i].count : 0;
            extra += got[i].count > expected.count ? got[i].count - expected.count : 0;
            if (got[i].count == expected.count) ++extra;  // same count, other order or content
        }
    }
    std::printf("tcp_soak_seconds: %u s\n", seconds);
    std::printf("tcp_soak_readers: %u clients\n", readers);
    std::printf("tcp_soak_bus_messages: %llu messages\n", static_cast<unsigned long long>(expected.count));
    std::printf("tcp_soak_sends: %llu sent, %llu SENT OK\n", static_cast<unsigned long long>(sent),
                static_cast<unsigned long long>(ok));
    std::printf("tcp_soak_misbehaving_rounds: %llu rounds\n", static_cast<unsigned long long>(rounds.load()));
    std::printf("tcp_soak_stalled_reader_dropped: %llu times\n", static_cast<unsigned long long>(dropped.load()));
    std::printf("tcp_soak_lost_or_duplicated: %llu messages\n", static_cast<unsigned long long>(lost + extra));
    std::printf("tcp_soak_flood: %llu SENDs written, %llu answered busy\n",
                static_cast<unsigned long long>(flood_sends.load()), static_cast<unsigned long long>(flood_busy.load()));
    std::printf("tcp_soak_slowest_sent_ok: %.1f ms\n", slowest_ms);
    std::printf("tcp_soak_memory: %ld kB at start, %ld kB at most\n", rss_start, rss_max);
    const bool held = lost == 0 && extra == 0 && incomplete == 0 && ok == sent && dropped.load() <= 1 &&
                      slowest_ms < 1000 && rss_max - rss_start < 32 * 1024;
    std::printf("tcp_soak: %s\n", held ? "every check held" : "FAILED");
    return held ? 0 : 1;
}
