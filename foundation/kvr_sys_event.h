#pragma once
// Manual- and auto-reset events with timed waits, for several waiting threads,
// and a wait on several events at once.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <initializer_list>
#include <list>
#include <mutex>
#include <vector>

class kvr_sys_event {
public:
    explicit kvr_sys_event(bool manual_reset, bool initially_set = false);
    kvr_sys_event(const kvr_sys_event&) = delete;
    kvr_sys_event& operator=(const kvr_sys_event&) = delete;
    ~kvr_sys_event();

    void set();
    void reset();
    bool is_set() const;
    // True when the event is (or becomes) set within `ms`. An auto-reset
    // event is cleared by the wait that sees it.
    bool wait(unsigned ms);
    void wait_forever();

    // Index of the first event found set within `ms` (auto-reset ones are
    // consumed), or -1 on time-out. Null entries are skipped.
    static int wait_any(std::initializer_list<kvr_sys_event*> events, unsigned ms);

private:
    struct waiter {
        std::mutex m;
        std::condition_variable cv;
        bool fired = false;
    };
    bool try_consume_locked();
    // Index of the first event found set (consuming an auto-reset one), or
    // -1. With `w`, registers it on each event found clear.
    static int look_any(const std::vector<kvr_sys_event*>& events, waiter* w);

    const bool manual_;
    mutable std::mutex m_;
    std::condition_variable cv_;
    bool set_;
    std::list<waiter*> waiters_;  // wait_any callers registered on this event
};
