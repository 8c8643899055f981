#pragma once
// A message's bytes as text, the way the monitor --hex and the simulator's
// log show them: two upper-case hex digits each, separated by blanks.
//   OPC_GPON: "83 7C"

#include <string>

class kvr_loconet_msg;

std::string kvr_hex_bytes(const kvr_loconet_msg& msg);
