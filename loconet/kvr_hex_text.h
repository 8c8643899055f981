#pragma once
// Message bytes as hex text, both ways.
//
// Out: two upper-case hex digits each, separated by blanks, the way the
// monitor --hex and the simulator's log show them.
//   OPC_GPON: "83 7C"
// In: one byte per token, in the form the text's source allows:
//   two_digits         "7C", "0f"           (capture files)
//   one_or_two_digits  "7C", "f"            (LocoNet over TCP)
//   prefix_allowed     "7C", "f", "0x7C"    (bytes typed by a person)

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

class kvr_loconet_msg;

std::string kvr_hex_bytes(const kvr_loconet_msg& msg);

// 0..15 for a hex digit of either case; -1 for anything else.
int kvr_hex_digit(char c);

enum class kvr_hex_byte_form { two_digits, one_or_two_digits, prefix_allowed };
// The whole token as one byte; empty when it is not one in `form`.
std::optional<uint8_t> kvr_parse_hex_byte(std::string_view token, kvr_hex_byte_form form);
