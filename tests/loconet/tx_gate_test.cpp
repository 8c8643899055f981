// When a message may go on the bus through an MS100, and what its echo says.
// The rule is the one every LocoNet node keeps ("Bus timing", LocoNet PE):
// carrier detect 20 bit times, 6 more for a non-master, then the priority
// delay; never inside a message; a different echo is a collision.

#include <gtest/gtest.h>

#include <vector>

#include "loconet/kvr_tx_gate.h"

namespace {

using namespace std::chrono_literals;
using kvr_tx_gate::bits;
using kvr_tx_gate::duration;
using kvr_tx_gate::line_state;

TEST(TxGate, StartsOnlyAfterTheBackoffOnAnIdleLine) {
    const struct {
        const char* what;
        line_state line;
        bool write;
    } cases[] = {
        {"idle for long", {false, false, 1s, 20, false}, true},
        {"idle 46 bit times, priority 20", {false, false, bits(46), 20, false}, true},
        {"idle 45 bit times, priority 20", {false, false, bits(45), 20, false}, false},
        {"idle 26 bit times, priority 0", {false, false, bits(26), 0, false}, true},
        {"idle 25 bit times, priority 0", {false, false, bits(25), 0, false}, false},
        {"inside the carrier-detect backoff", {false, false, bits(19), 0, false}, false},
        {"a message's bytes are arriving", {false, true, bits(2), 0, false}, false},
        {"a partial message that stopped 20 bit times ago", {false, true, bits(26), 0, false}, true},
        {"bytes wait unread", {true, false, 1s, 0, false}, false},
        {"our echo is still due", {false, false, 1s, 0, true}, false},
        // The old bounds wrote into a message once it had waited 35 ms, and
        // at a message boundary after 20 ms without the backoff.
        {"a message boundary this very moment", {false, false, 0us, 0, false}, false},
    };
    for (const auto& c : cases) EXPECT_EQ(kvr_tx_gate::may_write(c.line), c.write) << c.what;
}

// The I/O thread sleeps until the gate may open by time alone; sleeping
// longer would add to the message's wait, waking earlier only costs a cycle.
TEST(TxGate, RecheckComesWhenTheBackoffEnds) {
    for (int priority : {0, 7, 20}) {
        for (duration quiet : {0us, 500us, bits(25)}) {
            const line_state line{false, false, quiet, priority, false};
            ASSERT_FALSE(kvr_tx_gate::may_write(line));
            line_state later = line;
            later.quiet_for += kvr_tx_gate::recheck_after(line);
            EXPECT_TRUE(kvr_tx_gate::may_write(later)) << priority << " " << quiet.count();
            later.quiet_for -= 1us;
            EXPECT_FALSE(kvr_tx_gate::may_write(later)) << priority << " " << quiet.count();
        }
    }
}

TEST(TxGate, PriorityDropsWithEachLostStartDownToZero) {
    EXPECT_EQ(kvr_tx_gate::after_losses(20, 1), 19);
    EXPECT_EQ(kvr_tx_gate::after_losses(20, 25), 0);
    EXPECT_EQ(kvr_tx_gate::after_losses(0, 3), 0);
    // Starts are opcodes (bit 7): two messages and a half in one read.
    const std::vector<uint8_t> read{0xB2, 0x12, 0x51, 0x1C, 0xA0, 0x05, 0x3F, 0x25, 0xE7, 0x0E};
    EXPECT_EQ(kvr_tx_gate::message_starts(read.data(), read.size()), 3u);
}

TEST(TxGate, EchoIsWholeOnlyWhenEveryByteCameBackAsSent) {
    const std::vector<uint8_t> sent{0xB0, 0x0A, 0x30, 0x75};
    const struct {
        const char* what;
        std::vector<uint8_t> got;
        std::size_t matched_before;
        kvr_tx_gate::echo_state state;
        std::size_t matched, used;
    } cases[] = {
        {"first half", {0xB0, 0x0A}, 0, kvr_tx_gate::echo_state::pending, 2, 2},
        {"second half and the next node's start", {0x30, 0x75, 0xB2}, 2, kvr_tx_gate::echo_state::whole, 4, 2},
        {"all at once", {0xB0, 0x0A, 0x30, 0x75}, 0, kvr_tx_gate::echo_state::whole, 4, 4},
        {"a bit changed on the line", {0xB0, 0x08}, 0, kvr_tx_gate::echo_state::differs, 1, 2},
        {"a break instead of our opcode", {0x00}, 0, kvr_tx_gate::echo_state::differs, 0, 1},
        {"another node's message first", {0xB2, 0x12, 0x51, 0x1C}, 0, kvr_tx_gate::echo_state::differs, 0, 1},
    };
    for (const auto& c : cases) {
        const auto p = kvr_tx_gate::compare_echo(sent.data(), sent.size(), c.matched_before, c.got.data(), c.got.size());
        EXPECT_EQ(p.state, c.state) << c.what;
        EXPECT_EQ(p.matched, c.matched) << c.what;
        EXPECT_EQ(p.used, c.used) << c.what;
    }
}

}  // namespace
