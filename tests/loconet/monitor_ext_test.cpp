// Extended monitor text: a line for every message the monitor leaves blank,
// and the monitor's own line for every message it decodes, unchanged but for
// the protocol's readings of consist state, interrogation and slot moves. The
// packets are worked from the LocoNet and NMRA DCC packet layouts.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "loconet/kvr_loconet_msg.h"
#include "loconet/kvr_monitor.h"
#include "loconet/kvr_monitor_ext.h"

namespace {

struct line_case {
    std::vector<uint8_t> bytes;  // without checksum
    const char* line;
};

kvr_loconet_msg msg_of(const std::vector<uint8_t>& b) { return kvr_loconet_msg::with_checksum(b.data(), b.size()); }

// OPC_IMM_PACKET carrying `packet` (up to five bytes), sent `reps` times.
std::vector<uint8_t> imm(std::vector<uint8_t> packet, uint8_t reps = 0) {
    std::vector<uint8_t> m = {0xED, 0x0B, 0x7F, static_cast<uint8_t>(packet.size() << 4 | reps), 0};
    for (std::size_t i = 0; i < 5; ++i) {
        const uint8_t b = i < packet.size() ? packet[i] : 0;
        if (b & 0x80) m[4] |= static_cast<uint8_t>(1u << i);
        m.push_back(b & 0x7F);
    }
    return m;
}

TEST(MonitorExtended, GivesALineForEveryMessageTheMonitorLeavesBlank) {
    const line_case cases[] = {
        {{0xA3, 0x01, 0x05}, "OPC_LOCO_F9F12  :SLOT#[1] F9-12(1010) F9 F11 on"},
        {{0xD4, 0x20, 0x07, 0x08, 0x41}, "OPC_LOCO_FUNC_EX:SLOT#[7] F13-19(1000001) F13 F19 on"},
        {{0xD4, 0x20, 0x07, 0x09, 0x7F}, "OPC_LOCO_FUNC_EX:SLOT#[7] F21-27(1111111) F21 F22 F23 F24 F25 F26 F27 on"},
        {{0xD4, 0x20, 0x07, 0x05, 0x50}, "OPC_LOCO_FUNC_EX:SLOT#[7] F12(1) F20(0) F28(1) F12 F28 on"},
        {{0xD4, 0x20, 0x07, 0x0A, 0x03}, "OPC_LOCO_FUNC_EX:SLOT#[7] group(0A) bits(03)"},
        {{0xD4, 0x21, 0x07, 0x08, 0x01}, "UNKNOWN         :len(6) D4 21 07 08 01 04"},
        // Transponding: section 10 (zone bits from bytes 1 and 2), short and long addresses.
        {{0xD0, 0x20, 0x09, 0x7D, 0x03}, "OPC_MULTI_SENSE :present SECTION#[10] LOCO#[3]"},
        {{0xD0, 0x01, 0x00, 0x09, 0x52}, "OPC_MULTI_SENSE :absent SECTION#[129] LOCO#[1234] detector section(9) zone(A)"},
        // Boards (b1 & 0x60 = 0x60): a device-type report, type 2 of board 2 (PROTOCOL-MODERN §4).
        {{0xD0, 0x60, 0x01, 0x02, 0x03}, "OPC_MULTI_SENSE :board device type report signal board board(2) version(3)"},
        // Peer transfer: the eight data bytes get bit 7 back from PXCT1/PXCT2.
        {{0xE5, 0x10, 0x50, 0x01, 0x00, 0x03, 0x01, 0x02, 0x03, 0x04, 0x08, 0x05, 0x06, 0x07, 0x08},
         "OPC_PEER_XFER   :SRC(50) DST(1) data(81 82 03 04 05 06 07 88)"},
        {{0xE5, 0x07, 0x01, 0x02, 0x03, 0x04}, "OPC_PEER_XFER   :len(7) data(01 02 03 04)"},
        // Immediate packets: DCC packets to locomotives and accessories.
        {imm({0x03, 0x90}, 4), "OPC_IMM_PACKET  :DCC LOCO#[3] F0-4(10000) F0 on reps(4) packet(03 90)"},
        {imm({0x03, 0xB5}), "OPC_IMM_PACKET  :DCC LOCO#[3] F5-8(1010) F5 F7 on reps(0) packet(03 B5)"},
        {imm({0x03, 0xA9}), "OPC_IMM_PACKET  :DCC LOCO#[3] F9-12(1001) F9 F12 on reps(0) packet(03 A9)"},
        {imm({0xC4, 0xD2, 0xDE, 0x81}), "OPC_IMM_PACKET  :DCC LOCO#[1234] F13-20(10000001) F13 F20 on reps(0) packet(C4 D2 DE 81)"},
        {imm({0xC4, 0xD2, 0xDF, 0x02}), "OPC_IMM_PACKET  :DCC LOCO#[1234] F21-28(01000000) F22 on reps(0) packet(C4 D2 DF 02)"},
        {imm({0xC4, 0xD2, 0x3F, 0x85}), "OPC_IMM_PACKET  :DCC LOCO#[1234] spd128(5) DIR(fwd) reps(0) packet(C4 D2 3F 85)"},
        // 01DCSSSS: SSSS 0110 and C 1 make step 13 of 31, speed 10 of 28.
        {imm({0x03, 0x76}), "OPC_IMM_PACKET  :DCC LOCO#[3] spd28(10) DIR(fwd) reps(0) packet(03 76)"},
        {imm({0x03, 0x41}), "OPC_IMM_PACKET  :DCC LOCO#[3] estop DIR(rev) reps(0) packet(03 41)"},
        {imm({0x03, 0xEC, 0x1C, 0x06}), "OPC_IMM_PACKET  :DCC LOCO#[3] OPS CV#[29] write(6) reps(0) packet(03 EC 1C 06)"},
        {imm({0x03, 0xE4, 0x00, 0x05}), "OPC_IMM_PACKET  :DCC LOCO#[3] OPS CV#[1] verify(5) reps(0) packet(03 E4 00 05)"},
        {imm({0x00, 0x00}), "OPC_IMM_PACKET  :DCC BROADCAST control(00) reps(0) packet(00 00)"},
        // Accessory board 1, output 0 on; the upper address bits travel inverted.
        {imm({0x81, 0xF8}), "OPC_IMM_PACKET  :DCC ACCESSORY board(1) output(0) on reps(0) packet(81 F8)"},
        {imm({0xBF, 0x8B}), "OPC_IMM_PACKET  :DCC ACCESSORY board(511) output(3) on reps(0) packet(BF 8B)"},
        {imm({0xFF, 0x00}), "OPC_IMM_PACKET  :DCC IDLE reps(0) packet(FF 00)"},
        {{0xED, 0x0F, 0x01, 0x05, 0x00, 0x21}, "OPC_IMM_PACKET  :len(7) data(01 05 00 21)"},
        {{0xE4, 0x07, 0x00, 0x01, 0x02, 0x03}, "OPC_REPORT_E4   :len(7) data(00 01 02 03)"},
        {{0x84}, "UNKNOWN         :len(2) 84 7B"},
        {{0xB3, 0x01, 0x02}, "UNKNOWN         :len(4) B3 01 02 4F"},
    };
    for (const line_case& c : cases) {
        const kvr_loconet_msg m = msg_of(c.bytes);
        EXPECT_EQ(kvr_monitor::to_text(m), "") << c.line;
        EXPECT_EQ(kvr_monitor::to_text_extended(m), c.line);
    }
}

// A message as the bus carries it, checksum included: "B5 25 1B 74".
kvr_loconet_msg wire(const std::string& hex) {
    kvr_loconet_msg m;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 3)
        m.append(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return m;
}

struct reading_case {
    const char* bytes;     // as on the wire, checksum included
    const char* plain;     // the monitor's line, which stays as it is
    const char* extended;  // the protocol's reading
};

// Golden messages with their meaning; the comment above each group names the
// public source of the fact.
TEST(MonitorExtended, ReadsMessagesAsTheProtocolDefinesThem) {
    const reading_case cases[] = {
        // LocoNet SV programming, format 2 (OPC_PEER_XFER, SV_TYPE 02): destination and SV
        // number from bytes 6-9, bit 7 of each from SVX1, of D1-D4 from SVX2; replies set bit 6.
        {"E5 10 01 02 02 10 23 00 03 00 10 00 00 00 00 2B", "",
         "OPC_PEER_XFER   :SV programming read SRC(1) DST(35) SV#[3]"},
        {"E5 10 05 41 02 15 00 01 7F 01 19 12 34 56 78 37", "",
         "OPC_PEER_XFER   :SV programming write reply SRC(5) DST(384) SV#[511] value(146)"},
        // PROTOCOL-MODERN §3: 0A is no SV2 command; a receiver ignores the message.
        {"E5 10 05 0A 02 10 01 00 01 00 10 00 00 00 00 07", "",
         "OPC_PEER_XFER   :not SV2 data(05 0A 02 10 01 00 01 00 10 00 00 00 00)"},
        // PROTOCOL-MODERN §3 format 1: SRC 0x50 the PC, D1 02 read, D2 the SV.
        {"E5 10 50 51 01 00 02 03 00 00 10 00 00 00 00 1B", "",
         "OPC_PEER_XFER   :SV programming (format 1) read SV#[3] SRC(80) DST(81)"},
        // LocoNet PE slot status STAT1: bit 6 up-link, bit 3 down-link; 0x08 top, 0x40 sub-member, 0x48 mid.
        {"B5 25 1B 74", "OPC_SLOT_STAT1  :SLOT#[37]  128spd COMMON",
         "OPC_SLOT_STAT1  :SLOT#[37] Consist Top 128spd COMMON"},
        {"B5 09 40 03", "OPC_SLOT_STAT1  :SLOT#[9] Consist Mid 28spd FREE SLOT",
         "OPC_SLOT_STAT1  :SLOT#[9] Consist Sub 28spd FREE SLOT"},
        {"B5 09 48 0B", "OPC_SLOT_STAT1  :SLOT#[9] Consist Mid 28spd FREE SLOT",
         "OPC_SLOT_STAT1  :SLOT#[9] Consist Mid 28spd FREE SLOT"},
        {"E7 0E 01 3B 03 00 10 07 00 00 00 01 00 39",
         "OPC_SL_RD_DATA  :SLOT#[1]   128spd IN_USE adr(  3) spd( 0) DIR(fwd) F0-4(10000) F5-8(0000) id(01/00) "
         "TRK (loconet1.1 Master,idle,power on)",
         "OPC_SL_RD_DATA  :SLOT#[1]  Consist Top 128spd IN_USE adr(  3) spd( 0) DIR(fwd) F0-4(10000) F5-8(0000) "
         "id(01/00) TRK (loconet1.1 Master,idle,power on)"},
        // NMRA S-9.2 and the LocoNet PE OPC_IMM_PACKET layout: only FF 00 (error byte FF) is idle.
        {"ED 0B 7F 51 03 7F 04 3D 7F 00 0D", "",
         "OPC_IMM_PACKET  :DCC reserved(FF) reps(1) packet(FF 84 3D 7F 00)"},
        {"ED 0B 7F 20 01 7F 01 00 00 00 39", "", "OPC_IMM_PACKET  :DCC reserved(FF) reps(0) packet(FF 01)"},
        {"ED 0B 7F 30 05 7F 00 7F 00 00 53", "", "OPC_IMM_PACKET  :DCC IDLE reps(0) packet(FF 00 FF)"},
        // Published LocoNet interpretation pairs: switch requests 1017-1020, closed, off, interrogate.
        {"B0 78 27 10", "OPC_SW_REQ      :SW#[1017 (254:1)] for Closed/Green(off)",
         "OPC_SW_REQ      :Interrogate turnouts and sensors (SW#[1017])"},
        {"B0 7B 27 13", "OPC_SW_REQ      :SW#[1020 (254:4)] for Closed/Green(off)",
         "OPC_SW_REQ      :Interrogate turnouts and sensors (SW#[1020])"},
        // PROTOCOL-MODERN §7 (LPU): (SW2 & 0xCF) = 07 or 0F, so SW2 37 interrogates too.
        {"B0 78 37 00", "OPC_SW_REQ      :SW#[1017 (254:1)] for Closed/Green(on)",
         "OPC_SW_REQ      :Interrogate turnouts and sensors (SW#[1017])"},
        {"B0 7C 27 14", "OPC_SW_REQ      :SW#[1021 (255:1)] for Closed/Green(off)",
         "OPC_SW_REQ      :SW#[1021 (255:1)] for Closed/Green(off)"},
        // LocoNet PE OPC_MOVE_SLOTS: source 0 asks for the dispatched slot, destination 0
        // dispatches, source equal to destination is the null move.
        {"BA 00 00 45", "OPC_MOVE_SLOTS  :SLOT#[0] to [0]",
         "OPC_MOVE_SLOTS  :SLOT#[0] to [0] (ask for the dispatched slot)"},
        {"BA 05 05 45", "OPC_MOVE_SLOTS  :SLOT#[5] to [5]",
         "OPC_MOVE_SLOTS  :SLOT#[5] to [5] (null move: mark in use)"},
        {"BA 05 00 40", "OPC_MOVE_SLOTS  :SLOT#[5] to [0]", "OPC_MOVE_SLOTS  :SLOT#[5] to [0] (dispatch)"},
        {"BA 05 06 46", "OPC_MOVE_SLOTS  :SLOT#[5] to [6]", "OPC_MOVE_SLOTS  :SLOT#[5] to [6]"},
        // PROTOCOL-MODERN §5 E0 09: reporter as in OPC_MULTI_SENSE, D6 bit 6 west (set) or east.
        {"E0 09 20 09 7D 03 40 00 01", "", "OPC_MULTI_SENSE :present SECTION#[10] LOCO#[3] west"},
        {"E0 09 01 00 09 52 00 00 4C", "", "OPC_MULTI_SENSE :absent SECTION#[129] LOCO#[1234] east"},
        {"E0 08 20 09 7D 03 40 00", "", "UNKNOWN         :len(8) E0 08 20 09 7D 03 40 00"},
        // PROTOCOL-MODERN §5 E4 reading: b3 & 0x60 = 0x20 a speed report, b3 bit 6 a loco passing.
        {"E4 08 00 22 2B 09 52 41", "", "OPC_REPORT_E4   :speed report sensor(299) speed(1234)"},
        {"E4 08 03 5F 7F 00 03 33", "", "OPC_REPORT_E4   :loco passing sensor(4095) LOCO#[3] category(4) north"},
        {"E4 09 01 02 03 04 05 06 15", "", "OPC_REPORT_E4   :len(9) data(01 02 03 04 05 06)"},
    };
    for (const reading_case& c : cases) {
        const kvr_loconet_msg m = wire(c.bytes);
        ASSERT_TRUE(m.checksum_ok()) << c.bytes;
        EXPECT_EQ(kvr_monitor::to_text(m), c.plain) << c.bytes;
        EXPECT_EQ(kvr_monitor::to_text_extended(m), c.extended) << c.bytes;
    }
}

TEST(MonitorExtended, KeepsTheMonitorsOwnLines) {
    const std::vector<std::vector<uint8_t>> decoded = {
        {0x81}, {0x85}, {0xA1, 0x01, 0x30}, {0xB5, 0x07, 0x33}, {0xB6, 0x04, 0x21}, {0xB8, 0x03, 0x04},
        {0xB9, 0x03, 0x04}, {0xE7, 0x0E, 0x01, 0x33, 0x03, 0x00, 0x30, 0x07, 0x00, 0x00, 0x00, 0x01, 0x00},
    };
    for (const auto& b : decoded) {
        const kvr_loconet_msg m = msg_of(b);
        ASSERT_FALSE(kvr_monitor::to_text(m).empty());
        EXPECT_EQ(kvr_monitor::to_text_extended(m), kvr_monitor::to_text(m));
    }
}

}  // namespace
