#pragma once
// The fields of LocoNet messages: named bits and codes, and the packing of
// numbers that span more than one 7-bit data byte.

#include <cstdint>

namespace kvr_proto {

// DIRF: byte 2 of OPC_LOCO_DIRF and OPC_CONSIST_FUNC, byte 6 of a slot.
//   bit 5 direction: set = reverse, clear = forward
//   bit 4 F0, bits 3..0 F4..F1
// Captured from a command station's own buttons, F0 on: forward A1 01 10,
// reverse A1 01 30. The station turns this bit into the DCC packet's
// direction bit, so the meaning is not a matter of display.
constexpr uint8_t dirf_reverse = 0x20;
constexpr uint8_t dirf_f0 = 0x10;
constexpr uint8_t dirf_f1_f4 = 0x0F;

}  // namespace kvr_proto
