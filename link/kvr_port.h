#pragma once
// The abstract bus port: the port lock shared by the I/O thread and the
// command station, the monitor sink that receives monitor lines, the table
// of completion events, the abort event and the open flag.

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "foundation/kvr_sys_event.h"

class kvr_loconet_msg;

// A completion event with the result of its last signal.
class kvr_event {
public:
    explicit kvr_event(uint8_t tag = 0) : tag_(tag) {}
    void signal(uint8_t result);
    void reset();
    bool wait(unsigned ms);
    void wait_forever();

    uint8_t tag() const { return tag_; }
    uint8_t result() const { return result_.load(); }
    uint32_t resets() const { return resets_.load(); }
    uint32_t successes() const { return successes_.load(); }
    uint32_t code254_count() const { return code254_.load(); }

private:
    kvr_sys_event event_{true};
    uint8_t tag_;
    std::atomic<uint8_t> result_{0};
    std::atomic<uint32_t> resets_{0};
    std::atomic<uint32_t> successes_{0};
    std::atomic<uint32_t> code254_{0};
};

// Where monitor lines go. The window program hands each line to the GUI
// thread with a queued call; tests collect them in a locked queue. Called on
// the link's I/O thread: implementations must not block.
class kvr_monitor_sink {
public:
    virtual ~kvr_monitor_sink() = default;
    // False when the receiver is gone: then nothing is formatted or posted.
    virtual bool has_window() const = 0;
    // One monitor line, ending in CR LF. Ownership passes to the receiver.
    virtual void post_text(std::string text) = 0;
    // The device went away (unplugged adapter). Told once per loss, with the
    // report text of the failure.
    virtual void link_lost(std::string report) = 0;
    // The message whose line the next post_text carries, for receivers that
    // show the bytes as well (busprobe-cli monitor --hex). Called on the I/O
    // thread right before that post_text; the default ignores it.
    virtual void post_message(const kvr_loconet_msg& msg) { (void)msg; }
    // A message the link took was refused where it was to go out (a
    // LocoNet-over-TCP server's SENT ERROR), with the report text. Told once
    // per refused message; the default ignores it.
    virtual void send_failed(std::string report) { (void)report; }
};

class kvr_port {
public:
    kvr_port();
    kvr_port(const kvr_port&) = delete;
    kvr_port& operator=(const kvr_port&) = delete;
    virtual ~kvr_port();

    virtual void write_bytes(const uint8_t* bytes, int count) = 0;
    virtual void purge() = 0;
    virtual void close() = 0;
    virtual void open(const std::string& port_name) = 0;

    bool is_open() const { return open_.load(); }

    void set_abort_event(kvr_sys_event* ev) { abort_.store(ev); }
    kvr_sys_event* abort_event() const { return abort_.load(); }

    // The completion event of `key`, created on first use. References stay
    // valid for the life of the port.
    kvr_event& event(uint8_t key);

    void set_window(kvr_monitor_sink* sink) { sink_.store(sink); }
    bool has_window() const;
    // Tells the sink which message the next post_text belongs to.
    void post_message(const kvr_loconet_msg& msg) const {
        if (kvr_monitor_sink* s = sink_.load()) s->post_message(msg);
    }
    // Formats into a 1024-byte buffer (longer texts are cut) and hands the
    // text to the sink. Nothing is formatted when there is no sink.
    void post_text(const char* fmt, ...) __attribute__((format(printf, 2, 3)));

    // The port lock: guards the I/O thread's calls on the device, the
    // transmit queue and the reply stores.
    std::mutex& lock() const { return lock_; }

protected:
    void set_open(bool open) { open_.store(open); }
    // Tells the sink once that the link was lost.
    void notify_link_lost(const std::string& report);
    // Tells the sink that a message was refused.
    void notify_send_failed(const std::string& report);

private:
    mutable std::mutex lock_;
    std::atomic<kvr_monitor_sink*> sink_{nullptr};
    std::atomic<kvr_sys_event*> abort_{nullptr};
    std::atomic<bool> open_{false};
    std::mutex events_mutex_;
    std::map<uint8_t, std::unique_ptr<kvr_event>> events_;
};
