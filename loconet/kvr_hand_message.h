#pragma once
// A message typed by hand: hex bytes in, one LocoNet message out, or a
// plain sentence saying why nothing can be sent.
//
//   "B0 0B 30"     one short of OPC_SW_REQ's 4 bytes: the checksum is added
//                  -> B0 0B 30 74
//   "B0 0B 30 74"  complete, checksum right -> sent as it stands
//   "B0 0B 30 00"  complete, checksum wrong -> refused, naming 74
//
// The length comes from the opcode (bits 6..5: 2, 4 or 6 bytes, or the
// count byte, byte 1, for 0xE0-0xFF), so "one short" is always clear. Bytes
// are one or two hex digits each, either case, separated by blanks.

#include <string>
#include <string_view>

#include "loconet/kvr_loconet_msg.h"

struct kvr_hand_message {
    bool ok = false;
    kvr_loconet_msg msg;          // ok: the whole message, checksum included
    bool checksum_added = false;  // ok: the checksum was left out and added
    std::string notice;           // not ok: why, one sentence for the user
    std::string token;            // not ok: the word refused, as typed, when the notice names one
};

kvr_hand_message kvr_parse_hand_message(std::string_view text);
