#include <gtest/gtest.h>

#include <deque>
#include <random>
#include <vector>

#include "loconet/kvr_loconet_msg.h"

namespace {

using bytes = std::vector<uint8_t>;

// The bytes with their checksum appended.
bytes with_checksum(bytes b) {
    uint8_t x = 0;
    for (uint8_t v : b) x ^= v;
    b.push_back(static_cast<uint8_t>(~x));
    return b;
}

bytes message_bytes(const kvr_loconet_msg& m) { return bytes(m.data(), m.data() + m.length()); }

// Runs the framer until it makes no more progress; returns the messages taken.
// Also checks that every call takes one whole message or at most one byte.
std::vector<bytes> drain(std::deque<uint8_t>& q) {
    std::vector<bytes> out;
    kvr_loconet_msg m;
    while (!q.empty()) {
        const std::size_t before = q.size();
        const uint8_t op = m.take_from(q);
        if (op != 0) {
            EXPECT_EQ(op, m.opcode());
            EXPECT_EQ(before - q.size(), static_cast<std::size_t>(m.length()));
            out.push_back(message_bytes(m));
        } else {
            EXPECT_LE(before - q.size(), 1u);
            if (q.size() == before) break;
        }
    }
    return out;
}

std::deque<uint8_t> queue_of(std::initializer_list<bytes> parts) {
    std::deque<uint8_t> q;
    for (const bytes& p : parts) q.insert(q.end(), p.begin(), p.end());
    return q;
}

const bytes gpon{0x83, 0x7C};
const bytes loco_spd{0xA0, 0x05, 0x3F, 0x65};  // speed 63 to slot 5
const bytes sw_req = with_checksum({0xB0, 0x0A, 0x30});
const bytes slot_read =
    with_checksum({0xE7, 0x0E, 0x01, 0x33, 0x03, 0x00, 0x30, 0x07, 0x00, 0x00, 0x00, 0x01, 0x00});

TEST(Framer, TakesOneMessageAndEmptiesQueue) {
    std::deque<uint8_t> q(gpon.begin(), gpon.end());
    kvr_loconet_msg m;
    EXPECT_EQ(m.take_from(q), OPC_GPON);
    EXPECT_TRUE(q.empty());
    EXPECT_EQ(message_bytes(m), gpon);
    EXPECT_EQ(m.take_from(q), 0);
}

TEST(Framer, DropsOneStrayBytePerCall) {
    std::deque<uint8_t> q = queue_of({{0x05, 0x7F}, gpon});
    kvr_loconet_msg m;
    EXPECT_EQ(m.take_from(q), 0);
    EXPECT_EQ(q.size(), 3u);
    EXPECT_EQ(m.take_from(q), 0);
    EXPECT_EQ(q.size(), 2u);
    EXPECT_EQ(m.take_from(q), OPC_GPON);
}

TEST(Framer, WaitsForTheRestOfAMessage) {
    std::deque<uint8_t> q{0xA0, 0x01};
    kvr_loconet_msg m;
    EXPECT_EQ(m.take_from(q), 0);
    EXPECT_EQ(q, (std::deque<uint8_t>{0xA0, 0x01}));
    q.push_back(0x10);
    q.push_back(static_cast<uint8_t>(~(0xA0 ^ 0x01 ^ 0x10)));
    EXPECT_EQ(m.take_from(q), OPC_LOCO_SPD);
    EXPECT_EQ(m.length(), 4);
    EXPECT_TRUE(q.empty());
}

TEST(Framer, WaitsForTheCountByteOfAVariableMessage) {
    std::deque<uint8_t> q{0xE7};
    kvr_loconet_msg m;
    EXPECT_EQ(m.take_from(q), 0);
    EXPECT_EQ(q.size(), 1u);
}

TEST(Framer, FramesStreamFedOneByteAtATime) {
    const std::deque<uint8_t> stream = queue_of({gpon, slot_read, {0x11}, loco_spd, sw_req});
    std::deque<uint8_t> q;
    std::vector<bytes> got;
    for (uint8_t b : stream) {
        q.push_back(b);
        for (const bytes& m : drain(q)) got.push_back(m);
    }
    EXPECT_EQ(got, (std::vector<bytes>{gpon, slot_read, loco_spd, sw_req}));
    EXPECT_TRUE(q.empty());
}

TEST(Framer, FramesVariableLengthMessagesUpTo127Bytes) {
    bytes peer{0xE5, 0x10};
    peer.resize(15, 0x55);
    bytes longest{0xED, 0x7F};
    longest.resize(126, 0x2A);
    std::deque<uint8_t> q = queue_of({with_checksum(peer), with_checksum(longest)});
    const std::vector<bytes> got = drain(q);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].size(), 16u);
    EXPECT_EQ(got[1].size(), 127u);
}

