// The expanded-slot messages of the simulated station: the E6/EE layout and
// the station's answers to BE, EE, D5 and D4 38-3B.

#include "sim/kvr_sim_expanded.h"

#include <algorithm>

#include "sim/kvr_sim_station.h"

using namespace kvr_proto;

namespace {

// Slot bytes 3..12 as indices into slot_state::e7.
constexpr int at(int slot_byte) { return slot_byte - slot_stat; }

// E6/EE byte positions.
enum : int {
    e6_slot_hi = 2, e6_slot_lo = 3, e6_stat = 4, e6_adr = 5, e6_adr2 = 6, e6_trk = 7, e6_spd = 8,
    e6_fhi = 9, e6_dirf = 10, e6_f5_f11 = 11, e6_f13_f19 = 12, e6_f21_f27 = 13, e6_id1 = 18, e6_id2 = 19,
};

constexpr uint32_t bit(unsigned f) { return uint32_t{1} << f; }

// Seven functions from bits 0..6 of `x`, the first being `first`.
uint32_t seven_from(uint8_t x, unsigned first) { return static_cast<uint32_t>(x & 0x7F) << first; }
uint8_t seven_of(uint32_t functions, unsigned first) { return static_cast<uint8_t>((functions >> first) & 0x7F); }

// The status slots' fixed contents: a device-type code, serial number 1234,
// software version 5, hardware version 1.1 (bits 6..3 major, 2..0 minor).
constexpr uint8_t status_device_type = 0x00;
constexpr uint16_t status_serial = 1234;
constexpr uint8_t status_sw_version = 5;
constexpr uint8_t status_hw_version = (1 << 3) | 1;
constexpr uint8_t status_is_station = 0x40;  // byte 19 bit 6 of slot 248
// Slot 249 in tenths and fifths: 14.4 V on the track (0 with power off),
// 16.0 V in, 0.2 A plus 0.3 A a loco running, limit 5.0 A.
constexpr uint8_t track_volts_fifths = 72;
constexpr uint8_t input_volts_fifths = 80;
constexpr unsigned idle_tenths_amp = 2;
constexpr unsigned loco_tenths_amp = 3;
constexpr uint8_t limit_tenths_amp = 50;

}  // namespace

namespace kvr_sim_exp {

kvr_loconet_msg slot_reply(unsigned number, const slot_state& s, uint8_t trk) {
    const uint32_t f = s.high_functions;
    uint8_t b[slot_msg_length - 1] = {opc_rd_sl_data, slot_count_byte};
    b[e6_slot_hi] = static_cast<uint8_t>((number >> 7) & 0x07);
    b[e6_slot_lo] = static_cast<uint8_t>(number & 0x7F);
    b[e6_stat] = s.e7[at(slot_stat)];
    b[e6_adr] = s.e7[at(slot_adr)];
    b[e6_adr2] = s.e7[at(slot_adr2)];
    b[e6_trk] = trk;
    b[e6_spd] = s.e7[at(slot_spd)];
    b[e6_fhi] = static_cast<uint8_t>((f & bit(12) ? 0x10 : 0) | (f & bit(20) ? 0x20 : 0) | (f & bit(28) ? 0x40 : 0));
    b[e6_dirf] = s.e7[at(slot_dirf)] & dirf_direction_and_f0_f4;
    b[e6_f5_f11] = static_cast<uint8_t>((s.e7[at(slot_snd)] & snd_f5_f8) | ((f >> 9) & 0x07) << 4);
    b[e6_f13_f19] = seven_of(f, 13);
    b[e6_f21_f27] = seven_of(f, 21);
    b[e6_id1] = s.e7[at(slot_id1)];
    b[e6_id2] = s.e7[at(slot_id2)];
    return kvr_loconet_msg::with_checksum(b, sizeof b);
}

void take_slot_write(const kvr_loconet_msg& ee, slot_state& s) {
    s.e7[at(slot_stat)] = ee[e6_stat];
    s.e7[at(slot_adr)] = ee[e6_adr];
    s.e7[at(slot_adr2)] = ee[e6_adr2];
    s.e7[at(slot_spd)] = ee[e6_spd];
    s.e7[at(slot_dirf)] = ee[e6_dirf] & dirf_direction_and_f0_f4;
    s.e7[at(slot_snd)] = ee[e6_f5_f11] & snd_f5_f8;
    s.e7[at(slot_id1)] = ee[e6_id1];
    s.e7[at(slot_id2)] = ee[e6_id2];
    const uint8_t fhi = ee[e6_fhi];
    s.high_functions = seven_from(static_cast<uint8_t>((ee[e6_f5_f11] >> 4) & 0x07), 9) |
                       (fhi & 0x10 ? bit(12) : 0) | seven_from(ee[e6_f13_f19], 13) | (fhi & 0x20 ? bit(20) : 0) |
                       seven_from(ee[e6_f21_f27], 21) | (fhi & 0x40 ? bit(28) : 0);
}

bool apply_function_message(uint8_t group, uint8_t x, slot_state& s) {
    uint8_t& dirf = s.e7[at(slot_dirf)];
    uint8_t& snd = s.e7[at(slot_snd)];
    uint32_t& high = s.high_functions;
    const auto set_high = [&high](unsigned first, unsigned count, uint32_t bits) {
        const uint32_t mask = ((uint32_t{1} << count) - 1) << first;
        high = (high & ~mask) | (bits & mask);
    };
    switch (group & 0xF8) {
    case 0x00:
    case 0x08:
        s.e7[at(slot_spd)] = x;
        dirf = static_cast<uint8_t>((dirf & ~dirf_reverse) | ((group & 0xF8) == 0x08 ? dirf_reverse : 0));
        return true;
    case 0x10:  // F0 bit 4, F1..F4 bits 0..3, F5 bit 5, F6 bit 6
        dirf = static_cast<uint8_t>((dirf & dirf_reverse) | (x & (dirf_f0 | dirf_f1_f4)));
        snd = static_cast<uint8_t>((snd & 0x0C) | ((x >> 5) & 0x03));
        return true;
    case 0x18:  // F7..F13: F7, F8 in SND bits 2, 3
        snd = static_cast<uint8_t>((snd & 0x03) | ((x & 0x03) << 2));
        set_high(9, 5, static_cast<uint32_t>(x >> 2) << 9);
        return true;
    case 0x20:
        set_high(14, 7, seven_from(x, 14));
        return true;
    case 0x28:
    case 0x30:
        set_high(21, 8, seven_from(x, 21) | ((group & 0xF8) == 0x30 ? bit(28) : 0));
        return true;
    default:
        return false;
    }
}

}  // namespace kvr_sim_exp

