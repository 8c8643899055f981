#include "loconet/kvr_msg_reading.h"

#include "loconet/kvr_dcc_packet.h"

using namespace kvr_proto;

namespace {

// Bits 0..8 of a function set: F0..F8, what slot data carry.
constexpr uint32_t slot_function_bits = (1u << 9) - 1;

// F0..F4 of a DIRF byte as function bits (bit n = Fn): F0 is DIRF bit 4,
// F1..F4 bits 0..3.
uint32_t dirf_functions(uint8_t dirf) {
    return ((dirf & dirf_f0) ? 1u : 0u) | static_cast<uint32_t>(dirf & dirf_f1_f4) << 1;
}
// F5..F8 of an SND byte: bits 0..3.
uint32_t snd_functions(uint8_t snd) { return static_cast<uint32_t>(snd & snd_f5_f8) << 5; }

kvr_msg_kind kind_of(uint8_t opcode) {
    switch (opcode) {
    case OPC_GPOFF:
    case OPC_GPON:
    case OPC_IDLE: return kvr_msg_kind::power;
    case OPC_LOCO_SPD:
    case OPC_LOCO_DIRF:
    case OPC_LOCO_SND:
    case OPC_LOCO_F9F12:
    case OPC_SLOT_STAT1:
    case OPC_CONSIST_FUNC:
    case OPC_UNLINK_SLOTS:
    case OPC_LINK_SLOTS:
    case OPC_MOVE_SLOTS:
    case OPC_RQ_SL_DATA:
    case OPC_LOCO_ADR:
    case OPC_LOCO_FUNC_EX:
    case OPC_SL_RD_DATA:
    case OPC_IMM_PACKET:
    case OPC_WR_SL_DATA: return kvr_msg_kind::loco;
    case OPC_SW_REQ:
    case OPC_SW_REP:
    case OPC_SW_STATE:
    case OPC_SW_ACK: return kvr_msg_kind::switch_;
    case OPC_INPUT_REP:
    case OPC_MULTI_SENSE:
    case OPC_MULTI_SENSE_LONG:
    case OPC_REPORT_E4: return kvr_msg_kind::sensor;
    case OPC_EXP_REQ_SLOT:
    case OPC_EXP_SEND_FUNC:
    case OPC_EXP_RD_SL_DATA:
    case OPC_EXP_WR_SL_DATA: return kvr_msg_kind::loco;
    case OPC_PEER_XFER: return kvr_msg_kind::programming;
    default: return kvr_msg_kind::other;
    }
}

// The byte holding the slot of the messages that address a loco by its
// slot (LocoNet PE opcode summary), 0 none.
int slot_byte_of(uint8_t opcode) {
    switch (opcode) {
    case OPC_LOCO_SPD:
    case OPC_LOCO_DIRF:
    case OPC_LOCO_SND:
    case OPC_LOCO_F9F12:
    case OPC_SLOT_STAT1:
    case OPC_CONSIST_FUNC:
    case OPC_UNLINK_SLOTS:
    case OPC_LINK_SLOTS:
    case OPC_MOVE_SLOTS:
    case OPC_RQ_SL_DATA: return 1;
    case OPC_LOCO_FUNC_EX:
    case OPC_SL_RD_DATA:
    case OPC_WR_SL_DATA: return 2;
    default: return 0;
    }
}

// The DCC packet in OPC_IMM_PACKET: ED 0B 7F REPS DHI IM1..IM5, DHI bits
// 0..4 restoring bit 7 of IM1..IM5. By its first byte (NMRA S-9.2): 1-127 a
// short loco address, 80-BF an accessory decoder, C0-E7 the high part of a
// long loco address, FF the idle packet.
void read_packet(const kvr_loconet_msg& m, kvr_msg_reading& r) {
    const std::optional<kvr_dcc::imm_packet> imm = kvr_dcc::decode_imm_packet(m);
    if (!imm || imm->bytes.count == 0) {
        r.kind = kvr_msg_kind::other;
        return;
    }
    const uint8_t im1 = imm->bytes.b[0];
    const uint8_t im2 = imm->bytes.count > 1 ? imm->bytes.b[1] : 0;
    if (im1 >= 1 && im1 <= 127) {
        r.address = im1;
    } else if (im1 >= 0xC0 && im1 <= 0xE7 && imm->bytes.count > 1) {
        r.address = (im1 & 0x3F) << 8 | im2;
    } else {
        r.kind = im1 >= 0x80 && im1 <= 0xBF ? kvr_msg_kind::switch_ : kvr_msg_kind::other;
        return;
    }
    r.number = r.address;
    if (const std::optional<kvr_dcc::function_packet> p = kvr_dcc::decode_function(imm->bytes)) {
        const kvr_dcc::function_set set = kvr_dcc::functions_of(*p);
        r.what = kvr_msg_what::functions;
        r.fn_mask = set.mask;
        r.fn_bits = set.on;
    }
}

// E7 / EF of the full layout: opcode, 0E, slot, ten field bytes, checksum.
void read_slot_message(const kvr_loconet_msg& m, kvr_msg_reading& r) {
    r.answer = m.opcode() == OPC_SL_RD_DATA;
    const auto slot = static_cast<uint8_t>(r.slot);
    if (slot == kvr_slot_fast_clock) {
        r.what = kvr_msg_what::clock_data;
        r.clock_rate = m[clk_rate];
        const clock_time t = decode_clock_time({m[clk_hrs], m[clk_mins]});
        r.clock_hour = t.hour;
        r.clock_minute = t.minute;
        r.clock_frac = join14(m[clk_frac_minsh], m[clk_frac_minsl]);
        r.clock_days = m[clk_days];
        r.clock_valid = (m[clk_cntrl] & clk_cntrl_valid) != 0;
        return;
    }
    if (slot != kvr_slot_dispatch && !kvr_is_loco_slot(slot)) {
        // The programmer's task and the option switches: no loco, no TRK.
        r.what = kvr_msg_what::system_slot;
        return;
    }
    r.what = kvr_msg_what::slot_data;
    r.address = m.slot_address();
    if (r.address != 0) r.number = r.address;
    r.stat = m[slot_stat];
    r.speed = m[slot_spd];
    r.trk = m[slot_trk];
    r.snd = m[slot_snd];
    r.forward = (m[slot_dirf] & dirf_reverse) == 0;
    r.fn_mask = slot_function_bits;
    r.fn_bits = dirf_functions(m[slot_dirf]) | snd_functions(m[slot_snd]);
    r.throttle_id = m.throttle_id();
}

// E6 / EE: 21 bytes, byte 1 = 0x15 (route data have 0x10), the slot in
// bytes 2..3, the fields of an E7 in other places and F9..F28 beside them.
void read_expanded_slot(const kvr_loconet_msg& m, kvr_msg_reading& r) {
    if (m.length() != exp_slot_bytes || m[1] != exp_slot_marker) {
        r.kind = kvr_msg_kind::other;
        return;
    }
    r.expanded = true;
    r.answer = m.opcode() == OPC_EXP_RD_SL_DATA;
    r.slot = static_cast<int>(exp_slot_join(m[exp_slot_hi], m[exp_slot_lo]));
    if (r.slot == kvr_slot_programmer) r.kind = kvr_msg_kind::programming;
    if (r.slot != kvr_slot_dispatch && !kvr_is_loco_slot(static_cast<unsigned>(r.slot))) {
        // Option switches, the status slots 248..251: no loco, no TRK.
        r.what = kvr_msg_what::system_slot;
        return;
    }
    r.what = kvr_msg_what::slot_data;
    r.address = decode_loco_address(m[exp_adr2], m[exp_adr]);
    if (r.address != 0) r.number = r.address;
    r.stat = m[exp_stat];
    r.speed = m[exp_spd];
    r.trk = m[exp_trk];
    r.snd = m[exp_f5_f11] & snd_f5_f8;
    r.forward = (m[exp_dirf] & dirf_reverse) == 0;
    r.fn_mask = (1u << 29) - 1;
    r.fn_bits = exp_functions_of(m[exp_fhi], m[exp_dirf], m[exp_f5_f11], m[exp_f13_f19], m[exp_f21_f27]);
    r.throttle_id = static_cast<uint16_t>(m[exp_id1] << 8 | m[exp_id2]);
}

// D5 G|hi SL ID X: speed and direction, or one function group.
void read_expanded_function(const kvr_loconet_msg& m, kvr_msg_reading& r) {
    if (m.length() != 6) return;
    r.expanded = true;
    r.slot = static_cast<int>(exp_slot_join(m[1], m[2]));
    r.throttle_id = static_cast<uint16_t>(m[3] << 8);
    r.value = m[4];
    const auto group = static_cast<uint8_t>(m[1] & d5_group_mask);
    switch (group) {
    case d5_speed_fwd:
    case d5_speed_rev:
        r.what = kvr_msg_what::speed;
        r.forward = group == d5_speed_fwd;
        return;
    case d5_f0_f6:
    case d5_f7_f13:
    case d5_f14_f20:
    case d5_f21_f28_off:
    case d5_f21_f28_on:
        r.what = kvr_msg_what::functions;
        r.fn_mask = d5_group_mask_of(group);
        r.fn_bits = d5_functions(group, m[4]);
        return;
    default: return;
    }
}

// D4 38|hi SL B3 B4: the expanded move, link, unlink and status. Other D4
// forms than this and the function form (D4 20) are not read.
void read_expanded_d4(const kvr_loconet_msg& m, kvr_msg_reading& r) {
    if (m.length() != 6 || (m[1] & 0xFC) != d4x_expanded) return;
    r.expanded = true;
    r.slot = static_cast<int>(exp_slot_join(m[1] & 0x03, m[2]));
    switch (m[3] & d4x_op_mask) {
    case d4x_status:
        r.what = kvr_msg_what::slot_status;
        r.value = m[4];
        return;
    case d4x_move:
        r.what = kvr_msg_what::move;
        r.to_slot = static_cast<int>(exp_slot_join(m[3] & 0x03, m[4]));
        return;
    case d4x_link:
    case d4x_unlink: r.to_slot = static_cast<int>(exp_slot_join(m[3] & 0x03, m[4])); return;
    default: return;
    }
}

// Interrogation (LocoNet PE): B0 with (SW1 & FC) = 78 and (SW2 & CF) = 07
// or 0F asks every device to report; it sets no turnout.
bool interrogation(const kvr_loconet_msg& m) {
    return m.opcode() == OPC_SW_REQ && m.length() == 4 && (m[1] & 0xFC) == 0x78 &&
           ((m[2] & 0xCF) == 0x07 || (m[2] & 0xCF) == 0x0F);
}

// The four-byte slot messages: opcode, slot, value, checksum.
void read_slot_value(const kvr_loconet_msg& m, kvr_msg_reading& r) {
    if (m.length() != 4) return;
    r.value = m[2];
    switch (m.opcode()) {
    case OPC_SLOT_STAT1: r.what = kvr_msg_what::slot_status; break;
    case OPC_LOCO_SPD: r.what = kvr_msg_what::speed; break;
    case OPC_LOCO_DIRF:
        r.what = kvr_msg_what::dirf;
        r.forward = (r.value & dirf_reverse) == 0;
        r.fn_mask = 0x1F;
        r.fn_bits = dirf_functions(r.value);
        break;
    case OPC_LOCO_SND:
        r.what = kvr_msg_what::snd;
        r.fn_mask = 0x1E0;
        r.fn_bits = snd_functions(r.value);
        break;
    case OPC_MOVE_SLOTS:
        r.what = kvr_msg_what::move;
        r.to_slot = r.value;
        break;
    case OPC_RQ_SL_DATA: r.what = kvr_msg_what::slot_request; break;
    default: break;
    }
}

void read_switch(const kvr_loconet_msg& m, kvr_msg_reading& r) {
    if (m.length() < 3) return;
    const uint8_t b = m[2];
    r.number = static_cast<int>(decode_switch_number(m[1], b));
    if (m.length() != 4) return;
    switch (m.opcode()) {
    case OPC_SW_REQ:
    case OPC_SW_ACK:
        r.what = kvr_msg_what::switch_request;
        r.closed = (b & sw2_closed) != 0;
        r.on = (b & sw2_on) != 0;
        break;
    case OPC_SW_REP:
        if (b & sn2_input) {
            r.what = kvr_msg_what::switch_input;
            r.noaux = (b & in2_switch_input) != 0;
            r.on = (b & in2_level) != 0;
        } else {
            r.what = kvr_msg_what::switch_outputs;
            r.closed_on = (b & sn2_closed_on) != 0;
            r.thrown_on = (b & sn2_thrown_on) != 0;
        }
        break;
    case OPC_INPUT_REP:
        r.what = kvr_msg_what::input;
        r.noaux = (b & in2_switch_input) != 0;
        r.on = (b & in2_level) != 0;
        break;
    default: break;
    }
}

}  // namespace

