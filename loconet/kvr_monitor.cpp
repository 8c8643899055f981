#include "loconet/kvr_monitor.h"

#include <iterator>

#include "foundation/kvr_text.h"

namespace kvr_monitor {
namespace {

// A flag bit and the texts shown when it is set or clear.
struct bit_text {
    uint8_t mask;
    const char* set;
    const char* clear;
};

const char* pick(const bit_text& t, uint8_t value) { return (value & t.mask) ? t.set : t.clear; }

constexpr bit_text closed_or_thrown{0x20, "Closed/Green", "Thrown/Red"};
constexpr bit_text switch_on_off{0x10, "on", "off"};
// Report texts are padded so that both choices have the same width.
constexpr bit_text report_closed{0x20, "on ", "off"};
constexpr bit_text report_thrown{0x10, "on ", "off"};
constexpr bit_text report_aux{0x20, "noaux", "aux  "};
constexpr bit_text report_level{0x10, "on ", "off"};
// DIRF bit 5 set is reverse (see kvr_loconet_proto.h).
constexpr bit_text direction_text{kvr_proto::dirf_reverse, "rev", "fwd"};
constexpr bit_text consist_text{0x40, "Consist Mid", ""};

// TRK bits 3..0, printed from bit 3 down. The busy text carries its own comma
// because it disappears entirely when the programming track is free.
constexpr bit_text track_bits[] = {
    {0x08, "pgm_trk is busy,", ""},
    {0x04, "loconet1.1 Master", "DT200"},
    {0x02, "idle", "Emerg stop"},
    {0x01, "power on", "power off"},
};

// STAT bits 2..0: the decoder's speed-step mode.
constexpr const char* speed_step_texts[] = {
    "28spd",
    "28spd. generate trinary pakets for this mobile adr",
    "14spd",
    "128spd",
    "28spd adv.",
    "",
    "",
    "128spd adv.",
};
static_assert(std::size(speed_step_texts) == 8);

// STAT bits 5..4: slot usage.
constexpr const char* slot_usage_texts[] = {"FREE SLOT", "COMMON", "IDLE", "IN_USE"};
static_assert(std::size(slot_usage_texts) == 4);

// Long-acknowledge codes by the acknowledged opcode (bit 7 cleared). A row
// matches when (code & mask) == value; the first matching row wins.
struct ack_row {
    uint8_t lopc;
    uint8_t mask;
    uint8_t value;
    const char* text;
};

constexpr ack_row ack_texts[] = {
    {0x38, 0xFF, 0x00, "invalid UNLINK!!!"},
    {0x39, 0xFF, 0x00, "invalid LINK!!!"},
    {0x3A, 0xFF, 0x00, "illegal MOVE!!!"},
    {0x3C, 0x20, 0x20, "sw is 'Closed/Green'"},
    {0x3C, 0x20, 0x00, "sw is 'Thrown/Red'"},
    {0x3D, 0xFF, 0x00, "FIFO is FULL,command Rejected!!!"},
    {0x3D, 0xFF, 0x7F, "Command Accepted!!!"},
    {0x3F, 0xFF, 0x00, "NO FREE SLOT!!!"},
    {0x3F, 0x00, 0x00, "FAIL!!!"},
    {0x6F, 0xFF, 0x7F, "Function Not Implementrd no reply"},
    {0x6F, 0xFF, 0x00, "Programming Busy task aborted noreply"},
    {0x6F, 0xFF, 0x01, "Task accepted reply at completion"},
    {0x6F, 0xFF, 0x40, "Task accepted blind no reply at completion"},
};

// Programmer commands by PCMD & 0x7C (bit 6 write, bit 5 byte mode, bits 4..3
// TY1/TY0, bit 2 operations mode).
struct pgm_command_row {
    uint8_t value;
    const char* name;
};

constexpr pgm_command_row pgm_commands[] = {
    {0x04, "OPS Bit Read no feedback"},
    {0x08, "Direct Bit Read"},
    {0x0C, "OPS Bit Read"},
    {0x20, "Paged Read"},
    {0x24, "OPS Read no feedback"},
    {0x28, "Direct Read"},
    {0x2C, "OPS Read"},
    {0x44, "OPS Bit Write no feedback"},
    {0x48, "Direct Bit Write"},
    {0x4C, "OPS Bit Write"},
    {0x60, "Paged Write"},
    {0x64, "OPS Write no feedback"},
    {0x68, "Direct Write"},
    {0x6C, "OPS Write"},
};

// PSTAT error bits, most serious first: a short text for every reply and a
// long one that only slot reads (the programmer's answers) show.
struct pgm_status_row {
    uint8_t mask;
    const char* short_text;
    const char* long_text;
};

constexpr pgm_status_row pgm_status_texts[] = {
    {0x08, "User Aborted", "User Aborted this command"},
    {0x04, "Fail to Read", "Failed to detect READ compare ack res from decoder"},
    {0x02, "No Write ACK", "No write ack res from decoder"},
    {0x01, "No Decoder Detected", "Service mode programming task empty No decoder detected"},
};

// Switch, sensor and report addresses: A holds address bits 6..0, B bits
// 10..7 in its low nibble. Shown counted from 1, and as board (address / 4,
// from 0) and output on the board (1..4).
struct switch_address {
    int number;
    int board;
    int output;
};

switch_address address_of(uint8_t a, uint8_t b) {
    return {(a & 0x7F) + 1 + (b & 0x0F) * 128, ((a >> 2) & 0x1F) + (b & 0x0F) * 32, (a & 3) + 1};
}

int bit(uint8_t value, int n) { return (value >> n) & 1; }

// The most serious error PSTAT reports; the empty row when it reports none.
const pgm_status_row& pgm_status_of(uint8_t pstat) {
    static constexpr pgm_status_row none{0, "", ""};
    for (const auto& row : pgm_status_texts) {
        if (pstat & row.mask) return row;
    }
    return none;
}

// "OPC_LOCO_SPD    :" - the name padded to 16 characters, then the colon.
std::string head(uint8_t opcode) {
    std::string s;
    string_appendf(s, "%-16s:", kvr_opcode_name(opcode));
    return s;
}

std::string slot_message_text(const kvr_loconet_msg& msg) {
    std::string s = head(msg.opcode());
    const uint8_t slot = msg[2];
    std::string body;
    if (slot == kvr_slot_programmer) {
        body = pgm_task_text(msg);
    } else if (slot == kvr_slot_fast_clock) {
        body = fast_clock_text(msg);
    } else {
        body = slot_text(msg);
    }
    return string_appendf(s, "SLOT#[%d] %s", slot, body.c_str());
}

}  // namespace

std::string switch_text(uint8_t a, uint8_t b) {
    const switch_address adr = address_of(a, b);
    std::string s;
    return string_appendf(s, "SW#[%d (%d:%d)] for %s(%s)", adr.number, adr.board, adr.output,
                          pick(closed_or_thrown, b), pick(switch_on_off, b));
}

std::string switch_report_text(uint8_t a, uint8_t b) {
    const switch_address adr = address_of(a, b);
    std::string s;
    if (b & 0x40) {
        return string_appendf(s, "SW#[%d (%d:%d)] for (%s %s)", adr.number, adr.board, adr.output,
                              pick(report_aux, b), pick(report_level, b));
    }
    return string_appendf(s, "SW#[%d (%d:%d)] for closed(%s) thrown(%s))", adr.number, adr.board,
                          adr.output, pick(report_closed, b), pick(report_thrown, b));
}

std::string input_text(uint8_t a, uint8_t b) {
    const switch_address adr = address_of(a, b);
    std::string s;
    return string_appendf(s, "INPUT#[%d (%d:%d)] for (%s %s)", adr.number, adr.board, adr.output,
                          pick(report_aux, b), pick(report_level, b));
}

std::string dirf_text(uint8_t dirf) {
    std::string s;
    return string_appendf(s, "DIR(%s) F0-4(%d%d%d%d%d)", pick(direction_text, dirf), bit(dirf, 4),
                          bit(dirf, 0), bit(dirf, 1), bit(dirf, 2), bit(dirf, 3));
}

std::string snd_text(uint8_t snd) {
    std::string s;
    return string_appendf(s, "F5-8(%d%d%d%d)", bit(snd, 0), bit(snd, 1), bit(snd, 2), bit(snd, 3));
}

std::string slot_status_text(uint8_t stat) {
    std::string s;
    return string_appendf(s, " %s %s %s", pick(consist_text, stat), speed_step_texts[stat & 7],
                          slot_usage_texts[(stat >> 4) & 3]);
}

std::string ack_text(uint8_t lopc, uint8_t code) {
    bool known_opcode = false;
    for (const auto& row : ack_texts) {
        if (row.lopc != lopc) continue;
        known_opcode = true;
        if ((code & row.mask) == row.value) return row.text;
    }
    if (known_opcode) return "";
    std::string s;
    return string_appendf(s, "%02X", code);
}

std::string track_text(uint8_t trk) {
    std::string s;
    return string_appendf(s, "TRK (%s%s,%s,%s)", pick(track_bits[0], trk), pick(track_bits[1], trk),
                          pick(track_bits[2], trk), pick(track_bits[3], trk));
}

std::string slot_text(const kvr_loconet_msg& msg) {
    std::string s;
    return string_appendf(s, "%s adr(%3d) spd(%2d) %s %s id(%02X/%02X) %s",
                          slot_status_text(msg[3]).c_str(), msg.slot_address(), msg[5],
                          dirf_text(msg.dirf()).c_str(), snd_text(msg.snd()).c_str(), msg[11],
                          msg[12], track_text(msg[7]).c_str());
}

std::string pgm_task_text(const kvr_loconet_msg& msg) {
    const uint8_t pcmd = msg[3];
    const pgm_status_row& status = pgm_status_of(msg.pgm_status());
    const uint8_t cvh = msg[8];
    const int adr = (msg[5] & 0x7F) * 128 + (msg[6] & 0x7F);
    const int cv = (bit(cvh, 5) * 4 + bit(cvh, 4) * 2 + bit(cvh, 0)) * 128 + (msg[9] & 0x7F) + 1;
    // Only the programmer's answer carries a meaningful status; a request
    // being written to slot 124 shows just the short form.
    const char* long_status = msg.opcode() == OPC_SL_RD_DATA ? status.long_text : "";
    std::string s;
    return string_appendf(s, "PGM %s(%s) %s %s adr(%3d) cv#(%3d) data(%3d) %s ",
                          (pcmd & 0x40) ? "write" : "read", pgm_command_name(pcmd).c_str(),
                          status.short_text, long_status, adr, cv, msg.pgm_data(),
                          track_text(msg[7]).c_str());
}

std::string pgm_command_name(uint8_t pcmd) {
    for (const auto& row : pgm_commands) {
        if (row.value == (pcmd & 0x7C)) return row.name;
    }
    if ((pcmd & 0x5C) == 0x10) return "Physical Register Read";
    if ((pcmd & 0x5C) == 0x50) return "Physical Register Write";
    if ((pcmd & 0x1C) == 0x18) return "Service Track Reserved Function";
    return "Unknown Function";
}

// Hours and minutes travel as counts up to the next wrap (the command
// station counts them upwards towards 128), hence the complements.
std::string fast_clock_text(const kvr_loconet_msg& msg) {
    const int hrs24 = (24 - (((256 - msg[8]) & 0x7F) % 24)) % 24;
    const int mins = (60 - (((255 - msg[6]) & 0x7F) % 60)) % 60;
    std::string s;
    return string_appendf(s,
                          "FAST CLOCK rate(%d:1) days(%2d) hrs24(%02d) min(%02d) sub_minute(%02d.%02d) "
                          "clk_ctrl(%02Xh) id1(%02Xh) id2(%02Xh) %s",
                          msg[3], msg[9], hrs24, mins, msg[5], msg[4], msg[10], msg[11], msg[12],
                          track_text(msg[7]).c_str());
}

std::string to_text(const kvr_loconet_msg& msg) {
    const uint8_t op = msg.opcode();
    const uint8_t b1 = msg[1];
    const uint8_t b2 = msg[2];
    std::string s;
    switch (op) {
    case OPC_BUSY:
    case OPC_GPOFF:
    case OPC_GPON:
    case OPC_IDLE:
        return string_appendf(s, "%s:", kvr_opcode_name(op));
    case OPC_LOCO_SPD:
        s = head(op);
        return string_appendf(s, "SLOT#[%d] spd(%d)", b1, b2);
    case OPC_LOCO_DIRF:
    case OPC_CONSIST_FUNC:
        s = head(op);
        return string_appendf(s, "SLOT#[%d] %s", b1, dirf_text(b2).c_str());
    case OPC_LOCO_SND:
        s = head(op);
        return string_appendf(s, "SLOT#[%d] %s", b1, snd_text(b2).c_str());
    case OPC_SW_REQ:
    case OPC_SW_STATE:
        return head(op) + switch_text(b1, b2);
    case OPC_SW_ACK:
        return head(op) + "REQ " + switch_text(b1, b2);
    case OPC_SW_REP:
        return head(op) + switch_report_text(b1, b2);
    case OPC_INPUT_REP:
        return head(op) + input_text(b1, b2);
    case OPC_LONG_ACK:
        s = head(op);
        return string_appendf(s, "%s ACK(%s)", kvr_opcode_name(static_cast<uint8_t>(b1 + 128)),
                              ack_text(b1, b2).c_str());
    case OPC_SLOT_STAT1:
        s = head(op);
        string_appendf(s, "SLOT#[%d]", b1);
        return s + slot_status_text(b2);
    case OPC_UNLINK_SLOTS:
        s = head(op);
        return string_appendf(s, "SLOT#[%d] from [%d]", b1, b2);
    case OPC_LINK_SLOTS:
    case OPC_MOVE_SLOTS:
        s = head(op);
        return string_appendf(s, "SLOT#[%d] to [%d]", b1, b2);
    case OPC_RQ_SL_DATA:
        s = head(op);
        return string_appendf(s, "SLOT#[%d]", b1);
    case OPC_LOCO_ADR:
        s = head(op);
        return string_appendf(s, "REQ LOCO#[%d]", (b1 & 0x7F) * 128 + (b2 & 0x7F));
    case OPC_SL_RD_DATA:
    case OPC_WR_SL_DATA:
        return slot_message_text(msg);
    default:
        return "";
    }
}

}  // namespace kvr_monitor
