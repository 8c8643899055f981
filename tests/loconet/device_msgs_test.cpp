#include "loconet/kvr_device_msgs.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "loconet/kvr_hex_text.h"

namespace {

// The bytes exactly as written, checksum included.
kvr_loconet_msg bytes(const std::string& hex) {
    kvr_loconet_msg m;
    std::istringstream in(hex);
    std::string tok;
    while (in >> tok) m.append(*kvr_parse_hex_byte(tok, kvr_hex_byte_form::two_digits));
    return m;
}

}  // namespace

// PROTOCOL-MODERN.md §3: discover reply and reconfigure request (built to JMRI).
TEST(Sv2, ReadsAndBuildsTheFactSheetExamples) {
    const auto reply = bytes("E5 10 01 47 02 10 03 00 0D 01 10 34 12 78 56 49");
    ASSERT_TRUE(reply.checksum_ok());
    const auto m = kvr_parse_sv2(reply);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->cmd, 0x47);
    EXPECT_EQ(m->dst, 3);
    EXPECT_TRUE(kvr_sv2_carries_identity(m->cmd));
    EXPECT_EQ(kvr_sv2_identity_of(*m), (kvr_sv2_identity{13, 1, 0x1234, 0x5678}));
    EXPECT_EQ(kvr_build_sv2(*m), reply);

    const auto reconf = bytes("E5 10 01 0F 02 10 03 00 00 00 10 00 00 00 00 05");
    ASSERT_TRUE(reconf.checksum_ok());
    EXPECT_EQ(kvr_build_sv2(kvr_sv2_reconfigure(3)), reconf);
    EXPECT_FALSE(kvr_sv2_carries_identity(0x0F));
    EXPECT_TRUE(kvr_sv2_carries_identity(0x4F));
}

// PROTOCOL-FACTS.md SV section: SVX1/SVX2 bits 0..3 restore bit 7 of the
// four bytes after each; every value must survive the trip.
TEST(Sv2, HighBitsRoundTripThroughTheExtensionBytes) {
    const uint8_t four[4] = {0x80, 0x7F, 0xFF, 0x01};
    for (uint16_t dst : {0, 1, 0x7F, 0x80, 0x1234, 0xFFFF})
        for (uint16_t sv : {0, 0x80, 0x0180, 0xFFFF}) {
            auto m = kvr_sv2_write_four(dst, sv, four);
            const auto msg = kvr_build_sv2(m);
            ASSERT_TRUE(msg.checksum_ok());
            for (int i = 2; i < msg.length(); ++i) ASSERT_LT(msg[i], 0x80) << i;
            const auto back = kvr_parse_sv2(msg);
            ASSERT_TRUE(back);
            EXPECT_EQ(*back, m) << dst << " " << sv;
        }
    const kvr_sv2_identity id{0xFF, 0x80, 0x8081, 0xFFFE};
    const auto back = kvr_parse_sv2(kvr_build_sv2(kvr_sv2_change_address(0x0102, id)));
    ASSERT_TRUE(back);
    EXPECT_EQ(back->cmd, kvr_sv2::change_address);
    EXPECT_EQ(back->dst, 0x0102);
    EXPECT_EQ(kvr_sv2_identity_of(*back), id);
}

// PROTOCOL-MODERN.md §3: only b4 = 02, SVX high nibbles 0x10 and a listed
// command are SV2; format 1 and unlisted commands are not.
TEST(Sv2, RefusesWhatIsNotFormatTwo) {
    const auto good = kvr_build_sv2(kvr_sv2_read(5, 10));
    ASSERT_TRUE(kvr_parse_sv2(good));
    auto with = [&](int i, uint8_t v) {
        auto m = good;
        m[i] = v;
        m.renew_checksum();
        return m;
    };
    EXPECT_FALSE(kvr_parse_sv2(with(4, 0x01)));  // format 1
    EXPECT_FALSE(kvr_parse_sv2(with(5, 0x00)));  // SVX1 high nibble
    EXPECT_FALSE(kvr_parse_sv2(with(10, 0x20))); // SVX2 high nibble
    for (uint8_t cmd : {0x00, 0x04, 0x0A, 0x40, 0x44, 0x4A, 0x10})
        EXPECT_FALSE(kvr_parse_sv2(with(3, cmd))) << int(cmd);
    for (uint8_t cmd : {0x01, 0x02, 0x03, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0F,
                        0x41, 0x42, 0x43, 0x45, 0x46, 0x47, 0x48, 0x49, 0x4F})
        EXPECT_TRUE(kvr_parse_sv2(with(3, cmd))) << int(cmd);
    EXPECT_FALSE(kvr_parse_sv2(kvr_loconet_msg::with_checksum({0xE5, 0x07, 0x01, 0x49, 0x42, 0x41})));
}

