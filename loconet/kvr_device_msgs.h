#pragma once
// The configuration messages of the devices on the bus: SV programming
// (format 2), LNCV, the command station's option switches (slots 127/126)
// and the boards' option switches. Pure build and parse functions that
// round-trip; every other part of the program (monitor text, simulated
// devices, the station's exchanges, the window) reads these layouts here.

#include <cstdint>
#include <optional>

#include "loconet/kvr_loconet_msg.h"

// --- SV programming, format 2 ----------------------------------------------
// OPC_PEER_XFER, 16 bytes:
//   E5 10 SRC CMD 02 SVX1 DST_L DST_H SV_L SV_H SVX2 D1 D2 D3 D4 CK
// SVX1 bits 0..3 restore bit 7 of DST_L, DST_H, SV_L, SV_H; SVX2 bits 0..3
// those of D1..D4. Both SVX bytes carry 0x10 in their high nibble, and byte
// 4 is 0x02: a receiver takes the message only then.
// A reply is the command with bit 6 set; devices keep the requester's SRC.
// Discover (07, 47), identify (48), change address (09, 49) and the
// reconfigure reply (4F) carry an identity instead of an SV number:
//   SV_L = manufacturer, SV_H = developer, D1 D2 = product, D3 D4 = serial.
// Worked example, the discover reply of device 3:
//   E5 10 01 47 02 10 03 00 0D 01 10 34 12 78 56 49
//   manufacturer 13, developer 1, product 0x1234, serial 0x5678
namespace kvr_sv2 {
enum : uint8_t {
    write_one = 0x01, read_one = 0x02, masked_write = 0x03, write_four = 0x05,
    read_four = 0x06, discover = 0x07, identify = 0x08, change_address = 0x09,
    reconfigure = 0x0F,
    reply_bit = 0x40,
};
constexpr uint8_t src_pc = 0x01;
constexpr uint16_t broadcast = 0;  // DST 0: every device
}  // namespace kvr_sv2

struct kvr_sv2_msg {
    uint8_t src = kvr_sv2::src_pc;
    uint8_t cmd = 0;
    uint16_t dst = 0;
    uint16_t sv = 0;          // SV number, or developer*256 + manufacturer
    uint8_t d[4] = {};
    bool operator==(const kvr_sv2_msg&) const = default;
};

struct kvr_sv2_identity {
    uint8_t manufacturer = 0;
    uint8_t developer = 0;
    uint16_t product = 0;
    uint16_t serial = 0;
    bool operator==(const kvr_sv2_identity&) const = default;
};

// One of the listed requests (01 02 03 05 06 07 08 09 0F) or their replies.
bool kvr_sv2_cmd_known(uint8_t cmd);
constexpr bool kvr_sv2_is_reply(uint8_t cmd) { return (cmd & kvr_sv2::reply_bit) != 0; }
// 47, 48, 09, 49 and 4F carry an identity, not an SV number.
bool kvr_sv2_carries_identity(uint8_t cmd);

// Only E5 10 with byte 4 = 02, both SVX high nibbles 0x10 and a listed
// command; anything else is not SV2.
std::optional<kvr_sv2_msg> kvr_parse_sv2(const kvr_loconet_msg& msg);
kvr_loconet_msg kvr_build_sv2(const kvr_sv2_msg& m);

kvr_sv2_identity kvr_sv2_identity_of(const kvr_sv2_msg& m);
void kvr_sv2_set_identity(kvr_sv2_msg& m, const kvr_sv2_identity& id);

// Requests from the PC (SRC 01).
kvr_sv2_msg kvr_sv2_read(uint16_t dst, uint16_t sv, bool four = false);
kvr_sv2_msg kvr_sv2_write(uint16_t dst, uint16_t sv, uint8_t value);
kvr_sv2_msg kvr_sv2_write_four(uint16_t dst, uint16_t sv, const uint8_t values[4]);
kvr_sv2_msg kvr_sv2_discover();
kvr_sv2_msg kvr_sv2_identify(uint16_t dst);
// The device whose identity matches takes new_dst as its address.
kvr_sv2_msg kvr_sv2_change_address(uint16_t new_dst, const kvr_sv2_identity& id);
kvr_sv2_msg kvr_sv2_reconfigure(uint16_t dst);

