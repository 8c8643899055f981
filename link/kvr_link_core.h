#pragma once
// Inside the link (kvr_link.h): the state its I/O thread shares with the
// transports, and the helpers they all use. Not for use outside link/.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "foundation/kvr_exception.h"
#include "link/kvr_adapter.h"
#include "link/kvr_link.h"
#include "link/kvr_repeat_gate.h"
#include "link/kvr_serial.h"
#include "link/kvr_transport.h"
#include "link/kvr_tx_gate.h"

namespace kvr_link_detail {

// Reports name the link by the adapter's own name, as the program's users
// and their logs know it.
constexpr const char* source = "kvr_ms100";
using duration = kvr_tx_gate::duration;
using tx_clock = std::chrono::steady_clock;
constexpr duration poll_idle = std::chrono::milliseconds(10);       // idle poll interval
constexpr duration poll_after_write = std::chrono::milliseconds(2);  // until the next read
constexpr std::size_t read_buffer = 2048;

// Report lines of the failures, as the program's users and their logs know
// them; the report names the source and the line.
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

// Writes the whole buffer, taking `port_lock` only around each write call.
// Returns 0 or the errno of the failure (EAGAIN when the driver never made
// room within the stall bound).
int write_whole(kvr_serial_io& io, std::mutex& port_lock, int fd, const uint8_t* p, std::size_t len);

inline duration since(tx_clock::time_point then, tx_clock::time_point now) {
    return std::chrono::duration_cast<duration>(now - then);
}

}  // namespace kvr_link_detail

struct kvr_link_core {
    kvr_link_core(kvr_link& o, kvr_serial_io& calls);
    ~kvr_link_core();

    kvr_link& owner;
    kvr_serial_io& io;
    std::string name;
    // Written by the owner's thread while no I/O thread runs.
    kvr_adapter chosen = kvr_adapter::automatic;
    const kvr_adapter_info* kind = nullptr;
    std::unique_ptr<kvr_transport> transport;
    std::unique_ptr<kvr_virtual_port> vport;
    std::map<std::string, kvr_virtual_port_factory> virtual_ports;  // the owner's thread only
    std::thread thread;

    // Stop signal: the flag is the truth, the eventfd wakes a waiting poll.
    // send() rings the same eventfd so a queued message starts its cycle at
    // once instead of after the rest of the poll interval. Without an eventfd
    // the poll still ends within one poll interval.
    std::atomic<bool> stop{false};
    int wake_fd = -1;
    void ring() const;

    // Guarded by the port lock. The front message stays queued while it is
    // written (the lock is released meanwhile); `front_in_flight` keeps a
    // withdrawal from taking it then.
    struct queued {
        kvr_loconet_msg msg;
        uint32_t tag;
        int tries = 0;  // MS100: attempts that collided
    };
    std::deque<queued> txq;
    bool front_in_flight = false;
    std::condition_variable tx_empty;  // waits with the port lock

    // I/O thread only.
    bool lost = false;
    kvr_repeat_gate gate;
    kvr_link_detail::tx_clock::time_point last_rx{};  // when bytes were last read
    std::atomic<std::size_t> given_up{0};  // messages the bus never carried

    std::mutex& lock() const { return owner.lock(); }
    void start_thread();
    void stop_thread();
    void drop_queue();

    void run();
    bool wait_input(kvr_link_detail::duration wait, bool watch_device);
    // The front message leaves the queue: sent, or given up with a report
    // in the monitor and the dated log.
    void finish_front(bool sent);
    // Hands bytes read to the receive path.
    void deliver(const uint8_t* bytes, std::size_t n);
    // A line of the link's own for the monitor, without its line end.
    void note(const std::string& text) { owner.post_note(text + "\r\n"); }
    void send_refused(const std::string& report) { owner.notify_send_refused(report); }
    bool failed(kvr_exception& e, bool from_device);
    void lose(kvr_exception& e);
    static void record(kvr_exception& e);
    template <class F>
    static std::optional<kvr_exception> attempt(F&& f);
};
