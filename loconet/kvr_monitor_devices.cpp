// Extended monitor lines of the configuration traffic: SV programming, LNCV,
// duplex radio set-up, third-party programming messages and the long
// acknowledges that answer them.

#include "foundation/kvr_text.h"
#include "loconet/kvr_device_msgs.h"
#include "loconet/kvr_monitor.h"
#include "loconet/kvr_monitor_families.h"
#include "loconet/kvr_monitor_modern.h"

namespace kvr_monitor {
namespace {

// OPC_PEER_XFER, 16 bytes: E5 10 SRC DSTL DSTH PXCT1 D1..D4 PXCT2 D5..D8
// chk; PXCT1/PXCT2 bits 0..3 are bit 7 of D1..D4 and D5..D8.
constexpr int peer_length = 16;
constexpr uint8_t sv1_format = 0x01;
constexpr uint8_t sv2_format = 0x02;
// SV format 1 comes from a PC with SRC 0x50; D1 01 write, 02 read.
constexpr uint8_t sv1_src_pc = 0x50;

// E5 09 find, E5 14 duplex radio, E5 07 and ED 1F third-party programming.
constexpr int find_length = 9;
constexpr int duplex_length = 20;
constexpr int thirdparty_switch_length = 7;
constexpr int thirdparty_prog_length = 31;

struct sv2_name {
    uint8_t cmd;
    const char* name;
};
constexpr sv2_name sv2_names[] = {
    {kvr_sv2::write_one, "write"},       {kvr_sv2::read_one, "read"},
    {kvr_sv2::masked_write, "masked write"}, {kvr_sv2::write_four, "write four"},
    {kvr_sv2::read_four, "read four"},   {kvr_sv2::discover, "discover"},
    {kvr_sv2::identify, "identify"},     {kvr_sv2::change_address, "change address"},
    {kvr_sv2::reconfigure, "reconfigure"},
};

const char* sv2_command_name(uint8_t cmd) {
    for (const sv2_name& row : sv2_names)
        if (row.cmd == (cmd & ~kvr_sv2::reply_bit)) return row.name;
    return "?";
}

void restore_bit7(const kvr_loconet_msg& m, int extra, int first, uint8_t* out) {
    for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(m[first + i] | (((m[extra] >> i) & 1) << 7));
}

std::string sv2_text(const kvr_sv2_msg& v) {
    std::string s;
    string_appendf(s, "SV programming %s%s SRC(%d)", sv2_command_name(v.cmd),
                   kvr_sv2_is_reply(v.cmd) ? " reply" : "", v.src);
    const uint8_t base = v.cmd & ~kvr_sv2::reply_bit;
    if (v.cmd == kvr_sv2::discover) return s;  // every device answers, DST is not read
    string_appendf(s, " DST(%d)", v.dst);
    if (kvr_sv2_carries_identity(v.cmd)) {
        const kvr_sv2_identity id = kvr_sv2_identity_of(v);
        string_appendf(s, " manufacturer(%d) developer(%d) product(%d) serial(%d)", id.manufacturer, id.developer,
                       id.product, id.serial);
        if (v.cmd == (kvr_sv2::change_address | kvr_sv2::reply_bit) && id == kvr_sv2_identity{})
            s += " (reconfigure needed)";
        return s;
    }
    if (base == kvr_sv2::identify || base == kvr_sv2::reconfigure) return s;
    string_appendf(s, " SV#[%d]", v.sv);
    if (base == kvr_sv2::write_four || (base == kvr_sv2::read_four && kvr_sv2_is_reply(v.cmd)))
        return string_appendf(s, " values(%d %d %d %d)", v.d[0], v.d[1], v.d[2], v.d[3]);
    if (base == kvr_sv2::masked_write && !kvr_sv2_is_reply(v.cmd))
        return string_appendf(s, " value(%d) mask(%d)", v.d[0], v.d[1]);
    if (base == kvr_sv2::read_one && !kvr_sv2_is_reply(v.cmd)) return s;
    if (base == kvr_sv2::read_four) return s;
    return string_appendf(s, " value(%d)", v.d[0]);
}

// Format 1: E5 10 SRC DST 01 PXCT1 D1 D2 D3 D4 PXCT2 D5 D6 D7 D8, PXCT1
// high nibble 0, PXCT2 0 or 1. D1 01 write / 02 read, D2 the SV, D3 the
// device's firmware (0 none), D4 the value to write; a device's reply holds
// the value in D6 when D3 is not 0, else in D8.
std::string sv1_text(const kvr_loconet_msg& m) {
    if ((m[5] & 0xF0) != 0 || (m[10] & 0xE0) != 0) return "";
    uint8_t d[8];
    restore_bit7(m, 5, 6, d);
    restore_bit7(m, 10, 11, d + 4);
    if (d[0] != 0x01 && d[0] != 0x02) return "";
    std::string s;
    string_appendf(s, "SV programming (format 1) %s SV#[%d]", d[0] == 0x01 ? "write" : "read", d[1]);
    if (m[2] == sv1_src_pc) {
        if (d[0] == 0x01) string_appendf(s, " value(%d)", d[3]);
    } else {
        string_appendf(s, " reply value(%d)", d[2] != 0 ? d[5] : d[7]);
    }
    return string_appendf(s, " SRC(%d) DST(%d)", m[2], m[3]);
}

// Any other peer transfer: the eight data bytes with bit 7 restored.
std::string peer_raw_text(const kvr_loconet_msg& m) {
    uint8_t data[8];
    restore_bit7(m, 5, 6, data);
    restore_bit7(m, 10, 11, data + 4);
    std::string s;
    return string_appendf(s, "SRC(%02X) DST(%d) data(%s)", m[2], kvr_proto::decode_loco_address(m[4], m[3]),
                          hex_span(data, 8).c_str());
}

std::string module_text(uint16_t v) {
    std::string s;
    return v == kvr_lncv::all ? "all" : string_appendf(s, "%d", v);
}

std::string lncv_text(const kvr_lncv_msg& v) {
    std::string s = "LNCV ";
    if (v.cmd == kvr_lncv::read_reply) {
        string_appendf(s, "reply article(%s) lncv(%d) value(%d)", module_text(v.article).c_str(), v.cv, v.value);
    } else if (v.cmd == kvr_lncv::write) {
        string_appendf(s, "write article(%s) lncv(%d) value(%d)", module_text(v.article).c_str(), v.cv, v.value);
    } else if (v.flags & kvr_lncv::flag_start) {
        string_appendf(s, "start article(%s) module(%s)", module_text(v.article).c_str(), module_text(v.value).c_str());
    } else if (v.flags & kvr_lncv::flag_end) {
        string_appendf(s, "end article(%s) module(%s)", module_text(v.article).c_str(), module_text(v.value).c_str());
    } else {
        string_appendf(s, "read article(%s) lncv(%d) module(%s)", module_text(v.article).c_str(), v.cv,
                       module_text(v.value).c_str());
    }
    return string_appendf(s, " SRC(%d)", v.src);
}

// E5 09 40 AH AL 00 00 00 asks where a loco is; E5 09 00 AH AL ST ZS 00
// answers: ST bit 5 present, section (ST&1F)*8+((ZS&70)>>4)+1, zone ZS bits 3..1.
std::string find_text(const kvr_loconet_msg& m) {
    std::string s;
    const int loco = m[3] * 128 + m[4];
    if (m[2] == 0x40) return string_appendf(s, "find LOCO#[%d] query", loco);
    if (m[2] != 0x00) return "";
    return string_appendf(s, "find LOCO#[%d] %s section(%d) zone(%c)", loco, (m[5] & 0x20) ? "present" : "absent",
                          (m[5] & 0x1F) * 8 + ((m[6] & 0x70) >> 4) + 1, 'A' + ((m[6] >> 1) & 0x07));
}

// Eight characters with bit 7 from the byte before them (bits 0..3): a name
// as the radio keeps it; anything unprintable shows as '?'.
void append_name(std::string& s, const kvr_loconet_msg& m, int high, int first) {
    for (int i = 0; i < 4; ++i) {
        const int c = m[first + i] | (((m[high] >> i) & 1) << 7);
        s += (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '?';
    }
}

// E5 14 GG OP ...: duplex radio set-up. OP 00 set, 08 query, 10 report.
std::string duplex_text(const kvr_loconet_msg& m) {
    const uint8_t gg = m[2], op = m[3];
    const char* what = op == 0x00 ? "set" : op == 0x08 ? "query" : op == 0x10 ? "report" : nullptr;
    if (!what) return "";
    std::string s = "duplex ";
    switch (gg) {
    case 0x01:
        return s + "receiver " + what;
    case 0x02:
        return string_appendf(s, "channel %s channel(%d)", what, m[5] | (m[4] & 1) << 7);
    case 0x03:
        string_appendf(s, "group name %s '", what);
        append_name(s, m, 4, 5);
        append_name(s, m, 9, 10);
        s += '\'';
        if (op == 0x10) string_appendf(s, " channel(%d) id(%d)", m[17], m[18]);
        return s;
    case 0x04:
        return string_appendf(s, "group id %s id(%d)", what, m[5] | (m[4] & 1) << 7);
    case 0x07: {
        string_appendf(s, "password %s '", what);
        for (int i = 5; i <= 8; ++i) s += (m[i] >= 0x30 && m[i] <= 0x3C) ? "0123456789ABC"[m[i] - 0x30] : '?';
        return s + '\'';
    }
    case 0x08: {
        uint8_t serial[4];
        restore_bit7(m, 4, 5, serial);
        return string_appendf(s, "ping %s serial(%s)", what, hex_span(serial, 4).c_str());
    }
    case 0x0F:
        if (op == 0x08 && m[11] == 1) return s + "identity query all";
        if (op != 0x10) return s + "identity " + what;
        return string_appendf(s, "identity report maker(%d) device type(%d) sub-device(%d) firmware(%d)", m[4], m[5],
                              m[6], m[8]);
    case 0x10:
        if (op == 0x10) return string_appendf(s, "channel scan report channel(%d) level(%d)", m[5], m[6] + (m[4] & 2) * 64);
        return string_appendf(s, "channel scan %s channel(%d)", what, m[5]);
    default:
        return "";
    }
}

// ED 1F 01 49 42 ...: programming track when b6 is not 5E (b10 70, b11 00,
// b15 10), main track when it is.
std::string thirdparty_prog_text(const kvr_loconet_msg& m) {
    if (m[2] != 0x01 || m[3] != 0x49 || m[4] != 0x42) return "";
    std::string s = "third-party programming ";
    if (m[6] == 0x5E) {
        const int adr = m[8] * 256 + m[7] + ((m[5] & 0x02) ? 128 : 0);
        const int cv = m[11] * 256 + m[9] + ((m[5] & 0x08) ? 128 : 0);
        return string_appendf(s, "main track write LOCO#[%d] cv(%d) value(%d)", adr, cv,
                              m[12] + ((m[10] & 0x02) ? 128 : 0));
    }
    if (m[10] != 0x70 || m[11] != 0x00 || m[15] != 0x10) return "";
    static constexpr struct {
        uint8_t code;
        const char* name;
        bool write;
    } modes[] = {{0x6C, "register read", false}, {0x6D, "register write", true}, {0x6E, "paged read", false},
                 {0x6F, "paged write", true},    {0x70, "direct read", false},   {0x72, "direct read", false},
                 {0x71, "direct write", true}};
    const int cv = m[8] * 256 + m[7] + ((m[5] & 0x02) ? 128 : 0);
    for (const auto& mode : modes) {
        if (mode.code != m[6]) continue;
        string_appendf(s, "track %s cv(%d)", mode.name, cv);
        if (mode.write) string_appendf(s, " value(%d)", m[9] + ((m[5] & 0x08) ? 128 : 0));
        return s;
    }
    return "";
}

}  // namespace

std::string peer_family_text(const kvr_loconet_msg& m) {
    std::string s = ext_head("OPC_PEER_XFER");
    if (const auto lncv = kvr_parse_lncv(m)) return s + lncv_text(*lncv);
    if (m.length() == find_length && m[1] == find_length) {
        const std::string t = find_text(m);
        if (!t.empty()) return s + t;
    }
    if (m.length() == duplex_length && m[1] == duplex_length) {
        const std::string t = duplex_text(m);
        if (!t.empty()) return s + t;
    }
    if (m.length() == thirdparty_switch_length && m[2] == 0x01 && m[3] == 0x49 && m[4] == 0x42 &&
        (m[5] == 0x41 || m[5] == 0x40))
        return s + "third-party programming track " + (m[5] == 0x41 ? "on" : "off");
    if (m.length() != peer_length) return "";
    if (const auto sv2 = kvr_parse_sv2(m)) return s + sv2_text(*sv2);
    // Byte 4 = 2 but a check fails: a receiver ignores it, so it is shown raw.
    if (m[4] == sv2_format) return s + "not SV2 data(" + hex_span(m.data() + 2, peer_length - 3) + ")";
    if (m[4] == sv1_format) {
        const std::string t = sv1_text(m);
        if (!t.empty()) return s + t;
    }
    return s + peer_raw_text(m);
}

std::string imm_family_text(const kvr_loconet_msg& m) {
    std::string s = ext_head("OPC_IMM_PACKET");
    if (const auto lncv = kvr_parse_lncv(m)) return s + lncv_text(*lncv);
    if (m.length() == thirdparty_prog_length && m[1] == thirdparty_prog_length) {
        const std::string t = thirdparty_prog_text(m);
        if (!t.empty()) return s + t;
    }
    return "";
}

namespace {

// What a long acknowledge's code says, by the acknowledged opcode (bit 7
// cleared); null where there is nothing to add to the monitor's text.
const char* ack_meaning(uint8_t lopc, uint8_t code) {
    switch (lopc) {
    case 0x3E:  // OPC_EXP_REQ_SLOT
        return code == 0 ? "expanded slots not supported" : nullptr;
    case 0x66:  // OPC_EXP_RD_SL_DATA
        return code == 0 ? "slot not supported" : nullptr;
    case 0x3B:  // OPC_RQ_SL_DATA: some stations refuse the option-switch read so
        return code == 0 ? "refused" : nullptr;
    case 0x6F:  // a slot write (option switches too) is taken with 7F
        return code == 0x7F ? "slot write: accept" : nullptr;
    case 0x6D:  // immediate packet, LNCV write, third-party programming
        switch (code) {
        case 0x7F: return "accept";
        case 0x00: return "refused: buffer full or lncv error";
        case 0x01: return "accepted (programming) or lncv unsupported";
        case 0x02: return "lncv read-only";
        case 0x03: return "lncv out of range";
        default: return nullptr;
        }
    case 0x65:  // SV programming
        return code == 0x2B ? "sv not implemented" : code == 0x2C ? "sv write failed" : code == 0x7F ? "accept" : nullptr;
    default:
        return nullptr;
    }
}

const char* extended_opcode_name(uint8_t opcode) {
    if (const char* name = modern_opcode_name(opcode)) return name;
    switch (opcode) {
    case OPC_LOCO_F9F12: return "OPC_LOCO_F9F12";
    case OPC_MULTI_SENSE: return "OPC_MULTI_SENSE";
    case OPC_MULTI_SENSE_LONG: return "OPC_MULTI_SENSE_LONG";
    case OPC_REPORT_E4: return "OPC_REPORT_E4";
    default: return nullptr;
    }
}

}  // namespace

std::string long_ack_text(const kvr_loconet_msg& m, const std::string& line) {
    const uint8_t lopc = m[1], code = m[2];
    std::string s = ext_head("OPC_LONG_ACK");
    // B4 50 vv and B4 00 vv answer a board's option-switch access: a read's
    // vv bit 5 is the switch, a write's vv is 7F.
    if (const auto board = kvr_parse_board_opsw_answer(m)) {
        string_appendf(s, "board opsw ACK(%02X) ", code);
        return s + (board->write_done ? "accept" : board->closed ? "closed" : "thrown");
    }
    const char* meaning = ack_meaning(lopc, code);
    // 7F takes a request; where the monitor has its own words for the code
    // they already say so.
    std::string code_hex;
    string_appendf(code_hex, "%02X", code);
    if (!meaning && code == 0x7F && ack_text(lopc, code) == code_hex) meaning = "accept";
    if (kvr_opcode_name(static_cast<uint8_t>(lopc | 0x80))[0] != '?') {
        return meaning ? line + " " + meaning : line;
    }
    const char* name = extended_opcode_name(static_cast<uint8_t>(lopc | 0x80));
    string_appendf(s, "%s ACK(%02X)", name ? name : "?", code);
    return meaning ? s + " " + meaning : s;
}

}  // namespace kvr_monitor
