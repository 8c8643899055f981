// DCC function packets and their LocoNet carriers, both ways, with golden
// bytes worked by hand from the NMRA S-9.2.1 function-group layouts and the
// LocoNet OPC_IMM_PACKET layout, and read back through the extended monitor.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "loconet/kvr_dcc_packet.h"
#include "loconet/kvr_monitor_ext.h"

namespace {

using namespace kvr_dcc;
using bytes = std::vector<uint8_t>;

bytes of(const packet_bytes& p) { return bytes(p.b.begin(), p.b.begin() + p.count); }
bytes of(const kvr_loconet_msg& m) { return bytes(m.data(), m.data() + m.length()); }
packet_bytes packet(const bytes& b) {
    packet_bytes p;
    for (std::size_t i = 0; i < b.size(); ++i) p.b[i] = b[i];
    p.count = static_cast<int>(b.size());
    return p;
}

// NMRA S-9.2.1: address byte(s), then the group's instruction; error byte by hand.
TEST(DccPacket, FunctionGroupsEncodeToTheNmraLayoutsForShortAndLongAddresses) {
    const struct {
        function_packet p;
        bytes wire;
        uint8_t error;
    } cases[] = {
        {{3, fn_group::f0_f4, 0x01}, {0x03, 0x90}, 0x93},          // 100 F0=1 0000
        {{3, fn_group::f0_f4, 0x1E}, {0x03, 0x8F}, 0x8C},          // F1..F4 on
        {{3, fn_group::f5_f8, 0x09}, {0x03, 0xB9}, 0xBA},          // F5, F8
        {{3, fn_group::f9_f12, 0x08}, {0x03, 0xA8}, 0xAB},         // F12: 1010 1000
        {{127, fn_group::f9_f12, 0x01}, {0x7F, 0xA1}, 0xDE},       // highest short address
        {{3, fn_group::f13_f20, 0x81}, {0x03, 0xDE, 0x81}, 0x5C},  // F13, F20
        {{128, fn_group::f9_f12, 0x01}, {0xC0, 0x80, 0xA1}, 0xE1}, // lowest long address
        {{1234, fn_group::f21_f28, 0x80}, {0xC4, 0xD2, 0xDF, 0x80}, 0x49},  // F28
        {{10239, fn_group::f13_f20, 0x01}, {0xE7, 0xFF, 0xDE, 0x01}, 0xC7},
    };
    for (const auto& c : cases) {
        const packet_bytes p = encode_function(c.p);
        EXPECT_EQ(of(p), c.wire) << c.p.address;
        EXPECT_EQ(error_byte(p), c.error) << c.p.address;
        EXPECT_EQ(decode_function(p), c.p) << c.p.address;
        // Some senders count the error byte among the packet's bytes.
        bytes with_error = c.wire;
        with_error.push_back(c.error);
        EXPECT_EQ(decode_function(packet(with_error)), c.p) << c.p.address;
    }
    EXPECT_EQ(encode_function({0, fn_group::f9_f12, 1}).count, 0) << "0 is the broadcast address";
    EXPECT_EQ(encode_function({10240, fn_group::f9_f12, 1}).count, 0);
}

TEST(DccPacket, OtherPacketsAreNotTakenForFunctions) {
    const bytes others[] = {
        {0x03, 0x3F, 0x85},        // 128-step speed
        {0x03, 0x76},              // 28-step speed
        {0xFF, 0x00},              // idle
        {0x00, 0xA1},              // broadcast
        {0x81, 0xF8},              // accessory
        {0x03, 0xDE},              // F13-F20 without its data byte
        {0x03, 0xA8, 0x00},        // a wrong error byte
        {0xC0, 0x03, 0xA8},        // a long form of a short address
        {0x03, 0xEC, 0x1C, 0x06},  // CV write on the main
    };
    for (const bytes& b : others) EXPECT_FALSE(decode_function(packet(b))) << b.size();
}

// LocoNet PE OPC_IMM_PACKET: REPS = count << 4 | repeats, DHI bit i = bit 7 of IMi+1.
TEST(DccPacket, ImmediatePacketCarriesBit7InDhiAndRoundTrips) {
    const kvr_loconet_msg f12 = imm_packet_message(encode_function({3, fn_group::f9_f12, 0x08}), 4);
    EXPECT_EQ(of(f12), (bytes{0xED, 0x0B, 0x7F, 0x24, 0x02, 0x03, 0x28, 0x00, 0x00, 0x00, 0x6B}));
    const kvr_loconet_msg f28 = imm_packet_message(encode_function({1234, fn_group::f21_f28, 0x80}), 4);
    EXPECT_EQ(of(f28), (bytes{0xED, 0x0B, 0x7F, 0x44, 0x0F, 0x44, 0x52, 0x5F, 0x00, 0x00, 0x64}));
    EXPECT_TRUE(f28.checksum_ok());

    const auto back = decode_imm_packet(f28);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->repeats, 4);
    EXPECT_EQ(decode_function(back->bytes), (function_packet{1234, fn_group::f21_f28, 0x80}));
    EXPECT_EQ(kvr_monitor::to_text_extended(f12),
              "OPC_IMM_PACKET  :DCC LOCO#[3] F9-12(0001) F12 on reps(4) packet(03 A8)");
    EXPECT_EQ(kvr_monitor::to_text_extended(f28),
              "OPC_IMM_PACKET  :DCC LOCO#[1234] F21-28(00000001) F28 on reps(4) packet(C4 D2 DF 80)");