using namespace kvr_sim_exp;

void kvr_sim_station::handle_expanded(const kvr_loconet_msg& msg) {
    switch (msg.opcode()) {
    case opc_req_slot:
        handle_exp_loco_request(msg);
        break;
    case opc_wr_sl_data:
        // Byte 1 = 0x10 carries route data, not a slot.
        if (msg.length() == slot_msg_length && msg[1] == slot_count_byte) handle_exp_slot_write(msg);
        break;
    case opc_send_function:
        handle_exp_function(msg);
        break;
    case opc_d4:
        // D4 20 ... is a third-party function message, not for the station.
        if ((msg[1] & 0xFC) == d4_expanded) handle_exp_d4(msg);
        break;
    default:
        break;
    }
}

// BE AH AL: the slot of loco AH * 128 + AL, found or freshly loaded among
// all loco slots, answered E6; no slot left: B4 3E 00.
void kvr_sim_station::handle_exp_loco_request(const kvr_loconet_msg& msg) {
    const uint16_t address = decode_loco_address(msg[1], msg[2]);
    const int s = find_loco_slot(address, static_cast<int>(loco_last));
    if (s == 0) {
        long_ack(opc_req_slot, ack_refused);
        return;
    }
    if ((slots_[s].e7[at(slot_stat)] & stat_usage_mask) == usage_free) load_slot(s, address);
    send_slot(static_cast<uint16_t>(s), true);
}

void kvr_sim_station::handle_exp_slot_write(const kvr_loconet_msg& msg) {
    const unsigned n = slot_of(msg[2], msg[3]);
    if (!is_loco_slot(n)) {
        long_ack(opc_wr_sl_data, ack_refused);
        return;
    }
    take_slot_write(msg, slots_[n]);
    long_ack(opc_wr_sl_data, ack_ok);
}

// D5 is not answered. Byte 3 names the sending throttle (the low byte of
// the ID the slot holds); a throttle watching its slot ignores others'
// messages, but the station carries out any, as a throttle taking over an
// expanded slot relies on.
void kvr_sim_station::handle_exp_function(const kvr_loconet_msg& msg) {
    const unsigned n = short_slot_of(msg[1], msg[2]);
    if (is_loco_slot(n)) apply_function_message(msg[1], msg[4], slots_[n]);
}

