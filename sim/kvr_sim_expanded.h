#pragma once
// The expanded-slot messages as the simulated station reads and writes them.
//
//   E6 / EE (21 bytes, byte 1 = 0x15): slot data / slot write
//     b2 slot >> 7, b3 slot & 7F, b4 STAT, b5 ADR, b6 ADR2, b7 TRK (bit 6:
//     expanded slots offered), b8 SPD, b9 F12 bit 4 / F20 bit 5 / F28 bit 6,
//     b10 DIRF (bit 5 reverse, bit 4 F0, bits 3..0 F4..F1), b11 F5..F8 in
//     bits 0..3, F9 bit 4, F10 bit 5, F11 bit 6, b12 F13..F19, b13 F21..F27,
//     b14..b17 not used here, b18/b19 throttle ID low/high.
//     E6 15 01 02 33 03 00 47 20 00 10 00 00 00 00 00 00 00 05 04 49
//       = slot 130, loco 3 in use, 128 steps, speed 32, forward, F0 on, ID 517
//   D5 G|hi SL ID X: slot (G & 3) * 128 + SL; G & F8: 00/08 speed X forward /
//     reverse, 10 F0 (bit 4) F1..F4 (bits 0..3) F5 (bit 5) F6 (bit 6),
//     18 F7..F13, 20 F14..F20, 28/30 F21..F27 with F28 off/on.
//   D4 38|hi SL B3 B4: S = (b1 & 3) * 128 + SL, D = (B3 & 3) * 128 + B4;
//     B3 & 70: 00 move S to D (S = D null move, D = 0 dispatch), 40 link S
//     to lead D, 50 unlink S from D, 60 set STAT of S to B4.
//   Status slots (E6 only): 248 the station's identity, 249 volts and amps,
//   250 slots in use / idle / free, 251 messages and errors.

#include <array>
#include <cstdint>

#include "loconet/kvr_loconet_msg.h"
#include "loconet/kvr_loconet_proto.h"

namespace kvr_sim_exp {

constexpr uint8_t opc_req_slot = 0xBE;
constexpr uint8_t opc_rd_sl_data = 0xE6;
constexpr uint8_t opc_wr_sl_data = 0xEE;
constexpr uint8_t opc_send_function = 0xD5;
constexpr uint8_t opc_d4 = 0xD4;

constexpr uint8_t slot_count_byte = 0x15;
constexpr int slot_msg_length = 21;
constexpr uint8_t trk_expanded = 0x40;

// OPC_RQ_SL_DATA byte 2: bits 2..0 the slot number's high bits, bit 6 asks
// for the E6 reply.
constexpr uint8_t rq_expanded = 0x40;
constexpr uint8_t rq_slot_high = 0x07;

// D4 byte 1: 0x38 | slot >> 7; byte 3 & 0x70 the operation.
constexpr uint8_t d4_expanded = 0x38;
constexpr uint8_t d4_op_mask = 0x70;
constexpr uint8_t d4_move = 0x00;
constexpr uint8_t d4_link = 0x40;
constexpr uint8_t d4_unlink = 0x50;
constexpr uint8_t d4_status = 0x60;

// Status slots.
constexpr unsigned status_identity = 248;
constexpr unsigned status_power = 249;
constexpr unsigned status_slots = 250;
constexpr unsigned status_traffic = 251;

// The first 400 of the loco slots 1-120, 128-247, 257-375, 385-432.
constexpr unsigned loco_last = 425;
constexpr bool is_loco_slot(unsigned n) { return kvr_is_loco_slot(n) && n <= loco_last; }
// The loco slots the classic messages (BF, BA, E7) reach.
constexpr unsigned classic_reach = 120;

// A slot in the messages' layout: the E7 field bytes 3..12 (STAT ADR SPD
// DIRF TRK SS2 ADR2 SND ID1 ID2) and F9..F28 (bit n = Fn).
struct slot_state {
    std::array<uint8_t, 10> e7{};
    uint32_t high_functions = 0;
};

// The E6 of `number` holding `s`, TRK as given.
kvr_loconet_msg slot_reply(unsigned number, const slot_state& s, uint8_t trk);
// What an EE (21 bytes, byte 1 = 0x15) writes into a slot; SS2 and TRK stay.
void take_slot_write(const kvr_loconet_msg& ee, slot_state& s);
// Slot number of E6/EE bytes 2..3 and of OPC_RQ_SL_DATA (high bits 2..0).
constexpr unsigned slot_of(uint8_t high, uint8_t low) { return (high & 0x07u) * 128u + (low & 0x7Fu); }
// Slot number of D5 and D4 bytes 1..2, of D4 bytes 3..4 (high bits 1..0).
constexpr unsigned short_slot_of(uint8_t high, uint8_t low) { return (high & 0x03u) * 128u + (low & 0x7Fu); }
// Applies a D5's group and value; false for a group it does not know.
bool apply_function_message(uint8_t group, uint8_t x, slot_state& s);

}  // namespace kvr_sim_exp
