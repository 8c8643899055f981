#include "loconet/kvr_monitor_ext.h"

#include "foundation/kvr_text.h"
#include "loconet/kvr_monitor.h"

namespace kvr_monitor {
namespace {

// Opcodes outside the monitor's table that real layouts carry.
enum : uint8_t {
    OPC_LOCO_F9F12 = 0xA3,      // slot, F9..F12 in bits 0..3
    OPC_MULTI_SENSE = 0xD0,     // transponding and power reports
    OPC_LOCO_FUNC_EX = 0xD4,    // 0x20, slot, group, function bits
    OPC_REPORT_E4 = 0xE4,       // variable-length detector reports
};

// Groups of OPC_LOCO_FUNC_EX (byte 3).
constexpr uint8_t group_f13_f19 = 0x08;
constexpr uint8_t group_f21_f27 = 0x09;
constexpr uint8_t group_f12_f20_f28 = 0x05;
constexpr uint8_t func_ex_marker = 0x20;

// OPC_MULTI_SENSE byte 1, bits 6..5: what the report is about.
constexpr uint8_t sense_type_mask = 0x60;
constexpr uint8_t sense_absent = 0x00;
constexpr uint8_t sense_present = 0x20;
// A locomotive address whose high byte is this is a short address.
constexpr uint8_t sense_short_address = 0x7D;

// OPC_PEER_XFER, 16 bytes: E5 10 SRC DSTL DSTH PXCT1 D1..D4 PXCT2 D5..D8 chk;
// PXCT1/PXCT2 bits 0..3 are bit 7 of D1..D4 and D5..D8. In the SV
// programming format byte 4 (where DSTH stands) is 0x02.
constexpr int peer_length = 16;
constexpr uint8_t sv2_format = 0x02;

// OPC_IMM_PACKET, 11 bytes: ED 0B 7F REPS DHI IM1..IM5 chk. REPS bits 6..4
// are the packet's byte count, bits 2..0 the repeat count; DHI bits 0..4 are
// bit 7 of IM1..IM5.
constexpr int imm_length = 11;
constexpr uint8_t imm_marker = 0x7F;

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
    case group_f13_f19:
        return s + function_bits("F13-19", bits, 7);
    case group_f21_f27:
        return s + function_bits("F21-27", bits, 7);
    case group_f12_f20_f28:
        return string_appendf(s, "F12(%d) F20(%d) F28(%d)", (bits >> 4) & 1, (bits >> 5) & 1, (bits >> 6) & 1);
    default:
        return string_appendf(s, "group(%02X) bits(%02X)", m[3], bits);
    }
}

std::string multi_sense(const kvr_loconet_msg& m) {
    std::string s = head("OPC_MULTI_SENSE");
    const uint8_t type = m[1] & sense_type_mask;
    const int section = ((m[1] & 0x1F) << 7 | m[2]) + 1;
    const int loco = m[3] == sense_short_address ? m[4] : kvr_proto::decode_loco_address(m[3], m[4]);
    if (type == sense_present || type == sense_absent) {
        return string_appendf(s, "%s SECTION#[%d] LOCO#[%d]", type == sense_present ? "present" : "absent",
                              section, loco);
    }
    return string_appendf(s, "type(%X) data(%s)", type >> 5, hex_bytes(m.data() + 1, 4).c_str());
}

std::string peer_xfer(const kvr_loconet_msg& m) {
    std::string s = head("OPC_PEER_XFER");
    if (m.length() != peer_length) {
        return string_appendf(s, "len(%d) data(%s)", m.length(), hex_bytes(m.data() + 2, m.length() - 3).c_str());
    }
    uint8_t data[8];
    for (int i = 0; i < 4; ++i) {
        data[i] = static_cast<uint8_t>(m[6 + i] | (((m[5] >> i) & 1) << 7));
        data[4 + i] = static_cast<uint8_t>(m[11 + i] | (((m[10] >> i) & 1) << 7));
    }
    const char* kind = m[4] == sv2_format ? "SV programming " : "";
    return string_appendf(s, "%sSRC(%02X) DST(%d) data(%s)", kind, m[2], kvr_proto::decode_loco_address(m[4], m[3]),
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
    const int count = m.length() - 3;
    return string_appendf(s, "len(%d) data(%s)", m.length(), hex_bytes(m.data() + 2, count > 0 ? count : 0).c_str());
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
    if (a == 0xFF) return "IDLE";
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
    std::string line = to_text(msg);
    if (!line.empty()) return line;
    switch (msg.opcode()) {
    case OPC_LOCO_F9F12:
        return loco_f9_f12(msg);
    case OPC_LOCO_FUNC_EX:
        if (msg[1] == func_ex_marker) return loco_func_ex(msg);
        break;
    case OPC_MULTI_SENSE:
        return multi_sense(msg);
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
