#pragma once
// The fields of LocoNet messages in one place: opcodes, slot numbers, the
// named bits and codes of every field this program reads or writes, and the
// packing of numbers that span more than one 7-bit data byte. Everything
// here is a pure function of its arguments; encoders and decoders come in
// pairs and round-trip over the whole range of their numbers.

#include <array>
#include <cstdint>

class kvr_loconet_msg;

enum : uint8_t {
    OPC_BUSY = 0x81,
    OPC_GPOFF = 0x82,
    OPC_GPON = 0x83,
    OPC_IDLE = 0x85,
    OPC_LOCO_SPD = 0xA0,
    OPC_LOCO_DIRF = 0xA1,
    OPC_LOCO_SND = 0xA2,
    OPC_LOCO_F9F12 = 0xA3,        // slot, F9..F12 in bits 0..3
    OPC_SW_REQ = 0xB0,
    OPC_SW_REP = 0xB1,
    OPC_INPUT_REP = 0xB2,
    OPC_LONG_ACK = 0xB4,
    OPC_SLOT_STAT1 = 0xB5,
    OPC_CONSIST_FUNC = 0xB6,
    OPC_UNLINK_SLOTS = 0xB8,
    OPC_LINK_SLOTS = 0xB9,
    OPC_MOVE_SLOTS = 0xBA,
    OPC_RQ_SL_DATA = 0xBB,
    OPC_SW_STATE = 0xBC,
    OPC_SW_ACK = 0xBD,
    OPC_EXP_REQ_SLOT = 0xBE,      // AH, AL: the expanded slot of a loco (answered E6)
    OPC_LOCO_ADR = 0xBF,
    OPC_MULTI_SENSE = 0xD0,       // transponding and power reports
    OPC_LOCO_FUNC_EX = 0xD4,      // 0x20, slot, group, function bits; 0x38..0x3B expanded move/link/status
    OPC_EXP_SEND_FUNC = 0xD5,     // expanded: group|slot hi, slot, throttle id low, value
    OPC_MULTI_SENSE_LONG = 0xE0,  // transponding report with the direction
    OPC_REPORT_E4 = 0xE4,         // variable-length detector reports
    OPC_PEER_XFER = 0xE5,
    OPC_EXP_RD_SL_DATA = 0xE6,    // expanded slot data, 21 bytes, byte 1 = 0x15
    OPC_SL_RD_DATA = 0xE7,
    OPC_IMM_PACKET = 0xED,
    OPC_EXP_WR_SL_DATA = 0xEE,    // expanded slot write, as E6
    OPC_WR_SL_DATA = 0xEF,
};

// Slots 1..120 hold locos; 0 is the dispatch slot, 121..127 belong to the
// command station (123 the fast clock, 124 the programmer, 127 and 126 its
// option switches). A classic read of all asks for 1..119, the slots every
// command station of the classic kind has. Stations with expanded slots add
// 128..247, 257..375 and 385..432 (up to 400 locos in all); 248..256 and
// 376..384 are system slots again (248..251 report the station's status).
constexpr uint8_t kvr_slot_dispatch = 0;
constexpr uint8_t kvr_slot_loco_first = 1;
constexpr uint8_t kvr_slot_loco_last = 119;
constexpr uint8_t kvr_slot_fast_clock = 123;
constexpr uint8_t kvr_slot_programmer = 124;
constexpr uint16_t kvr_slot_expanded_last = 432;
constexpr bool kvr_is_loco_slot(unsigned slot) {
    return (slot >= kvr_slot_loco_first && slot <= 120) || (slot >= 128 && slot <= 247) ||
           (slot >= 257 && slot <= 375) || (slot >= 385 && slot <= kvr_slot_expanded_last);
}

