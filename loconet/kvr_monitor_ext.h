#pragma once
// Extended monitor text: a line for every message, in the monitor's style.
// Messages the monitor decodes keep its line, but for the readings the
// protocol gives them: the consist state of slot status (STAT bits 6 and 3
// together), the command station's interrogation ((SW1 & FC) = 78 with
// (SW2 & CF) = 07 or 0F), the special slot moves (from 0, to 0, to itself,
// to or from the system slots 121..127), the opcode a long acknowledge
// answers and what its code means, the option-switch slot a request asks
// for, and TRK bit 6 (expanded slots offered) of a slot. Every other message
// gets the opcode name padded to 16 characters, a colon and its fields;
// functions that are on are named:
//   A3 01 05       -> "OPC_LOCO_F9F12  :SLOT#[1] F9-12(1010) F9 F11 on"
//   D4 20 01 08 41 -> "OPC_LOCO_FUNC_EX:SLOT#[1] F13-19(1000001) F13 F19 on"
//   B5 25 1B       -> "OPC_SLOT_STAT1  :SLOT#[37] Consist Top 128spd COMMON"
//   B0 78 27       -> "OPC_SW_REQ      :Interrogate turnouts and sensors (SW#[1017])"
//   BA 05 05       -> "OPC_MOVE_SLOTS  :SLOT#[5] to [5] (null move: mark in use)"
//   B4 3E 00       -> "OPC_LONG_ACK    :OPC_EXP_REQ_SLOT ACK(00) expanded slots not supported"
//   E5 0F 05 49 4B 1F 01 4D 1A 01 00 02 00 00
//                  -> "OPC_PEER_XFER   :LNCV reply article(6861) lncv(1) value(2) SRC(5)"
//   84             -> "UNKNOWN         :len(2) 84 7B"
// Pure, like the monitor: it reads nothing but the message.

#include <cstdint>
#include <string>

#include "loconet/kvr_loconet_msg.h"

namespace kvr_monitor {

// The monitor's line (reworded as above) when it has one, else the extended
// line; never empty. Where the two differ they share the opcode name.
std::string to_text_extended(const kvr_loconet_msg& msg);

// A DCC packet (without its error byte, or with it last) as its kind,
// address and every instruction it carries:
//   03 90    -> "LOCO#[3] F0-4(10000) F0 on"
//   C4 D2 3F 85 -> "LOCO#[1234] spd128(5) DIR(fwd)"
std::string dcc_packet_text(const uint8_t* packet, int count);

}  // namespace kvr_monitor
