#include "loconet/kvr_monitor_ext.h"

#include <utility>

#include "foundation/kvr_text.h"
#include "loconet/kvr_dcc_packet.h"
#include "loconet/kvr_monitor.h"
#include "loconet/kvr_monitor_families.h"
#include "loconet/kvr_monitor_modern.h"

namespace kvr_monitor {

std::string ext_head(const char* name) {
    std::string s;
    return string_appendf(s, "%-16s:", name);
}

std::string hex_span(const uint8_t* b, int count) {
    std::string s;
    for (int i = 0; i < count; ++i) string_appendf(s, i ? " %02X" : "%02X", b[i]);
    return s;
}

std::string function_group(const char* label, uint32_t bits, int count, int first) {
    std::string s = label;
    s += '(';
    for (int i = 0; i < count; ++i) s += ((bits >> i) & 1) ? '1' : '0';
    return s + ") " + on_list(bits << first, first, first + count - 1);
}

std::string on_list(uint32_t on, int first, int last) {
    const uint32_t span = ((last - first + 1) >= 32 ? ~0u : ((1u << (last - first + 1)) - 1)) << first;
    return (on & span) ? functions_on(on, first, last) : "all off";
}

namespace {

// Groups of OPC_LOCO_FUNC_EX (byte 3).
using kvr_dcc::func_ex_f12_f20_f28;
using kvr_dcc::func_ex_f13_f19;
using kvr_dcc::func_ex_f21_f27;
using kvr_dcc::func_ex_marker;

// OPC_IMM_PACKET, 11 bytes: ED 0B 7F REPS DHI IM1..IM5 chk. REPS bits 6..4
// are the packet's byte count, bits 2..0 the repeat count; DHI bits 0..4 are
// bit 7 of IM1..IM5.
constexpr int imm_length = 11;
constexpr uint8_t imm_marker = 0x7F;

// OPC_SW_REQ with (SW1 & 0xFC) = 0x78 and (SW2 & 0xCF) = 0x07 or 0x0F: the
// command station asking every turnout and sensor to report (switches
// 1017..1020 and their neighbours in the high address bits).
constexpr uint8_t interrogate_sw1 = 0x78;
constexpr uint8_t interrogate_sw2_a = 0x07;
constexpr uint8_t interrogate_sw2_b = 0x0F;

// TRK bit 6: the command station offers expanded slots.
constexpr uint8_t trk_expanded = 0x40;
// A slot's ADR2 0x7D: ADR is a short address (16000 + ADR read as long).
constexpr uint8_t short_address_high = 0x7D;
// DIRF bit 6 is reserved and sent as 0; a receiver refuses it set.
constexpr uint8_t dirf_reserved = 0x40;

std::string loco_f9_f12(const kvr_loconet_msg& m) {
    std::string s = ext_head("OPC_LOCO_F9F12");
    string_appendf(s, "SLOT#[%d] ", m[1]);
    return s + function_group("F9-12", m[2] & 0x0F, 4, 9);
}

std::string loco_func_ex(const kvr_loconet_msg& m) {
    std::string s = ext_head("OPC_LOCO_FUNC_EX");
    string_appendf(s, "SLOT#[%d] ", m[2]);
    const uint8_t bits = m[4];
    switch (m[3]) {
    case func_ex_f13_f19:
        return s + function_group("F13-19", bits, 7, 13);
    case func_ex_f21_f27:
        return s + function_group("F21-27", bits, 7, 21);
    case func_ex_f12_f20_f28: {
        string_appendf(s, "F12(%d) F20(%d) F28(%d) ", (bits >> 4) & 1, (bits >> 5) & 1, (bits >> 6) & 1);
        const uint32_t on = static_cast<uint32_t>((bits >> 4) & 1) << 12 | static_cast<uint32_t>((bits >> 5) & 1) << 20 |
                            static_cast<uint32_t>((bits >> 6) & 1) << 28;
        return s + (on ? functions_on(on, 12, 28) : "F12 F20 F28 off");
    }
    default:
        return string_appendf(s, "group(%02X) bits(%02X)", m[3], bits);
    }
}

std::string imm_packet(const kvr_loconet_msg& m) {
    std::string s = ext_head("OPC_IMM_PACKET");
    if (m.length() != imm_length || m[2] != imm_marker) {
        const std::string other = imm_family_text(m);
        if (!other.empty()) return other;
        return string_appendf(s, "len(%d) data(%s)", m.length(), hex_span(m.data() + 2, m.length() - 3).c_str());
    }
    const int count = (m[3] >> 4) & 0x07;
    const int repeats = m[3] & 0x07;
    uint8_t packet[5];
    for (int i = 0; i < 5; ++i) packet[i] = static_cast<uint8_t>(m[5 + i] | (((m[4] >> i) & 1) << 7));
    const int n = count > 5 ? 5 : count;
    return string_appendf(s, "DCC %s reps(%d) packet(%s)", dcc_packet_text(packet, n).c_str(), repeats,
                          hex_span(packet, n).c_str());
}

bool is_interrogation(const kvr_loconet_msg& m) {
    const uint8_t sw2 = m[2] & 0xCF;
    return m.opcode() == OPC_SW_REQ && (m[1] & 0xFC) == interrogate_sw1 &&
           (sw2 == interrogate_sw2_a || sw2 == interrogate_sw2_b);
}

std::string interrogation(const kvr_loconet_msg& m) {
    std::string s = ext_head("OPC_SW_REQ");
    return string_appendf(s, "Interrogate turnouts and sensors (SW#[%u])", kvr_proto::decode_switch_number(m[1], m[2]));
}

// OPC_MOVE_SLOTS SRC DST: SRC 0 asks for the dispatched slot, DST 0
// dispatches SRC, and SRC equal to DST is the null move that marks the slot
// in use. The monitor's words stay in front.
std::string move_slots(const kvr_loconet_msg& m, std::string line) {
    const uint8_t src = m[1];
    const uint8_t dst = m[2];
    if (src == 0) line += " (ask for the dispatched slot)";
    else if (dst == 0) line += " (dispatch)";
    else if (src == dst) line += " (null move: mark in use)";
    if (is_move_refused(src) || is_move_refused(dst)) line += " (illegal: system slot)";
    return line;
}

// The monitor's line of a message it decodes, with what the protocol adds.
std::string reworded(const kvr_loconet_msg& msg, std::string line) {
    switch (msg.opcode()) {
    case OPC_MOVE_SLOTS:
        return move_slots(msg, std::move(line));
    case OPC_LONG_ACK:
        return long_ack_text(msg, line);
    case OPC_RQ_SL_DATA:
        if (msg[2] == 0 && is_opsw_slot(msg[1])) line += " command station opsw";
        return line;
    case OPC_SL_RD_DATA:
    case OPC_WR_SL_DATA:
        if (msg[2] == kvr_slot_programmer || msg[2] == kvr_slot_fast_clock || is_opsw_slot(msg[2])) return line;
        if (msg[kvr_proto::slot_adr2] == short_address_high)
            string_appendf(line, " (short address %d)", msg[kvr_proto::slot_adr]);
        if (msg[kvr_proto::slot_trk] & trk_expanded) line += " expanded slots offered";
        return line;
    case OPC_LOCO_SPD:
        // Speed 1 stops the loco at once.
        if (msg[2] == 1) line += " (emergency stop)";
        return line;
    case OPC_LOCO_DIRF:
    case OPC_CONSIST_FUNC:
        if (msg[2] & dirf_reserved) line += " (bit 6 set: reserved)";
        return line;
    default:
        return line;
    }
}

std::string unknown(const kvr_loconet_msg& m) {
    std::string s = ext_head("UNKNOWN");
    return string_appendf(s, "len(%d) %s", m.length(), hex_span(m.data(), m.length()).c_str());
}

// The line of a message the monitor leaves blank; empty when its layout is
// not known.
std::string family_text(const kvr_loconet_msg& msg) {
    switch (msg.opcode()) {
    case OPC_LOCO_F9F12:
        return loco_f9_f12(msg);
    case OPC_LOCO_FUNC_EX:
        return msg[1] == func_ex_marker ? loco_func_ex(msg) : "";
    case OPC_MULTI_SENSE:
        return multi_sense_text(msg);
    case OPC_MULTI_SENSE_LONG:
        return multi_sense_long_text(msg);
    case OPC_PEER_XFER: {
        const std::string line = peer_family_text(msg);
        if (!line.empty()) return line;
        std::string s = ext_head("OPC_PEER_XFER");
        return string_appendf(s, "len(%d) data(%s)", msg.length(),
                              hex_span(msg.data() + 2, msg.length() > 3 ? msg.length() - 3 : 0).c_str());
    }
    case OPC_IMM_PACKET:
        return imm_packet(msg);
    case OPC_REPORT_E4:
        return report_e4_text(msg);
    default:
        return "";
    }
}

}  // namespace

std::string to_text_extended(const kvr_loconet_msg& msg) {
    if (is_interrogation(msg)) return interrogation(msg);
    std::string line = to_text(msg, consist_reading::protocol);
    if (!line.empty()) return reworded(msg, std::move(line));
    line = family_text(msg);
    return line.empty() ? unknown(msg) : line;
}

}  // namespace kvr_monitor
