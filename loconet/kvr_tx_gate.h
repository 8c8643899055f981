#pragma once
// When the I/O thread may put the next queued message on the bus.
//
// LocoNet is a shared line: a node may start only after the line has been
// idle for the carrier-detect backoff (20 bit times) plus its priority delay
// (up to 20 bit times more), and a message's bytes follow back to back. On a
// busy bus such a gap may not come for a long time, yet a Power Off or a
// throttle takeover must not wait behind other nodes' traffic. So:
//   - a quiet line: no input waits and nothing was read for the idle time,
//     and the receiver holds no part of a message: write now;
//   - a busy line: once the message has waited `boundary_wait` at the front
//     of the queue, write at the next message boundary (the receiver holds
//     no partial message, so we never cut into a message being read);
//   - in any case: after `forced_wait` write whatever the receiver holds, so
//     a broken message that never completes cannot hold the queue.
// One message per I/O cycle either way.

#include <algorithm>
#include <chrono>

namespace kvr_tx_gate {

using duration = std::chrono::microseconds;

// 16457 baud: 60.8 us per bit, 10 bits per byte on the wire.
constexpr duration bit_time{61};
constexpr duration idle_time = 40 * bit_time;  // backoff 20 + priority 20 bit times
constexpr duration boundary_wait = std::chrono::milliseconds(20);
constexpr duration forced_wait = std::chrono::milliseconds(35);

struct line_state {
    bool input_waiting;   // bytes wait unread in the driver
    bool partial;         // the receiver holds part of a message
    duration quiet_for;   // since bytes were last read
    duration front_wait;  // since the front message reached the front
};

constexpr bool may_write(const line_state& s) {
    if (s.front_wait >= forced_wait) return true;
    if (s.partial) return false;
    if (s.front_wait >= boundary_wait) return true;
    return !s.input_waiting && s.quiet_for >= idle_time;
}

// How long the I/O thread may sleep before the answer of may_write can
// change by time alone (input arriving wakes it anyway).
constexpr duration recheck_after(const line_state& s) {
    duration next = forced_wait - s.front_wait;
    if (!s.partial && s.front_wait < boundary_wait) next = std::min(next, boundary_wait - s.front_wait);
    if (!s.partial && s.quiet_for < idle_time) next = std::min(next, idle_time - s.quiet_for);
    return std::max(next, duration{0});
}

}  // namespace kvr_tx_gate
