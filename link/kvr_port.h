#pragma once
// The abstract bus port: the port lock of the I/O thread's device calls and
// transmit queue, the listeners the link publishes to (kvr_link_listener.h),
// the table of completion events, the abort event and the open flag.

#include <atomic>
#include <cstdint>
#include <exception>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include <vector>

#include "foundation/kvr_sys_event.h"
#include "link/kvr_link_listener.h"

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

    // Listeners are told in the order they were added. After
    // remove_listener returns, `l` is never called again (a call in
    // progress on the I/O thread is waited for), so a listener may be
    // destroyed then. Neither may be called from inside a listener's call.
    void add_listener(kvr_link_listener* l);
    void remove_listener(kvr_link_listener* l);

    // A line of the link's own (ends in CR LF) for the listeners' monitors;
    // a line longer than a monitor line may be is cut (kvr_monitor::cut_line).
    void post_note(std::string line);

protected:
    // The port lock: guards the I/O thread's calls on the device and the
    // transmit queue. Nobody outside the link takes it.
    std::mutex& lock() const { return lock_; }
    void set_open(bool open) { open_.store(open); }
    // True when somebody listens: then a message is worth stamping.
    bool has_listeners() const;
    // Calls `tell_one` for every listener, in order, under the listeners'
    // lock. A listener that fails does not rob the ones after it of the
    // call: the first failure is thrown once every listener was told.
    template <class F>
    void tell(F&& tell_one) const {
        std::exception_ptr first;
        std::lock_guard<std::mutex> lk(listeners_mutex_);
        for (kvr_link_listener* l : listeners_) {
            try {
                tell_one(*l);
            } catch (...) {
                if (!first) first = std::current_exception();
            }
        }
        if (first) std::rethrow_exception(first);
    }
    // Tells the listeners once that the link was lost.
    void notify_link_lost(const std::string& report);
    // Tells the listeners that a message was refused.
    void notify_send_refused(const std::string& report);

private:
    mutable std::mutex lock_;
    // The I/O thread reads the list for every message; it changes rarely.
    mutable std::mutex listeners_mutex_;
    std::vector<kvr_link_listener*> listeners_;  // guarded by listeners_mutex_
    std::atomic<kvr_sys_event*> abort_{nullptr};
    std::atomic<bool> open_{false};
    std::mutex events_mutex_;
    std::map<uint8_t, std::unique_ptr<kvr_event>> events_;
};