// --- LNCV --------------------------------------------------------------------
// Requests ED 0F, replies E5 0F, 15 bytes:
//   op 0F SRC DST_L DST_H CMD PXCT1 ART_L ART_H CV_L CV_H VAL_L VAL_H FLAGS CK
// SRC 01 PC, 05 module. DST 05 00 in requests; a reply to SRC 01 goes to
// 49 4B. CMD 21 read (and start/end), 20 write, 1F read reply. PXCT1 bit n
// restores bit 7 of byte 7+n (n 0..6). ART is the product number without
// its last digit; VAL holds the module address in start and discover, the
// value otherwise. FLAGS 80 start, 40 end (no reply), 00 normal.
// Worked example: read LNCV 1 of article 6861 in module 1, and the reply
//   ED 0F 01 05 00 21 01 4D 1A 01 00 01 00 00 6E
//   E5 0F 05 49 4B 1F 01 4D 1A 01 00 02 00 00 58   (LNCV 1 = 2)
// A write is acknowledged B4 6D code: 7F done, 00 refused, 01 unsupported,
// 02 read-only, 03 out of range.
// Discover: a start (21, flags 80) with module 0xFFFF, for one article or
// 0xFFFF for all; each module answers 1F with LNCV 0 = its address, and
// the discoverer ends each one's session so none stays in programming mode.
namespace kvr_lncv {
enum : uint8_t { read_reply = 0x1F, write = 0x20, read = 0x21 };
enum : uint8_t { flag_none = 0x00, flag_start = 0x80, flag_end = 0x40 };
constexpr uint8_t src_pc = 0x01;
constexpr uint8_t src_module = 0x05;
constexpr uint16_t dst_module = 0x0005;   // 05 00
constexpr uint16_t dst_pc = 0x4B49;       // 49 4B
constexpr uint16_t all = 0xFFFF;
enum : uint8_t {
    ack_generic = 0x00, ack_unsupported = 0x01, ack_read_only = 0x02,
    ack_out_of_range = 0x03, ack_ok = 0x7F,
};
}  // namespace kvr_lncv

struct kvr_lncv_msg {
    bool reply = false;       // E5 0F (from a module) rather than ED 0F
    uint8_t src = kvr_lncv::src_pc;
    uint16_t dst = kvr_lncv::dst_module;   // DST_L + 256 * DST_H
    uint8_t cmd = kvr_lncv::read;
    uint16_t article = 0;
    uint16_t cv = 0;
    uint16_t value = 0;       // module address in start/discover/end
    uint8_t flags = kvr_lncv::flag_none;
    bool operator==(const kvr_lncv_msg&) const = default;
};

std::optional<kvr_lncv_msg> kvr_parse_lncv(const kvr_loconet_msg& msg);
kvr_loconet_msg kvr_build_lncv(const kvr_lncv_msg& m);

kvr_lncv_msg kvr_lncv_start(uint16_t article, uint16_t module);
kvr_lncv_msg kvr_lncv_end(uint16_t article, uint16_t module);
kvr_lncv_msg kvr_lncv_read(uint16_t article, uint16_t module, uint16_t cv);
kvr_lncv_msg kvr_lncv_write(uint16_t article, uint16_t cv, uint16_t value);
// A start to every module of `article` (kvr_lncv::all: every article).
kvr_lncv_msg kvr_lncv_discover(uint16_t article = kvr_lncv::all);
// The reply a module gives (SRC 05, DST 49 4B, CMD 1F).
kvr_lncv_msg kvr_lncv_reply(uint16_t article, uint16_t cv, uint16_t value);