// PROTOCOL-MODERN.md §2: read request and reply (real, traintastic docs).
TEST(Lncv, ReadsAndBuildsTheFactSheetExamples) {
    const auto req = bytes("ED 0F 01 05 00 21 01 4D 1A 01 00 01 00 00 6E");
    ASSERT_TRUE(req.checksum_ok());
    EXPECT_EQ(kvr_build_lncv(kvr_lncv_read(6861, 1, 1)), req);
    const auto r = kvr_parse_lncv(req);
    ASSERT_TRUE(r);
    EXPECT_FALSE(r->reply);
    EXPECT_EQ(r->article, 6861);
    EXPECT_EQ(r->cv, 1);
    EXPECT_EQ(r->value, 1);

    const auto rep = bytes("E5 0F 05 49 4B 1F 01 4D 1A 01 00 02 00 00 58");
    ASSERT_TRUE(rep.checksum_ok());
    EXPECT_EQ(kvr_build_lncv(kvr_lncv_reply(6861, 1, 2)), rep);
    const auto p = kvr_parse_lncv(rep);
    ASSERT_TRUE(p);
    EXPECT_TRUE(p->reply);
    EXPECT_EQ(p->src, kvr_lncv::src_module);
    EXPECT_EQ(p->dst, kvr_lncv::dst_pc);
    EXPECT_EQ(p->cmd, kvr_lncv::read_reply);
    EXPECT_EQ(p->value, 2);
}

// PROTOCOL-MODERN.md §2: PXCT1 bit n is bit 7 of byte 7+n, the flags byte
// included (start 0x80 travels as PXCT1 bit 6).
TEST(Lncv, SessionMessagesRoundTripWithTheirFlags) {
    for (const auto& m : {kvr_lncv_start(6861, 0xFFFF), kvr_lncv_end(0x8080, 0x80),
                          kvr_lncv_write(6861, 0x1FF, 0xFFFF), kvr_lncv_discover(),
                          kvr_lncv_reply(0xFFFF, 0, 0x8001)}) {
        const auto msg = kvr_build_lncv(m);
        ASSERT_TRUE(msg.checksum_ok());
        ASSERT_EQ(msg.length(), 15);
        for (int i = 1; i < msg.length(); ++i) ASSERT_LT(msg[i], 0x80) << i;
        const auto back = kvr_parse_lncv(msg);
        ASSERT_TRUE(back);
        EXPECT_EQ(*back, m);
    }
    const auto start = kvr_build_lncv(kvr_lncv_start(6861, 1));
    EXPECT_EQ(start[6] & 0x40, 0x40);   // flags 0x80 -> PXCT1 bit 6
    EXPECT_EQ(start[13], 0x00);
    EXPECT_FALSE(kvr_parse_lncv(kvr_loconet_msg::with_checksum(
        {0xED, 0x0F, 0x01, 0x05, 0x00, 0x22, 0, 0, 0, 0, 0, 0, 0, 0})));  // unknown CMD
}

