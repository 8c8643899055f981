#include "sim/kvr_sim_clock.h"

using namespace kvr_proto;

uint64_t kvr_sim_clock::fast_us(kvr_sim_time now) const {
    // Unsigned arithmetic: the elapsed time is clamped by the station, and the
    // product wraps harmlessly modulo the 128-day cycle.
    const uint64_t elapsed = now > base_real_ ? static_cast<uint64_t>((now - base_real_).count()) : 0;
    return (base_fast_us_ + (elapsed % us_per_cycle) * rate_) % us_per_cycle;
}

void kvr_sim_clock::set(kvr_sim_time now, uint8_t rate, const kvr_sim_clock_reading& at) {
    base_real_ = now;
    rate_ = rate & 0x7F;
    base_fast_us_ = (at.days & 0x7F) * us_per_day + (at.hour % 24) * 60 * us_per_minute +
                    (at.minute % 60) * us_per_minute + (at.fraction & 0x3FFF) * us_per_minute / 16384;
}

kvr_sim_clock_reading kvr_sim_clock::read(kvr_sim_time now) const {
    const uint64_t t = fast_us(now);
    kvr_sim_clock_reading r;
    r.days = static_cast<uint8_t>(t / us_per_day);
    const uint64_t minutes_of_day = (t % us_per_day) / us_per_minute;
    r.hour = static_cast<uint8_t>(minutes_of_day / 60);
    r.minute = static_cast<uint8_t>(minutes_of_day % 60);
    r.fraction = static_cast<uint16_t>((t % us_per_minute) * 16384 / us_per_minute);
    return r;
}

kvr_loconet_msg kvr_sim_clock::slot_message(kvr_sim_time now, uint8_t trk) const {
    const kvr_sim_clock_reading r = read(now);
    const clock_bytes hm = encode_clock_time({r.hour, r.minute});
    const byte_pair fraction = split14(r.fraction);
    return kvr_proto::slot_message(OPC_SL_RD_DATA, kvr_slot_fast_clock,
                                   {rate_, fraction.low, fraction.high, hm.mins, static_cast<uint8_t>(trk & 0x7F),
                                    hm.hrs, static_cast<uint8_t>(r.days & 0x7F), control_, id1_, id2_});
}

void kvr_sim_clock::write(kvr_sim_time now, const kvr_loconet_msg& msg) {
    const clock_time t = decode_clock_time({msg[clk_hrs], msg[clk_mins]});
    kvr_sim_clock_reading at;
    at.days = msg[clk_days] & 0x7F;
    at.hour = t.hour;
    at.minute = t.minute;
    set(now, msg[clk_rate] & 0x7F, at);
    control_ = msg[clk_cntrl] & 0x7F;
    id1_ = msg[slot_id1] & 0x7F;
    id2_ = msg[slot_id2] & 0x7F;
}

kvr_sim_time kvr_sim_clock::next_minute(kvr_sim_time now) const {
    if (rate_ == 0) return kvr_sim_time::max();
    const uint64_t into_minute = fast_us(now) % us_per_minute;
    const uint64_t fast_left = us_per_minute - into_minute;
    // Round up so that the broadcast falls inside the new minute.
    return now + kvr_sim_time((fast_left + rate_ - 1) / rate_);
}
