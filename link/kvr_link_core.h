#pragma once
// Inside the link (kvr_link.h): the state of its I/O thread, what it lends
// the transports (kvr_transport_host), and the helpers the transports use.
// Not for use outside link/.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "foundation/kvr_exception.h"
#include "link/kvr_adapter.h"
#include "link/kvr_repeat_gate.h"
#include "link/kvr_serial.h"
#include "link/kvr_transport.h"
#include "link/kvr_tx_gate.h"
#include "link/kvr_tx_queue.h"

class kvr_link;
class kvr_virtual_port;

namespace kvr_link_detail {

// The serial path's reports name the link by the adapter's own name, as the
// program's users and their logs know it.
constexpr const char* source = "kvr_ms100";
using duration = kvr_tx_gate::duration;
using tx_clock = std::chrono::steady_clock;
constexpr duration poll_idle = std::chrono::milliseconds(10);       // idle poll interval
constexpr duration poll_after_write = std::chrono::milliseconds(2);  // until the next read
constexpr std::size_t read_buffer = 2048;

// Report lines of the serial path's failures, as the program's users and
// their logs know them; the report names the source and the line.
enum report_line : int {
    line_create_file = 54,
    line_get_properties = 68,
    line_baud_user = 88,
    line_get_state = 99,
    line_set_state = 116,
    line_get_timeouts = 127,
    line_set_timeouts = 141,
    line_create_thread = 160,
    line_status = 193,
    line_read = 210,
    line_purge = 248,
    line_write = 308,
    line_rx_proc = 320,
};

// `plain`: the report's first line in plain words (kvr_link_words.h).
[[noreturn]] void raise(const std::string& where, int code, int line, std::string plain = {});
std::string port_step(const std::string& port, const char* step);

// Writes the whole buffer, taking `device_lock` only around each write call.
// Returns 0 or the errno of the failure (EAGAIN when the driver never made
// room within the stall bound).
int write_whole(kvr_serial_io& io, std::mutex& device_lock, int fd, const uint8_t* p, std::size_t len);

inline duration since(tx_clock::time_point then, tx_clock::time_point now) {
    return std::chrono::duration_cast<duration>(now - then);
}

}  // namespace kvr_link_detail

struct kvr_link_core final : kvr_transport_host {
    kvr_link_core(kvr_link& o, kvr_serial_io& calls);
    ~kvr_link_core() override;

    kvr_link& owner;
    kvr_serial_io& calls;
    std::string name;
    // Written by the owner's thread while no I/O thread runs.
    kvr_adapter chosen = kvr_adapter::automatic;
    const kvr_adapter_info* kind = nullptr;
    std::unique_ptr<kvr_transport> transport;
    std::unique_ptr<kvr_virtual_port> vport;
    std::map<std::string, std::function<std::unique_ptr<kvr_virtual_port>()>> virtual_ports;  // owner's thread
    std::thread thread;
    kvr_tx_queue txq;

    // Stop signal: the flag is the truth, the eventfd wakes a waiting poll.
    // send() rings the same eventfd so a queued message starts its cycle at
    // once instead of after the rest of the poll interval. Without an eventfd
    // the poll still ends within one poll interval.
    std::atomic<bool> stop{false};
    int wake_fd = -1;
    void ring() const;

    // I/O thread only.
    bool lost = false;
    kvr_repeat_gate gate;
    std::atomic<std::size_t> given_up_count{0};  // messages the bus never carried

    void start_thread();
    void stop_thread();

    void run();
    bool wait_input(kvr_link_detail::duration wait, bool watch_device);
    bool failed(kvr_exception& e, bool from_device);
    void lose(kvr_exception& e);
    static void write_record(kvr_exception& e);
    template <class F>
    static std::optional<kvr_exception> attempt(F&& f);

    // kvr_transport_host
    const std::string& port_name() const override { return name; }
    const kvr_adapter_info& adapter() const override { return *kind; }
    kvr_serial_io& io() override { return calls; }
    kvr_tx_queue& queue() override { return txq; }
    void deliver(const uint8_t* bytes, std::size_t n) override;
    bool receive_pending() const override;
    void note(const std::string& text) override;
    void refused(const kvr_exception& report) override;
    void given_up(const kvr_loconet_msg& msg) override;
    void record(kvr_exception& e) override { failed(e, false); }
    const std::atomic<bool>& stopping() const override { return stop; }
    int wake_descriptor() const override { return wake_fd; }
};
