#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <future>
#include <thread>
#include <vector>

#include "foundation/kvr_sys_event.h"
#include "support/eventually.h"

using namespace std::chrono_literals;
using steady = std::chrono::steady_clock;

namespace {

// Runs `f` on a thread and fails instead of hanging when it does not end.
template <typename F>
auto within(std::chrono::milliseconds limit, F f) {
    auto fut = std::async(std::launch::async, f);
    if (fut.wait_for(limit) != std::future_status::ready) {
        ADD_FAILURE() << "did not finish: deadlock?";
        std::abort();  // a hung waiter cannot be joined
    }
    return fut.get();
}

}  // namespace

TEST(SysEvent, ManualStaysSetAutoIsConsumedAndWaitAnyTakesOnlyTheFirstSet) {
    kvr_sys_event manual(true), automatic(false, true);
    manual.set();
    EXPECT_TRUE(manual.wait(0) && manual.wait(10));
    manual.reset();
    EXPECT_FALSE(manual.wait(0));
    EXPECT_TRUE(automatic.wait(0));
    EXPECT_FALSE(automatic.wait(0));

    kvr_sys_event first_auto(false), second_auto(false);
    first_auto.set();
    second_auto.set();
    // An event already set must be found at once (this hung before).
    EXPECT_EQ(within(5s, [&] { return kvr_sys_event::wait_any({&manual, &first_auto, &second_auto}, 1000); }), 1);
    EXPECT_TRUE(second_auto.is_set());  // not the one returned: left alone
    EXPECT_EQ(kvr_sys_event::wait_any({&manual, &first_auto, &second_auto}, 0), 2);
    manual.set();
    EXPECT_EQ(kvr_sys_event::wait_any({nullptr, &manual}, 0), 1);
    EXPECT_TRUE(manual.is_set());  // manual reset: still set

    kvr_sys_event a(false), b(true);
    const auto start = steady::now();
    EXPECT_EQ(kvr_sys_event::wait_any({&a, nullptr, &b}, 40), -1);
    EXPECT_GE(steady::now() - start, 40ms);
    a.set();  // the timed-out waiter is gone from both events
    b.set();
    EXPECT_EQ(kvr_sys_event::wait_any({&a, &b}, 0), 0);
}

TEST(SysEventWaitAny, SetFromAnotherThreadReleasesExactlyOneWaiter) {
    kvr_sys_event ev(false);
    std::atomic<int> woken{0};
    std::atomic<bool> done{false};
    std::vector<std::thread> waiters;
    // Each waits again and again until the end, so a second waiter woken by
    // the one set would be counted, however late the threads start.
    for (int i = 0; i < 4; ++i)
        waiters.emplace_back([&, i] {
            while (!done.load()) {
                const int r = i % 2 ? kvr_sys_event::wait_any({&ev}, 50) : (ev.wait(50) ? 0 : -1);
                if (r == 0) ++woken;
            }
        });
    ev.set();
    EXPECT_TRUE(eventually([&] { return woken.load() > 0; }));
    done.store(true);
    for (auto& t : waiters) t.join();
    EXPECT_EQ(woken.load(), 1);
    EXPECT_FALSE(ev.is_set());
}

TEST(SysEventWaitAny, ASetRacingTheTimeOutIsNeitherLostNorCountedTwice) {
    // Either the waiter took the set (returns 0, event clear) or it timed out
    // first (returns -1, event still set), never both, never neither.
    for (int i = 0; i < 300; ++i) {
        kvr_sys_event ev(false);
        int got = -2;
        std::thread waiter([&] { got = kvr_sys_event::wait_any({&ev}, 1); });
        std::this_thread::sleep_for(std::chrono::microseconds(500 + (i % 10) * 100));
        ev.set();
        waiter.join();
        if (got == 0)
            EXPECT_FALSE(ev.is_set()) << i;
        else
            EXPECT_TRUE(ev.is_set() && got == -1) << i << " got " << got;
    }
}

TEST(SysEventWaitAny, WaitersListingEventsInOppositeOrdersDoNotDeadlock) {
    kvr_sys_event a(false), b(false);
    std::atomic<bool> stop{false};
    std::atomic<int> taken{0};
    within(20s, [&] {
        std::thread w1([&] {
            while (!stop) if (kvr_sys_event::wait_any({&a, &b}, 2) >= 0) ++taken;
        });
        std::thread w2([&] {
            while (!stop) if (kvr_sys_event::wait_any({&b, &a}, 2) >= 0) ++taken;
        });
        for (int i = 0; i < 5000; ++i) {
            (i % 2 ? a : b).set();
            if (i % 64 == 0) std::this_thread::yield();
        }
        std::this_thread::sleep_for(20ms);
        stop = true;
        w1.join();
        w2.join();
        return 0;
    });
    EXPECT_GT(taken.load(), 0);
}
