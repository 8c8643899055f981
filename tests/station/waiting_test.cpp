// Real waits: answers filed by another thread are noticed at once, without
// changing how many units a budget holds; Cancel from another thread.

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "fake_link.h"
#include "station/kvr_dccx_loconet.h"

namespace {

using clock_type = std::chrono::steady_clock;

long elapsed_ms(clock_type::time_point since) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(clock_type::now() - since).count());
}

// Times a direct read whose LACK comes 5 ms and final reply 15 ms after
// the task is queued.
long timed_read(bool notice_at_once, unsigned unit_ms) {
    fake_link link;
    kvr_sys_event abort(true);
    link.set_abort_event(&abort);
    kvr_dccx_timing timing;
    timing.wait_unit_ms = unit_ms;
    timing.notice_at_once = notice_at_once;
    kvr_dccx_loconet station(link, timing);
    bus_thread bus(link);
    link.on_send = [&](const bytes& m) {
        if (!is_task(m)) return;
        bus.deliver_after(5, long_ack(0xEF, 0x01));
        bus.deliver_after(15, task_reply(0x00, 77));
    };
    const auto start = clock_type::now();
    EXPECT_EQ(station.do_direct_read(29, 255), 77);
    return elapsed_ms(start);
}

TEST(Waiting, AnswerArrivingMidUnitIsTakenAtOnce) {
    const long at_once = timed_read(true, 400);
    const long polled = timed_read(false, 400);
    EXPECT_LT(at_once, 200);
    EXPECT_GE(polled, 400);
}

TEST(Waiting, WakesForOtherRepliesDoNotCountAsUnits) {
    fake_link link;
    kvr_sys_event abort(true);
    link.set_abort_event(&abort);
    kvr_dccx_timing timing;
    timing.wait_unit_ms = 40;
    kvr_dccx_loconet station(link, timing);
    bus_thread bus(link);
    // Another throttle's traffic keeps filing slot data while the task
    // waits for a LACK that never comes.
    link.on_send = [&](const bytes& m) {
        if (!is_task(m)) return;
        for (unsigned t = 0; t < 200; t += 4)
            bus.deliver_after(t, slot_data({.slot = 9, .address = 9}));
    };
    const auto start = clock_type::now();
    EXPECT_FALSE(station.do_direct_bit_write(1, 1, 0));
    EXPECT_GE(elapsed_ms(start), 3 * 40);
    EXPECT_EQ(link.sent.size(), 1u);
}

TEST(Waiting, CancelFromAnotherThreadEndsTheWait) {
    fake_link link;
    kvr_sys_event abort(true);
    link.set_abort_event(&abort);
    kvr_dccx_loconet station(link);  // 500 ms units
    std::thread canceller([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        abort.set();
    });
    const auto start = clock_type::now();
    try {
        station.do_paged_read(1, 255);
        ADD_FAILURE() << "no exception";
    } catch (const kvr_exception& e) {
        EXPECT_TRUE(has_labels(e, {"kvr_dccx_loconet::do_paged_read()", "CANCEL"}));
    }
    canceller.join();
    EXPECT_LT(elapsed_ms(start), 400);
}

}  // namespace
