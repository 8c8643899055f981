// Real waits: answers filed by another thread are noticed at once, without
// changing how many units a budget holds; Cancel from another thread. The
// waits are real; what ended each one is recorded, so the tests check how a
// wait ended rather than how long it took.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "fake_link.h"
#include "station/kvr_dccx_loconet.h"

namespace {

using namespace std::chrono;

long elapsed_ms(steady_clock::time_point since) {
    return static_cast<long>(duration_cast<milliseconds>(steady_clock::now() - since).count());
}

// The blocking waiter, recording how each wait ended.
class recording_waiter : public kvr_waiter {
public:
    kvr_wait_result wait(kvr_sys_event* abort, kvr_sys_event* wake, unsigned ms) override {
        waiting = true;
        const kvr_wait_result r = kvr_waiter::wait(abort, wake, ms);
        std::lock_guard<std::mutex> lk(m_);
        results_.push_back(r);
        return r;
    }
    std::size_t count(kvr_wait_result r) const {
        std::lock_guard<std::mutex> lk(m_);
        return static_cast<std::size_t>(std::count(results_.begin(), results_.end(), r));
    }
    std::atomic<bool> waiting{false};

private:
    mutable std::mutex m_;
    std::vector<kvr_wait_result> results_;
};

// A link whose answers come from another thread, as from the receive thread.
struct threaded_link {
    explicit threaded_link(kvr_dccx_timing timing = {}) : station(link, timing) {
        link.set_abort_event(&abort);
        station.set_waiter(&waiter);
    }
    // Delivers `answers` (delay after the previous one, bytes) on a new thread.
    void answer_later(std::vector<std::pair<unsigned, bytes>> answers) {
        bus.emplace_back([this, answers] {
            for (const auto& [ms, b] : answers) {
                std::this_thread::sleep_for(milliseconds(ms));
                link.deliver(b);
            }
        });
    }

    fake_link link;
    kvr_sys_event abort{true};
    recording_waiter waiter;
    kvr_dccx_loconet station;
    std::vector<std::jthread> bus;  // joined before the link goes
};

// A direct read whose LACK comes 5 ms and final reply 15 ms after the task.
// Returns the number of wait units that ran out in full.
std::size_t units_run_out(bool notice_at_once) {
    threaded_link t(kvr_dccx_timing{.wait_unit_ms = 400, .notice_at_once = notice_at_once});
    t.link.on_send = [&](const bytes& m) {
        if (is_task(m)) t.answer_later({{5, long_ack(0xEF, 0x01)}, {10, task_reply(0x00, 77)}});
    };
    EXPECT_EQ(t.station.do_direct_read(29, 255), 77);
    return t.waiter.count(kvr_wait_result::timed_out);
}

// Noticed at once, the answers end their waits; polled, each is found only
// when a unit has run out.
TEST(Waiting, AnswerArrivingMidUnitIsTakenAtOnce) {
    EXPECT_EQ(units_run_out(true), 0u);
    EXPECT_GE(units_run_out(false), 1u);
}

TEST(Waiting, WakesForOtherRepliesDoNotCountAsUnits) {
    threaded_link t(kvr_dccx_timing{.wait_unit_ms = 40});
    // Another throttle's traffic keeps filing slot data while the task
    // waits for a LACK that never comes.
    t.link.on_send = [&](const bytes& m) {
        if (is_task(m)) t.answer_later(std::vector<std::pair<unsigned, bytes>>(50, {4, slot_data({9, 9})}));
    };
    const auto start = steady_clock::now();
    EXPECT_FALSE(t.station.do_direct_bit_write(1, 1, 0));
    EXPECT_GE(elapsed_ms(start), 3 * 40);
    EXPECT_EQ(t.link.sent.size(), 1u);
}

TEST(Waiting, CancelFromAnotherThreadEndsTheWait) {
    threaded_link t(kvr_dccx_timing{.wait_unit_ms = 10000});
    std::jthread canceller([&] {
        while (!t.waiter.waiting) std::this_thread::yield();
        t.abort.set();
    });
    expect_failure([&] { t.station.do_paged_read(1, 255); }, {op("do_paged_read"), "CANCEL"});
    EXPECT_EQ(t.waiter.count(kvr_wait_result::aborted), 1u);
    EXPECT_EQ(t.waiter.count(kvr_wait_result::timed_out), 0u);
}

}  // namespace