// --- option switches of the command station ---------------------------------
// Slot 127 holds OpSw 1-64, slot 126 OpSw 65-128 (only where a slot read
// shows TRK bit 6, expanded slots offered). Read BB 7F 00, answer
//   E7 0E 7F b3 b4 b5 b6 TRK b8 b9 b10 b11 b12 CK
// OpSw n lives in byte [3,4,5,6,8,9,10,11][((n-1)%64)/8], bit (n-1)%8; set
// is closed. OpSw 8, 16 ... fall on bit 7, which a data byte cannot carry:
// they always read thrown and are never written. Written back as EF with
// TRK (b7) 0 and b12 0; b11 carries OpSw 57-64 and is kept. The station
// answers B4 6F 7F; some refuse the read with B4 3B 00.
// Worked example: E7 0E 7F 10 00 00 00 47 00 00 00 00 00 3E = OpSw 5 closed.
constexpr uint8_t kvr_slot_opsw = 127;
constexpr uint8_t kvr_slot_opsw_ext = 126;
constexpr int kvr_opsw_count = 64;   // per slot

// The slot holding OpSw n (1..128), 0 outside that range.
uint8_t kvr_cs_opsw_slot(int n);
// OpSw n can be written (in range, not on a bit 7).
bool kvr_cs_opsw_writable(int n);
// E7 or EF of slot 127 or 126.
bool kvr_is_cs_opsw_slot(const kvr_loconet_msg& msg);
// OpSw n as `slot` (an E7/EF of the slot holding n) shows it; false
// (thrown) for bit-7 positions.
bool kvr_cs_opsw_get(const kvr_loconet_msg& slot, int n);
// Sets OpSw n in the slot message's bytes; false (nothing changed) where n
// cannot be written or the slot does not hold n.
bool kvr_cs_opsw_set(kvr_loconet_msg& slot, int n, bool closed);
kvr_loconet_msg kvr_build_cs_opsw_read(uint8_t slot = kvr_slot_opsw);
// The EF that writes back the read reply `read` as changed.
kvr_loconet_msg kvr_build_cs_opsw_write(const kvr_loconet_msg& read);

// --- option switches of boards ------------------------------------------------
//   D0 b1 b2 b3 b4 CK
// b1: 0x62 read, 0x72 write, bit 0 = bit 7 of (board - 1); b2 = (board - 1)
// & 0x7F; b3 = 0x70 | type; b4 = (OpSw - 1) * 2 | value (1 closed).
// Types: 0 power manager, 1 occupancy detector, 2 signal board, 3
// stationary decoder. Type 0, board 1, b4 0 asks every board for its type.
// Answer: B4 50 vv or B4 00 vv; a read's vv bit 5 = closed, a write's 7F.
// Worked example: D0 62 00 71 04 38 reads OpSw 3 of detector board 1;
// B4 00 20 6B answers closed.
namespace kvr_board {
enum : uint8_t { power_manager = 0, occupancy_detector = 1, signal_board = 2, stationary_decoder = 3 };
}

struct kvr_board_opsw_msg {
    bool write = false;
    uint8_t type = 0;        // 0..7
    uint16_t board = 1;      // 1..256
    uint8_t opsw = 1;        // 1..64
    bool closed = false;     // b4 bit 0: the value written (reads send 0)
    bool operator==(const kvr_board_opsw_msg&) const = default;
};

struct kvr_board_opsw_answer {
    bool closed = false;     // vv bit 5
    bool write_done = false; // vv 7F
};

std::optional<kvr_board_opsw_msg> kvr_parse_board_opsw(const kvr_loconet_msg& msg);
kvr_loconet_msg kvr_build_board_opsw(const kvr_board_opsw_msg& m);
// B4 50 vv or B4 00 vv.
std::optional<kvr_board_opsw_answer> kvr_parse_board_opsw_answer(const kvr_loconet_msg& msg);
// Name of a board type ("power manager", ...), "board" for 4..7.
const char* kvr_board_type_name(uint8_t type);
