#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "loconet/kvr_hand_message.h"

namespace {

using bytes = std::vector<uint8_t>;

bytes of(const kvr_loconet_msg& m) { return bytes(m.data(), m.data() + m.length()); }

// LocoNet PE opcode summary: the checksum is the complement of the XOR of
// every byte before it. Worked out here apart from the code under test.
bytes with_checksum(bytes b) {
    uint8_t x = 0;
    for (uint8_t v : b) x ^= v;
    b.push_back(static_cast<uint8_t>(~x));
    return b;
}

TEST(HandMessage, OneShortOfTheOpcodesLengthGetsItsChecksum) {
    // LocoNet PE opcode summary: bits 6..5 of the opcode give 2, 4 or 6
    // bytes; 0xE0-0xFF carry the length in byte 1.
    struct {
        const char* text;
        bytes sent;
    } cases[] = {
        {"B0 0B 30", {0xB0, 0x0B, 0x30, 0x74}},
        {"83", {0x83, 0x7C}},
        {"a0 05 3f", {0xA0, 0x05, 0x3F, 0x65}},
        {"  \tB0\t0b  30 ", {0xB0, 0x0B, 0x30, 0x74}},
        {"D4 20 1 8 5", with_checksum({0xD4, 0x20, 0x01, 0x08, 0x05})},
        {"ED 0B 7F 50 07 01 70 6C 03 36", with_checksum({0xED, 0x0B, 0x7F, 0x50, 0x07, 0x01, 0x70, 0x6C, 0x03, 0x36})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const kvr_hand_message m = kvr_parse_hand_message(c.text);
        ASSERT_TRUE(m.ok) << m.notice;
        EXPECT_TRUE(m.checksum_added);
        EXPECT_EQ(of(m.msg), c.sent);
        EXPECT_TRUE(m.msg.checksum_ok());
    }
}

TEST(HandMessage, CompleteMessageGoesOutAsTyped) {
    const kvr_hand_message m = kvr_parse_hand_message("B0 0B 30 74");
    ASSERT_TRUE(m.ok) << m.notice;
    EXPECT_FALSE(m.checksum_added);
    EXPECT_EQ(of(m.msg), (bytes{0xB0, 0x0B, 0x30, 0x74}));
}

TEST(HandMessage, WrongChecksumIsRefusedNamingTheRightOne) {
    const kvr_hand_message m = kvr_parse_hand_message("B0 0B 30 00");
    EXPECT_FALSE(m.ok);
    EXPECT_NE(m.notice.find("74"), std::string::npos) << m.notice;
    EXPECT_NE(m.notice.find("checksum"), std::string::npos) << m.notice;
    // A checksum that is off by a data byte's bit 7 is still a refusal, not
    // a byte with bit 7 set being stripped.
    EXPECT_FALSE(kvr_parse_hand_message("83 7D").ok);
}

TEST(HandMessage, RefusesWhatCannotBeOneMessage) {
    struct {
        const char* text;
        const char* named;  // a part of the notice that tells the user what is wrong
    } cases[] = {
        {"", "Nothing to send"},
        {"B0 0B 1FF", "'1FF' is not a hex byte"},
        {"B0 0x0B 30", "'0x0B'"},
        {"B0 G1 30", "'G1'"},
        {"B0,0B,30", "'B0,0B,30'"},
        {"0B 30 74", "not an opcode"},
        {"B0 8B 30", "Byte 2 (8B) has bit 7 set"},
        {"B0 0B 30 74 00", "4 bytes"},
        {"B0 0B", "4 bytes"},
        {"E7", "count byte"},
        {"E7 02", "too small"},
        {"E7 0E 01", "14 bytes"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const kvr_hand_message m = kvr_parse_hand_message(c.text);
        EXPECT_FALSE(m.ok);
        EXPECT_NE(m.notice.find(c.named), std::string::npos) << m.notice;
    }
}

TEST(HandMessage, VariableLengthByItsCountByte) {
    // A 14-byte OPC_SL_RD_DATA typed without its
    // checksum, and then with it.
    const bytes slot = with_checksum({0xE7, 0x0E, 0x03, 0x33, 0x03, 0x00, 0x00, 0x07, 0x00, 0x00, 0x00, 0x00, 0x00});
    kvr_hand_message m = kvr_parse_hand_message("E7 0E 03 33 03 00 00 07 00 00 00 00 00");
    ASSERT_TRUE(m.ok) << m.notice;
    EXPECT_EQ(of(m.msg), slot);
    char last[8];
    std::snprintf(last, sizeof last, " %02X", slot.back());
    m = kvr_parse_hand_message(std::string("E7 0E 03 33 03 00 00 07 00 00 00 00 00") + last);
    ASSERT_TRUE(m.ok) << m.notice;
    EXPECT_FALSE(m.checksum_added);
}

}  // namespace
