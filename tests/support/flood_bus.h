#pragma once
// A busy bus on a pseudo-terminal, for the tests and the benchmarks: the
// helper holds the master side and plays the bus. Other nodes' traffic
// (sensor reports, OPC_INPUT_REP, 4 bytes each) is paced to a share of the
// bus rate, and a simulated command station answers what the link writes.
// Every message goes onto the master whole, so the link always reads whole
// messages in bus order, split only where the terminal splits its reads; the
// link's own messages come back as their echo, as on the bus.
//
// Bus rate: 16457 baud, 10 bits per byte, so a 4-byte report takes 2.43 ms
// and a load of 0.75 means one report every 3.24 ms.

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include "loconet/kvr_loconet_msg.h"
#include "sim/kvr_sim_station.h"

namespace flood_test {

using bus_clock = std::chrono::steady_clock;

class flood_bus {
public:
    // Told on the bus thread of every whole message the link wrote, with the
    // moment the bus read it and the reports put on the bus so far. Must not
    // block.
    using observer = std::function<void(const kvr_loconet_msg&, bus_clock::time_point, std::size_t)>;

    flood_bus(double load, observer on_link_message = {}, kvr_sim_options sim = {.instant = true})
        : station_(sim), observer_(std::move(on_link_message)) {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) std::abort();
        path_ = ::ptsname(master_);
        // Raw until the link sets its own mode: a fresh terminal would echo
        // the flood back to the bus.
        const int slave = ::open(path_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        termios tio{};
        if (slave >= 0 && ::tcgetattr(slave, &tio) == 0) {
            ::cfmakeraw(&tio);
            ::tcsetattr(slave, TCSANOW, &tio);
        }
        if (slave >= 0) ::close(slave);
        ::fcntl(master_, F_SETFL, O_NONBLOCK);
        interval_ = std::chrono::duration_cast<bus_clock::duration>(
            std::chrono::duration<double>(4 * 10 / 16457.0 / load));
        thread_ = std::thread([this] { run(); });
    }
    ~flood_bus() {
        stop_.store(true);
        thread_.join();
        ::close(master_);
    }
    flood_bus(const flood_bus&) = delete;
    flood_bus& operator=(const flood_bus&) = delete;

    const std::string& path() const { return path_; }
    // Reports put on the bus so far.
    std::size_t reports() const { return reports_.load(); }

    template <class F>
    auto with_station(F&& f) {
        std::lock_guard<std::mutex> lk(station_mutex_);
        return f(station_);
    }

private:
    kvr_sim_time sim_now() const {
        return std::chrono::duration_cast<kvr_sim_time>(bus_clock::now() - epoch_);
    }
    void put(const std::vector<uint8_t>& bytes) { out_.insert(out_.end(), bytes.begin(), bytes.end()); }
    void put(const kvr_loconet_msg& m) { out_.insert(out_.end(), m.data(), m.data() + m.length()); }

    void flush() {
        while (!out_.empty()) {
            uint8_t chunk[256];
            std::size_t n = 0;
            for (auto it = out_.begin(); it != out_.end() && n < sizeof chunk; ++it) chunk[n++] = *it;
            const ssize_t w = ::write(master_, chunk, n);
            if (w <= 0) return;  // full, or no reader yet: again on the next tick
            out_.erase(out_.begin(), out_.begin() + w);
        }
    }

    void take_link_bytes() {
        uint8_t buf[512];
        const ssize_t n = ::read(master_, buf, sizeof buf);
        if (n <= 0) return;
        const auto at = bus_clock::now();
        from_link_.insert(from_link_.end(), buf, buf + n);
        kvr_frame_all(from_link_, [&](const kvr_loconet_msg& m) {
            put(m);  // the line carries the sender's own message back to it
            if (observer_) observer_(m, at, reports_.load());
            std::lock_guard<std::mutex> lk(station_mutex_);
            station_.receive(m, sim_now());
        });
    }

    void run() {
        auto next = bus_clock::now();
        uint8_t sensor = 0;
        while (!stop_.load()) {
            // The link's message first: a node hears a message that began
            // before its own start and waits for it, so reports falling due
            // meanwhile go behind its echo.
            take_link_bytes();
            const auto now = bus_clock::now();
            // A tick late by more than a few reports starts afresh rather than
            // bursting to catch up.
            if (now - next > 4 * interval_) next = now;
            while (next <= now) {
                put(kvr_loconet_msg::with_checksum({OPC_INPUT_REP, static_cast<uint8_t>(sensor++ & 0x7F), 0x50}));
                reports_.fetch_add(1);
                next += interval_;
            }
            {
                std::lock_guard<std::mutex> lk(station_mutex_);
                put(station_.poll(sim_now()));
            }
            flush();
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    }

    std::mutex station_mutex_;
    kvr_sim_station station_;
    observer observer_;
    int master_ = -1;
    std::string path_;
    const bus_clock::time_point epoch_ = bus_clock::now();
    bus_clock::duration interval_{};
    std::deque<uint8_t> out_;        // bus thread only
    std::deque<uint8_t> from_link_;  // bus thread only
    std::atomic<std::size_t> reports_{0};
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace flood_test
