#pragma once
// The fast clock of the simulated command station (slot 123).
//
// Fast time runs at `rate` fast seconds per real second. The slot's fields
// (hours and minutes as offsets, the 14-bit fraction of a minute) are those
// of kvr_loconet_proto.h. Example: day 2, 13:05 at rate 4:
//   E7 0E 7B 04 00 00 48 07 75 02 40 00 00 cs

#include <chrono>
#include <cstdint>

#include "loconet/kvr_loconet_msg.h"

using kvr_sim_time = std::chrono::microseconds;

struct kvr_sim_clock_reading {
    uint8_t days = 0;  // 0..127, wraps
    uint8_t hour = 0;
    uint8_t minute = 0;
    uint16_t fraction = 0;  // 0..16383 of a minute
};

class kvr_sim_clock {
public:
    kvr_sim_clock() = default;

    void set(kvr_sim_time now, uint8_t rate, const kvr_sim_clock_reading& at);
    kvr_sim_clock_reading read(kvr_sim_time now) const;
    uint8_t rate() const { return rate_; }

    // The slot-123 message of the clock at `now` (opcode OPC_SL_RD_DATA).
    kvr_loconet_msg slot_message(kvr_sim_time now, uint8_t trk) const;
    // Takes a slot-123 write: rate, days, hours, minutes, control and the
    // identity of the setter. Hours and minutes are read back with the same
    // offsets, modulo 24 and 60, whatever the writer put in.
    void write(kvr_sim_time now, const kvr_loconet_msg& msg);

    // The real time at which the next fast minute begins after `now`;
    // kvr_sim_time::max() while the clock stands (rate 0).
    kvr_sim_time next_minute(kvr_sim_time now) const;

private:
    static constexpr uint64_t us_per_minute = 60'000'000;
    static constexpr uint64_t us_per_day = 24 * 60 * us_per_minute;
    // 128 days: the wire carries 7 bits of day count.
    static constexpr uint64_t us_per_cycle = 128 * us_per_day;

    uint64_t fast_us(kvr_sim_time now) const;

    kvr_sim_time base_real_{0};
    uint64_t base_fast_us_ = 0;  // fast microseconds since day 0, 00:00
    uint8_t rate_ = 1;
    uint8_t control_ = kvr_proto::clk_cntrl_valid;
    uint8_t id1_ = 0;
    uint8_t id2_ = 0;
};
