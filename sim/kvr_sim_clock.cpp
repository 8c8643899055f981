#include "sim/kvr_sim_clock.h"

using namespace kvr_proto;

namespace {

// Ticks to roll the minute from the counter `frac`.
uint64_t ticks_to_roll(uint16_t frac) { return clk_frac_roll - (frac & split_max); }

}  // namespace

uint64_t kvr_sim_clock::elapsed_us(kvr_sim_time now) const {
    const uint64_t e = now > base_real_ ? static_cast<uint64_t>((now - base_real_).count()) : 0;
    // The first minute after a set is at most 0x4000 ticks, far less than a
    // cycle, so past one cycle only whole cycles are dropped.
    return e < us_per_cycle ? e : us_per_cycle + e % us_per_cycle;
}

uint64_t kvr_sim_clock::ticks_in(uint64_t elapsed) const {
    // One tick is 60 s / 915 of real time at rate 1.
    return elapsed * rate_ * clk_ticks_per_minute / us_per_minute;
}

void kvr_sim_clock::set(kvr_sim_time now, uint8_t rate, const kvr_sim_clock_reading& at) {
    base_real_ = now;
    rate_ = rate & 0x7F;
    base_minute_ = (at.days & 0x7F) * minutes_per_day + (at.hour % 24) * 60u + at.minute % 60u;
    base_frac_ = at.frac & split_max;
}

kvr_sim_clock_reading kvr_sim_clock::read(kvr_sim_time now) const {
    const uint64_t ticks = ticks_in(elapsed_us(now));
    const uint64_t first = ticks_to_roll(base_frac_);
    uint64_t minute = base_minute_;
    uint16_t frac = 0;
    if (ticks < first) {
        frac = static_cast<uint16_t>(base_frac_ + ticks);
    } else {
        const uint64_t over = ticks - first;
        minute += 1 + over / clk_ticks_per_minute;
        frac = static_cast<uint16_t>(clk_frac_minute_start + over % clk_ticks_per_minute);
    }
    minute %= minutes_per_cycle;
    kvr_sim_clock_reading r;
    r.days = static_cast<uint8_t>(minute / minutes_per_day);
    r.hour = static_cast<uint8_t>(minute % minutes_per_day / 60);
    r.minute = static_cast<uint8_t>(minute % 60);
    r.frac = frac;
    return r;
}

kvr_loconet_msg kvr_sim_clock::slot_message(kvr_sim_time now, uint8_t trk) const {
    const kvr_sim_clock_reading r = read(now);
    const clock_bytes hm = encode_clock_time({r.hour, r.minute});
    const byte_pair frac = split14(r.frac);
    return kvr_proto::slot_message(OPC_SL_RD_DATA, kvr_slot_fast_clock,
                                   {rate_, frac.low, frac.high, hm.mins, static_cast<uint8_t>(trk & 0x7F),
                                    hm.hrs, static_cast<uint8_t>(r.days & 0x7F), control_, id1_, id2_});
}

void kvr_sim_clock::write(kvr_sim_time now, const kvr_loconet_msg& msg) {
    const clock_time t = decode_clock_time({msg[clk_hrs], msg[clk_mins]});
    kvr_sim_clock_reading at;
    at.days = msg[clk_days] & 0x7F;
    at.hour = t.hour;
    at.minute = t.minute;
    at.frac = join14(msg[clk_frac_minsh], msg[clk_frac_minsl]);
    set(now, msg[clk_rate] & 0x7F, at);
    control_ = msg[clk_cntrl] & 0x7F;
    id1_ = msg[slot_id1] & 0x7F;
    id2_ = msg[slot_id2] & 0x7F;
}

kvr_sim_time kvr_sim_clock::next_minute(kvr_sim_time now) const {
    if (rate_ == 0) return kvr_sim_time::max();
    const uint64_t elapsed = elapsed_us(now);
    const uint64_t dropped = (now > base_real_ ? static_cast<uint64_t>((now - base_real_).count()) : 0) - elapsed;
    const uint64_t ticks = ticks_in(elapsed);
    const uint64_t first = ticks_to_roll(base_frac_);
    const uint64_t roll =
        ticks < first ? first : first + ((ticks - first) / clk_ticks_per_minute + 1) * clk_ticks_per_minute;
    // The first real microsecond at which `roll` ticks have been counted.
    const uint64_t per = static_cast<uint64_t>(rate_) * clk_ticks_per_minute;
    const uint64_t at = (roll * us_per_minute + per - 1) / per;
    return base_real_ + kvr_sim_time(static_cast<int64_t>(dropped + at));
}