// PROTOCOL-MODERN.md §4: OpSw 5 closed, the rest thrown (built example);
// OpSw n on bit 7 is never written; the write carries TRK 0.
TEST(CsOpsw, ReadsChangesAndWritesSlot127) {
    const auto slot = bytes("E7 0E 7F 10 00 00 00 47 00 00 00 00 00 3E");
    ASSERT_TRUE(slot.checksum_ok());
    ASSERT_TRUE(kvr_is_cs_opsw_slot(slot));
    for (int n = 1; n <= 64; ++n) EXPECT_EQ(kvr_cs_opsw_get(slot, n), n == 5) << n;
    EXPECT_EQ(kvr_build_cs_opsw_read(), bytes("BB 7F 00 3B"));

    auto changed = slot;
    for (int n : {8, 16, 64, 0, 65, 129}) EXPECT_FALSE(kvr_cs_opsw_set(changed, n, true)) << n;
    EXPECT_EQ(changed, slot);
    // Each writable switch lands in its own byte and bit, nothing else moves.
    for (int n = 1; n <= 64; ++n) {
        if (!kvr_cs_opsw_writable(n)) continue;
        auto one = kvr_loconet_msg::with_checksum({0xE7, 0x0E, 0x7F, 0, 0, 0, 0, 0x47, 0, 0, 0, 0, 0});
        ASSERT_TRUE(kvr_cs_opsw_set(one, n, true));
        ASSERT_TRUE(one.checksum_ok());
        for (int k = 1; k <= 64; ++k) ASSERT_EQ(kvr_cs_opsw_get(one, k), k == n) << n << " " << k;
        EXPECT_EQ(one[7], 0x47);
    }
    ASSERT_TRUE(kvr_cs_opsw_set(changed, 5, false));
    ASSERT_TRUE(kvr_cs_opsw_set(changed, 57, true));  // byte 11: must survive the write
    const auto wr = kvr_build_cs_opsw_write(changed);
    EXPECT_EQ(wr, bytes("EF 0E 7F 00 00 00 00 00 00 00 00 01 00 60"));
    EXPECT_TRUE(kvr_cs_opsw_get(wr, 57));
}

TEST(CsOpsw, Slot126HoldsTheUpperSixtyFour) {
    EXPECT_EQ(kvr_cs_opsw_slot(64), 127);
    EXPECT_EQ(kvr_cs_opsw_slot(65), 126);
    EXPECT_EQ(kvr_cs_opsw_slot(128), 126);
    EXPECT_EQ(kvr_cs_opsw_slot(129), 0);
    auto s126 = kvr_loconet_msg::with_checksum({0xE7, 0x0E, 0x7E, 0, 0, 0, 0, 0x47, 0, 0, 0, 0, 0});
    EXPECT_FALSE(kvr_cs_opsw_set(s126, 5, true));  // OpSw 5 lives in slot 127
    ASSERT_TRUE(kvr_cs_opsw_set(s126, 69, true));
    EXPECT_EQ(s126[3], 0x10);
    EXPECT_TRUE(kvr_cs_opsw_get(s126, 69));
    EXPECT_EQ(kvr_build_cs_opsw_read(126), bytes("BB 7E 00 3A"));
}

// PROTOCOL-MODERN.md §4 boards (built examples).
TEST(BoardOpsw, ReadsAndBuildsTheFactSheetExamples) {
    const auto req = bytes("D0 62 00 71 04 38");
    ASSERT_TRUE(req.checksum_ok());
    const kvr_board_opsw_msg m{false, kvr_board::occupancy_detector, 1, 3, false};
    EXPECT_EQ(kvr_build_board_opsw(m), req);
    EXPECT_EQ(kvr_parse_board_opsw(req), m);
    const auto ans = kvr_parse_board_opsw_answer(bytes("B4 00 20 6B"));
    ASSERT_TRUE(ans);
    EXPECT_TRUE(ans->closed);
    EXPECT_FALSE(ans->write_done);
    EXPECT_TRUE(kvr_parse_board_opsw_answer(kvr_loconet_msg::with_checksum({0xB4, 0x50, 0x7F}))->write_done);
    EXPECT_FALSE(kvr_parse_board_opsw_answer(kvr_loconet_msg::with_checksum({0xB4, 0x6F, 0x7F})));
    EXPECT_FALSE(kvr_parse_board_opsw(bytes("D0 20 0F 19 6F 76")));  // transponding, not a board
}

TEST(BoardOpsw, EveryBoardTypeAndSwitchRoundTrips) {
    for (uint16_t board : {1, 2, 128, 129, 256})
        for (uint8_t opsw : {1, 2, 63, 64})
            for (bool write : {false, true}) {
                const kvr_board_opsw_msg m{write, kvr_board::stationary_decoder, board, opsw, write};
                const auto msg = kvr_build_board_opsw(m);
                ASSERT_TRUE(msg.checksum_ok());
                EXPECT_EQ(msg[1] & 0x60, 0x60);
                EXPECT_EQ(kvr_parse_board_opsw(msg), m) << board << " " << int(opsw);
            }
}
