#pragma once
// The fast clock of the simulated command station (slot 123).
//
// It counts as a LocoNet command station does: FRAC_MINSL/H is a counter of
// 65.5 ms ticks (915 to a fast minute at rate 1; at rate r the ticks come r
// times as often) that rolls the minute when it reaches 0x4000 and then
// starts again at 0x4000 - 915. A write sets the counter with the time, so
// the first minute after a write lasts 0x4000 - FRAC ticks: `7B 78` (0x3C7B)
// about 59 s at rate 1, `00 00` some 18 fast minutes. Example: day 2, 13:05
// at rate 4, a minute just begun:
//   E7 0E 7B 04 6D 78 48 07 75 02 40 00 00 cs

#include <chrono>
#include <cstdint>

#include "loconet/kvr_loconet_msg.h"

using kvr_sim_time = std::chrono::microseconds;

struct kvr_sim_clock_reading {
    uint8_t days = 0;  // 0..127, wraps
    uint8_t hour = 0;
    uint8_t minute = 0;
    uint16_t frac = kvr_proto::clk_frac_minute_start;  // the tick counter, 0..0x3FFF
};

class kvr_sim_clock {
public:
    kvr_sim_clock() = default;

    void set(kvr_sim_time now, uint8_t rate, const kvr_sim_clock_reading& at);
    kvr_sim_clock_reading read(kvr_sim_time now) const;
    uint8_t rate() const { return rate_; }

    // The slot-123 message of the clock at `now` (opcode OPC_SL_RD_DATA).
    kvr_loconet_msg slot_message(kvr_sim_time now, uint8_t trk) const;
    // Takes a slot-123 write: rate, counter, days, hours, minutes, control
    // and the identity of the setter. Hours and minutes are read back with
    // the same offsets, modulo 24 and 60, whatever the writer put in.
    void write(kvr_sim_time now, const kvr_loconet_msg& msg);

    // The real time at which the next fast minute begins after `now`;
    // kvr_sim_time::max() while the clock stands (rate 0).
    kvr_sim_time next_minute(kvr_sim_time now) const;

private:
    static constexpr uint64_t minutes_per_day = 24 * 60;
    // 128 days: the wire carries 7 bits of day count.
    static constexpr uint64_t minutes_per_cycle = 128 * minutes_per_day;
    static constexpr uint64_t us_per_minute = 60'000'000;
    // Real time in which a clock at any rate runs whole 128-day cycles.
    static constexpr uint64_t us_per_cycle = minutes_per_cycle * us_per_minute;

    // Ticks counted since the last set, at `now`, and the real time since
    // the set, both reduced so that the products cannot overflow: a whole
    // cycle of real time is a whole number of fast minutes (915 ticks each).
    uint64_t elapsed_us(kvr_sim_time now) const;
    uint64_t ticks_in(uint64_t elapsed) const;

    kvr_sim_time base_real_{0};
    uint64_t base_minute_ = 0;  // fast minutes since day 0, 00:00, at the set
    uint16_t base_frac_ = kvr_proto::clk_frac_minute_start;
    uint8_t rate_ = 1;
    uint8_t control_ = kvr_proto::clk_cntrl_valid;
    uint8_t id1_ = 0;
    uint8_t id2_ = 0;
};
