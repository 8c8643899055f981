// Real waits: answers filed by another thread are noticed at once, without
// changing how many units a budget holds; Cancel from another thread.

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "fake_link.h"
#include "station/kvr_dccx_loconet.h"

namespace {

using namespace std::chrono;

long elapsed_ms(steady_clock::time_point since) {
    return static_cast<long>(duration_cast<milliseconds>(steady_clock::now() - since).count());
}

// A link whose answers come from another thread, as from the receive thread.
struct threaded_link {
    explicit threaded_link(kvr_dccx_timing timing = {}) : station(link, timing) {
        link.set_abort_event(&abort);
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
    kvr_dccx_loconet station;
    std::vector<std::jthread> bus;  // joined before the link goes
};

// A direct read whose LACK comes 5 ms and final reply 15 ms after the task.
long timed_read(bool notice_at_once) {
    threaded_link t(kvr_dccx_timing{.wait_unit_ms = 400, .notice_at_once = notice_at_once});
    t.link.on_send = [&](const bytes& m) {
        if (is_task(m)) t.answer_later({{5, long_ack(0xEF, 0x01)}, {10, task_reply(0x00, 77)}});
    };
    const auto start = steady_clock::now();
    EXPECT_EQ(t.station.do_direct_read(29, 255), 77);
    return elapsed_ms(start);
}

TEST(Waiting, AnswerArrivingMidUnitIsTakenAtOnce) {
    EXPECT_LT(timed_read(true), 200);
    EXPECT_GE(timed_read(false), 400);
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
    threaded_link t;  // 500 ms units
    std::jthread canceller([&] {
        std::this_thread::sleep_for(milliseconds(30));
        t.abort.set();
    });
    const auto start = steady_clock::now();
    expect_failure([&] { t.station.do_paged_read(1, 255); }, {op("do_paged_read"), "CANCEL"});
    EXPECT_LT(elapsed_ms(start), 400);
}

}  // namespace
