// Extended monitor lines of detector traffic: transponding presence,
// RailCom, the boards' power and type reports and option switches, the long
// transponding report and the E4 receiver reports.

#include "foundation/kvr_text.h"
#include "loconet/kvr_device_msgs.h"
#include "loconet/kvr_monitor_families.h"

namespace kvr_monitor {
namespace {

// OPC_MULTI_SENSE byte 1, bits 6..5: what the report is about.
constexpr uint8_t sense_type_mask = 0x60;
constexpr uint8_t sense_absent = 0x00;
constexpr uint8_t sense_railcom = 0x40;
constexpr uint8_t sense_board = 0x60;
// A locomotive address whose high byte is this is a short address.
constexpr uint8_t sense_short_address = 0x7D;

// E0 09 TT ZZ AH AL D6 D7 chk.
constexpr int sense_long_length = 9;
// E4 08 (receiver reports), E4 0A (security element), E4 09 (signal state).
constexpr int e4_report_length = 8;
constexpr int e4_security_length = 10;
constexpr int e4_signal_length = 9;

int loco_of(uint8_t ah, uint8_t al) { return ah == sense_short_address ? al : ah * 128 + al; }

// "present SECTION#[10] LOCO#[3]": reporter (b1&1F)*128+ZZ+1. With ZZ bit 0
// clear a 16-input detector adds its section and zone A..H.
std::string presence_text(uint8_t b1, uint8_t zz, uint8_t ah, uint8_t al, bool with_zone) {
    std::string s;
    string_appendf(s, "%s SECTION#[%d] LOCO#[%d]", (b1 & sense_type_mask) == sense_absent ? "absent" : "present",
                   (b1 & 0x1F) * 128 + zz + 1, loco_of(ah, al));
    if (with_zone && !(zz & 1))
        string_appendf(s, " detector section(%d) zone(%c)", 1 + zz / 16 + (b1 & 0x1F) * 8, 'A' + ((zz >> 1) & 7));
    return s;
}

// RailCom app:dyn: D0 0x40|id<<1|v7 VAL AH AL.
std::string railcom_text(const kvr_loconet_msg& m) {
    const int id = (m[1] & 0x1E) >> 1;
    std::string s;
    string_appendf(s, "railcom LOCO#[%d] dyn id(%d) value(%d)", loco_of(m[3], m[4]), id, m[2] + (m[1] & 1) * 128);
    if (id == 0) s += " speed";
    if (id == 7) s += " quality";
    return s;
}

// Sub-district n of a 4-district power manager: b3 bit n-1 set auto-reversing,
// clear circuit breaker; b4 bit n-1 reversed / shorted.
std::string power_manager_text(const kvr_loconet_msg& m, int board) {
    std::string s;
    string_appendf(s, "power manager board(%d)", board);
    for (int n = 0; n < 4; ++n) {
        const bool reverser = (m[3] >> n) & 1, tripped = (m[4] >> n) & 1;
        string_appendf(s, " %d:%s %s", n + 1, reverser ? "reverser" : "breaker",
                       tripped ? (reverser ? "reversed" : "shorted") : "normal");
    }
    return s;
}

std::string bit_list(int bits, int first) {
    std::string s;
    for (int n = 0; n < 4; ++n)
        if ((bits >> n) & 1) string_appendf(s, " %d", first + n);
    return s;
}

// D0 b1 b2 b3 b4 with b1 & 0x60 = 0x60: board b2 + 1 + (b1&1)*128.
std::string board_text(const kvr_loconet_msg& m) {
    if (const auto opsw = kvr_parse_board_opsw(m)) {
        std::string s;
        if (!opsw->write && opsw->type == kvr_board::power_manager && opsw->board == 1 && m[4] == 0)
            return "board query all: every board reports its type";
        string_appendf(s, "board opsw %s %s board(%d) opsw(%d)", opsw->write ? "write" : "read",
                       kvr_board_type_name(opsw->type), opsw->board, opsw->opsw);
        if (opsw->write) s += opsw->closed ? " closed" : " thrown";
        return s;
    }
    const int board = m[2] + 1 + (m[1] & 1) * 128;
    std::string s;
    switch (m[3] & 0xF0) {
    case 0x00:
        string_appendf(s, "board device type report %s board(%d)", kvr_board_type_name(m[3] & 7), board);
        return m[4] ? string_appendf(s, " version(%d)", m[4]) : s + " version not reported";
    case 0x10:
    case 0x30:
        return power_manager_text(m, board);
    case 0x20: {
        string_appendf(s, "detector power board(%d)", board);
        const std::string shorted = bit_list(m[4] & 0x0F, 1) + bit_list(m[3] & 0x0F, 5);
        return shorted.empty() ? s + " all normal" : s + " shorted:" + shorted;
    }
    case 0x40:
    case 0x50: {
        // The unit's firmware also reports as unit + 4.
        const bool reverser = m[3] & 0x10, tripped = m[3] & 0x08;
        return string_appendf(s, "unit(%d) %s %s", m[2] * 8 + (m[3] & 7) + 1, reverser ? "reverser" : "breaker",
                              tripped ? (reverser ? "reversed" : "shorted") : "normal");
    }
    default:
        return s + "board data(" + hex_span(m.data() + 1, 4) + ")";
    }
}

// E4 08 b2 b3 b4 b5 b6: the sources disagree; this reading fits every public
// example. b3 bit 6: a loco passing (b3 bit 5 north/south); else b2 1: a
// block; else b3 & 0x60 = 0x20: a speed report; else the transponder
// receiver's report, category (b2&3)+1, sensor (b3&1F)*128+b4, loco b5*128+b6.
std::string receiver_report_text(const kvr_loconet_msg& m) {
    const int sensor = (m[3] & 0x1F) * 128 + m[4];
    const int value = m[5] * 128 + m[6];
    std::string s;
    if (m[3] & 0x40)
        return string_appendf(s, "loco passing sensor(%d) LOCO#[%d] category(%d) %s", sensor, value, m[2] + 1,
                              (m[3] & 0x20) ? "south" : "north");
    if (m[2] == 1) return string_appendf(s, "block unit(%d) %s", m[4], (m[6] & 1) ? "occupied" : "free");
    if ((m[3] & 0x60) == 0x20) return string_appendf(s, "speed report sensor(%d) speed(%d)", sensor, value);
    return string_appendf(s, "receiver category(%d) sensor(%d) LOCO#[%d]", (m[2] & 3) + 1, sensor, value);
}

// E4 0A b2 b3 b4 S1 S2 AX XA: security element b2*128+b3; S1 bits 5..4 the
// reservation, bit 0 occupied; S2 bit 0 thrown.
std::string security_text(const kvr_loconet_msg& m) {
    static constexpr const char* reservations[] = {"not reserved", "reserved AX", "reserved XA", "reserved both"};
    std::string s;
    return string_appendf(s, "security element(%d) %s %s %s AX(%d) XA(%d)", m[2] * 128 + m[3],
                          (m[5] & 1) ? "occupied" : "free", reservations[(m[5] >> 4) & 3],
                          (m[6] & 1) ? "thrown" : "closed", m[7], m[8]);
}

}  // namespace

std::string multi_sense_text(const kvr_loconet_msg& m) {
    if (m.length() != 6) return "";
    const std::string s = ext_head("OPC_MULTI_SENSE");
    switch (m[1] & sense_type_mask) {
    case sense_board:
        return s + board_text(m);
    case sense_railcom:
        return s + railcom_text(m);
    default:
        return s + presence_text(m[1], m[2], m[3], m[4], true);
    }
}

// E0 09 TT ZZ AH AL D6 D7: TT & 0x60 absent, present, present with RailCom;
// D6 bit 6 the direction (1 west, 0 east), bits 5..1 the DynID, bit 0 the
// value's bit 7, D7 its low bits.
std::string multi_sense_long_text(const kvr_loconet_msg& m) {
    if (m.length() != sense_long_length) return "";
    std::string s = ext_head("OPC_MULTI_SENSE");
    const uint8_t tt = m[2], d6 = m[6], d7 = m[7];
    if ((tt & sense_type_mask) == sense_board)
        return s + "type(3) data(" + hex_span(m.data() + 2, 6) + ")";
    s += presence_text(tt, m[3], m[4], m[5], false);
    s += (d6 & 0x40) ? " west" : " east";
    if ((tt & sense_type_mask) == sense_railcom)
        return string_appendf(s, " railcom dyn id(%d) value(%d)", (d6 >> 1) & 0x1F, (d6 & 1) * 128 + d7);
    if ((d6 & 0x3F) || d7) string_appendf(s, " unexpected data(%02X %02X)", d6, d7);
    return s;
}

std::string report_e4_text(const kvr_loconet_msg& m) {
    std::string s = ext_head("OPC_REPORT_E4");
    if (m.length() == e4_report_length && m[1] == e4_report_length) return s + receiver_report_text(m);
    if (m.length() == e4_security_length && m[1] == e4_security_length) return s + security_text(m);
    if (m.length() == e4_signal_length && m[1] == e4_signal_length && m[4] == 0)
        return s + "signal state report data(" + hex_span(m.data() + 2, 6) + ")";
    const int count = m.length() - 3;
    return string_appendf(s, "len(%d) data(%s)", m.length(), hex_span(m.data() + 2, count > 0 ? count : 0).c_str());
}

}  // namespace kvr_monitor
