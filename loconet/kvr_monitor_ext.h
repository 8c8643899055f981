#pragma once
// Extended monitor text: a line for every message, in the monitor's style.
// Messages the monitor decodes keep its line exactly; every other message
// gets the opcode name padded to 16 characters, a colon and its fields:
//   A3 01 05       -> "OPC_LOCO_F9F12  :SLOT#[1] F9-12(1010)"
//   D4 20 01 08 41 -> "OPC_LOCO_FUNC_EX:SLOT#[1] F13-19(1000001)"
//   84             -> "UNKNOWN         :len(2) 84 7B"
// Pure, like the monitor: it reads nothing but the message.

#include <cstdint>
#include <string>

#include "loconet/kvr_loconet_msg.h"

namespace kvr_monitor {

// The monitor's line when it has one, else the extended line; never empty.
std::string to_text_extended(const kvr_loconet_msg& msg);

// A DCC packet (without its error byte) as its kind, address and fields:
//   03 90    -> "LOCO#[3] F0-4(10000)"
//   C4 D2 3F 85 -> "LOCO#[1234] spd128(5) DIR(fwd)"
std::string dcc_packet_text(const uint8_t* packet, int count);

}  // namespace kvr_monitor
