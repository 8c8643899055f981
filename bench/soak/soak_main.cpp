// busprobe-soak: the window's core path (serial driver, receive path and
// stores, monitor sink, command station) against the simulated station on a
// pseudo-terminal, with noise bytes and damaged copies of messages injected
// at a high rate and demo traffic on the bus, for a set time.
//
// Checked: every whole message on the bus reaches the sink once and in
// order, with its monitor line; every request the link sends is seen on the
// bus; every operation is answered (with the right value where there is
// one) or cancelled; memory does not grow after the warm-up.
//
// Usage: busprobe-soak [--seconds N] [--noise PER_MILLE] [--seed N]
// Ends with its counts, one per line, "<name>: <value> <unit>"; exit status
// 0 when every check held.

#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "foundation/kvr_exception.h"
#include "foundation/kvr_sys_event.h"
#include "sim/kvr_sim_runner.h"
#include "soak/soak_traffic.h"
#include "station/kvr_dccx_loconet.h"

namespace {

using soak_clock = std::chrono::steady_clock;

struct soak_args {
    unsigned seconds = 60;
    unsigned noise_per_mille = 250;
    uint32_t seed = 1;
};

bool parse_args(int argc, char** argv, soak_args& a) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (i + 1 >= argc) return false;
        const unsigned long v = std::strtoul(argv[++i], nullptr, 10);
        if (arg == "--seconds") a.seconds = static_cast<unsigned>(v);
        else if (arg == "--noise") a.noise_per_mille = static_cast<unsigned>(std::min(v, 1000ul));
        else if (arg == "--seed") a.seed = static_cast<uint32_t>(v);
        else return false;
    }
    return a.seconds > 0;
}

// Resident memory of this process, in kB.
long rss_kb() {
    std::FILE* f = std::fopen("/proc/self/statm", "r");
    if (f == nullptr) return 0;
    long pages = 0, resident = 0;
    const int n = std::fscanf(f, "%ld %ld", &pages, &resident);
    std::fclose(f);
    return n == 2 ? resident * (sysconf(_SC_PAGESIZE) / 1024) : 0;
}

// Heap bytes in use, in kB: what the program holds, without the pages the
// allocator keeps for later.
long heap_kb() {
    return static_cast<long>(mallinfo2().uordblks / 1024);
}

// A sanitizer's own bookkeeping grows as the run goes on: there the memory
// figures are shown but not judged.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool memory_judged = false;
#else
constexpr bool memory_judged = true;
#endif

struct memory_use {
    long rss_kb = 0;
    long heap_kb = 0;
};

memory_use memory_now() {
    return {rss_kb(), heap_kb()};
}

struct op_counts {
    uint64_t started = 0;
    uint64_t answered = 0;
    uint64_t cancelled = 0;
    uint64_t wrong = 0;   // answered with a value other than the decoder's
    uint64_t failed = 0;  // a failure other than the cancel asked for
    uint64_t hung = 0;    // ended only by the watchdog
};

// Ends an operation that waits far longer than any budget allows, so the run
// always finishes; such an operation counts as hung.
class watchdog {
public:
    explicit watchdog(kvr_sys_event& abort) : abort_(abort), thread_([this] { run(); }) {}
    ~watchdog() {
        stop_.store(true);
        thread_.join();
    }
    void begin() { started_.store(soak_clock::now().time_since_epoch().count()); }
    void end() { started_.store(0); }
    bool fired() { return fired_.exchange(false); }

private:
    void run() {
        while (!stop_.load()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            const auto s = started_.load();
            if (s == 0) continue;
            const auto age = soak_clock::now().time_since_epoch() - soak_clock::duration(s);
            if (age > std::chrono::seconds(30)) {
                fired_.store(true);
                abort_.set();
            }
        }
    }

    kvr_sys_event& abort_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> fired_{false};
    std::atomic<soak_clock::rep> started_{0};
    std::thread thread_;
};

class soak_run {
public:
    soak_run(const soak_args& args, kvr_sim_options options)
        : args_(args),
          sim_(options, [this](const kvr_loconet_msg& m) { traffic_.on_bus(m); }),
          link_(traffic_),
          sink_(traffic_),
          station_(link_, kvr_dccx_timing{100, 40, true}),
          dog_(abort_) {
        link_.add_listener(&sink_);
        station_.set_abort_event(&abort_);
    }

