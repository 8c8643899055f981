#pragma once
// The abstract bus port: the listeners the link publishes to
// (kvr_link_listener.h) and the open flag.

#include <atomic>
#include <cstdint>
#include <exception>
#include <mutex>
#include <string>
#include <vector>

#include "link/kvr_link_listener.h"

class kvr_port {
public:
    kvr_port();
    kvr_port(const kvr_port&) = delete;
    kvr_port& operator=(const kvr_port&) = delete;
    virtual ~kvr_port();

    virtual void purge() = 0;
    virtual void close() = 0;
    virtual void open(const std::string& port_name) = 0;

    bool is_open() const { return open_.load(); }

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
    // The I/O thread reads the list for every message; it changes rarely.
    mutable std::mutex listeners_mutex_;
    std::vector<kvr_link_listener*> listeners_;  // guarded by listeners_mutex_
    std::atomic<bool> open_{false};
};