namespace kvr_proto {

// --- slot messages ----------------------------------------------------------
// OPC_SL_RD_DATA / OPC_WR_SL_DATA: opcode, count 0x0E, slot, ten field bytes,
// checksum. Byte positions of the fields, by the kind of slot:
constexpr uint8_t slot_msg_count = 0x0E;
constexpr int slot_field_count = 10;  // bytes 3..12
enum : int {
    // ordinary slot
    slot_stat = 3, slot_adr = 4, slot_spd = 5, slot_dirf = 6, slot_trk = 7,
    slot_ss2 = 8, slot_adr2 = 9, slot_snd = 10, slot_id1 = 11, slot_id2 = 12,
    // programmer, slot 124
    pgm_pcmd = 3, pgm_pstat = 4, pgm_hopsa = 5, pgm_lopsa = 6, pgm_cvh = 8,
    pgm_cvl = 9, pgm_data7 = 10,
    // fast clock, slot 123
    clk_rate = 3, clk_frac_minsl = 4, clk_frac_minsh = 5, clk_mins = 6,
    clk_hrs = 8, clk_days = 9, clk_cntrl = 10,
};

// STAT: bits 2..0 speed-step code, bits 5..4 slot usage, bit 6 consist.
constexpr uint8_t stat_steps_mask = 0x07;
constexpr uint8_t stat_usage_mask = 0x30;
constexpr uint8_t stat_consist = 0x40;
constexpr uint8_t usage_free = 0x00;
constexpr uint8_t usage_common = 0x10;
constexpr uint8_t usage_idle = 0x20;
constexpr uint8_t usage_in_use = 0x30;
// SPD: 0 stop, 1 emergency stop, up to 127 full speed. A 28-step throttle
// counts 0..28 and scales to SPD as step * 127 / 28.
constexpr unsigned spd_max = 127;
constexpr unsigned speed_28_max = 28;
// Speed-step codes (STAT bits 2..0); "adv." allows advanced consisting.
constexpr uint8_t steps_28 = 0;
constexpr uint8_t steps_28_trinary = 1;
constexpr uint8_t steps_14 = 2;
constexpr uint8_t steps_128 = 3;
constexpr uint8_t steps_28_adv = 4;
constexpr uint8_t steps_128_adv = 7;

// TRK, the track status in every slot message.
constexpr uint8_t trk_power_on = 0x01;
constexpr uint8_t trk_running = 0x02;    // clear: emergency stop (OPC_IDLE)
constexpr uint8_t trk_loconet_1_1 = 0x04;  // clear: a DT200-era master
constexpr uint8_t trk_prog_busy = 0x08;
constexpr uint8_t trk_offers_expanded = 0x40;  // the command station offers expanded slots

// --- expanded slots -----------------------------------------------------------
// E6 / EE: opcode, 0x15, slot >> 7, slot & 7F, then the fields below,
// checksum (21 bytes). Byte 1 = 0x10 is route data, not a slot.
//   E6 15 01 02 33 03 00 47 20 00 10 00 00 00 00 00 00 00 05 04 49
//   slot 130, loco 3, in use, 128 steps, TRK 47, speed 32, fwd, F0, id 05/04
constexpr uint8_t exp_slot_marker = 0x15;
constexpr int exp_slot_bytes = 21;
enum : int {
    exp_slot_hi = 2, exp_slot_lo = 3, exp_stat = 4, exp_adr = 5, exp_adr2 = 6, exp_trk = 7,
    exp_spd = 8, exp_fhi = 9, exp_dirf = 10, exp_f5_f11 = 11, exp_f13_f19 = 12, exp_f21_f27 = 13,
    exp_id1 = 18, exp_id2 = 19,
};
// Byte 9: F12 bit 4, F20 bit 5, F28 bit 6. Byte 10 as DIRF (reverse, F0,
// F1..F4). Byte 11: F5..F8 bits 0..3, F9 bit 4, F10 bit 5, F11 bit 6.
// Bytes 12 / 13: F13..F19 / F21..F27 in bits 0..6.
// Slot numbers in two parts: the low seven bits, and the rest (0..3).
constexpr uint8_t exp_slot_high(unsigned slot) { return static_cast<uint8_t>((slot >> 7) & 0x07); }
constexpr uint8_t exp_slot_low(unsigned slot) { return static_cast<uint8_t>(slot & 0x7F); }
constexpr unsigned exp_slot_join(uint8_t high, uint8_t low) { return (high & 0x07u) * 128u + (low & 0x7Fu); }
// F0..F28 of the expanded slot bytes 9..13 (bit n = Fn), and back.
uint32_t exp_functions_of(uint8_t fhi, uint8_t dirf, uint8_t f5_f11, uint8_t f13_f19, uint8_t f21_f27);
struct exp_function_bytes {
    uint8_t fhi, dirf_functions, f5_f11, f13_f19, f21_f27;
};
exp_function_bytes exp_slot_function_bytes(uint32_t functions);

// D5 G|hi SL ID X: speed and direction, or one function group of slot
// hi * 128 + SL; ID is the low byte of the throttle id the slot holds.
constexpr uint8_t d5_speed_fwd = 0x00;
constexpr uint8_t d5_speed_rev = 0x08;
constexpr uint8_t d5_f0_f6 = 0x10;   // F0 bit 4, F1..F4 bits 0..3, F5 bit 5, F6 bit 6
constexpr uint8_t d5_f7_f13 = 0x18;  // bits 0..6
constexpr uint8_t d5_f14_f20 = 0x20; // bits 0..6
constexpr uint8_t d5_f21_f28_off = 0x28;  // F21..F27 bits 0..6, F28 off
constexpr uint8_t d5_f21_f28_on = 0x30;   // the same, F28 on
constexpr uint8_t d5_group_mask = 0xF8;
// The D5 group (one of the constants above) that carries function `f`.
constexpr uint8_t d5_group_of(unsigned f) {
    return f <= 6 ? d5_f0_f6 : f <= 13 ? d5_f7_f13 : f <= 20 ? d5_f14_f20 : d5_f21_f28_off;
}
// The functions a D5 group names (bit n = Fn) and, of X, the ones on.
uint32_t d5_group_mask_of(uint8_t group);
uint32_t d5_functions(uint8_t group, uint8_t x);
// Group byte and X for the group holding `f`, F0..F28 as `functions` says.
struct d5_group_bytes {
    uint8_t group, x;
};
d5_group_bytes d5_bytes_for(unsigned f, uint32_t functions);

// D4 38|hi SL B3 B4: moves, links and status of expanded slots. S = the
// slot of bytes 1..2, D = (B3 & 3) * 128 + B4.
constexpr uint8_t d4x_expanded = 0x38;
constexpr uint8_t d4x_op_mask = 0x70;
constexpr uint8_t d4x_move = 0x00;    // S to D; S = D null move; D = 0 dispatch
constexpr uint8_t d4x_link = 0x40;    // S follows lead D
constexpr uint8_t d4x_unlink = 0x50;  // S leaves the consist led by D
constexpr uint8_t d4x_status = 0x60;  // S gets status B4

// DIRF: byte 2 of OPC_LOCO_DIRF and OPC_CONSIST_FUNC, byte 6 of a slot.
//   bit 5 direction: set = reverse, clear = forward
//   bit 4 F0, bits 3..0 F4..F1
// Captured from a command station's own buttons, F0 on: forward A1 01 10,
// reverse A1 01 30. The station turns this bit into the DCC packet's
// direction bit, so the meaning is not a matter of display.
constexpr uint8_t dirf_reverse = 0x20;
constexpr uint8_t dirf_f0 = 0x10;
constexpr uint8_t dirf_f1_f4 = 0x0F;
constexpr uint8_t dirf_direction_and_f0_f4 = 0x3F;
// SND: bits 3..0 F8..F5.
constexpr uint8_t snd_f5_f8 = 0x0F;

// Functions F0..F8 by number: F0..F4 travel in DIRF, F5..F8 in SND.
// F0 and F3 on: DIRF 0x14; F6 on: SND 0x02.
constexpr unsigned slot_function_max = 8;  // F0..F8: what slot data carry
constexpr unsigned dirf_function_last = 4;  // F0..F4 in DIRF, the rest in SND
constexpr bool function_in_dirf(unsigned f) { return f <= dirf_function_last; }
// The bit of function `f` (0..8) in its byte.
constexpr uint8_t function_bit(unsigned f) {
    return static_cast<uint8_t>(f == 0 ? dirf_f0 : 1u << (f <= dirf_function_last ? f - 1 : f - 5));
}
constexpr uint8_t with_function(uint8_t bits, unsigned f, bool on) {
    return static_cast<uint8_t>(on ? bits | function_bit(f) : bits & ~function_bit(f));
}
// Whether function `f` is on in a slot's (or throttle's) DIRF and SND.
constexpr bool function_on(uint8_t dirf, uint8_t snd, unsigned f) {
    return ((function_in_dirf(f) ? dirf : snd) & function_bit(f)) != 0;
}

// CLK_CNTRL bit 6: the clock data are valid.
constexpr uint8_t clk_cntrl_valid = 0x40;

// --- programming tasks (slot 124) -----------------------------------------
// PCMD: bit 6 write, bit 5 byte operation, bits 4..3 programming type TY1/TY0,
// bit 2 operations mode (main line).
//   service mode  TY 00 paged, 01 direct, 10 physical register, 11 reserved
//   ops mode      TY0 = with feedback; TY1 must be clear
constexpr uint8_t pcmd_write = 0x40;
constexpr uint8_t pcmd_byte = 0x20;
constexpr uint8_t pcmd_ty1 = 0x10;
constexpr uint8_t pcmd_ty0 = 0x08;
constexpr uint8_t pcmd_ops = 0x04;
constexpr uint8_t pcmd_command_mask = pcmd_write | pcmd_byte | pcmd_ty1 | pcmd_ty0 | pcmd_ops;
// Bits 7, 1 and 0 are never set in a task.
constexpr uint8_t pcmd_reserved = 0x83;

constexpr uint8_t pcmd_paged_read = pcmd_byte;
constexpr uint8_t pcmd_paged_write = pcmd_write | pcmd_byte;
constexpr uint8_t pcmd_direct_read = pcmd_byte | pcmd_ty0;
constexpr uint8_t pcmd_direct_write = pcmd_write | pcmd_byte | pcmd_ty0;
constexpr uint8_t pcmd_direct_bit_read = pcmd_ty0;
constexpr uint8_t pcmd_direct_bit_write = pcmd_write | pcmd_ty0;
constexpr uint8_t pcmd_register_read = pcmd_ty1;
constexpr uint8_t pcmd_register_write = pcmd_write | pcmd_ty1;
constexpr uint8_t pcmd_ops_read = pcmd_ops | pcmd_byte;  // no feedback
constexpr uint8_t pcmd_ops_read_feedback = pcmd_ops | pcmd_byte | pcmd_ty0;
constexpr uint8_t pcmd_ops_write = pcmd_write | pcmd_ops | pcmd_byte;  // no feedback
constexpr uint8_t pcmd_ops_write_feedback = pcmd_write | pcmd_ops | pcmd_byte | pcmd_ty0;
constexpr uint8_t pcmd_ops_bit_read = pcmd_ops;  // no feedback
constexpr uint8_t pcmd_ops_bit_read_feedback = pcmd_ops | pcmd_ty0;
constexpr uint8_t pcmd_ops_bit_write = pcmd_write | pcmd_ops;  // no feedback
constexpr uint8_t pcmd_ops_bit_write_feedback = pcmd_write | pcmd_ops | pcmd_ty0;

// PSTAT of the programmer's final reply; 0 is success.
constexpr uint8_t pstat_no_decoder = 0x01;
constexpr uint8_t pstat_no_write_ack = 0x02;
constexpr uint8_t pstat_no_read_ack = 0x04;  // read compare failed
constexpr uint8_t pstat_user_abort = 0x08;

// --- OPC_LONG_ACK -------------------------------------------------------------
// B4 <acknowledged opcode without bit 7> <code> chk.
constexpr int lack_ack1 = 2;  // byte position of the code
constexpr uint8_t ack_opcode(uint8_t opcode) { return opcode & 0x7F; }
// Codes for a programming task (OPC_WR_SL_DATA to slot 124).
constexpr uint8_t lack_busy = 0x00;
constexpr uint8_t lack_accepted = 0x01;
constexpr uint8_t lack_blind = 0x40;  // accepted, no reply will follow
constexpr uint8_t lack_not_implemented = 0x7F;
// Codes for everything else: a slot write taken, a switch request taken; or
// refused (no free slot, illegal move, switch buffer full).
constexpr uint8_t ack_ok = 0x7F;
constexpr uint8_t ack_refused = 0x00;
// The answer to OPC_SW_STATE: bit 5 set = closed.
constexpr uint8_t ack_switch_closed = 0x20;

// --- numbers spread over two 7-bit bytes ---------------------------------------
struct byte_pair {
    uint8_t high;  // bits 13..7
    uint8_t low;   // bits 6..0
    bool operator==(const byte_pair&) const = default;
};

constexpr uint16_t split_max = 0x3FFF;
constexpr byte_pair split14(uint16_t value) {
    return {static_cast<uint8_t>((value >> 7) & 0x7F), static_cast<uint8_t>(value & 0x7F)};
}
constexpr uint16_t join14(uint8_t high, uint8_t low) {
    return static_cast<uint16_t>((high & 0x7F) * 128 + (low & 0x7F));
}

// Locomotive address, 0..16383: OPC_LOCO_ADR bytes 1/2, slot ADR2/ADR,
// programmer HOPSA/LOPSA. Loco 300: BF 02 2C.
constexpr uint16_t loco_address_max = 16383;
// The addresses a user may drive or program on the main: DCC short
// addresses 1..127 and long addresses up to 10239 (NMRA S-9.2.1). The 14
// bits carry more, but no decoder answers to them: 10240 would go out as
// BF 50 00 and move nothing.
constexpr unsigned loco_address_first = 1;
constexpr unsigned loco_address_last = 10239;
constexpr bool is_loco_address(long long address) {
    return address >= loco_address_first && address <= loco_address_last;
}
constexpr byte_pair encode_loco_address(uint16_t address) { return split14(address); }
constexpr uint16_t decode_loco_address(uint8_t high, uint8_t low) { return join14(high, low); }

// --- CV number and value of a programming task -------------------------------
// CVs are counted from 1 and travel 0-based in ten bits (c = cv - 1):
//   CVH bit 0 = c bit 7, bit 1 = data bit 7, bit 4 = c bit 8, bit 5 = c bit 9
//   CVL = c bits 6..0, DATA7 = data bits 6..0
// CV 29 holding 134: CVH 02, CVL 1C, DATA7 06. Register numbers (1..8) use
// the same fields.
constexpr unsigned cv_first = 1;
constexpr unsigned cv_max = 1024;
constexpr uint8_t cvh_data_bit7 = 0x02;
struct cv_fields {
    uint8_t cvh;
    uint8_t cvl;
    uint8_t data7;
    bool operator==(const cv_fields&) const = default;
};
cv_fields encode_cv(unsigned cv, uint8_t data);
unsigned decode_cv(uint8_t cvh, uint8_t cvl);
uint8_t decode_cv_data(uint8_t cvh, uint8_t data7);

// Data byte of a bit task: 1110DBBB, D the bit value, BBB the bit number.
// Verify that bit 5 is 1: 0x6D with CVH bit 1 carrying data bit 7.
constexpr uint8_t bit_task_data(bool value, uint8_t bit_number) {
    return static_cast<uint8_t>(0xE0 | (value ? 0x08 : 0x00) | (bit_number & 7));
}
constexpr bool bit_task_value(uint8_t data) { return (data >> 3) & 1; }
constexpr uint8_t bit_task_number(uint8_t data) { return data & 7; }

// --- fast clock (slot 123) --------------------------------------------------------
// Hours and minutes travel as counts up to the next wrap at 128:
//   HRS  = 0x68 + hour   (104 is hour 0, 127 is hour 23)
//   MINS = 0x43 + minute (67 is minute 0, 126 is minute 59)
// The decoders read any byte, as command stations do, modulo 24 and 60.
// FRAC_MINSH/FRAC_MINSL (split14) are the command station's counter of
// 65.5 ms ticks (915 to a fast minute at rate 1): the minute rolls when the
// counter reaches 0x4000, which then starts again at 0x4000 - 915. A write
// sets the counter, so a new time goes out with about a minute of ticks to
// go, 0x3FFF - 900 (`7B 78`); `00 00` would hold the written minute for some
// 18 fast minutes (LocoNet PE; JMRI LnClockControl).
constexpr uint16_t clk_frac_roll = 0x4000;
constexpr uint16_t clk_ticks_per_minute = 915;
constexpr uint16_t clk_frac_minute_start = clk_frac_roll - clk_ticks_per_minute;
constexpr uint16_t clk_frac_set = 0x3FFF - 900;
// ID1/ID2 7F/7x are the throttle identities LocoNet reserves for PCs; a
// clock this program sets names it there.
constexpr uint8_t pc_id1 = 0x7F;
constexpr uint8_t pc_id2 = 0x70;
struct clock_time {
    uint8_t hour;
    uint8_t minute;
    bool operator==(const clock_time&) const = default;
};
struct clock_bytes {
    uint8_t hrs;
    uint8_t mins;
    bool operator==(const clock_bytes&) const = default;
};
clock_bytes encode_clock_time(clock_time t);
clock_time decode_clock_time(clock_bytes b);

// --- switches and sensors ------------------------------------------------------
// OPC_SW_REQ / OPC_SW_ACK / OPC_SW_STATE: SW1 = wire address bits 6..0;
// SW2 = bits 10..7 in bits 3..0, bit 4 output on, bit 5 closed. The wire
// address is the switch number - 1. Switch 200 thrown, on: SW1 47 SW2 11.
constexpr unsigned switch_first = 1;
constexpr unsigned switch_max = 2048;
constexpr uint8_t sw2_address_high = 0x0F;
constexpr uint8_t sw2_on = 0x10;
constexpr uint8_t sw2_closed = 0x20;
// OPC_SW_REP: SN2 bit 6 clear reports the outputs (bit 5 closed on, bit 4
// thrown on); set, it reports an input (bit 5 as IN2's I, bit 4 the level).
constexpr uint8_t sn2_input = 0x40;
constexpr uint8_t sn2_closed_on = 0x20;
constexpr uint8_t sn2_thrown_on = 0x10;

struct switch_fields {
    unsigned number;  // 1..2048
    bool closed;
    bool on;
    bool operator==(const switch_fields&) const = default;
};
// Numbers outside 1..2048 wrap into the eleven bits.
byte_pair encode_switch(const switch_fields& sw);
switch_fields decode_switch(uint8_t sw1, uint8_t sw2);
// The number alone, 1..2048, of SW1/SW2, SN1/SN2 or IN1/IN2.
constexpr unsigned decode_switch_number(uint8_t a, uint8_t b) {
    return (a & 0x7Fu) + (b & sw2_address_high) * 128u + 1;
}

// OPC_INPUT_REP: IN1 = address bits 6..0; IN2 = bits 10..7 in bits 3..0,
// bit 4 L the level, bit 5 I (which of the address's two inputs), bit 6 X
// always 1. The sensor number counts both inputs of every address:
// (address * 2 + I) + 1, 1..4096.
constexpr unsigned sensor_max = 4096;
constexpr uint8_t in2_level = 0x10;
constexpr uint8_t in2_switch_input = 0x20;
constexpr uint8_t in2_control = 0x40;
struct sensor_fields {
    unsigned number;  // 1..4096
    bool level;
    bool operator==(const sensor_fields&) const = default;
};
byte_pair encode_sensor(const sensor_fields& s);
sensor_fields decode_sensor(uint8_t in1, uint8_t in2);

// --- message builders -------------------------------------------------------------
// Each goes through kvr_loconet_msg::with_checksum.

// A 14-byte slot message: opcode, 0x0E, slot, `fields` (bytes 3..12), checksum.
kvr_loconet_msg slot_message(uint8_t opcode, uint8_t slot,
                             const std::array<uint8_t, slot_field_count>& fields);

// The programming task, OPC_WR_SL_DATA to slot 124:
//   EF 0E 7C PCMD 00 HOPSA LOPSA 00 CVH CVL DATA7 00 00 chk
// Direct read of CV 29: EF 0E 7C 28 00 00 00 00 00 1C 00 00 00 56
kvr_loconet_msg programming_task(uint8_t pcmd, uint16_t loco, unsigned cv, uint8_t data);

// OPC_LONG_ACK for `opcode`: B4 <opcode & 7F> <code & 7F> chk.
kvr_loconet_msg long_ack(uint8_t opcode, uint8_t code);

}  // namespace kvr_proto
