#include "loconet/kvr_msg_kind.h"

namespace {

struct kind_row {
    uint8_t opcode;
    kvr_msg_kind kind;
    int slot_byte;  // byte holding a slot, 0 none
};

// LocoNet PE opcode summary, with the slot byte of the messages that
// address a loco by its slot. Slot messages (E7, EF, BB) are sorted by slot
// further on.
constexpr kind_row kinds[] = {
    {OPC_GPOFF, kvr_msg_kind::power, 0},          {OPC_GPON, kvr_msg_kind::power, 0},
    {OPC_IDLE, kvr_msg_kind::power, 0},           {OPC_LOCO_SPD, kvr_msg_kind::loco, 1},
    {OPC_LOCO_DIRF, kvr_msg_kind::loco, 1},       {OPC_LOCO_SND, kvr_msg_kind::loco, 1},
    {OPC_LOCO_F9F12, kvr_msg_kind::loco, 1},      {OPC_SW_REQ, kvr_msg_kind::switch_, 0},
    {OPC_SW_REP, kvr_msg_kind::switch_, 0},       {OPC_INPUT_REP, kvr_msg_kind::sensor, 0},
    {OPC_SLOT_STAT1, kvr_msg_kind::loco, 1},      {OPC_CONSIST_FUNC, kvr_msg_kind::loco, 1},
    {OPC_UNLINK_SLOTS, kvr_msg_kind::loco, 1},    {OPC_LINK_SLOTS, kvr_msg_kind::loco, 1},
    {OPC_MOVE_SLOTS, kvr_msg_kind::loco, 1},      {OPC_RQ_SL_DATA, kvr_msg_kind::loco, 1},
    {OPC_SW_STATE, kvr_msg_kind::switch_, 0},     {OPC_SW_ACK, kvr_msg_kind::switch_, 0},
    {OPC_LOCO_ADR, kvr_msg_kind::loco, 0},        {OPC_MULTI_SENSE, kvr_msg_kind::sensor, 0},
    {OPC_LOCO_FUNC_EX, kvr_msg_kind::loco, 2},    {OPC_MULTI_SENSE_LONG, kvr_msg_kind::sensor, 0},
    {OPC_REPORT_E4, kvr_msg_kind::sensor, 0},     {OPC_PEER_XFER, kvr_msg_kind::programming, 0},
    {OPC_SL_RD_DATA, kvr_msg_kind::loco, 2},      {OPC_IMM_PACKET, kvr_msg_kind::loco, 0},
    {OPC_WR_SL_DATA, kvr_msg_kind::loco, 2},
};

const kind_row* row_of(uint8_t opcode) {
    for (const kind_row& r : kinds)
        if (r.opcode == opcode) return &r;
    return nullptr;
}

bool has_bytes(const kvr_loconet_msg& m, int n) { return m.length() >= n; }

// The DCC packet in OPC_IMM_PACKET: ED 0B 7F REPS DHI IM1..IM5, DHI bits
// 0..4 restoring bit 7 of IM1..IM5. By its first byte (NMRA S-9.2): 1-127 a
// short loco address, 80-BF an accessory decoder, C0-E7 the high part of a
// long loco address, FF the idle packet.
kvr_msg_subject packet_subject(const kvr_loconet_msg& m) {
    if (m.length() != 11) return {kvr_msg_kind::other, -1};
    const uint8_t dhi = m[4];
    const uint8_t im1 = static_cast<uint8_t>(m[5] | ((dhi & 0x01) << 7));
    const uint8_t im2 = static_cast<uint8_t>(m[6] | ((dhi & 0x02) << 6));
    if (im1 >= 1 && im1 <= 127) return {kvr_msg_kind::loco, im1};
    if (im1 >= 0xC0 && im1 <= 0xE7) return {kvr_msg_kind::loco, (im1 & 0x3F) << 8 | im2};
    if (im1 >= 0x80 && im1 <= 0xBF) return {kvr_msg_kind::switch_, -1};
    return {kvr_msg_kind::other, -1};
}

}  // namespace

int kvr_msg_classifier::loco_in_slot(uint8_t slot) const {
    const uint16_t a = slot_loco_[slot & 0x7F];
    return a == 0 ? -1 : a;
}

kvr_msg_subject kvr_msg_classifier::classify(const kvr_loconet_msg& m) {
    kvr_msg_subject s;
    if (m.length() < 2) return s;
    uint8_t opcode = m.opcode();
    // An acknowledge is about what it acknowledges; a programmer's task is
    // the usual OPC_WR_SL_DATA that gets one.
    if (opcode == OPC_LONG_ACK) {
        opcode = static_cast<uint8_t>(m[1] | 0x80);
        if (opcode == OPC_WR_SL_DATA) return {kvr_msg_kind::programming, -1};
        const kind_row* r = row_of(opcode);
        return {r ? r->kind : kvr_msg_kind::other, -1};
    }
    const kind_row* r = row_of(opcode);
    if (!r) return s;
    s.kind = r->kind;
    switch (opcode) {
    case OPC_SW_REQ:
    case OPC_SW_REP:
    case OPC_SW_STATE:
    case OPC_SW_ACK:
        if (has_bytes(m, 3)) s.number = static_cast<int>(kvr_proto::decode_switch_number(m[1], m[2]));
        return s;
    case OPC_INPUT_REP:
        if (has_bytes(m, 3)) s.number = static_cast<int>(kvr_proto::decode_sensor(m[1], m[2]).number);
        return s;
    case OPC_LOCO_ADR:
        if (has_bytes(m, 3)) s.number = kvr_proto::decode_loco_address(m[1], m[2]);
        return s;
    case OPC_IMM_PACKET: return packet_subject(m);
    default: break;
    }
    if (r->slot_byte == 0 || !has_bytes(m, r->slot_byte + 1)) return s;
    const uint8_t slot = m[r->slot_byte];
    const bool slot_msg = opcode == OPC_SL_RD_DATA || opcode == OPC_WR_SL_DATA || opcode == OPC_RQ_SL_DATA;
    if (slot_msg && slot == kvr_slot_fast_clock) return {kvr_msg_kind::clock, -1};
    if (slot_msg && slot == kvr_slot_programmer) return {kvr_msg_kind::programming, -1};
    if ((opcode == OPC_SL_RD_DATA || opcode == OPC_WR_SL_DATA) && m.length() == 14 &&
        m[1] == kvr_proto::slot_msg_count) {
        slot_loco_[slot] = m.slot_address();
    }
    s.number = loco_in_slot(slot);
    return s;
}