    // Byte count 6 or 0, another length: not an immediate packet of this layout.
    kvr_loconet_msg bad = f12;
    bad[3] = 0x64;
    EXPECT_FALSE(decode_imm_packet(bad));
    bad[3] = 0x04;
    EXPECT_FALSE(decode_imm_packet(bad));
    EXPECT_FALSE(decode_imm_packet(kvr_loconet_msg::with_checksum({0xED, 0x07, 0x7F, 0x20, 0x00, 0x03})));
}

// The slot-addressed messages, read back by the extended monitor and by
// their own decoder.
TEST(FunctionOpcodes, EveryFunctionGoesInTheMessageTheMonitorReads) {
    const uint32_t on = 1u << 9 | 1u << 12 | 1u << 13 | 1u << 19 | 1u << 20 | 1u << 27 | 1u << 28;
    const struct {
        unsigned n;
        bytes wire;
        const char* line;
    } cases[] = {
        {9, {0xA3, 0x01, 0x09, 0x54}, "OPC_LOCO_F9F12  :SLOT#[1] F9-12(1001) F9 F12 on"},
        {13, {0xD4, 0x20, 0x01, 0x08, 0x41, 0x43}, "OPC_LOCO_FUNC_EX:SLOT#[1] F13-19(1000001) F13 F19 on"},
        {20, {0xD4, 0x20, 0x01, 0x05, 0x70, 0x7F}, "OPC_LOCO_FUNC_EX:SLOT#[1] F12(1) F20(1) F28(1) F12 F20 F28 on"},
        {27, {0xD4, 0x20, 0x01, 0x09, 0x40, 0x43}, "OPC_LOCO_FUNC_EX:SLOT#[1] F21-27(0000001) F27 on"},
    };
    for (const auto& c : cases) {
        const kvr_loconet_msg m = function_opcode_message(1, c.n, on);
        EXPECT_EQ(of(m), c.wire) << c.n;
        EXPECT_EQ(kvr_monitor::to_text_extended(m), c.line) << c.n;
    }
    for (unsigned n = 9; n <= function_max; ++n) {
        const auto back = decode_function_opcode(function_opcode_message(7, n, on));
        ASSERT_TRUE(back) << n;
        EXPECT_EQ(back->slot, 7);
        EXPECT_TRUE(back->set.mask >> n & 1) << n;
        EXPECT_EQ(back->set.on, on & back->set.mask) << n;
    }
    EXPECT_FALSE(decode_function_opcode(kvr_loconet_msg::with_checksum({0xD4, 0x21, 0x01, 0x08, 0x01})));
    EXPECT_FALSE(decode_function_opcode(kvr_loconet_msg::with_checksum({0xD4, 0x20, 0x01, 0x0A, 0x01})));
}

}  // namespace
