// Real waits: answers filed by another thread are noticed at once, without
// changing how many units a budget holds; Cancel from another thread. The
// waits are real; what ended each one is recorded, so the tests check how a
// wait ended rather than how long it took.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "fake_link.h"
#include "station/kvr_dccx_loconet.h"
#include "support/eventually.h"

namespace {

using namespace std::chrono;

// The blocking waiter, counting the waits begun and recording how each ended.
class recording_waiter : public kvr_waiter {
public:
    kvr_wait_result wait(kvr_sys_event* abort, kvr_sys_event* wake, unsigned ms) override {
        const unsigned n = ++begun;
        if (before_wait) before_wait(n);
        const kvr_wait_result r = kvr_waiter::wait(abort, wake, ms);
        std::lock_guard<std::mutex> lk(m_);
        results_.push_back(r);
        return r;
    }
    std::size_t count(kvr_wait_result r) const {
        std::lock_guard<std::mutex> lk(m_);
        return static_cast<std::size_t>(std::count(results_.begin(), results_.end(), r));
    }
    std::atomic<unsigned> begun{0};
    // Runs on the waiting thread as wait number `n` (from 1) begins.
    std::function<void(unsigned n)> before_wait;

private:
    mutable std::mutex m_;
    std::vector<kvr_wait_result> results_;
};

// A link whose answers come from another thread, as from the receive thread.
struct threaded_link {
    explicit threaded_link(kvr_dccx_timing timing = {}) : station(link, timing) {
        station.set_abort_event(&abort);
        station.set_waiter(&waiter);
    }
    // Delivers each of `answers` on a new thread once one more wait has
    // begun: the first during the next wait, the second during the one
    // after, so each arrives while the station waits for it.
    void answer_while_waiting(std::vector<bytes> answers) {
        const unsigned from = waiter.begun.load();
        bus.emplace_back([this, answers, from] {
            for (unsigned i = 0; i < answers.size(); ++i) {
                // Half a minute at most: a hang guard.
                if (!eventually([&] { return waiter.begun.load() > from + i; }, seconds(30))) return;
                link.deliver(answers[i]);
            }
        });
    }

    fake_link link;
    kvr_sys_event abort{true};
    recording_waiter waiter;
    kvr_dccx_loconet station;
    std::vector<std::jthread> bus;  // joined before the link goes
};

// A direct read whose LACK and final reply come from another thread while
// the station waits. Returns the number of wait units that ran out in full.
std::size_t units_run_out(bool notice_at_once, unsigned unit_ms) {
    threaded_link t(kvr_dccx_timing{.wait_unit_ms = unit_ms, .notice_at_once = notice_at_once});
    t.link.on_send = [&](const bytes& m) {
        if (is_task(m)) t.answer_while_waiting({long_ack(0xEF, 0x01), task_reply(0x00, 77)});
    };
    EXPECT_EQ(t.station.do_direct_read(29), 77);
    return t.waiter.count(kvr_wait_result::timed_out);
}

// Noticed at once, the answers end their waits (units long enough that only
// a hang could run one out); polled, each is found only when a unit has run
// out.
TEST(Waiting, AnswerArrivingMidUnitIsTakenAtOnce) {
    EXPECT_EQ(units_run_out(true, 30000), 0u);
    EXPECT_GE(units_run_out(false, 40), 1u);
}

TEST(Waiting, WakesForOtherRepliesDoNotCountAsUnits) {
    threaded_link t(kvr_dccx_timing{.wait_unit_ms = 40});
    // Another throttle's traffic files slot data while the task waits for a
    // LACK that never comes: one reply as each of the first ten waits begins.
    t.waiter.before_wait = [&](unsigned n) {
        if (n <= 10) t.link.deliver(slot_data({9, 9}));
    };
    EXPECT_FALSE(t.station.do_direct_bit_write(1, 1, 0));
    EXPECT_EQ(t.waiter.count(kvr_wait_result::woken), 10u);
    EXPECT_EQ(t.waiter.count(kvr_wait_result::timed_out), 3u) << "the whole LACK budget, in units";
    EXPECT_EQ(t.link.sent.size(), 1u);
}

TEST(Waiting, CancelFromAnotherThreadEndsTheWait) {
    threaded_link t(kvr_dccx_timing{.wait_unit_ms = 10000});
    std::jthread canceller([&] {
        while (t.waiter.begun.load() == 0) std::this_thread::yield();
        t.abort.set();
    });
    expect_failure([&] { t.station.do_paged_read(1); }, {op("do_paged_read"), "CANCEL"});
    EXPECT_EQ(t.waiter.count(kvr_wait_result::aborted), 1u);
    EXPECT_EQ(t.waiter.count(kvr_wait_result::timed_out), 0u);
}

}  // namespace
