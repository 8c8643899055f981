#pragma once
// One message read for its meaning: what it says, about which slot, loco,
// turnout or sensor, with the fields a state of the bus needs. Every part of
// the program that acts on a message's meaning reads it here, so a number
// means the same in the monitor's filter, the tables and the throttle.
//
//   83 7C                  power_on           kind power
//   85 7A                  power_idle         (stop all: every loco stops, power stays)
//   B0 0A 30 75            switch_request     SW#[11]: number 11, closed, output on
//   B2 0B 70 36            input              INPUT#[12 (2:4)]: number 12, noaux, on
//   BF 00 03 43            loco_request       loco 3
//   A0 05 3F 65            speed              slot 5, value 0x3F (the loco comes
//                                             from the bus state: slot -> loco)
//   E7 0E 05 33 03 ...     slot_data          slot 5, loco 3, STAT, SPD, DIRF, TRK ...
//   E7 0E 7B ...           clock_data         slot 123, kind clock
//   E7 0E 7C ...           system_slot        slot 124, kind programming
//   ED 0B 7F .. (F13-F20)  functions          loco 1234, fn_mask/fn_bits
//
// The expanded-slot messages read into the same kinds, with `expanded` set
// and slot numbers up to 432 (slot = high part * 128 + low part):
//   BB 02 41 07            slot_request       slot 130 (b2 bit 6: answer as E6)
//   BE 00 03 ..            loco_request       loco 3
//   E6 15 01 02 33 03 ...  slot_data          slot 130, F0..F28 from the slot itself
//   D5 01 02 05 40 ..      speed              slot 130, value 0x40, forward (0x08: reverse)
//   D5 11 02 05 31 ..      functions          slot 130, F0..F6 (0x18 F7..F13, 0x20 F14..F20,
//                                             0x28 / 0x30 F21..F28)
//   D4 39 02 02 02 ..      move               slot 130 -> 130 (null move); D4 .. 60 ST: slot_status
//   D4 39 02 40 03 ..      none               link: slot 130 follows slot 3 (to_slot 3)
// E6 / EE with byte 1 other than 0x15 are route data, not slots (what none).
//
// B0 with (SW1 & FC) = 78 and (SW2 & CF) = 07 or 0F asks every sensor and
// turnout to report itself (interrogation): kind switch, what none, no
// number, so it never makes turnouts 1017..1020.
//
// Numbers are the monitor's: a switch, a switch report and an input report
// count SW1/SW2 (IN1/IN2) bits 10..0 + 1, the two inputs of one address told
// apart by IN2's I bit ("aux"/"noaux"), as the monitor line shows them.
// Pure: no state, any thread.

#include <cstdint>

#include "loconet/kvr_loconet_msg.h"
#include "loconet/kvr_msg_kind.h"

enum class kvr_msg_what : uint8_t {
    none,             // nothing a state of the bus keeps (or too short to read)
    power_on,         // OPC_GPON
    power_off,        // OPC_GPOFF
    power_idle,       // OPC_IDLE: emergency stop of every loco
    slot_data,        // E7 / EF (E6 / EE) of slot 0 or a loco slot: stat, address, speed, trk, forward,
                      // F0..F8 (F0..F28 expanded), id
    clock_data,       // E7 / EF of slot 123: clock_* fields
    system_slot,      // slot data of a system slot (121..127 but 123, 248..256, ...): programmer, option
                      // switches, status
    slot_status,      // B5 (D4 .. 60) slot STAT1: value
    speed,            // A0 slot SPD: value; D5 0x00/0x08: value and forward
    dirf,             // A1 slot DIRF: value, forward, fn_mask/fn_bits F0..F4
    snd,              // A2 slot SND: value, fn_mask/fn_bits F5..F8
    functions,        // A3 / D4 20 / D5 groups by slot, or an immediate function packet by address:
                      // fn_mask/fn_bits
    move,             // BA (D4 38) slot -> to_slot
    slot_request,     // BB slot
    loco_request,     // BF (BE) address
    switch_request,   // B0 / BD: number, closed, on
    switch_outputs,   // B1, SN2 bit 6 clear: number, closed_on, thrown_on
    switch_input,     // B1, SN2 bit 6 set: number, noaux, on (the level)
    input,            // B2: number, noaux, on (the level)
};

struct kvr_msg_reading {
    kvr_msg_kind kind = kvr_msg_kind::other;
    kvr_msg_what what = kvr_msg_what::none;
    int number = -1;   // as the monitor line shows it (loco address, SW#, INPUT#); -1 none or not known
    int slot = -1;     // the slot the message names; -1 none
    int address = -1;  // the loco address the message itself carries; -1 none
    int to_slot = -1;  // move: the destination (and an expanded link's or unlink's lead)
    // An expanded-slot message (BE, E6/EE, D5, D4 38..3B, BB with b2 bit 6).
    // slot_data: F0..F28 come from the slot itself (fn_mask covers them);
    // speed: `forward` holds the direction the message sets.
    bool expanded = false;

    // slot_data: the slot's fields; slot_status/speed/dirf/snd: `value`.
    bool answer = false;  // slot_data / clock_data: E7, the command station's own (EF is a write)
    uint8_t value = 0;
    uint8_t stat = 0;
    uint8_t speed = 0;
    uint8_t trk = 0;
    uint8_t snd = 0;  // slot_data: the SND byte as it stands (bits 3..0 F8..F5)
    bool forward = true;
    // ID1 << 8 | ID2 (E7 bytes 11, 12; E6 bytes 18, 19), so one slot read
    // either way gives one id. D5: the id's low byte (ID1) in bits 15..8.
    uint16_t throttle_id = 0;

    // Functions named (bit n = Fn, 0..28) and, of those, the ones on.
    uint32_t fn_mask = 0;
    uint32_t fn_bits = 0;

    // Switches and inputs.
    bool closed = false;     // switch_request: closed (green)
    bool on = false;         // switch_request: output on; input/switch_input: level high
    bool noaux = false;      // input/switch_input: IN2's I bit
    bool closed_on = false;  // switch_outputs
    bool thrown_on = false;  // switch_outputs

    // clock_data (slot 123).
    uint8_t clock_rate = 0;
    uint8_t clock_hour = 0;
    uint8_t clock_minute = 0;
    uint16_t clock_frac = 0;  // FRAC_MINSH/L
    uint8_t clock_days = 0;
    bool clock_valid = false;  // CLK_CNTRL bit 6
};

kvr_msg_reading kvr_read_message(const kvr_loconet_msg& msg);
