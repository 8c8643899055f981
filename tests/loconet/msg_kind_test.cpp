// What a message is about: kind and number, for the monitor's filters.

#include <gtest/gtest.h>

#include <array>
#include <initializer_list>

#include "loconet/kvr_msg_kind.h"

namespace {

kvr_loconet_msg msg(std::initializer_list<uint8_t> bytes) { return kvr_loconet_msg::with_checksum(bytes); }

kvr_loconet_msg slot_data(uint8_t opcode, uint8_t slot, uint16_t loco) {
    std::array<uint8_t, kvr_proto::slot_field_count> f{};
    f[kvr_proto::slot_stat - 3] = kvr_proto::usage_in_use | kvr_proto::steps_128;
    f[kvr_proto::slot_adr - 3] = loco & 0x7F;
    f[kvr_proto::slot_adr2 - 3] = static_cast<uint8_t>(loco >> 7);
    return kvr_proto::slot_message(opcode, slot, f);
}

TEST(MsgKind, KindAndNumberByOpcode) {
    // LocoNet PE opcode summary for the layouts; numbers as the monitor
    // line shows them.
    struct {
        kvr_loconet_msg m;
        kvr_msg_kind kind;
        int number;
    } cases[] = {
        {msg({OPC_GPON}), kvr_msg_kind::power, -1},
        {msg({OPC_IDLE}), kvr_msg_kind::power, -1},
        {msg({OPC_SW_REQ, 0x0A, 0x30}), kvr_msg_kind::switch_, 11},
        {msg({OPC_SW_ACK, 0x7F, 0x2F}), kvr_msg_kind::switch_, 2048},
        {msg({OPC_SW_REP, 0x47, 0x11}), kvr_msg_kind::switch_, 200},
        {msg({OPC_INPUT_REP, 0x05, 0x50}), kvr_msg_kind::sensor, 11},
        {msg({OPC_INPUT_REP, 0x05, 0x70}), kvr_msg_kind::sensor, 12},
        {msg({OPC_LOCO_ADR, 0x02, 0x0B}), kvr_msg_kind::loco, 267},
        {msg({OPC_RQ_SL_DATA, kvr_slot_fast_clock, 0}), kvr_msg_kind::clock, -1},
        {slot_data(OPC_SL_RD_DATA, kvr_slot_fast_clock, 0), kvr_msg_kind::clock, -1},
        {slot_data(OPC_WR_SL_DATA, kvr_slot_programmer, 0), kvr_msg_kind::programming, -1},
        {kvr_proto::long_ack(OPC_WR_SL_DATA, 1), kvr_msg_kind::programming, -1},
        {kvr_proto::long_ack(OPC_SW_ACK, 0x7F), kvr_msg_kind::switch_, -1},
        {kvr_proto::long_ack(OPC_LOCO_ADR, 0), kvr_msg_kind::loco, -1},
        // PROTOCOL-FACTS: ED 0B 7F REPS DHI IM1..IM5; F13-F20 for long
        // address 1234 (C4 D2, bit 7 of both restored from DHI); an accessory
        // packet (81 ..) and the idle packet (FF 00 FF).
        {msg({OPC_IMM_PACKET, 0x0B, 0x7F, 0x30, 0x01, 0x01, 0x71, 0x0E, 0x00, 0x00}), kvr_msg_kind::switch_, -1},
        {msg({OPC_IMM_PACKET, 0x0B, 0x7F, 0x20, 0x01, 0x7F, 0x00, 0x7F, 0x00, 0x00}), kvr_msg_kind::other, -1},
        {msg({OPC_IMM_PACKET, 0x0B, 0x7F, 0x40, 0x03, 0x44, 0x52, 0x5E, 0x01, 0x00}), kvr_msg_kind::loco, 1234},
        {msg({OPC_IMM_PACKET, 0x0B, 0x7F, 0x30, 0x00, 0x03, 0x5E, 0x01, 0x00, 0x00}), kvr_msg_kind::loco, 3},
        {msg({OPC_PEER_XFER, 0x10, 1, 2, 2, 0x10, 0x23, 0, 3, 0, 0x10, 0, 0, 0, 0}), kvr_msg_kind::programming, -1},
        {msg({OPC_BUSY}), kvr_msg_kind::other, -1},
        {msg({0xB7, 0x01, 0x02}), kvr_msg_kind::other, -1},
    };
    for (const auto& c : cases) {
        kvr_msg_classifier fresh;
        const kvr_msg_subject s = fresh.classify(c.m);
        EXPECT_EQ(s.kind, c.kind) << std::hex << int(c.m[0]);
        EXPECT_EQ(s.number, c.number) << std::hex << int(c.m[0]);
    }
}

TEST(MsgKind, SlotMessagesNameTheLocoTheSlotLastHeld) {
    kvr_msg_classifier c;
    const kvr_loconet_msg speed = msg({OPC_LOCO_SPD, 5, 0x3F});
    EXPECT_EQ(c.classify(speed).number, -1) << "slot 5 not yet seen";
    EXPECT_EQ(c.classify(slot_data(OPC_SL_RD_DATA, 5, 3)).number, 3);
    EXPECT_EQ(c.classify(speed).kind, kvr_msg_kind::loco);
    EXPECT_EQ(c.classify(speed).number, 3);
    EXPECT_EQ(c.classify(msg({0xD4, 0x20, 5, 0x08, 0x01})).number, 3);  // F13-F19 to slot 5
    // The slot is taken by a long address: later messages name it.
    EXPECT_EQ(c.classify(slot_data(OPC_SL_RD_DATA, 5, 1234)).number, 1234);
    EXPECT_EQ(c.classify(msg({OPC_LOCO_DIRF, 5, 0x10})).number, 1234);
    c.forget();
    EXPECT_EQ(c.classify(speed).number, -1);
}

}  // namespace
