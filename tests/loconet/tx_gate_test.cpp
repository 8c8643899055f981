// When a queued message may go on the bus: at once on a quiet line, at a
// message boundary once it has waited a while on a busy one, and whatever
// the receiver holds once it has waited long.

#include <gtest/gtest.h>

#include "loconet/kvr_tx_gate.h"

namespace {

using namespace std::chrono_literals;
using kvr_tx_gate::duration;
using kvr_tx_gate::line_state;

TEST(TxGate, WritesOnAQuietLineOrAtABoundaryOnceDueAndAlwaysWhenLate) {
    const struct {
        const char* what;
        line_state line;
        bool write;
    } cases[] = {
        {"idle line", {false, false, 1s, 0us}, true},
        {"just past the idle time", {false, false, 2500us, 0us}, true},
        {"bytes read a moment ago", {false, false, 1ms, 0us}, false},
        {"input waiting", {true, false, 1s, 0us}, false},
        {"half a message read, line quiet", {false, true, 1s, 0us}, false},
        {"busy line, not yet due", {true, false, 0us, 19ms}, false},
        {"busy line, due, at a boundary", {true, false, 0us, 20ms}, true},
        {"busy line, due, inside a message", {true, true, 0us, 30ms}, false},
        {"late, inside a message", {true, true, 0us, 35ms}, true},
    };
    for (const auto& c : cases) EXPECT_EQ(kvr_tx_gate::may_write(c.line), c.write) << c.what;
}

// The I/O thread sleeps until the gate may open by time alone; sleeping
// longer would add to the message's wait, waking earlier only costs a cycle.
TEST(TxGate, RecheckComesNoLaterThanTheGateOpens) {
    const line_state lines[] = {
        {false, false, 1ms, 0us}, {true, false, 0us, 5ms}, {true, true, 0us, 21ms}, {false, true, 0us, 0us},
    };
    for (const line_state& line : lines) {
        ASSERT_FALSE(kvr_tx_gate::may_write(line));
        const duration wait = kvr_tx_gate::recheck_after(line);
        line_state later = line;
        later.quiet_for += wait;
        later.front_wait += wait;
        later.input_waiting = false;
        EXPECT_TRUE(kvr_tx_gate::may_write(later)) << wait.count();
    }
}

}  // namespace
