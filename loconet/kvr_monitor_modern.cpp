#include "loconet/kvr_monitor_modern.h"

#include "foundation/kvr_text.h"
#include "loconet/kvr_device_msgs.h"
#include "loconet/kvr_monitor.h"

namespace kvr_monitor {
namespace {

constexpr uint8_t OPC_LOCO_RESET = 0x8A;
constexpr uint8_t OPC_IF_MODE = 0xD3;
constexpr uint8_t OPC_EXP_SEND = 0xD5;
constexpr uint8_t OPC_RADIO_REPORT = 0xD7;
constexpr uint8_t OPC_RADIO_RCVR = 0xDF;
constexpr uint8_t OPC_EXP_RD_SL_DATA = 0xE6;
constexpr uint8_t OPC_EXP_WR_SL_DATA = 0xEE;
constexpr uint8_t OPC_EXP_REQ_SLOT = 0xBE;
constexpr uint8_t OPC_EXP_SLOT_MOVE = 0xD4;

struct name_row {
    uint8_t opcode;
    const char* name;
};
constexpr name_row modern_names[] = {
    {OPC_EXP_REQ_SLOT, "OPC_EXP_REQ_SLOT"},     {OPC_EXP_RD_SL_DATA, "OPC_EXP_RD_SL_DATA"},
    {OPC_EXP_WR_SL_DATA, "OPC_EXP_WR_SL_DATA"}, {OPC_EXP_SEND, "OPC_EXP_SEND_FUNC"},
    {OPC_EXP_SLOT_MOVE, "OPC_EXP_SLOT_MOVE"},   {OPC_RADIO_RCVR, "OPC_RADIO_RCVR"},
    {OPC_RADIO_REPORT, "OPC_RADIO_REPORT"},     {OPC_LOCO_RESET, "OPC_LOCO_RESET"},
    {OPC_IF_MODE, "OPC_IF_MODE"},
};

// E6/EE, 21 bytes, byte 1 0x15 (0x10 is route or alias data, not a slot).
constexpr int exp_slot_length = 21;
constexpr uint8_t exp_slot_count = 0x15;
constexpr uint8_t exp_alias_count = 0x10;
constexpr int xs_hi = 2, xs_slot = 3, xs_stat = 4, xs_adr = 5, xs_adr2 = 6, xs_trk = 7, xs_spd = 8, xs_f12 = 9,
              xs_dirf = 10, xs_f5 = 11, xs_f13 = 12, xs_f21 = 13, xs_id1 = 18, xs_id2 = 19;
// TRK bit 6: the command station offers expanded slots.
constexpr uint8_t trk_expanded = 0x40;

// Status slots of an expanded command station (E6 only).
constexpr int slot_status_first = 248;
constexpr int slot_status_power = 249;
constexpr int slot_status_slots = 250;
constexpr int slot_status_last = 251;

// D4 38|hi SL B3 B4: B3 bits 6..4 say what.
constexpr uint8_t exp_move_first = 0x38, exp_move_last = 0x3B;
constexpr uint8_t move_set_status = 0x60, move_unlink = 0x50, move_link = 0x40, move_move = 0x00;
// Moves to or from the system slots 121..127 are refused (LACK B4 3A 00).
constexpr int system_slot_first = 121, system_slot_last = 127;

std::string head(const char* name) {
    std::string s;
    return string_appendf(s, "%-16s:", name);
}

std::string hex_of(const kvr_loconet_msg& m, int first, int last) {
    std::string s;
    for (int i = first; i <= last; ++i) string_appendf(s, i > first ? " %02X" : "%02X", m[i]);
    return s;
}

int bit(uint8_t value, int n) { return (value >> n) & 1; }

// "12.4": tenths as a decimal number with one place.
std::string tenths(int t) {
    std::string s;
    return string_appendf(s, "%d.%d", t / 10, t % 10);
}

// The functions of an expanded slot, bit n = Fn.
uint32_t exp_slot_functions(const kvr_loconet_msg& m) {
    const uint8_t f12 = m[xs_f12], dirf = m[xs_dirf], f5 = m[xs_f5];
    uint32_t on = static_cast<uint32_t>(bit(dirf, 4)) | (dirf & 0x0Fu) << 1 | (f5 & 0x0Fu) << 5;
    on |= ((f5 >> 4) & 0x07u) << 9;
    on |= static_cast<uint32_t>(bit(f12, 4)) << 12 | static_cast<uint32_t>(bit(f12, 5)) << 20 |
          static_cast<uint32_t>(bit(f12, 6)) << 28;
    on |= (m[xs_f13] & 0x7Fu) << 13 | (m[xs_f21] & 0x7Fu) << 21;
    return on;
}

// Device type, serial number and command-station flag the status slots carry.
std::string status_device(const kvr_loconet_msg& m, int type_byte) {
    std::string s;
    string_appendf(s, " device type(%d) serial(%d)", m[type_byte], (m[xs_id2] & 0x3F) * 128 + m[xs_id1]);
    if (m[xs_id2] & 0x40) s += " command station";
    return s;
}

std::string status_slot_text(const kvr_loconet_msg& m, int slot) {
    std::string s;
    string_appendf(s, "SLOT#[%d] status: ", slot);
    switch (slot) {
    case slot_status_first:
        string_appendf(s, "software(%d) hardware(%d.%d)", m[16], (m[17] >> 3) & 0x0F, m[17] & 0x07);
        return s + status_device(m, 14);
    case slot_status_power:
        string_appendf(s, "power track(%sV) input(%sV) current(%sA) limit(%sA) more(%sV %sV)",
                       tenths(m[4] * 2).c_str(), tenths(m[5] * 2).c_str(), tenths(m[6]).c_str(),
                       tenths(m[7]).c_str(), tenths(m[10] * 2).c_str(), tenths(m[12] * 2).c_str());
        break;
    case slot_status_slots:
        string_appendf(s, "slots in use(%d) idle(%d) free(%d)", m[4] + (m[5] & 3) * 128, m[6] + (m[7] & 3) * 128,
                       m[8] + (m[9] & 3) * 128);
        break;
    default:
        string_appendf(s, "LocoNet messages(%d) errors(%d)", m[4] + m[5] * 128, m[6] + m[7] * 128);
        break;
    }
    return s + status_device(m, 16);
}

std::string exp_slot_text(const kvr_loconet_msg& m) {
    std::string s = head(modern_opcode_name(m.opcode()));
    if (m.length() != exp_slot_length) return "";
    if (m[1] == exp_alias_count) return s + "alias data(" + hex_of(m, 2, m.length() - 2) + ")";
    if (m[1] != exp_slot_count) return "";
    const int slot = (m[xs_hi] & 0x07) * 128 + m[xs_slot];
    if (slot >= slot_status_first && slot <= slot_status_last) return s + status_slot_text(m, slot);
    const uint8_t trk = m[xs_trk];
    string_appendf(s, "SLOT#[%d]%s adr(%3d) spd(%2d) DIR(%s) %s id(%d) %s%s", slot,
                   slot_status_text(m[xs_stat], consist_reading::protocol).c_str(), m[xs_adr2] * 128 + m[xs_adr],
                   m[xs_spd], (m[xs_dirf] & 0x20) ? "rev" : "fwd", functions_on(exp_slot_functions(m), 0, 28).c_str(),
                   m[xs_id2] * 128 + m[xs_id1], track_text(trk).c_str(),
                   (trk & trk_expanded) ? " expanded slots offered" : "");
    return s;
}

// "F0-F6: F0 F1 F5 on" for a message that sets a group of functions.
std::string group_text(uint32_t on, int first, int last) {
    std::string s;
    string_appendf(s, "F%d-F%d: ", first, last);
    if ((on >> first) & ((1u << (last - first + 1)) - 1)) return s + functions_on(on, first, last);
    return s + "all off";
}

// D5 G|hi SL ID X: speed and direction (G 00, 08 reverse) or one function group.
std::string exp_send_text(const kvr_loconet_msg& m) {
    const int slot = (m[1] & 0x03) * 128 + m[2];
    const uint8_t x = m[4];
    std::string s = head(modern_opcode_name(m.opcode()));
    string_appendf(s, "SLOT#[%d] ", slot);
    switch (m[1] & 0xF8) {
    case 0x00:
    case 0x08:
        string_appendf(s, "spd(%d) DIR(%s)%s", x, (m[1] & 0x08) ? "rev" : "fwd", x == 1 ? " emergency stop" : "");
        break;
    case 0x10: {
        const uint32_t on = static_cast<uint32_t>(bit(x, 4)) | (x & 0x0Fu) << 1 | static_cast<uint32_t>(bit(x, 5)) << 5 |
                            static_cast<uint32_t>(bit(x, 6)) << 6;
        s += group_text(on, 0, 6);
        break;
    }
    case 0x18:
        s += group_text((x & 0x7Fu) << 7, 7, 13);
        break;
    case 0x20:
        s += group_text((x & 0x7Fu) << 14, 14, 20);
        break;
    case 0x28:
    case 0x30:
        s += group_text((x & 0x7Fu) << 21 | ((m[1] & 0xF8) == 0x30 ? 1u << 28 : 0u), 21, 28);
        break;
    default:
        return "";
    }
    return string_appendf(s, " id(%d)", m[3]);
}

// D4 38|hi SL B3 B4: S = (b1&3)*128+b2, D = (b3&3)*128+b4.
std::string exp_move_text(const kvr_loconet_msg& m) {
    const int src = (m[1] & 0x03) * 128 + m[2];
    const int dst = (m[3] & 0x03) * 128 + m[4];
    std::string s = head(modern_opcode_name(m.opcode()));
    switch (m[3] & 0x70) {
    case move_set_status:
        string_appendf(s, "SLOT#[%d] set status", src);
        return s + slot_status_text(m[4], consist_reading::protocol);
    case move_unlink:
        return string_appendf(s, "SLOT#[%d] unlink from lead [%d]", src, dst);
    case move_link:
        return string_appendf(s, "SLOT#[%d] link to lead [%d]", src, dst);
    case move_move:
        string_appendf(s, "SLOT#[%d] to [%d]", src, dst);
        if (src == 0) s += " (ask for the dispatched slot)";
        else if (dst == 0) s += " (dispatch)";
        else if (src == dst) s += " (null move: mark in use)";
        if (is_move_refused(src) || is_move_refused(dst)) s += " (illegal: system slot)";
        return s;
    default:
        return "";
    }
}

// DF 00 00 00 00 asks the radio receivers to report; DF 40 1F id 00 sets a
// receiver's LocoNet ID.
std::string radio_rcvr_text(const kvr_loconet_msg& m) {
    std::string s = head(modern_opcode_name(m.opcode()));
    if (m[1] == 0 && m[2] == 0 && m[3] == 0 && m[4] == 0) return s + "query radio receivers";
    if (m[1] == 0x40 && m[2] == 0x1F && m[4] == 0) return string_appendf(s, "set receiver LocoNet id(%d)", m[3]);
    return s + "data(" + hex_of(m, 1, 4) + ")";
}

// D7 12/17/1F xx II yy: a radio receiver's report, its ID in II bits 2..0.
std::string radio_report_text(const kvr_loconet_msg& m) {
    std::string s = head(modern_opcode_name(m.opcode()));
    if (m[1] == 0x12) string_appendf(s, "receiver id(%d) ", m[3] & 0x07);
    else if (m[1] == 0x17 || m[1] == 0x1F) string_appendf(s, "older receiver id(%d) ", m[3] & 0x07);
    return s + "data(" + hex_of(m, 1, 4) + ")";
}

// D3 10 0m 00 00: the interface's mode, m in bits 1..0.
std::string if_mode_text(const kvr_loconet_msg& m) {
    std::string s = head(modern_opcode_name(m.opcode()));
    if (m[1] == 0x10 && (m[2] & 0x7C) == 0 && m[3] == 0 && m[4] == 0)
        return string_appendf(s, "interface mode(%d)", m[2] & 0x03);
    return s + "data(" + hex_of(m, 1, 4) + ")";
}

}  // namespace

const char* modern_opcode_name(uint8_t opcode) {
    for (const name_row& row : modern_names)
        if (row.opcode == opcode) return row.name;
    return nullptr;
}

std::string functions_on(uint32_t on, int first, int last) {
    std::string s;
    for (int n = first; n <= last; ++n)
        if ((on >> n) & 1) string_appendf(s, s.empty() ? "F%d" : " F%d", n);
    if (s.empty()) return string_appendf(s, "F%d-F%d off", first, last);
    return s + " on";
}

bool is_move_refused(int slot) { return slot >= system_slot_first && slot <= system_slot_last; }

int requested_slot(const kvr_loconet_msg& msg) { return (msg[2] & 0x07) * 128 + msg[1]; }

std::string expanded_request_text(const kvr_loconet_msg& msg) {
    std::string s = head(kvr_opcode_name(OPC_RQ_SL_DATA));
    string_appendf(s, "SLOT#[%d]", requested_slot(msg));
    if (msg[2] & 0x40) s += " expanded";
    return s;
}

bool is_opsw_slot(uint8_t slot) { return slot == kvr_slot_opsw || slot == kvr_slot_opsw_ext; }

std::string opsw_slot_text(const kvr_loconet_msg& msg) {
    const int base = msg[2] == kvr_slot_opsw_ext ? kvr_opsw_count : 0;
    std::string closed;
    for (int n = base + 1; n <= base + kvr_opsw_count; ++n)
        if (kvr_cs_opsw_get(msg, n)) string_appendf(closed, " %d", n);
    std::string s = head(kvr_opcode_name(msg.opcode()));
    string_appendf(s, "SLOT#[%d] command station opsw %d-%d:", msg[2], base + 1, base + 64);
    return s + (closed.empty() ? " all thrown" : closed + " closed, others thrown");
}

std::string modern_text(const kvr_loconet_msg& msg) {
    const int n = msg.length();
    switch (msg.opcode()) {
    case OPC_EXP_REQ_SLOT: {
        if (n != 4) return "";
        std::string s = head(modern_opcode_name(msg.opcode()));
        return string_appendf(s, "REQ LOCO#[%d] expanded", msg[1] * 128 + msg[2]);
    }
    case OPC_EXP_RD_SL_DATA:
    case OPC_EXP_WR_SL_DATA:
        return exp_slot_text(msg);
    case OPC_EXP_SEND:
        return n == 6 ? exp_send_text(msg) : "";
    case OPC_EXP_SLOT_MOVE:
        return n == 6 && msg[1] >= exp_move_first && msg[1] <= exp_move_last ? exp_move_text(msg) : "";
    case OPC_RADIO_RCVR:
        return n == 6 ? radio_rcvr_text(msg) : "";
    case OPC_RADIO_REPORT:
        return n == 6 ? radio_report_text(msg) : "";
    case OPC_IF_MODE:
        return n == 6 ? if_mode_text(msg) : "";
    case OPC_LOCO_RESET:
        return n == 2 ? head(modern_opcode_name(msg.opcode())) + "loco reset button on the command station" : "";
    default:
        return "";
    }
}

}  // namespace kvr_monitor
