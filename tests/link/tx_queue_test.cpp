// The link's transmit queue: a stop goes ahead of what waits but never ahead
// of the message on the line, a withdrawal never takes that message, and a
// message given up after its collisions is the one that collided.

#include <gtest/gtest.h>

#include <thread>

#include "link/kvr_tx_queue.h"
#include "link/link_test_support.h"

namespace {

using link_test::msg_of;

const kvr_loconet_msg speed1 = msg_of({OPC_LOCO_SPD, 1, 10});
const kvr_loconet_msg speed2 = msg_of({OPC_LOCO_SPD, 2, 20});
const kvr_loconet_msg speed3 = msg_of({OPC_LOCO_SPD, 3, 30});
const kvr_loconet_msg idle = msg_of({OPC_IDLE});
const kvr_loconet_msg power_off = msg_of({OPC_GPOFF});

// Takes the queue empty, in the order the transport would write it.
std::vector<kvr_loconet_msg> drain(kvr_tx_queue& q) {
    std::vector<kvr_loconet_msg> out;
    while (q.start_front()) out.push_back(*q.finish_front());
    return out;
}

TEST(TxQueue, StopsGoAheadOfTheQueueButBehindTheMessageOnTheLine) {
    kvr_tx_queue q;
    q.push(speed1, 5);
    q.push(speed2, 5);
    q.push(speed3, 6);
    ASSERT_EQ(q.start_front(), speed1);  // being written
    q.push_first(idle);
    q.push_first(power_off);  // a second stop keeps its place behind the first
    EXPECT_EQ(q.withdraw(5), 1u);  // speed2 only: speed1 may be on the wire
    EXPECT_EQ(q.in_flight(), speed1);
    EXPECT_EQ(q.withdraw(0), 0u);  // tag 0 marks no operation
    EXPECT_EQ(q.finish_front(), speed1);
    EXPECT_EQ(drain(q), (std::vector<kvr_loconet_msg>{idle, power_off, speed3}));

    // Nothing in flight: the stop is the very next message. Stops carry no
    // operation's tag, so no operation's withdrawal takes them.
    q.push(speed1, 7);
    q.push_first(idle);
    EXPECT_EQ(q.withdraw(7), 1u);
    EXPECT_EQ(drain(q), (std::vector<kvr_loconet_msg>{idle}));
    EXPECT_TRUE(q.wait_empty(std::chrono::milliseconds(0)));
}

// A stop queued between two collisions of the front message must not be
// the one given up: the front keeps its count and leaves after its last.
TEST(TxQueue, OnlyTheMessageThatCollidedIsGivenUp) {
    kvr_tx_queue q;
    q.push(speed1, 1);
    ASSERT_TRUE(q.start_front());
    EXPECT_FALSE(q.collided_front(2));  // first collision: it goes again
    q.push_first(idle);                 // nothing in flight: ahead of it
    ASSERT_EQ(q.start_front(), idle);
    EXPECT_FALSE(q.collided_front(2));
    EXPECT_EQ(q.collided_front(2), std::nullopt);  // not in flight: nothing happens
    ASSERT_EQ(q.start_front(), idle);
    EXPECT_EQ(q.collided_front(2), idle);  // its second: given up
    ASSERT_EQ(q.start_front(), speed1);
    EXPECT_EQ(q.collided_front(2), speed1);
    EXPECT_EQ(q.size(), 0u);

    // A line found busy before the write is no collision.
    q.push(speed2, 1);
    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(q.start_front());
        q.release_front();
    }
    ASSERT_TRUE(q.start_front());
    EXPECT_FALSE(q.collided_front(2));
}

// A close empties the queue while nobody writes; whoever waits for it to
// empty is woken, and a finish for a message cleared away takes nothing.
TEST(TxQueue, ClearWakesTheWaiterAndLeavesNothingToFinish) {
    kvr_tx_queue q;
    q.push(speed1, 0);
    ASSERT_TRUE(q.start_front());
    std::thread closer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        q.clear();
    });
    EXPECT_TRUE(q.wait_empty(std::chrono::seconds(10)));
    closer.join();
    q.push(speed2, 0);
    EXPECT_EQ(q.finish_front(), std::nullopt);
    EXPECT_EQ(q.size(), 1u);
}

}  // namespace