// A corrupted message gives up only its opcode; the message behind survives.
TEST(FramerResync, BadChecksumLosesOnlyThatMessage) {
    const bytes corrupted{0xA0, 0x05, 0x3F, 0x66};
    std::deque<uint8_t> q = queue_of({corrupted, gpon});
    kvr_loconet_msg m;
    EXPECT_EQ(m.take_from(q), 0);
    EXPECT_EQ(q.size(), 5u);  // only the opcode went
    EXPECT_EQ(drain(q), std::vector<bytes>{gpon});
}

TEST(FramerResync, TruncatedMessageGivesWayAtOnceToTheNextOpcode) {
    // A sender that lost a collision stopped after two bytes; the next message
    // has only begun to arrive, yet the broken one is dropped straight away.
    std::deque<uint8_t> q{0xA0, 0x05, 0x83};
    kvr_loconet_msg m;
    EXPECT_EQ(m.take_from(q), 0);
    EXPECT_EQ(q, (std::deque<uint8_t>{0x05, 0x83}));
    q.push_back(0x7C);
    EXPECT_EQ(drain(q), std::vector<bytes>{gpon});
}

TEST(FramerResync, TruncatedSlotMessageDoesNotSwallowTheNextMessages) {
    bytes truncated(slot_read.begin(), slot_read.begin() + 6);
    std::deque<uint8_t> q = queue_of({truncated, sw_req, loco_spd});
    EXPECT_EQ(drain(q), (std::vector<bytes>{sw_req, loco_spd}));
}

TEST(FramerResync, GarbageAroundMessagesKeepsEveryGoodOne) {
    const bytes corrupted_slot = [] {
        bytes b = slot_read;
        b[5] ^= 0x01;
        return b;
    }();
    std::deque<uint8_t> q = queue_of({{0x00, 0x7F, 0x12}, corrupted_slot, gpon, {0xB0, 0x0A},
                                      {0xE5}, loco_spd, {0xFF, 0xFE, 0x02}, slot_read, {0xA0}});
    EXPECT_EQ(drain(q), (std::vector<bytes>{gpon, loco_spd, slot_read}));
    EXPECT_EQ(q, std::deque<uint8_t>{0xA0});  // waits: might still be completed
}

// Random garbage between good messages: a candidate's bytes never reach past
// the next opcode, so every good message must be framed, in order.
TEST(FramerResync, RandomGarbageNeverCostsAGoodMessage) {
    const std::vector<bytes> good{gpon, loco_spd, sw_req, slot_read};
    std::mt19937 rng(20240601);
    for (int round = 0; round < 300; ++round) {
        std::deque<uint8_t> q;
        std::vector<bytes> sent;
        for (int i = 0; i < 8; ++i) {
            const int junk = static_cast<int>(rng() % 6);
            for (int j = 0; j < junk; ++j) q.push_back(static_cast<uint8_t>(rng()));
            const bytes& g = good[rng() % good.size()];
            q.insert(q.end(), g.begin(), g.end());
            sent.push_back(g);
        }
        const std::vector<bytes> got = drain(q);
        std::size_t next = 0;
        for (const bytes& m : got) {
            if (next < sent.size() && m == sent[next]) ++next;
        }
        ASSERT_EQ(next, sent.size()) << "round " << round;
    }
}

TEST(FramerCount, ImpossibleCountDropsTheOpcode) {
    struct count_case {
        uint8_t opcode;
        uint8_t count;
    };
    const count_case cases[] = {
        {0xE5, 0x80},  // bit 7 set: it is an opcode, not a count
        {0xE5, 0xFF},
    };
    for (const count_case& c : cases) {
        std::deque<uint8_t> q{c.opcode, c.count};
        kvr_loconet_msg m;
        EXPECT_EQ(m.take_from(q), 0) << int(c.opcode) << " " << int(c.count);
        EXPECT_EQ(q, std::deque<uint8_t>{c.count});
        EXPECT_EQ(m.length(), 0);
    }
}

TEST(FramerCount, CountBelowTwoIsATwoByteMessageThatTheChecksumDecides) {
    std::deque<uint8_t> q{0xFF, 0x00, 0xED, 0x00, 0x83, 0x7C};
    kvr_loconet_msg m;
    EXPECT_EQ(m.take_from(q), 0xFF);  // FF 00: the XOR is 0xFF
    EXPECT_EQ(m.length(), 2);
    EXPECT_EQ(m.take_from(q), 0);     // ED 00 fails its checksum: the opcode goes
    EXPECT_EQ(m.take_from(q), 0);     // then its stray count byte
    EXPECT_EQ(m.take_from(q), 0x83);
}

TEST(FramerCount, OversizeCountDoesNotHoldBackTheNextMessage) {
    std::deque<uint8_t> q = queue_of({{0xE7, 0x80}, gpon});
    EXPECT_EQ(drain(q), std::vector<bytes>{gpon});
}

TEST(FramerCount, ExpectedLengthByOpcodeClassAndCount) {
    EXPECT_EQ(kvr_expected_length(0x9F), 2);
    EXPECT_EQ(kvr_expected_length(0xBF), 4);
    EXPECT_EQ(kvr_expected_length(0xC0), 6);
    EXPECT_EQ(kvr_expected_length(0xE7), 0);
    EXPECT_EQ(kvr_expected_length(0xE7, 0x0E), 14);
    EXPECT_EQ(kvr_expected_length(0xE7, 0x80), 0);
    EXPECT_EQ(kvr_expected_length(0xE7, 0x01), 2);
}

