// When a message may go on the bus through an MS100, and what its echo says.
// The rule is the one every LocoNet node keeps ("Bus timing", LocoNet PE):
// carrier detect 20 bit times, 6 more for a non-master, then the priority
// delay; never inside a message; a different echo is a collision.

#include <gtest/gtest.h>

#include <vector>

#include "link/kvr_tx_gate.h"

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

// Message lengths and checksums: LocoNet PE opcode summary.
TEST(TxGate, EchoIsWholeOnlyWhenOurMessageCameBackAsSent) {
    const std::vector<uint8_t> sent{0xB0, 0x0A, 0x30, 0x75};
    using kvr_tx_gate::echo_state;
    const struct {
        const char* what;
        std::vector<std::vector<uint8_t>> reads;
        echo_state state;
        std::size_t used;  // of the last read
    } cases[] = {
        {"first half", {{0xB0, 0x0A}}, echo_state::pending, 2},
        {"in two reads, the next node's start behind it", {{0xB0, 0x0A}, {0x30, 0x75, 0xB2}}, echo_state::whole, 2},
        {"after another node's whole message", {{0xB2, 0x12, 0x51, 0x0E, 0xB0}, {0x0A, 0x30, 0x75}},
         echo_state::whole, 3},
        {"after a whole message of our own opcode", {{0xB0, 0x01, 0x20, 0x6E, 0xB0, 0x0A, 0x30, 0x75}},
         echo_state::whole, 8},
        {"after a whole slot read", {{0xE7, 0x0E, 0x03, 0x33, 0x2C, 0x00, 0x20, 0x07, 0x00, 0x02, 0x00, 0x01, 0x00, 0x2E,
                                      0xB0, 0x0A, 0x30, 0x75}},
         echo_state::whole, 18},
        {"a bit changed on the line", {{0xB0, 0x08, 0x30, 0x75}}, echo_state::differs, 4},
        {"a break instead of our opcode", {{0x00}}, echo_state::differs, 1},
        {"cut short by the next opcode", {{0xB0, 0x0A, 0xB2}}, echo_state::differs, 3},
        {"another node's message broken", {{0xB2, 0x12, 0x51, 0x0F}}, echo_state::differs, 4},
    };
    for (const auto& c : cases) {
        kvr_tx_gate::echo_watch w;
        w.start();
        kvr_tx_gate::echo_result r{echo_state::pending, 0};
        for (const auto& read : c.reads) r = w.feed(sent.data(), sent.size(), read.data(), read.size());
        EXPECT_EQ(r.state, c.state) << c.what;
        EXPECT_EQ(r.used, c.used) << c.what;
        EXPECT_TRUE(w.seen_anything()) << c.what;
    }
}

}  // namespace
