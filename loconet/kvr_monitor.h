#pragma once
// The traffic monitor: one LocoNet message in, one line of text out (no line
// end). Pure: reads nothing but the message. Opcodes the monitor does not
// decode give the empty text. Beside the classic messages it reads those of
// newer command stations (kvr_monitor_modern.h): expanded slots, the
// expanded form of OPC_RQ_SL_DATA (slot numbers above 127) and the command
// station's option switches in slots 127 and 126.
//   B0 0A 30 -> "OPC_SW_REQ      :SW#[11 (2:3)] for Closed/Green(on)"
//   BF 02 2C -> "OPC_LOCO_ADR    :REQ LOCO#[300]"

#include <cstddef>
#include <cstdint>
#include <string>

#include "loconet/kvr_loconet_msg.h"

namespace kvr_monitor {

// How STAT bits 6 and 3 of a slot read. This monitor's lines have always
// named bit 6 alone "Consist Mid"; the protocol reads the two together: bit 6
// links the slot up to another, bit 3 has slots linked below it, so 0x48 is
// the middle of a consist, 0x08 its top, 0x40 a sub-member, neither none.
//   B5 25 1B: "...SLOT#[37]  128spd COMMON" (monitor),
//             "...SLOT#[37] Consist Top 128spd COMMON" (protocol)
enum class consist_reading { monitor, protocol };

std::string to_text(const kvr_loconet_msg& msg, consist_reading consist = consist_reading::monitor);

std::string switch_text(uint8_t a, uint8_t b);
std::string input_text(uint8_t a, uint8_t b);
std::string switch_report_text(uint8_t a, uint8_t b);
std::string dirf_text(uint8_t dirf);
std::string snd_text(uint8_t snd);
std::string slot_status_text(uint8_t stat, consist_reading consist = consist_reading::monitor);
std::string ack_text(uint8_t lopc, uint8_t code);
std::string track_text(uint8_t trk);
std::string slot_text(const kvr_loconet_msg& msg, consist_reading consist = consist_reading::monitor);
std::string pgm_task_text(const kvr_loconet_msg& msg);
std::string pgm_command_name(uint8_t pcmd);
std::string fast_clock_text(const kvr_loconet_msg& msg);

// A monitor line as shown and logged: the text and CR LF, at most
// `line_limit` characters; a longer text keeps its head and its line end,
// so a receiver still sees one line.
constexpr std::size_t line_limit = 1023;
std::string cut_line(std::string line);
std::string line(const kvr_loconet_msg& msg);

}  // namespace kvr_monitor
