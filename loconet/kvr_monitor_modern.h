#pragma once
// Monitor lines for the messages of newer command stations that both the
// monitor and the extended monitor show: expanded slots and their requests,
// speed and function messages, the command station's option-switch slots,
// radio receivers and housekeeping. Pure, like the monitor.
//
// Expanded slots number 0..432 (1-120, 128-247, 257-375, 385-432 hold locos;
// 248-251 are status slots). Their messages carry the slot's high bits
// beside its low seven:
//   BB SL 0x40|hi CK              read slot hi*128+SL; bit 6 asks for an E6 reply
//   BE AH AL CK                   slot for loco AH*128+AL, answered by E6
//   E6/EE 15 hi SL STAT AL AH TRK SPD F2 DIRF F3 F4 F5 .. .. .. .. ID1 ID2 CK
//   D5 G|hi SL ID X CK            speed (G 00/08) or one function group
//   D4 38|hi SL B3 B4 CK          move, link, unlink, set status
//     BB 02 41 07                          -> read slot 130, E6 reply
//     D5 11 02 05 31 0D                    -> slot 130: F0 F1 F5 on
//     D4 39 02 40 03 53                    -> slot 130 follows lead slot 3
//
// Option switches of the command station live in slot 127 (OpSw 1-64) and
// slot 126 (65-128): byte [3,4,5,6,8,9,10,11][(n-1)/8], bit (n-1)%8, set =
// closed. Read with BB 7F 00, written with EF 0E 7F ...
//   E7 0E 7F 10 00 00 00 47 00 00 00 00 00 3E -> OpSw 5 closed, all others thrown

#include <cstdint>
#include <string>

#include "loconet/kvr_loconet_msg.h"

namespace kvr_monitor {

// The line of a newer message both monitors show; empty for any other
// message (and for a newer opcode whose layout the message does not have).
std::string modern_text(const kvr_loconet_msg& msg);

// The slot an OPC_RQ_SL_DATA asks for: SL plus the high bits of byte 2.
int requested_slot(const kvr_loconet_msg& msg);
// OPC_RQ_SL_DATA in its expanded form (byte 2 not 0): "OPC_RQ_SL_DATA  :SLOT#[249] expanded".
std::string expanded_request_text(const kvr_loconet_msg& msg);

// Slots 127 and 126 of E7/EF: the command station's option switches.
bool is_opsw_slot(uint8_t slot);
std::string opsw_slot_text(const kvr_loconet_msg& msg);

// The system slots 121..127, which a move may neither come from nor go to
// (refused with LACK B4 3A 00).
bool is_move_refused(int slot);

// "F0 F1 F5 on" for the functions `on` holds (bit n = Fn) among first..last,
// "F0-F6 off" when none is on.
std::string functions_on(uint32_t on, int first, int last);

// Opcode names of the newer messages, for their lines and for the long
// acknowledges that name them; null for an opcode that is not one.
const char* modern_opcode_name(uint8_t opcode);

}  // namespace kvr_monitor
