#include "loconet/kvr_monitor.h"

#include <iterator>

#include "foundation/kvr_text.h"
#include "loconet/kvr_monitor_modern.h"

namespace kvr_monitor {
namespace {

using namespace kvr_proto;

// OPC_RQ_SL_DATA byte 2: bit 6 asks for the expanded reply, bits 2..0 are
// the slot's bits 9..7.
constexpr uint8_t expanded_request_bits = 0x47;

// A flag bit and the texts shown when it is set or clear.
struct bit_text {
    uint8_t mask;
    const char* set;
    const char* clear;
};

const char* pick(const bit_text& t, uint8_t value) { return (value & t.mask) ? t.set : t.clear; }

constexpr bit_text closed_or_thrown{sw2_closed, "Closed/Green", "Thrown/Red"};
constexpr bit_text switch_on_off{sw2_on, "on", "off"};
// Report texts are padded so that both choices have the same width. Input
// reports and the input form of switch reports share the I and L bits.
constexpr bit_text report_closed{sn2_closed_on, "on ", "off"};
constexpr bit_text report_thrown{sn2_thrown_on, "on ", "off"};
constexpr bit_text report_aux{in2_switch_input, "noaux", "aux  "};
constexpr bit_text report_level{in2_level, "on ", "off"};
constexpr bit_text direction_text{dirf_reverse, "rev", "fwd"};
constexpr bit_text consist_text{stat_consist, "Consist Mid", ""};

// The protocol's consist state, indexed by STAT bit 6 (up-link) times 2 plus
// bit 3 (down-link).
constexpr uint8_t stat_consist_down = 0x08;
constexpr const char* consist_states[] = {"", "Consist Top", "Consist Sub", "Consist Mid"};
static_assert(std::size(consist_states) == 4);

const char* consist_of(uint8_t stat, consist_reading consist) {
    if (consist == consist_reading::monitor) return pick(consist_text, stat);
    return consist_states[((stat & stat_consist) ? 2 : 0) + ((stat & stat_consist_down) ? 1 : 0)];
}

// TRK bits 3..0, printed from bit 3 down. The busy text carries its own comma
// because it disappears entirely when the programming track is free.
constexpr bit_text track_bits[] = {
    {trk_prog_busy, "pgm_trk is busy,", ""},
    {trk_loconet_1_1, "loconet1.1 Master", "DT200"},
    {trk_running, "idle", "Emerg stop"},
    {trk_power_on, "power on", "power off"},
};

// STAT bits 2..0: the decoder's speed-step mode, by code.
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
    {ack_opcode(OPC_UNLINK_SLOTS), 0xFF, ack_refused, "invalid UNLINK!!!"},
    {ack_opcode(OPC_LINK_SLOTS), 0xFF, ack_refused, "invalid LINK!!!"},
    {ack_opcode(OPC_MOVE_SLOTS), 0xFF, ack_refused, "illegal MOVE!!!"},
    {ack_opcode(OPC_SW_STATE), ack_switch_closed, ack_switch_closed, "sw is 'Closed/Green'"},
    {ack_opcode(OPC_SW_STATE), ack_switch_closed, 0x00, "sw is 'Thrown/Red'"},
    {ack_opcode(OPC_SW_ACK), 0xFF, ack_refused, "FIFO is FULL,command Rejected!!!"},
    {ack_opcode(OPC_SW_ACK), 0xFF, ack_ok, "Command Accepted!!!"},
    {ack_opcode(OPC_LOCO_ADR), 0xFF, ack_refused, "NO FREE SLOT!!!"},
    {ack_opcode(OPC_LOCO_ADR), 0x00, 0x00, "FAIL!!!"},
    {ack_opcode(OPC_WR_SL_DATA), 0xFF, lack_not_implemented, "Function Not Implementrd no reply"},
    {ack_opcode(OPC_WR_SL_DATA), 0xFF, lack_busy, "Programming Busy task aborted noreply"},
    {ack_opcode(OPC_WR_SL_DATA), 0xFF, lack_accepted, "Task accepted reply at completion"},
    {ack_opcode(OPC_WR_SL_DATA), 0xFF, lack_blind, "Task accepted blind no reply at completion"},
};

// Programmer commands by the command bits of PCMD.
struct pgm_command_row {
    uint8_t value;
    const char* name;
};

constexpr pgm_command_row pgm_commands[] = {
    {pcmd_ops_bit_read, "OPS Bit Read no feedback"},
    {pcmd_direct_bit_read, "Direct Bit Read"},
    {pcmd_ops_bit_read_feedback, "OPS Bit Read"},
    {pcmd_paged_read, "Paged Read"},
    {pcmd_ops_read, "OPS Read no feedback"},
    {pcmd_direct_read, "Direct Read"},
    {pcmd_ops_read_feedback, "OPS Read"},
    {pcmd_ops_bit_write, "OPS Bit Write no feedback"},
    {pcmd_direct_bit_write, "Direct Bit Write"},
    {pcmd_ops_bit_write_feedback, "OPS Bit Write"},
    {pcmd_paged_write, "Paged Write"},
    {pcmd_ops_write, "OPS Write no feedback"},
    {pcmd_direct_write, "Direct Write"},
    {pcmd_ops_write_feedback, "OPS Write"},
};

// PSTAT error bits, most serious first: a short text for every reply and a
// long one that only slot reads (the programmer's answers) show.
struct pgm_status_row {
    uint8_t mask;
    const char* short_text;
    const char* long_text;
};

constexpr pgm_status_row pgm_status_texts[] = {
    {pstat_user_abort, "User Aborted", "User Aborted this command"},
    {pstat_no_read_ack, "Fail to Read", "Failed to detect READ compare ack res from decoder"},
    {pstat_no_write_ack, "No Write ACK", "No write ack res from decoder"},
    {pstat_no_decoder, "No Decoder Detected", "Service mode programming task empty No decoder detected"},
};

// Switch, sensor and report addresses share one packing (SW1/SW2). Shown
// counted from 1, and as board (address / 4, from 0) and output on the
// board (1..4).
struct switch_address {
    int number;
    int board;
    int output;
};

switch_address address_of(uint8_t a, uint8_t b) {
    const int number = static_cast<int>(decode_switch_number(a, b));
    return {number, (number - 1) / 4, (number - 1) % 4 + 1};
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

std::string slot_message_text(const kvr_loconet_msg& msg, consist_reading consist) {
    std::string s = head(msg.opcode());
    const uint8_t slot = msg[2];
    std::string body;
    if (slot == kvr_slot_programmer) {
        body = pgm_task_text(msg);
    } else if (slot == kvr_slot_fast_clock) {
        body = fast_clock_text(msg);
    } else {
        body = slot_text(msg, consist);
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
    if (b & sn2_input) {
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

std::string slot_status_text(uint8_t stat, consist_reading consist) {
    std::string s;
    return string_appendf(s, " %s %s %s", consist_of(stat, consist), speed_step_texts[stat & stat_steps_mask],
                          slot_usage_texts[(stat & stat_usage_mask) >> 4]);
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

std::string slot_text(const kvr_loconet_msg& msg, consist_reading consist) {
    std::string s;
    return string_appendf(s, "%s adr(%3d) spd(%2d) %s %s id(%02X/%02X) %s",
                          slot_status_text(msg[slot_stat], consist).c_str(), msg.slot_address(), msg[slot_spd],
                          dirf_text(msg.dirf()).c_str(), snd_text(msg.snd()).c_str(), msg[slot_id1],
                          msg[slot_id2], track_text(msg[slot_trk]).c_str());
}

std::string pgm_task_text(const kvr_loconet_msg& msg) {
    const uint8_t pcmd = msg[pgm_pcmd];
    const pgm_status_row& status = pgm_status_of(msg.pgm_status());
    const int adr = decode_loco_address(msg[pgm_hopsa], msg[pgm_lopsa]);
    const auto cv = static_cast<int>(decode_cv(msg[pgm_cvh], msg[pgm_cvl]));
    // Only the programmer's answer carries a meaningful status; a request
    // being written to slot 124 shows just the short form.
    const char* long_status = msg.opcode() == OPC_SL_RD_DATA ? status.long_text : "";
    std::string s;
    return string_appendf(s, "PGM %s(%s) %s %s adr(%3d) cv#(%3d) data(%3d) %s ",
                          (pcmd & pcmd_write) ? "write" : "read", pgm_command_name(pcmd).c_str(),
                          status.short_text, long_status, adr, cv, msg.pgm_data(),
                          track_text(msg[slot_trk]).c_str());
}

// Commands outside the table: the physical register by its type bits
// whatever the byte bit says (but never in operations mode), then any other
// service-mode task of type 11.
std::string pgm_command_name(uint8_t pcmd) {
    for (const auto& row : pgm_commands) {
        if (row.value == (pcmd & pcmd_command_mask)) return row.name;
    }
    constexpr uint8_t register_bits = pcmd_write | pcmd_ty1 | pcmd_ty0 | pcmd_ops;
    constexpr uint8_t type_bits = pcmd_ty1 | pcmd_ty0 | pcmd_ops;
    if ((pcmd & register_bits) == pcmd_register_read) return "Physical Register Read";
    if ((pcmd & register_bits) == pcmd_register_write) return "Physical Register Write";
    if ((pcmd & type_bits) == (pcmd_ty1 | pcmd_ty0)) return "Service Track Reserved Function";
    return "Unknown Function";
}

std::string fast_clock_text(const kvr_loconet_msg& msg) {
    const clock_time t = decode_clock_time({msg[clk_hrs], msg[clk_mins]});
    std::string s;
    return string_appendf(s,
                          "FAST CLOCK rate(%d:1) days(%2d) hrs24(%02d) min(%02d) sub_minute(%02d.%02d) "
                          "clk_ctrl(%02Xh) id1(%02Xh) id2(%02Xh) %s",
                          msg[clk_rate], msg[clk_days], t.hour, t.minute, msg[clk_frac_minsh],
                          msg[clk_frac_minsl], msg[clk_cntrl], msg[slot_id1], msg[slot_id2],
                          track_text(msg[slot_trk]).c_str());
}

std::string to_text(const kvr_loconet_msg& msg, consist_reading consist) {
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
        return string_appendf(s, "%s ACK(%s)", kvr_opcode_name(static_cast<uint8_t>(b1 + 0x80)),
                              ack_text(b1, b2).c_str());
    case OPC_SLOT_STAT1:
        s = head(op);
        string_appendf(s, "SLOT#[%d]", b1);
        return s + slot_status_text(b2, consist);
    case OPC_UNLINK_SLOTS:
        s = head(op);
        return string_appendf(s, "SLOT#[%d] from [%d]", b1, b2);
    case OPC_LINK_SLOTS:
    case OPC_MOVE_SLOTS:
        s = head(op);
        return string_appendf(s, "SLOT#[%d] to [%d]", b1, b2);
    case OPC_RQ_SL_DATA:
        // Byte 2 is 0 in the classic request; the expanded one carries the
        // slot's high bits there (slot 249 is BB 79 41, not slot 121).
        if (b2 & expanded_request_bits) return expanded_request_text(msg);
        s = head(op);
        return string_appendf(s, "SLOT#[%d]", b1);
    case OPC_LOCO_ADR:
        s = head(op);
        return string_appendf(s, "REQ LOCO#[%d]", decode_loco_address(b1, b2));
    case OPC_SL_RD_DATA:
    case OPC_WR_SL_DATA:
        // Slots 127 and 126 hold the command station's option switches: read
        // as a loco slot, an OpSw write looked like "Emerg stop, power off".
        if (is_opsw_slot(b2)) return opsw_slot_text(msg);
        return slot_message_text(msg, consist);
    default:
        return modern_text(msg);
    }
}

}  // namespace kvr_monitor

namespace kvr_monitor {

std::string cut_line(std::string line) {
    if (line.size() <= line_limit) return line;
    // The run of CR and LF characters (at most two) that ends the line.
    std::size_t end = 0;
    while (end < 2) {
        const char c = line[line.size() - 1 - end];
        if (c != '\r' && c != '\n') break;
        ++end;
    }
    return line.substr(0, line_limit - end) + line.substr(line.size() - end);
}

std::string line(const kvr_loconet_msg& msg) {
    return cut_line(to_text(msg) + "\r\n");
}

}  // namespace kvr_monitor
