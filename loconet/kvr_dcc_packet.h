#pragma once
// DCC function packets (NMRA S-9.2.1) and their carriage on LocoNet inside
// OPC_IMM_PACKET, the immediate packet a command station puts on the track
// once (plus its repeats) and never refreshes.
//
// A packet is the address, then the instruction; the command station adds
// the error byte (the XOR of all bytes before it), so the packet handed to
// it leaves that byte out.
//   address  1 byte for 1..127; 2 bytes for 128..10239: 11AAAAAA AAAAAAAA
//   F0-F4    100 F0 F4 F3 F2 F1
//   F5-F8    1011 F8 F7 F6 F5
//   F9-F12   1010 F12 F11 F10 F9
//   F13-F20  DE, then F20..F13 (bit 7 = F20)
//   F21-F28  DF, then F28..F21 (bit 7 = F28)
// Loco 3, F12 on:        03 A8          (error byte AB)
// Loco 1234, F28 on:     C4 D2 DF 80    (error byte 49)
//
// OPC_IMM_PACKET, 11 bytes: ED 0B 7F REPS DHI IM1 IM2 IM3 IM4 IM5 chk
//   REPS bits 6..4 the packet's byte count (error byte not counted), bits
//   2..0 the repeat count; DHI bits 0..4 bit 7 of IM1..IM5, which travel
//   with bit 7 clear; unused IM bytes are 0.
// Loco 3, F12 on, 4 repeats:     ED 0B 7F 24 02 03 28 00 00 00 6B
// Loco 1234, F28 on, 4 repeats:  ED 0B 7F 44 0F 44 52 5F 00 00 64

#include <array>
#include <cstdint>
#include <optional>

#include "loconet/kvr_loconet_msg.h"

namespace kvr_dcc {

// The function groups, each one instruction.
enum class fn_group : uint8_t { f0_f4, f5_f8, f9_f12, f13_f20, f21_f28 };

struct group_range {
    unsigned first;  // lowest function of the group
    unsigned count;
};
constexpr group_range range_of(fn_group g) {
    switch (g) {
    case fn_group::f0_f4: return {0, 5};
    case fn_group::f5_f8: return {5, 4};
    case fn_group::f9_f12: return {9, 4};
    case fn_group::f13_f20: return {13, 8};
    case fn_group::f21_f28: return {21, 8};
    }
    return {0, 0};
}
constexpr unsigned function_max = 28;
// The group that carries function `n` (0..28).
constexpr fn_group group_of(unsigned n) {
    return n <= 4 ? fn_group::f0_f4 : n <= 8 ? fn_group::f5_f8 : n <= 12 ? fn_group::f9_f12 : n <= 20 ? fn_group::f13_f20 : fn_group::f21_f28;
}

// One function instruction to one locomotive. `bits` bit i is function
// range_of(group).first + i (F0-F4: bit 0 F0, bit 1 F1 .. bit 4 F4).
struct function_packet {
    uint16_t address;  // 1..10239
    fn_group group;
    uint8_t bits;
    bool operator==(const function_packet&) const = default;
};

// Longest multi-function decoder packet without its error byte.
constexpr int packet_max = 5;
struct packet_bytes {
    std::array<uint8_t, packet_max> b{};
    int count = 0;
    bool operator==(const packet_bytes&) const = default;
};

// The address and instruction bytes; count 0 when the address is outside
// 1..10239.
packet_bytes encode_function(const function_packet& p);
// The function instruction in `bytes`; nothing for any other packet. A
// trailing error byte is taken when it is right, as some senders count it.
std::optional<function_packet> decode_function(const packet_bytes& bytes);

// The XOR of every byte: the error byte the command station appends.
uint8_t error_byte(const packet_bytes& bytes);

// OPC_IMM_PACKET carrying `bytes` (1..5 of them), `repeats` 0..7.
kvr_loconet_msg imm_packet_message(const packet_bytes& bytes, uint8_t repeats);
struct imm_packet {
    packet_bytes bytes;
    uint8_t repeats;
    bool operator==(const imm_packet&) const = default;
};
// The packet of an OPC_IMM_PACKET of the layout above; nothing for any other
// message (another length, a byte count above 5).
std::optional<imm_packet> decode_imm_packet(const kvr_loconet_msg& msg);

}  // namespace kvr_dcc

namespace kvr_dcc {

// Functions as a set: bit n is Fn (0..28).
struct function_set {
    uint32_t mask = 0;  // the functions the message names
    uint32_t on = 0;    // of those, the ones switched on
    bool operator==(const function_set&) const = default;
};
function_set functions_of(const function_packet& p);
// The packet of `group` for `address` with the states `on` holds (bit n Fn).
function_packet packet_for(uint16_t address, fn_group group, uint32_t on);

// The slot-addressed function messages of command stations that do not
// take immediate packets for F9 and above:
//   A3 SLOT F                   F9..F12 in bits 0..3
//   D4 20 SLOT 08 F             F13..F19 in bits 0..6
//   D4 20 SLOT 09 F             F21..F27 in bits 0..6
//   D4 20 SLOT 05 F             bit 4 F12, bit 5 F20, bit 6 F28
// Slot 1, F9 and F12 on: A3 01 09 54; slot 1, F13 and F19 on: D4 20 01 08 41 43.
constexpr uint8_t func_ex_marker = 0x20;
constexpr uint8_t func_ex_f13_f19 = 0x08;
constexpr uint8_t func_ex_f21_f27 = 0x09;
constexpr uint8_t func_ex_f12_f20_f28 = 0x05;

// The one message above that carries function `n` (9..28), with the states
// `on` holds for every function it carries.
kvr_loconet_msg function_opcode_message(uint8_t slot, unsigned n, uint32_t on);
struct slot_functions {
    uint8_t slot;
    function_set set;
    bool operator==(const slot_functions&) const = default;
};
// What an A3 or D4 message of the layout above says; nothing for others.
std::optional<slot_functions> decode_function_opcode(const kvr_loconet_msg& msg);

}  // namespace kvr_dcc
