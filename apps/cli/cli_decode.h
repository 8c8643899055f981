#pragma once
// `busprobe-cli decode`: captured LocoNet bytes in, traffic-monitor lines out.
//   busprobe-cli decode 83 7C B0 0A 30 45
//     OPC_GPON:
//     OPC_SW_REQ      :SW#[11 (2:3)] for Closed/Green(on)
//   busprobe-cli decode --hex 83 7C
//     83 7C  OPC_GPON:

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Reads bytes written in hexadecimal: tokens separated by blanks, tabs,
// commas or line ends, each one or two hex digits (any case) with an optional
// 0x prefix; a single digit is its own value ("5" and "0x5" are 0x05). On the
// first token that is not such a byte, returns nothing and stores the token
// in *bad_token (when given). kvr_hex_bytes output reads back.
std::optional<std::vector<uint8_t>> kvr_parse_hex_bytes(std::string_view text, std::string* bad_token);

// `args` are the words after "decode": "--hex", "--extended", "--time",
// "--binary", "--help" and HEX tokens (a word may hold several, e.g.
// "83,7C"). Without HEX words the input is read from `in` to its end, a line
// or 64 KiB at a time, so any input runs in bounded memory: hex text, capture
// lines ("(1733500000.123456) B0 0A 30 75", '#' comments), or with --binary
// raw bus bytes. Frames them as the receive path does and prints one line
// per message on `out`: its monitor text, empty for a message the monitor
// does not decode; with --time a capture line's receive time comes first
// (local "HH:MM:SS.mmm "), with --hex the bytes. Returns 0, or 2 for bad
// input: then `err` names the token, or a message of the HEX words whose
// checksum is wrong with the checksum it needs; from HEX words nothing goes
// to `out`.
// From `in`, each bad line (a damaged capture line, a token that is no hex
// byte) is named by number on `err` and skipped, every other line is still
// decoded, and the status is 2 at the end.
int kvr_cli_decode(const std::vector<std::string>& args, std::istream& in, std::ostream& out,
                   std::ostream& err);