TEST(Message, AppendBuildsMessageWithChecksum) {
    kvr_loconet_msg m;
    EXPECT_EQ(m.append(OPC_GPON), 1);
    EXPECT_EQ(m.append(0xFFFF), 2);
    EXPECT_EQ(message_bytes(m), gpon);
    EXPECT_TRUE(m.checksum_ok());
}

TEST(Message, ChecksumOfEmptyMessageIsFF) {
    kvr_loconet_msg m;
    EXPECT_FALSE(m.checksum_ok());
    EXPECT_EQ(m.append(0xFFFF), 1);
    EXPECT_EQ(m[0], 0xFF);
    EXPECT_TRUE(m.checksum_ok());
}

TEST(Message, AppendStopsAtCapacity) {
    kvr_loconet_msg m;
    for (int i = 0; i < 200; ++i) m.append(0x01);
    EXPECT_EQ(m.length(), kvr_loconet_msg::capacity);
    EXPECT_EQ(m.append(0xFFFF), kvr_loconet_msg::capacity);
}

TEST(Message, RenewChecksumAfterEditingAByte) {
    kvr_loconet_msg m;
    for (uint8_t b : loco_spd) m.append(b);
    m[2] = 0x10;
    EXPECT_FALSE(m.checksum_ok());
    EXPECT_EQ(m.renew_checksum(), 4);
    EXPECT_TRUE(m.checksum_ok());
    EXPECT_EQ(m[3], static_cast<uint8_t>(~(0xA0 ^ 0x05 ^ 0x10)));
}

TEST(SlotAccessors, ThrottleIdPacksTwoSevenBitBytes) {
    kvr_loconet_msg m;
    m.set_throttle_id(0x0100);
    EXPECT_EQ(m[11], 0x01);
    EXPECT_EQ(m[12], 0x00);
    EXPECT_EQ(m.throttle_id(), 0x0100);
    m.set_throttle_id(0x7F7F);
    EXPECT_EQ(m.throttle_id(), 0x7F7F);
}

TEST(SlotAccessors, StatusSpeedDirectionAndProgrammerFields) {
    kvr_loconet_msg m;
    m[3] = 0x48;
    m.set_speed_steps(3);
    EXPECT_EQ(m[3], 0x4B);
    EXPECT_EQ(m.speed_steps(), 3);
    m.set_in_use();
    EXPECT_EQ(m[3], 0x7B);

    m[6] = 0x1F;
    m.set_direction(1);
    EXPECT_EQ(m.dirf(), 0x3F);
    EXPECT_EQ(m.direction(), 1);
    m.set_direction(2);  // only 1 means forward
    EXPECT_EQ(m.dirf(), 0x1F);

    m.set_speed(0x42);
    EXPECT_EQ(m[5], 0x42);
    m[10] = 0x05;
    EXPECT_EQ(m.snd(), 0x05);

    m[4] = 0x02;
    m[8] = 0x02;  // CVH bit 1 carries data bit 7
    m[10] = 0x06;
    EXPECT_EQ(m.pgm_status(), 0x02);
    EXPECT_EQ(m.pgm_data(), 0x86);
}

TEST(OpcodeNames, EveryKnownOpcodeAndUnknown) {
    struct name_case {
        uint8_t opcode;
        const char* name;
    };
    const name_case cases[] = {
        {0x85, "OPC_IDLE"},         {0x83, "OPC_GPON"},         {0x82, "OPC_GPOFF"},
        {0x81, "OPC_BUSY"},         {0xBF, "OPC_LOCO_ADR"},     {0xBD, "OPC_SW_ACK"},
        {0xBC, "OPC_SW_STATE"},     {0xBB, "OPC_RQ_SL_DATA"},   {0xBA, "OPC_MOVE_SLOTS"},
        {0xB9, "OPC_LINK_SLOTS"},   {0xB8, "OPC_UNLINK_SLOTS"}, {0xB6, "OPC_CONSIST_FUNC"},
        {0xB5, "OPC_SLOT_STAT1"},   {0xB4, "OPC_LONG_ACK"},     {0xB2, "OPC_INPUT_REP"},
        {0xB1, "OPC_SW_REP"},       {0xB0, "OPC_SW_REQ"},       {0xA2, "OPC_LOCO_SND"},
        {0xA1, "OPC_LOCO_DIRF"},    {0xA0, "OPC_LOCO_SPD"},     {0xEF, "OPC_WR_SL_DATA"},
        {0xE7, "OPC_SL_RD_DATA"},   {0xE5, "OPC_PEER_XFER"},    {0xED, "OPC_IMM_PACKET"},
        {0x84, "?"},                {0x00, "?"},                {0xFE, "?"},
    };
    for (const name_case& c : cases) EXPECT_STREQ(kvr_opcode_name(c.opcode), c.name) << int(c.opcode);
}

}  // namespace
