#include <gtest/gtest.h>

#include <deque>
#include <random>
#include <vector>

#include "loconet/kvr_loconet_msg.h"

namespace {

using bytes = std::vector<uint8_t>;

// The bytes with their checksum appended, worked out here independently of
// the builder under test.
bytes with_checksum(bytes b) {
    uint8_t x = 0;
    for (uint8_t v : b) x ^= v;
    b.push_back(static_cast<uint8_t>(~x));
    return b;
}

// Runs the framer until it makes no more progress; returns the messages taken.
// Also checks that every call takes one whole message or at most one byte.
std::vector<bytes> drain(std::deque<uint8_t>& q) {
    std::vector<bytes> out;
    for (kvr_loconet_msg m; !q.empty();) {
        const std::size_t before = q.size();
        if (m.take_from(q) != 0) {
            EXPECT_EQ(before - q.size(), static_cast<std::size_t>(m.length()));
            out.emplace_back(m.data(), m.data() + m.length());
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

TEST(Framer, FramesStreamFedOneByteAtATimeDroppingStrays) {
    bytes longest{0xED, 0x7F};
    longest.resize(126, 0x2A);
    longest = with_checksum(longest);
    const std::deque<uint8_t> stream =
        queue_of({{0x05, 0x7F}, gpon, slot_read, {0x11}, loco_spd, longest, sw_req});
    std::deque<uint8_t> q;
    std::vector<bytes> got;
    for (uint8_t b : stream) {
        q.push_back(b);
        for (const bytes& m : drain(q)) got.push_back(m);
    }
    EXPECT_EQ(got, (std::vector<bytes>{gpon, slot_read, loco_spd, longest, sw_req}));
    EXPECT_TRUE(q.empty());

    q = {0xE7};  // the count byte is read only once it has arrived
    EXPECT_TRUE(drain(q).empty());
    EXPECT_EQ(q.size(), 1u);
}

// A corrupted message gives up only its opcode; the message behind survives.
TEST(FramerResync, BadChecksumLosesOnlyThatMessage) {
    std::deque<uint8_t> q = queue_of({{0xA0, 0x05, 0x3F, 0x66}, gpon});
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

    q = queue_of({bytes(slot_read.begin(), slot_read.begin() + 6), sw_req, loco_spd});
    EXPECT_EQ(drain(q), (std::vector<bytes>{sw_req, loco_spd}));
}

TEST(FramerResync, GarbageAroundMessagesKeepsEveryGoodOne) {
    bytes corrupted_slot = slot_read;
    corrupted_slot[5] ^= 0x01;
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
            for (int j = static_cast<int>(rng() % 6); j > 0; --j) q.push_back(static_cast<uint8_t>(rng()));
            sent.push_back(good[rng() % good.size()]);
            q.insert(q.end(), sent.back().begin(), sent.back().end());
        }
        std::size_t next = 0;
        for (const bytes& m : drain(q)) next += next < sent.size() && m == sent[next];
        ASSERT_EQ(next, sent.size()) << "round " << round;
    }
}

TEST(FramerCount, ImpossibleCountsDropTheOpcodeAndHoldNothingBack) {
    for (uint8_t count : {0x80, 0xFF}) {  // bit 7 set: an opcode, not a count
        std::deque<uint8_t> q = queue_of({{0xE5, count}, gpon});
        kvr_loconet_msg m;
        EXPECT_EQ(m.take_from(q), 0) << int(count);
        EXPECT_EQ(q.size(), 3u);
        EXPECT_EQ(m.length(), 0);
        EXPECT_EQ(drain(q), std::vector<bytes>{gpon});
    }
}

TEST(Message, ChecksumIsAppendedAndRenewedAndLengthCapped) {
    kvr_loconet_msg m;
    for (uint8_t b : {0xA0, 0x05, 0x3F}) m.append(b);
    EXPECT_EQ(m.append(0xFFFF), 4);
    EXPECT_EQ(bytes(m.data(), m.data() + 4), loco_spd);
    m[2] = 0x10;
    EXPECT_FALSE(m.checksum_ok());
    EXPECT_EQ(m.renew_checksum(), 4);
    EXPECT_TRUE(m.checksum_ok());

    kvr_loconet_msg full;  // no copy ever exceeds the longest message
    for (int i = 0; i < 200; ++i) full.append(0x01);
    EXPECT_EQ(full.length(), kvr_loconet_msg::capacity);
}

}  // namespace