void kvr_sim_station::handle_exp_d4(const kvr_loconet_msg& msg) {
    const auto s = static_cast<uint16_t>(short_slot_of(msg[1], msg[2]));
    const auto d = static_cast<uint16_t>(short_slot_of(msg[3], msg[4]));
    switch (msg[3] & d4_op_mask) {
    case d4_move:
        handle_move(s, d, true);
        break;
    case d4_link:
        handle_link(s, d, true);
        break;
    case d4_unlink:
        handle_link(s, d, false);
        break;
    case d4_status:
        // As OPC_SLOT_STAT1: taken without an answer.
        if (is_loco_slot(s)) slots_[s].e7[at(slot_stat)] = msg[4];
        break;
    default:
        break;
    }
}

// A member follows its lead: STAT bit 6 (up-link) on the member, bit 3
// (down-link) on the lead. Linking answers the lead's slot, unlinking the
// member's, each as E6.
void kvr_sim_station::handle_link(uint16_t member, uint16_t lead, bool link) {
    constexpr uint8_t up_link = 0x40;
    constexpr uint8_t down_link = 0x08;
    const auto in_use = [this](uint16_t n) { return (slots_[n].e7[at(slot_stat)] & stat_usage_mask) != usage_free; };
    if (member == lead || !is_loco_slot(member) || !is_loco_slot(lead) || !in_use(member) || !in_use(lead)) {
        long_ack(opc_d4, ack_refused);
        return;
    }
    uint8_t& m = slots_[member].e7[at(slot_stat)];
    uint8_t& l = slots_[lead].e7[at(slot_stat)];
    if (link) {
        m |= up_link;
        l |= down_link;
        send_slot(lead, true);
        return;
    }
    m &= static_cast<uint8_t>(~up_link);
    // The lead stays a lead while another member still follows it; the
    // station keeps no list, so it looks for one linked up to nobody else.
    bool others = false;
    for (unsigned n = 1; n <= loco_last && !others; ++n)
        others = n != member && n != lead && is_loco_slot(n) && (slots_[n].e7[at(slot_stat)] & up_link);
    if (!others) l &= static_cast<uint8_t>(~down_link);
    send_slot(member, true);
}

bool kvr_sim_station::is_status_slot(unsigned number) const {
    return options_.expanded && number >= status_identity && number <= status_traffic;
}

kvr_loconet_msg kvr_sim_station::exp_slot_message(uint16_t number) const {
    if (is_status_slot(number)) return status_slot_message(number);
    slot_state s = number < slot_count ? slots_[number] : slot_state{};
    return slot_reply(number, s, track_status());
}

kvr_loconet_msg kvr_sim_station::status_slot_message(uint16_t number) const {
    uint8_t b[slot_msg_length - 1] = {opc_rd_sl_data, slot_count_byte, static_cast<uint8_t>(number >> 7),
                                      static_cast<uint8_t>(number & 0x7F)};
    b[e6_id1] = static_cast<uint8_t>(status_serial & 0x7F);
    b[e6_id2] = static_cast<uint8_t>((status_serial >> 7) & 0x3F);
    b[16] = status_device_type;
    const auto low_high = [&b](int at_byte, unsigned value) {
        b[at_byte] = static_cast<uint8_t>(value & 0x7F);
        b[at_byte + 1] = static_cast<uint8_t>((value >> 7) & 0x03);
    };
    unsigned in_use = 0, idle = 0, free = 0, running = 0;
    for (unsigned n = 1; n <= loco_last; ++n) {
        if (!is_loco_slot(n)) continue;
        const uint8_t usage = slots_[n].e7[at(slot_stat)] & stat_usage_mask;
        if (usage == usage_free) ++free;
        else if (usage == usage_idle) ++idle;
        else ++in_use;  // in use or common: refreshed on the track
        if (usage != usage_free && slots_[n].e7[at(slot_spd)] > 1) ++running;
    }
    const bool power = (trk_ & trk_power_on) != 0;
    switch (number) {
    case status_identity:
        b[e6_trk] = track_status();
        b[14] = status_device_type;
        b[16] = status_sw_version;
        b[17] = status_hw_version;
        b[e6_id2] |= status_is_station;
        break;
    case status_power:
        b[4] = power ? track_volts_fifths : 0;
        b[5] = input_volts_fifths;
        b[6] = static_cast<uint8_t>(
            power ? std::min<unsigned>(idle_tenths_amp + loco_tenths_amp * running, limit_tenths_amp) : 0);
        b[7] = limit_tenths_amp;
        break;
    case status_slots:
        low_high(4, in_use);
        low_high(6, idle);
        low_high(8, free);
        break;
    default:  // status_traffic: messages b4 + b5 * 128, errors b6 + b7 * 128
        b[4] = static_cast<uint8_t>(messages_heard_ & 0x7F);
        b[5] = static_cast<uint8_t>((messages_heard_ >> 7) & 0x7F);
        break;
    }
    return kvr_loconet_msg::with_checksum(b, sizeof b);
}
