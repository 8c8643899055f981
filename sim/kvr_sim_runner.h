#pragma once
// Serves the simulated station on a pseudo-terminal pair: a program opens the
// slave device (device_path) exactly as it would open a serial adapter, and
// one thread moves bytes between the master side and the station.
//
// While no client holds the slave open the master reports a hang-up (and
// reads fail with EIO); the runner then looks again every few milliseconds,
// so a client may close and reopen the device at will. It keeps no slave
// descriptor of its own: a client that takes the device exclusively
// (TIOCEXCL) would otherwise find it still locked when it reopens it, since
// the lock lasts until the last descriptor closes.
//
// A replayed capture starts once the first client is ready to read: a
// client that opens a serial device throws away what waits in its input
// (TCIFLUSH), so the first messages would be lost if they were written as
// soon as the device is open. The master runs in packet mode (TIOCPKT),
// which tells of that flush; the first byte from the client also counts,
// and a client that does neither gets the capture two seconds after its open.

#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "loconet/kvr_loconet_msg.h"
#include "sim/kvr_sim_options.h"
#include "sim/kvr_sim_replay.h"
#include "sim/kvr_sim_station.h"

class kvr_sim_runner {
public:
    // Called on the runner's thread for every whole message it puts on the
    // bus (echoes of the requests included, noise left out). Must not block
    // for long: the bus waits meanwhile.
    using observer = std::function<void(const kvr_loconet_msg&)>;

    // Opens the pseudo-terminal and starts serving. Raises kvr_exception
    // when the system gives no pseudo-terminal.
    explicit kvr_sim_runner(const kvr_sim_options& options, observer on_bus_message = {},
                            std::unique_ptr<kvr_sim_replay> replay = nullptr);
    kvr_sim_runner(const kvr_sim_runner&) = delete;
    kvr_sim_runner& operator=(const kvr_sim_runner&) = delete;
    // Stops the thread and closes both sides.
    ~kvr_sim_runner();

    // The slave device, such as "/dev/pts/7".
    const std::string& device_path() const { return path_; }

    // Whether a client held the device open when the runner last looked (it
    // looks at least every half second): who must know that the runner has
    // noticed a client come or go waits for this rather than for a time.
    bool client_present() const { return client_present_.load(); }

    // Runs `f` on the station under the runner's lock (look at the layout,
    // change faults), then lets the thread look at its timers again.
    template <class F>
    auto with_station(F&& f) {
        struct wake_after {
            kvr_sim_runner* r;
            ~wake_after() { r->wake(); }
        } w{this};
        std::lock_guard<std::mutex> lock(mutex_);
        return f(station_);
    }

    // A request from a node on the bus that keeps its rules (a
    // LocoNet-over-TCP client's SEND), at the runner's time: it waits for
    // the line as every node does (kvr_sim_station::send_from_node).
    void send_from_node(const kvr_loconet_msg& msg) {
        with_station([&](kvr_sim_station& s) { s.send_from_node(msg, elapsed()); });
    }

private:
    void run();
    void wake();
    kvr_sim_time elapsed() const;
    void flush_output();
    void observe(const std::vector<uint8_t>& bytes);
    void read_master(uint8_t* buffer, std::size_t size, bool& hung_up);
    void client_ready();

    std::string path_;
    int master_ = -1;
    int wake_fd_ = -1;
    bool packet_ = false;  // the master is in packet mode (set before the thread starts)
    const std::chrono::steady_clock::time_point epoch_ = std::chrono::steady_clock::now();

    std::mutex mutex_;  // guards station_
    kvr_sim_station station_;

    observer observer_;
    std::unique_ptr<kvr_sim_replay> replay_;  // runner thread only, after construction
    std::optional<kvr_sim_time> client_seen_;  // runner thread only: the first open noticed
    std::deque<uint8_t> observed_;  // runner thread only
    std::deque<uint8_t> tx_;        // runner thread only: bytes the master has not taken yet
    std::atomic<bool> client_present_{false};
    std::atomic<bool> stop_{false};
    std::thread thread_;
};
