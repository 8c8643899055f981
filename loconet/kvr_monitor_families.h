#pragma once
// The extended monitor's lines for message families the monitor leaves
// blank, one function per opcode family; each gives the empty text for a
// message that is not of a layout it knows, and the extended monitor then
// falls back to the opcode's raw fields. Pure, like the monitor.

#include <cstdint>
#include <string>

#include "loconet/kvr_loconet_msg.h"

namespace kvr_monitor {

// "OPC_PEER_XFER   :" - a name padded to 16 characters, then the colon.
std::string ext_head(const char* name);
// "01 02 03": bytes as hex pairs.
std::string hex_span(const uint8_t* b, int count);
// "F9 F11 on", or "all off".
std::string on_list(uint32_t on, int first, int last);
// The bit string (lowest function first), then the functions on by name:
// "F9-12(1010) F9 F11 on". Bit i of `bits` is function first+i.
std::string function_group(const char* label, uint32_t bits, int count, int first);

// OPC_PEER_XFER (E5): SV programming formats 1 and 2, LNCV replies,
// transponder find (E5 09), duplex radio (E5 14), a third-party programming
// track switch (E5 07).
std::string peer_family_text(const kvr_loconet_msg& msg);
// OPC_IMM_PACKET (ED) other than the DCC packet: LNCV requests (ED 0F) and
// the 31-byte third-party programming message (ED 1F).
std::string imm_family_text(const kvr_loconet_msg& msg);
// OPC_MULTI_SENSE (D0): presence, RailCom and the boards' reports and
// option switches.
std::string multi_sense_text(const kvr_loconet_msg& msg);
// OPC_MULTI_SENSE_LONG (E0 09).
std::string multi_sense_long_text(const kvr_loconet_msg& msg);
// OPC_REPORT_E4 (E4 08, E4 0A, E4 09).
std::string report_e4_text(const kvr_loconet_msg& msg);
// OPC_LONG_ACK with the acknowledged opcode named and the code's meaning;
// `line` is the monitor's line for it.
std::string long_ack_text(const kvr_loconet_msg& msg, const std::string& line);

}  // namespace kvr_monitor
