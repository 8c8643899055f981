#pragma once
// When a node behind an MS100 may put its next message on the bus, and
// whether the bus carried it. With an MS100 the PC's UART drives the line
// itself, so the link must follow the rules every LocoNet node follows:
//
//   - Start only on an idle line: no byte for the carrier-detect backoff
//     (20 bit times), plus 6 more since we are not the command station,
//     plus our priority delay (20 bit times at first). A message's bytes
//     follow back to back, so a receiver still holding part of a message
//     has that message ended once no byte came for 20 bit times.
//   - Each time another node takes the line while we wait, our priority
//     delay drops by one bit time (down to 0), so a node that has waited
//     long wins the next free line. Winning sets it back to 20.
//   - Every byte we send comes back from the line. Bytes that come back
//     different mean another node started at the same moment: a collision.
//     We then hold the line low for 15 bit times (a break), so the other
//     node sees it too, and try again after the backoff, a few times at
//     most before the message is given up.
//
// Example at 16457 baud (60.8 us a bit): a message queued while the line
// carries other nodes' traffic goes out only after a gap of 26 + priority
// bit times, 1.58 ms at priority 0 and 2.80 ms at 20.

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>

namespace kvr_tx_gate {

using duration = std::chrono::microseconds;

constexpr int carrier_detect_bits = 20;
constexpr int non_master_bits = 6;
constexpr int priority_max_bits = 20;
constexpr int message_end_bits = 20;  // a message whose bytes stopped this long has ended
constexpr int break_bits = 15;
constexpr int max_tries = 4;

// Bit times at 16457 baud (60.77 us a bit), rounded up.
constexpr duration bits(int n) { return duration{(static_cast<int64_t>(n) * 1000000 + 16456) / 16457}; }

// The whole wait of a non-master node before it starts.
constexpr duration backoff(int priority_bits) {
    return bits(carrier_detect_bits + non_master_bits + std::clamp(priority_bits, 0, priority_max_bits));
}

struct line_state {
    bool input_waiting;  // bytes wait unread in the driver
    bool partial;        // the receiver holds part of a message
    duration quiet_for;  // since bytes were last read
    int priority_bits;   // our priority delay now, 0..20
    bool echo_pending;   // our last message has not come back whole yet
};

constexpr bool may_write(const line_state& s) {
    if (s.echo_pending || s.input_waiting) return false;
    // A partial message still arriving keeps the line; one whose bytes
    // stopped has ended (the backoff below is longer anyway).
    if (s.partial && s.quiet_for < bits(message_end_bits)) return false;
    return s.quiet_for >= backoff(s.priority_bits);
}

// How long the I/O thread may sleep before may_write can change by time
// alone (input arriving wakes it anyway).
constexpr duration recheck_after(const line_state& s) {
    return std::max(backoff(s.priority_bits) - s.quiet_for, duration{0});
}

// Our priority delay after `starts` messages of other nodes began while we
// waited.
constexpr int after_losses(int priority_bits, std::size_t starts) {
    const auto left = static_cast<std::size_t>(std::clamp(priority_bits, 0, priority_max_bits));
    return static_cast<int>(left > starts ? left - starts : 0);
}

// Message starts among bytes read: every opcode has bit 7 set.
constexpr std::size_t message_starts(const uint8_t* bytes, std::size_t n) {
    std::size_t starts = 0;
    for (std::size_t i = 0; i < n; ++i) starts += (bytes[i] & 0x80) != 0;
    return starts;
}

// The echo of a message being sent, watched as bytes come back. The line
// carries whole messages: our own, and before it perhaps another node's that
// had just ended as ours began (its bytes may reach us after our write). Any
// other byte pattern is a collision: a byte that cannot start a message, a
// message cut short by the next opcode, a wrong checksum, or our message
// with a byte changed.
//   sent B0 0A 30 75, read B0 0A        -> pending
//   then read 30 75 B2 ...              -> whole, 2 bytes used (B2 ... is the
//                                          next node's message)
//   sent B0 0A 30 75, read B2 12 51 1C B0 0A 30 75  -> whole, 8 bytes used
//   sent B0 0A 30 75, read B0 08 30 75  -> differs (checksum): a collision
//   sent B0 0A 30 75, read 00           -> differs: a break
enum class echo_state { pending, whole, differs };

struct echo_result {
    echo_state state;
    std::size_t used;  // bytes of the read up to the end of the echo
};

class echo_watch {
public:
    void start() { have_ = expect_ = 0, seen_ = false; }
    // True once any byte came back since start().
    bool seen_anything() const { return seen_; }

    echo_result feed(const uint8_t* sent, std::size_t length, const uint8_t* got, std::size_t n) {
        for (std::size_t i = 0; i < n; ++i) {
            seen_ = true;
            const uint8_t b = got[i];
            const bool opcode = (b & 0x80) != 0;
            if (opcode != (have_ == 0) || have_ >= sizeof buf_) return {echo_state::differs, i + 1};
            buf_[have_++] = b;
            if (have_ == 1) expect_ = fixed_length(b);
            if (have_ == 2 && expect_ == 0) expect_ = b;  // variable length: byte 1 counts the whole message
            if (have_ == 2 && expect_ < 2) return {echo_state::differs, i + 1};
            if (expect_ == 0 || have_ < expect_) continue;
            const bool ours = have_ == length && std::equal(buf_, buf_ + have_, sent);
            if (ours) return {echo_state::whole, i + 1};
            if (!checksum_holds()) return {echo_state::differs, i + 1};
            have_ = expect_ = 0;  // another node's whole message: ours may follow
        }
        return {echo_state::pending, n};
    }

private:
    // Message length by opcode bits 6-5: 2, 4, 6 bytes, or 0 (in byte 1).
    static constexpr std::size_t fixed_length(uint8_t opcode) {
        switch (opcode & 0x60) {
        case 0x00: return 2;
        case 0x20: return 4;
        case 0x40: return 6;
        default: return 0;
        }
    }
    bool checksum_holds() const {
        uint8_t x = 0;
        for (std::size_t i = 0; i < have_; ++i) x ^= buf_[i];
        return x == 0xFF;
    }

    uint8_t buf_[128] = {};
    std::size_t have_ = 0;
    std::size_t expect_ = 0;
    bool seen_ = false;
};

// How long the echo may take to come back: the bytes ahead of it in the
// driver and the message itself at the line rate, plus room for a busy
// machine's scheduler (a simulated bus on a pseudo-terminal answers only
// when its thread runs). A line that gives nothing at all back by then has no echo (a
// bare pseudo-terminal): nothing tells of a collision, so the message counts
// as sent, as with the adapters that check for us. Anything else without
// our whole message is a collision.
constexpr duration echo_slack = std::chrono::milliseconds(200);
constexpr duration echo_window(std::size_t length, std::size_t queued_ahead) {
    return bits(static_cast<int>(10 * (length + queued_ahead))) + echo_slack;
}

}  // namespace kvr_tx_gate