kvr_msg_reading kvr_read_message(const kvr_loconet_msg& m) {
    kvr_msg_reading r;
    if (m.length() < 2) return r;
    const uint8_t opcode = m.opcode();
    // An acknowledge is about what it acknowledges; a programmer's task is
    // the usual OPC_WR_SL_DATA that gets one.
    if (opcode == OPC_LONG_ACK) {
        const auto acked = static_cast<uint8_t>(m[1] | 0x80);
        r.kind = acked == OPC_WR_SL_DATA ? kvr_msg_kind::programming : kind_of(acked);
        return r;
    }
    r.kind = kind_of(opcode);
    switch (opcode) {
    case OPC_GPON: r.what = kvr_msg_what::power_on; return r;
    case OPC_GPOFF: r.what = kvr_msg_what::power_off; return r;
    case OPC_IDLE: r.what = kvr_msg_what::power_idle; return r;
    case OPC_SW_REQ:
        if (interrogation(m)) return r;
        read_switch(m, r);
        return r;
    case OPC_SW_REP:
    case OPC_SW_STATE:
    case OPC_SW_ACK:
    case OPC_INPUT_REP: read_switch(m, r); return r;
    case OPC_LOCO_ADR:
        if (m.length() >= 3) {
            r.address = decode_loco_address(m[1], m[2]);
            r.number = r.address;
            r.what = kvr_msg_what::loco_request;
        }
        return r;
    case OPC_EXP_REQ_SLOT:
        if (m.length() == 4) {
            r.expanded = true;
            r.address = decode_loco_address(m[1], m[2]);
            r.number = r.address;
            r.what = kvr_msg_what::loco_request;
        }
        return r;
    case OPC_IMM_PACKET: read_packet(m, r); return r;
    case OPC_EXP_RD_SL_DATA:
    case OPC_EXP_WR_SL_DATA: read_expanded_slot(m, r); return r;
    case OPC_EXP_SEND_FUNC: read_expanded_function(m, r); return r;
    case OPC_LOCO_FUNC_EX:
        if (m.length() == 6 && (m[1] & 0xFC) == d4x_expanded) {
            read_expanded_d4(m, r);
            return r;
        }
        break;
    case OPC_RQ_SL_DATA:
        // BB SL hi|40: slot hi * 128 + SL; bit 6 asks for the expanded answer.
        if (m.length() == 4) {
            r.what = kvr_msg_what::slot_request;
            r.slot = static_cast<int>(exp_slot_join(m[2], m[1]));
            r.expanded = (m[2] & 0x40) != 0;
            if (r.slot == kvr_slot_fast_clock) r.kind = kvr_msg_kind::clock;
            if (r.slot == kvr_slot_programmer) r.kind = kvr_msg_kind::programming;
        }
        return r;
    default: break;
    }
    const int slot_byte = slot_byte_of(opcode);
    if (slot_byte == 0 || m.length() <= slot_byte) return r;
    r.slot = m[slot_byte];
    const bool slot_msg = opcode == OPC_SL_RD_DATA || opcode == OPC_WR_SL_DATA || opcode == OPC_RQ_SL_DATA;
    if (slot_msg && r.slot == kvr_slot_fast_clock) r.kind = kvr_msg_kind::clock;
    if (slot_msg && r.slot == kvr_slot_programmer) r.kind = kvr_msg_kind::programming;
    if (opcode == OPC_SL_RD_DATA || opcode == OPC_WR_SL_DATA) {
        // A short or damaged slot message carries no fields to read.
        if (m.length() == slot_msg_count && m[1] == slot_msg_count) read_slot_message(m, r);
        return r;
    }
    if (const std::optional<kvr_dcc::slot_functions> f = kvr_dcc::decode_function_opcode(m)) {
        r.what = kvr_msg_what::functions;
        r.fn_mask = f->set.mask;
        r.fn_bits = f->set.on;
        return r;
    }
    read_slot_value(m, r);
    return r;
}
