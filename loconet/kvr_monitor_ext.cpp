#include "loconet/kvr_monitor_ext.h"

#include <utility>

#include "foundation/kvr_text.h"
#include "loconet/kvr_dcc_packet.h"
#include "loconet/kvr_monitor.h"

namespace kvr_monitor {
namespace {

// Groups of OPC_LOCO_FUNC_EX (byte 3).
using kvr_dcc::func_ex_f12_f20_f28;
using kvr_dcc::func_ex_f13_f19;
using kvr_dcc::func_ex_f21_f27;
using kvr_dcc::func_ex_marker;

// OPC_MULTI_SENSE byte 1, bits 6..5: what the report is about.
constexpr uint8_t sense_type_mask = 0x60;
constexpr uint8_t sense_absent = 0x00;
constexpr uint8_t sense_present = 0x20;
// A locomotive address whose high byte is this is a short address.
constexpr uint8_t sense_short_address = 0x7D;
// OPC_MULTI_SENSE_LONG, 9 bytes: E0 09 b1 b2 b3 b4 DIR 00 chk, b1..b4 as in
// OPC_MULTI_SENSE; DIR is 0x40 or 0x00 for the two directions of travel,
// shown as it stands (the sources at hand do not say which is which).
//   E0 09 20 09 7D 03 40 00 chk: present SECTION#[10] LOCO#[3] dir(40)
constexpr int sense_long_length = 9;

// OPC_PEER_XFER, 16 bytes: E5 10 SRC DSTL DSTH PXCT1 D1..D4 PXCT2 D5..D8 chk;
// PXCT1/PXCT2 bits 0..3 are bit 7 of D1..D4 and D5..D8. SV programming puts
// its format where DSTH stands. Format 1 keeps this layout, the board's
// address in DSTL. Format 2 lays the bytes out anew:
//   E5 10 SRC SV_CMD 02 SVX1 DST_L DST_H SV_ADRL SV_ADRH SVX2 D1 D2 D3 D4 chk
// SVX1 bits 0..3 are bit 7 of DST_L, DST_H, SV_ADRL, SV_ADRH; SVX2 bits 0..3
// those of D1..D4. Destination and SV number are 16 bits, low byte first.
//   E5 10 01 02 02 10 23 00 03 00 10 00 00 00 00 2B: read SV 3 of board 35
constexpr int peer_length = 16;
constexpr uint8_t sv1_format = 0x01;
constexpr uint8_t sv2_format = 0x02;

// SV_CMD of format 2; a reply is its command with bit 6 set (0x42 answers a
// read).
struct sv_command_row {
    uint8_t code;
    const char* name;
};
constexpr sv_command_row sv_commands[] = {
    {0x01, "write"},    {0x02, "read"},     {0x03, "masked write"},   {0x05, "write four"},  {0x06, "read four"},
    {0x07, "discover"}, {0x08, "identify"}, {0x09, "change address"}, {0x4F, "reconfigure"},
};
constexpr uint8_t sv_reply = 0x40;

// OPC_IMM_PACKET, 11 bytes: ED 0B 7F REPS DHI IM1..IM5 chk. REPS bits 6..4
// are the packet's byte count, bits 2..0 the repeat count; DHI bits 0..4 are
// bit 7 of IM1..IM5.
constexpr int imm_length = 11;
constexpr uint8_t imm_marker = 0x7F;

// OPC_REPORT_E4, 8 bytes, from transponder and RailCom receivers:
//   E4 08 CAT SH SL DH DL chk
// CAT bits 1..0 are the category 1..4; SH bits 4..0 and SL the sensor
// address, SH bits 6..5 two flags; DH and DL the decoder address (DH * 128
// + DL).
//   E4 08 00 22 2B 09 52 chk: cat(1) sensor(299) decoder(1234) flags(01)
constexpr int receiver_length = 8;

// OPC_SW_REQ to switches 1017..1020 (SW1 0x78..0x7B), closed and off (SW2
// 0x27): the command station asking every turnout and sensor to report.
constexpr uint8_t interrogate_sw1_first = 0x78;
constexpr uint8_t interrogate_sw1_last = 0x7B;
constexpr uint8_t interrogate_sw2 = 0x27;

std::string head(const char* name) {
    std::string s;
    return string_appendf(s, "%-16s:", name);
}

std::string hex_bytes(const uint8_t* b, int count) {
    std::string s;
    for (int i = 0; i < count; ++i) string_appendf(s, i ? " %02X" : "%02X", b[i]);
    return s;
}

// "F13-19(1000001)": the lowest function (bit 0) first.
std::string function_bits(const char* label, uint8_t bits, int count) {
    std::string s = label;
    s += '(';
    for (int i = 0; i < count; ++i) s += ((bits >> i) & 1) ? '1' : '0';
    return s + ')';
}

std::string loco_f9_f12(const kvr_loconet_msg& m) {
    std::string s = head("OPC_LOCO_F9F12");
    string_appendf(s, "SLOT#[%d] ", m[1]);
    return s + function_bits("F9-12", m[2], 4);
}

std::string loco_func_ex(const kvr_loconet_msg& m) {
    std::string s = head("OPC_LOCO_FUNC_EX");
    string_appendf(s, "SLOT#[%d] ", m[2]);
    const uint8_t bits = m[4];
    switch (m[3]) {
    case func_ex_f13_f19:
        return s + function_bits("F13-19", bits, 7);
    case func_ex_f21_f27:
        return s + function_bits("F21-27", bits, 7);
    case func_ex_f12_f20_f28:
        return string_appendf(s, "F12(%d) F20(%d) F28(%d)", (bits >> 4) & 1, (bits >> 5) & 1, (bits >> 6) & 1);
    default:
        return string_appendf(s, "group(%02X) bits(%02X)", m[3], bits);
    }
}

// The four bytes b1..b4 of a transponding report, from byte `first` on.
std::string sense_report(const kvr_loconet_msg& m, int first) {
    const uint8_t b1 = m[first], b2 = m[first + 1], b3 = m[first + 2], b4 = m[first + 3];
    const uint8_t type = b1 & sense_type_mask;
    const int section = ((b1 & 0x1F) << 7 | b2) + 1;
    const int loco = b3 == sense_short_address ? b4 : kvr_proto::decode_loco_address(b3, b4);
    std::string s;
    if (type == sense_present || type == sense_absent) {
        return string_appendf(s, "%s SECTION#[%d] LOCO#[%d]", type == sense_present ? "present" : "absent",
                              section, loco);
    }
    return string_appendf(s, "type(%X) data(%s)", type >> 5, hex_bytes(m.data() + first, 4).c_str());
}

std::string multi_sense(const kvr_loconet_msg& m) { return head("OPC_MULTI_SENSE") + sense_report(m, 1); }

// The long report is the same report with the direction of travel added.
std::string multi_sense_long(const kvr_loconet_msg& m) {
    std::string s = head("OPC_MULTI_SENSE") + sense_report(m, 2);
    return string_appendf(s, " dir(%02X)", m[6]);
}

// Four data bytes from byte `first` on, each given back bit 7 from bits 0..3
// of the byte at `extra`.
void restore_bit7(const kvr_loconet_msg& m, int extra, int first, uint8_t* out) {
    for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(m[first + i] | (((m[extra] >> i) & 1) << 7));
}

std::string sv_command_name(uint8_t code) {
    for (const auto& row : sv_commands) {
        if (row.code == code) return row.name;
    }
    for (const auto& row : sv_commands) {
        if ((code & sv_reply) && row.code == (code & ~sv_reply)) return std::string(row.name) + " reply";
    }
    std::string s;
    return string_appendf(s, "cmd(%02X)", code);
}

std::string sv2_text(const kvr_loconet_msg& m) {
    uint8_t fields[4];  // DST_L, DST_H, SV_ADRL, SV_ADRH
    uint8_t data[4];
    restore_bit7(m, 5, 6, fields);
    restore_bit7(m, 10, 11, data);
    std::string s;
    return string_appendf(s, "SV programming %s SRC(%02X) DST(%d) SV#[%d] data(%s)", sv_command_name(m[3]).c_str(),
                          m[2], fields[1] << 8 | fields[0], fields[3] << 8 | fields[2], hex_bytes(data, 4).c_str());
}

std::string peer_xfer(const kvr_loconet_msg& m) {
    std::string s = head("OPC_PEER_XFER");
    if (m.length() != peer_length) {
        return string_appendf(s, "len(%d) data(%s)", m.length(), hex_bytes(m.data() + 2, m.length() - 3).c_str());
    }
    if (m[4] == sv2_format) return s + sv2_text(m);
    uint8_t data[8];
    restore_bit7(m, 5, 6, data);
    restore_bit7(m, 10, 11, data + 4);
    if (m[4] == sv1_format) {
        return string_appendf(s, "SV programming (format 1) SRC(%02X) DST(%d) data(%s)", m[2], m[3],
                              hex_bytes(data, 8).c_str());
    }
    return string_appendf(s, "SRC(%02X) DST(%d) data(%s)", m[2], kvr_proto::decode_loco_address(m[4], m[3]),
                          hex_bytes(data, 8).c_str());
}

std::string imm_packet(const kvr_loconet_msg& m) {
    std::string s = head("OPC_IMM_PACKET");
    if (m.length() != imm_length || m[2] != imm_marker) {
        return string_appendf(s, "len(%d) data(%s)", m.length(), hex_bytes(m.data() + 2, m.length() - 3).c_str());
    }
    const int count = (m[3] >> 4) & 0x07;
    const int repeats = m[3] & 0x07;
    uint8_t packet[5];
    for (int i = 0; i < 5; ++i) packet[i] = static_cast<uint8_t>(m[5 + i] | (((m[4] >> i) & 1) << 7));
    const int n = count > 5 ? 5 : count;
    return string_appendf(s, "DCC %s reps(%d) packet(%s)", dcc_packet_text(packet, n).c_str(), repeats,
                          hex_bytes(packet, n).c_str());
}

std::string report_e4(const kvr_loconet_msg& m) {
    std::string s = head("OPC_REPORT_E4");
    if (m.length() == receiver_length) {
        const int sensor = (m[3] & 0x1F) << 7 | (m[4] & 0x7F);
        return string_appendf(s, "receiver cat(%d) sensor(%d) decoder(%d) flags(%d%d)", (m[2] & 0x03) + 1, sensor,
                              kvr_proto::decode_loco_address(m[5], m[6]), (m[3] >> 6) & 1, (m[3] >> 5) & 1);
    }
    const int count = m.length() - 3;
    return string_appendf(s, "len(%d) data(%s)", m.length(), hex_bytes(m.data() + 2, count > 0 ? count : 0).c_str());
}

bool is_interrogation(const kvr_loconet_msg& m) {
    return m.opcode() == OPC_SW_REQ && m[1] >= interrogate_sw1_first && m[1] <= interrogate_sw1_last &&
           m[2] == interrogate_sw2;
}

std::string interrogation(const kvr_loconet_msg& m) {
    std::string s = head("OPC_SW_REQ");
    return string_appendf(s, "Interrogate turnouts and sensors (SW#[%u])", kvr_proto::decode_switch_number(m[1], m[2]));
}

// OPC_MOVE_SLOTS SRC DST: SRC 0 asks for the dispatched slot, DST 0
// dispatches SRC, and SRC equal to DST is the null move that marks the slot
// in use. The monitor's words stay in front.
std::string move_slots(const kvr_loconet_msg& m, std::string line) {
    const uint8_t src = m[1];
    const uint8_t dst = m[2];
    if (src == 0) return line + " (ask for the dispatched slot)";
    if (dst == 0) return line + " (dispatch)";
    if (src == dst) return line + " (null move: mark in use)";
    return line;
}

std::string unknown(const kvr_loconet_msg& m) {
    std::string s = head("UNKNOWN");
    return string_appendf(s, "len(%d) %s", m.length(), hex_bytes(m.data(), m.length()).c_str());
}

// --- DCC packets ---------------------------------------------------------------

// 28-step speed from 01DCSSSS: C is the low bit of the step; steps 0 and 1
// stop, 2 and 3 stop at once, 4..31 are speeds 1..28.
std::string speed28(uint8_t i) {
    const int raw = ((i & 0x0F) << 1) | ((i >> 4) & 1);
    std::string s;
    if (raw == 2 || raw == 3) s = "estop";
    else string_appendf(s, "spd28(%d)", raw < 4 ? 0 : raw - 3);
    return s + ((i & 0x20) ? " DIR(fwd)" : " DIR(rev)");
}

// The instruction bytes of a multi-function decoder packet.
std::string dcc_instruction(const uint8_t* p, int n) {
    if (n < 1) return "no instruction";
    const uint8_t i = p[0];
    std::string s;
    if ((i & 0xC0) == 0x40) return speed28(i);
    if ((i & 0xE0) == 0x80) {
        return string_appendf(s, "F0-4(%d%d%d%d%d)", (i >> 4) & 1, i & 1, (i >> 1) & 1, (i >> 2) & 1, (i >> 3) & 1);
    }
    if ((i & 0xF0) == 0xB0) return function_bits("F5-8", i, 4);
    if ((i & 0xF0) == 0xA0) return function_bits("F9-12", i, 4);
    if (i == 0xDE && n >= 2) return function_bits("F13-20", p[1], 8);
    if (i == 0xDF && n >= 2) return function_bits("F21-28", p[1], 8);
    if (i == 0x3F && n >= 2) {
        return string_appendf(s, "spd128(%d) DIR(%s)", p[1] & 0x7F, (p[1] & 0x80) ? "fwd" : "rev");
    }
    if ((i & 0xF0) == 0xE0 && n >= 3) {
        // 1110CCVV VVVVVVVV DDDDDDDD: CC 01 verify, 11 write, 10 bit operation.
        static const char* const ops[] = {"reserved", "verify", "bit", "write"};
        const int cv = ((i & 0x03) << 8 | p[1]) + 1;
        return string_appendf(s, "OPS CV#[%d] %s(%d)", cv, ops[(i >> 2) & 3], p[2]);
    }
    if ((i & 0xE0) == 0x00) return string_appendf(s, "control(%02X)", i);
    return string_appendf(s, "instruction(%02X)", i);
}

// Basic accessory: 10AAAAAA 1AAACDDD, the upper three address bits sent
// inverted; C switches the output, DDD picks the output of the board.
std::string dcc_accessory(const uint8_t* p, int n) {
    std::string s;
    if (n < 2) return "ACCESSORY short packet";
    const int board = (p[0] & 0x3F) | (((~p[1] >> 4) & 0x07) << 6);
    if (p[1] & 0x80) {
        return string_appendf(s, "ACCESSORY board(%d) output(%d) %s", board, p[1] & 0x07,
                              (p[1] & 0x08) ? "on" : "off");
    }
    return string_appendf(s, "EXT ACCESSORY board(%d) data(%s)", board, hex_bytes(p + 1, n - 1).c_str());
}

}  // namespace

std::string dcc_packet_text(const uint8_t* p, int n) {
    std::string s;
    if (n < 2) return "short packet";
    const uint8_t a = p[0];
    // NMRA S-9.2: the idle packet is FF 00 (error byte FF, which some
    // senders count among the bytes); any other packet to address FF is not.
    if (a == 0xFF && p[1] == 0x00 && (n == 2 || (n == 3 && p[2] == 0xFF))) return "IDLE";
    if (a == 0x00) return "BROADCAST " + dcc_instruction(p + 1, n - 1);
    if (a < 0x80) {
        string_appendf(s, "LOCO#[%d] ", a);
        return s + dcc_instruction(p + 1, n - 1);
    }
    if (a < 0xC0) return dcc_accessory(p, n);
    if (a <= 0xE7) {
        string_appendf(s, "LOCO#[%d] ", ((a & 0x3F) << 8) | p[1]);
        return s + dcc_instruction(p + 2, n - 2);
    }
    return string_appendf(s, "reserved(%02X)", a);
}

std::string to_text_extended(const kvr_loconet_msg& msg) {
    if (is_interrogation(msg)) return interrogation(msg);
    std::string line = to_text(msg, consist_reading::protocol);
    if (msg.opcode() == OPC_MOVE_SLOTS) return move_slots(msg, std::move(line));
    if (!line.empty()) return line;
    switch (msg.opcode()) {
    case OPC_LOCO_F9F12:
        return loco_f9_f12(msg);
    case OPC_LOCO_FUNC_EX:
        if (msg[1] == func_ex_marker) return loco_func_ex(msg);
        break;
    case OPC_MULTI_SENSE:
        return multi_sense(msg);
    case OPC_MULTI_SENSE_LONG:
        if (msg.length() == sense_long_length) return multi_sense_long(msg);
        break;
    case OPC_PEER_XFER:
        return peer_xfer(msg);
    case OPC_IMM_PACKET:
        return imm_packet(msg);
    case OPC_REPORT_E4:
        return report_e4(msg);
    default:
        break;
    }
    return unknown(msg);
}

}  // namespace kvr_monitor