    int run();

private:
    void one_operation(uint64_t i);
    void cv_round_trip(uint64_t i);
    void paged_read(uint64_t i);
    void switch_and_throttle(uint64_t i);
    void cancelled_read();
    template <class F>
    void attempt(F&& f, bool cancel_expected);
    uint8_t decoder_cv(unsigned cv);
    bool wait_echoed(unsigned ms);
    int report(const soak_counts& c, memory_use growth, double seconds);

    soak_args args_;
    soak_traffic traffic_;
    kvr_sim_runner sim_;
    soak_link link_;
    soak_sink sink_;
    kvr_sys_event abort_{true};
    kvr_dccx_loconet station_;
    watchdog dog_;
    op_counts ops_;
};

uint8_t soak_run::decoder_cv(unsigned cv) {
    return sim_.with_station([cv](kvr_sim_station& s) { return s.programmer().track_decoder().cv(cv); });
}

bool soak_run::wait_echoed(unsigned ms) {
    const auto until = soak_clock::now() + std::chrono::milliseconds(ms);
    while (traffic_.unechoed() > 0) {
        if (soak_clock::now() >= until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Runs one operation under the watchdog and counts how it ended.
template <class F>
void soak_run::attempt(F&& f, bool cancel_expected) {
    ++ops_.started;
    dog_.begin();
    try {
        if (f()) ++ops_.answered;
        else ++ops_.wrong;
    } catch (const kvr_exception& e) {
        const bool cancel = e.message.find("CANCEL") != std::string::npos;
        if (dog_.fired()) ++ops_.hung;
        else if (cancel && cancel_expected) ++ops_.cancelled;
        else {
            ++ops_.failed;
            std::fprintf(stderr, "soak: operation failed:\n%s\n", e.message.c_str());
        }
    }
    dog_.end();
    abort_.reset();
}

void soak_run::cv_round_trip(uint64_t i) {
    const unsigned cv = 33 + static_cast<unsigned>(i % 16);
    const uint8_t value = static_cast<uint8_t>(i * 37);
    attempt([&] {
        station_.do_direct_write(cv, value);
        return decoder_cv(cv) == value;
    }, false);
    attempt([&] { return station_.do_direct_read(cv) == value; }, false);
}

void soak_run::paged_read(uint64_t i) {
    const unsigned cv = 33 + static_cast<unsigned>(i % 16);
    attempt([&] { return station_.do_paged_read(cv) == decoder_cv(cv); }, false);
}

// Requests that are answered by being put on the bus: answered once their
// echo is seen.
void soak_run::switch_and_throttle(uint64_t i) {
    const uint16_t address = static_cast<uint16_t>(3 + i % 5);
    attempt([&] {
        station_.do_128step(address, static_cast<uint16_t>(i & 1), static_cast<uint16_t>(i % 128));
        station_.do_function_grp1(address, static_cast<uint8_t>(i % 32));
        station_.do_sw(static_cast<uint16_t>(1 + i % 2048), static_cast<uint16_t>(i & 1), true);
        return wait_echoed(2000);
    }, false);
}

// A read the station never answers, cancelled by the abort event as the
// window's Cancel does.
void soak_run::cancelled_read() {
    sim_.with_station([](kvr_sim_station& s) { s.options().drop_answers = 1000000; });
    std::thread cancel([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        abort_.set();
    });
    attempt([&] { return station_.do_paged_read(40) != 0xFFFF; }, true);
    cancel.join();
    sim_.with_station([](kvr_sim_station& s) { s.options().drop_answers = 0; });
}

void soak_run::one_operation(uint64_t i) {
    if (i % 25 == 24) {
        cancelled_read();
    } else if (i % 10 == 9) {
        // One answer left out: the operation must restart and still finish.
        sim_.with_station([](kvr_sim_station& s) { s.options().drop_answers = 1; });
        paged_read(i);
    } else if (i % 3 == 0) {
        cv_round_trip(i);
    } else if (i % 3 == 1) {
        paged_read(i);
    } else {
        switch_and_throttle(i);
    }
}

int soak_run::run() {
    try {
        link_.open(sim_.device_path());
    } catch (const kvr_exception& e) {
        std::fprintf(stderr, "soak: cannot open the simulated station:\n%s\n", e.message.c_str());
        return 2;
    }
    traffic_.start();
    sim_.with_station([](kvr_sim_station& s) { s.options().demo = true; });

    const auto start = soak_clock::now();
    const auto end = start + std::chrono::seconds(args_.seconds);
    const auto warm = start + std::max<soak_clock::duration>(std::chrono::seconds(5), (end - start) / 5);
    bool warmed = false;
    memory_use at_warm;
    for (uint64_t i = 0; soak_clock::now() < end; ++i) {
        one_operation(i);
        if (!warmed && soak_clock::now() >= warm) {
            at_warm = memory_now();
            warmed = true;
        }
    }
    const memory_use at_end = memory_now();
    const memory_use growth =
        warmed ? memory_use{at_end.rss_kb - at_warm.rss_kb, at_end.heap_kb - at_warm.heap_kb} : memory_use{};
    const double seconds = std::chrono::duration<double>(soak_clock::now() - start).count();

    // Quiet the bus, then let the last messages arrive.
    sim_.with_station([](kvr_sim_station& s) { s.options().demo = false; });
    traffic_.drain(3000);
    link_.close();
    const soak_counts counts = traffic_.finish();
    return report(counts, growth, seconds);
}

void print_count(const char* name, double value, const char* unit) {
    std::printf("%s: %.0f %s\n", name, value, unit);
}

int soak_run::report(const soak_counts& c, memory_use growth, double seconds) {
    // The heap in use may differ by what happens to be queued at the two
    // moments; a leak of one message per operation would pass 100 kB within
    // the first minute.
    constexpr long heap_limit_kb = 64;
    constexpr long rss_limit_kb = 2048;
    print_count("soak_seconds", seconds, "s");
    print_count("soak_noise_per_mille", args_.noise_per_mille, "per_mille");
    print_count("soak_bus_messages", static_cast<double>(c.bus), "msgs");
    print_count("soak_messages_received", static_cast<double>(c.received), "msgs");
    print_count("soak_messages_lost", static_cast<double>(c.lost), "msgs");
    print_count("soak_messages_duplicated", static_cast<double>(c.duplicated), "msgs");
    print_count("soak_messages_unexpected", static_cast<double>(c.unexpected), "msgs");
    print_count("soak_monitor_lines", static_cast<double>(c.lines), "lines");
    print_count("soak_monitor_lines_wrong", static_cast<double>(c.bad_lines), "lines");
    print_count("soak_requests_sent", static_cast<double>(c.sent), "msgs");
    print_count("soak_requests_echoed", static_cast<double>(c.echoed), "msgs");
    print_count("soak_operations", static_cast<double>(ops_.started), "ops");
    print_count("soak_operations_answered", static_cast<double>(ops_.answered), "ops");
    print_count("soak_operations_cancelled", static_cast<double>(ops_.cancelled), "ops");
    print_count("soak_operations_wrong", static_cast<double>(ops_.wrong), "ops");
    print_count("soak_operations_failed", static_cast<double>(ops_.failed), "ops");
    print_count("soak_operations_hung", static_cast<double>(ops_.hung), "ops");
    print_count("soak_heap_growth_kb", static_cast<double>(growth.heap_kb), "kB");
    print_count("soak_rss_growth_kb", static_cast<double>(growth.rss_kb), "kB");

    std::vector<const char*> faults;
    if (c.bus == 0 || c.received == 0) faults.push_back("no traffic");
    if (c.lost > 0) faults.push_back("messages lost");
    if (c.duplicated > 0) faults.push_back("messages duplicated");
    if (c.unexpected > 0) faults.push_back("messages that were never on the bus");
    if (c.lines != c.received + c.duplicated + c.unexpected || c.bad_lines > 0)
        faults.push_back("monitor lines missing or wrong");
    if (c.echoed != c.sent) faults.push_back("requests not seen on the bus");
    if (c.links_lost > 0) faults.push_back("link lost");
    if (ops_.answered + ops_.cancelled != ops_.started) faults.push_back("operations neither answered nor cancelled");
    if (memory_judged && (growth.heap_kb > heap_limit_kb || growth.rss_kb > rss_limit_kb))
        faults.push_back("memory grew after the warm-up");
    for (const char* f : faults) std::printf("soak: FAILED: %s\n", f);
    if (faults.empty()) std::printf("soak: passed\n");
    return faults.empty() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    soak_args args;
    if (!parse_args(argc, argv, args)) {
        std::fprintf(stderr, "usage: busprobe-soak [--seconds N] [--noise PER_MILLE] [--seed N]\n");
        return 2;
    }
    kvr_sim_options options;
    options.ack_delay_ms = 2;
    options.read_delay_ms = 5;
    options.write_delay_ms = 5;
    options.noise_per_mille = args.noise_per_mille;
    options.seed = args.seed;
    options.clock_rate = 60;
    soak_run run(args, options);
    return run.run();
}
