#include "foundation/kvr_sys_event.h"

#include <algorithm>
#include <vector>

// A wait_any caller registers one waiter record on every event it waits on;
// set() fires the records so the caller wakes without polling. Lock order:
// an event's mutex, then a waiter's mutex; never the other way round.

kvr_sys_event::kvr_sys_event(bool manual_reset, bool initially_set)
    : manual_(manual_reset), set_(initially_set) {}

kvr_sys_event::~kvr_sys_event() = default;

void kvr_sys_event::set() {
    std::lock_guard<std::mutex> lk(m_);
    set_ = true;
    for (waiter* w : waiters_) {
        std::lock_guard<std::mutex> wl(w->m);
        w->fired = true;
        w->cv.notify_all();
    }
    if (manual_)
        cv_.notify_all();
    else
        cv_.notify_one();
}

void kvr_sys_event::reset() {
    std::lock_guard<std::mutex> lk(m_);
    set_ = false;
}

bool kvr_sys_event::is_set() const {
    std::lock_guard<std::mutex> lk(m_);
    return set_;
}

bool kvr_sys_event::try_consume_locked() {
    if (!set_) return false;
    if (!manual_) set_ = false;
    return true;
}

bool kvr_sys_event::wait(unsigned ms) {
    std::unique_lock<std::mutex> lk(m_);
    cv_.wait_for(lk, std::chrono::milliseconds(ms), [this] { return set_; });
    return try_consume_locked();
}

void kvr_sys_event::wait_forever() {
    std::unique_lock<std::mutex> lk(m_);
    cv_.wait(lk, [this] { return set_; });
    try_consume_locked();
}

int kvr_sys_event::look_any(const std::vector<kvr_sys_event*>& events, waiter* w) {
    for (std::size_t i = 0; i < events.size(); ++i) {
        kvr_sys_event* e = events[i];
        if (!e) continue;
        std::lock_guard<std::mutex> lk(e->m_);
        if (e->try_consume_locked()) return static_cast<int>(i);
        if (w && std::find(e->waiters_.begin(), e->waiters_.end(), w) == e->waiters_.end())
            e->waiters_.push_back(w);
    }
    return -1;
}

int kvr_sys_event::wait_any(std::initializer_list<kvr_sys_event*> events, unsigned ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    std::vector<kvr_sys_event*> list(events);
    waiter w;
    auto unregister = [&] {
        for (kvr_sys_event* e : list) {
            if (!e) continue;
            std::lock_guard<std::mutex> lk(e->m_);
            e->waiters_.remove(&w);
        }
    };
    for (;;) {
        {
            std::lock_guard<std::mutex> wl(w.m);
            w.fired = false;
        }
        // Look at every event and register on it in the same locked step, so a
        // set() between the look and the sleep still fires our record.
        const int found = look_any(list, &w);
        if (found >= 0) {
            // Unregister only after the event's lock is released: unregister()
            // takes every event's lock in turn, this one included, and holding
            // one event's lock while taking another's could deadlock against a
            // second waiter listing them in the other order.
            unregister();
            return found;
        }
        std::unique_lock<std::mutex> wl(w.m);
        if (!w.cv.wait_until(wl, deadline, [&] { return w.fired; })) {
            wl.unlock();
            unregister();
            // One last look: a set() racing with the time-out still counts.
            return look_any(list, nullptr);
        }
    }
}
