// One reading of each message: its kind and number (for the monitor's
// filters, compared with the monitor's own line) and the fields a state of
// the bus takes from it.

#include <gtest/gtest.h>

#include <array>
#include <initializer_list>
#include <regex>
#include <string>

#include "loconet/kvr_dcc_packet.h"
#include "loconet/kvr_monitor.h"
#include "loconet/kvr_msg_reading.h"

namespace {

kvr_loconet_msg msg(std::initializer_list<uint8_t> bytes) { return kvr_loconet_msg::with_checksum(bytes); }

kvr_loconet_msg slot_data(uint8_t opcode, uint8_t slot, uint16_t loco) {
    std::array<uint8_t, kvr_proto::slot_field_count> f{};
    f[kvr_proto::slot_stat - 3] = kvr_proto::usage_in_use | kvr_proto::steps_128;
    f[kvr_proto::slot_adr - 3] = loco & 0x7F;
    f[kvr_proto::slot_adr2 - 3] = static_cast<uint8_t>(loco >> 7);
    return kvr_proto::slot_message(opcode, slot, f);
}

TEST(MsgReading, KindAndNumberByOpcode) {
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
        // "INPUT#[6 (1:2)] for (aux on )" and "INPUT#[12 (2:4)] for (noaux on )".
        {msg({OPC_INPUT_REP, 0x05, 0x50}), kvr_msg_kind::sensor, 6},
        {msg({OPC_INPUT_REP, 0x0B, 0x70}), kvr_msg_kind::sensor, 12},
        {msg({OPC_LOCO_ADR, 0x02, 0x0B}), kvr_msg_kind::loco, 267},
        {msg({OPC_RQ_SL_DATA, kvr_slot_fast_clock, 0}), kvr_msg_kind::clock, -1},
        {slot_data(OPC_SL_RD_DATA, kvr_slot_fast_clock, 0), kvr_msg_kind::clock, -1},
        {slot_data(OPC_WR_SL_DATA, kvr_slot_programmer, 0), kvr_msg_kind::programming, -1},
        {slot_data(OPC_SL_RD_DATA, 5, 1234), kvr_msg_kind::loco, 1234},
        {slot_data(OPC_SL_RD_DATA, 127, 3), kvr_msg_kind::loco, -1},  // option switches, no loco
        {msg({OPC_LOCO_SPD, 5, 0x3F}), kvr_msg_kind::loco, -1},  // a slot only: the bus state knows its loco
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
        const kvr_msg_reading r = kvr_read_message(c.m);
        EXPECT_EQ(r.kind, c.kind) << kvr_monitor::to_text(c.m);
        EXPECT_EQ(r.number, c.number) << kvr_monitor::to_text(c.m);
    }
}

// The number a message is filtered by is the one its monitor line shows,
// for every switch, report and input address, both inputs of an address,
// and loco addresses in requests and slot data.
int number_in_line(const std::string& line) {
    static const std::regex number(R"((?:INPUT#\[|SW#\[|LOCO#\[|adr\( *)(\d+))");
    std::smatch m;
    return std::regex_search(line, m, number) ? std::stoi(m[1]) : -1;
}

TEST(MsgReading, NumbersAreTheMonitorLinesOwn) {
    int compared = 0;
    const auto check = [&](const kvr_loconet_msg& m) {
        const std::string line = kvr_monitor::to_text(m);
        const int shown = number_in_line(line);
        ASSERT_NE(shown, -1) << line;
        ASSERT_EQ(kvr_read_message(m).number, shown) << line;
        ++compared;
    };
    for (unsigned a = 0; a < 128; a += 3)
        for (unsigned b = 0; b < 128; ++b)
            for (uint8_t op : {OPC_INPUT_REP, OPC_SW_REQ, OPC_SW_REP, OPC_SW_ACK, OPC_SW_STATE}) {
                // Interrogation names no switch (below).
                if (op == OPC_SW_REQ && (a & 0xFC) == 0x78 && ((b & 0xCF) == 0x07 || (b & 0xCF) == 0x0F)) continue;
                check(msg({op, static_cast<uint8_t>(a), static_cast<uint8_t>(b)}));
            }
    for (unsigned adr = 1; adr <= kvr_proto::loco_address_max; adr += 37) {
        const kvr_proto::byte_pair p = kvr_proto::encode_loco_address(static_cast<uint16_t>(adr));
        check(msg({OPC_LOCO_ADR, p.high, p.low}));
        check(slot_data(OPC_SL_RD_DATA, static_cast<uint8_t>(1 + adr % 119), static_cast<uint16_t>(adr)));
    }
    EXPECT_GT(compared, 20000);
}

TEST(MsgReading, FieldsOfSlotsFunctionsAndPoints) {
    // Slot 9, loco 1234, in use 128 steps, speed 40, reverse, F0 F2 F7, TRK 07.
    std::array<uint8_t, kvr_proto::slot_field_count> f{};
    f[kvr_proto::slot_stat - 3] = 0x33;
    f[kvr_proto::slot_adr - 3] = 1234 & 0x7F;
    f[kvr_proto::slot_adr2 - 3] = 1234 >> 7;
    f[kvr_proto::slot_spd - 3] = 40;
    f[kvr_proto::slot_dirf - 3] = 0x32;
    f[kvr_proto::slot_snd - 3] = 0x04;
    f[kvr_proto::slot_trk - 3] = 0x07;
    kvr_msg_reading r = kvr_read_message(kvr_proto::slot_message(OPC_SL_RD_DATA, 9, f));
    EXPECT_EQ(r.what, kvr_msg_what::slot_data);
    EXPECT_TRUE(r.answer);
    EXPECT_EQ(r.slot, 9);
    EXPECT_EQ(r.address, 1234);
    EXPECT_EQ(r.stat, 0x33);
    EXPECT_EQ(r.speed, 40);
    EXPECT_FALSE(r.forward);
    EXPECT_EQ(r.trk, 0x07);
    EXPECT_EQ(r.fn_mask, 0x1FFu);
    EXPECT_EQ(r.fn_bits, 1u << 0 | 1u << 2 | 1u << 7);
    EXPECT_FALSE(kvr_read_message(kvr_proto::slot_message(OPC_WR_SL_DATA, 9, f)).answer);
    EXPECT_EQ(kvr_read_message(kvr_proto::slot_message(OPC_SL_RD_DATA, 124, f)).what, kvr_msg_what::system_slot);
    EXPECT_EQ(kvr_read_message(kvr_proto::slot_message(OPC_SL_RD_DATA, 127, f)).what, kvr_msg_what::system_slot);

    // DIRF names F0..F4 and the direction; SND F5..F8.
    r = kvr_read_message(msg({OPC_LOCO_DIRF, 9, 0x11}));
    EXPECT_EQ(r.what, kvr_msg_what::dirf);
    EXPECT_TRUE(r.forward);
    EXPECT_EQ(r.fn_mask, 0x1Fu);
    EXPECT_EQ(r.fn_bits, 1u << 0 | 1u << 1);
    r = kvr_read_message(msg({OPC_LOCO_SND, 9, 0x09}));
    EXPECT_EQ(r.fn_mask, 0x1E0u);
    EXPECT_EQ(r.fn_bits, 1u << 5 | 1u << 8);
    // A3 by slot, a packet by address.
    r = kvr_read_message(kvr_dcc::function_opcode_message(9, 12, 1u << 12));
    EXPECT_EQ(r.what, kvr_msg_what::functions);
    EXPECT_EQ(r.slot, 9);
    EXPECT_EQ(r.address, -1);
    EXPECT_EQ(r.fn_bits, 1u << 12);
    r = kvr_read_message(kvr_dcc::imm_packet_message(kvr_dcc::encode_function({3, kvr_dcc::fn_group::f13_f20, 0x01}), 0));
    EXPECT_EQ(r.what, kvr_msg_what::functions);
    EXPECT_EQ(r.address, 3);
    EXPECT_EQ(r.fn_mask, 0xFFu << 13);
    EXPECT_EQ(r.fn_bits, 1u << 13);

    // "SW#[11 (2:3)] for closed(off) thrown(on ))"; "INPUT#[12 (2:4)] for (noaux on )".
    r = kvr_read_message(msg({OPC_SW_REP, 0x0A, 0x10}));
    EXPECT_EQ(r.what, kvr_msg_what::switch_outputs);
    EXPECT_TRUE(r.thrown_on);
    EXPECT_FALSE(r.closed_on);
    r = kvr_read_message(msg({OPC_INPUT_REP, 0x0B, 0x70}));
    EXPECT_EQ(r.what, kvr_msg_what::input);
    EXPECT_TRUE(r.noaux);
    EXPECT_TRUE(r.on);
    // Too short to read: no meaning, no crash.
    EXPECT_EQ(kvr_read_message(msg({OPC_SW_REQ})).what, kvr_msg_what::none);
    EXPECT_EQ(kvr_read_message(kvr_loconet_msg{}).what, kvr_msg_what::none);
}

TEST(MsgReading, ExpandedSlotMessagesReadAsTheClassicOnes) {
    // PROTOCOL-MODERN.md section 1, example: slot 130, loco 3, in use, 128
    // steps, speed 32, forward, F0 on, id bytes 05 04.
    kvr_msg_reading r = kvr_read_message(msg({0xE6, 0x15, 0x01, 0x02, 0x33, 0x03, 0x00, 0x47, 0x20, 0x00, 0x10,
                                              0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x05, 0x04}));
    EXPECT_EQ(r.what, kvr_msg_what::slot_data);
    EXPECT_EQ(r.kind, kvr_msg_kind::loco);
    EXPECT_TRUE(r.expanded);
    EXPECT_TRUE(r.answer);
    EXPECT_EQ(r.slot, 130);
    EXPECT_EQ(r.address, 3);
    EXPECT_EQ(r.number, 3);
    EXPECT_EQ(r.stat, 0x33);
    EXPECT_EQ(r.speed, 32);
    EXPECT_TRUE(r.forward);
    EXPECT_EQ(r.trk, 0x47);
    EXPECT_EQ(r.fn_mask, (1u << 29) - 1);
    EXPECT_EQ(r.fn_bits, 1u);
    EXPECT_EQ(r.throttle_id, 0x0504);  // ID1 << 8 | ID2, as an E7 with ID1 05 ID2 04 reads

    // F9..F28 from the slot itself: byte 9 F12/F20/F28, byte 11 F9..F11,
    // bytes 12/13 F13..F19 / F21..F27; a write (EE) is no answer.
    r = kvr_read_message(msg({0xEE, 0x15, 0x03, 0x30, 0x30, 0x05, 0x00, 0x07, 0x00, 0x70, 0x20, 0x70, 0x41,
                              0x01, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(r.slot, 3 * 128 + 0x30);
    EXPECT_FALSE(r.answer);
    EXPECT_FALSE(r.forward);
    EXPECT_EQ(r.fn_bits, 1u << 9 | 1u << 10 | 1u << 11 | 1u << 12 | 1u << 13 | 1u << 19 | 1u << 20 | 1u << 21 |
                             1u << 28);
    // The status slots (248..251) and route data (byte 1 = 0x10) hold no loco.
    r = kvr_read_message(msg({0xE6, 0x15, 0x01, 0x79, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(r.what, kvr_msg_what::system_slot);
    EXPECT_EQ(r.number, -1);
    r = kvr_read_message(msg({0xE6, 0x10, 0x01, 0x02, 0x03, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                              0x00, 0x00}));
    EXPECT_EQ(r.what, kvr_msg_what::none);
    EXPECT_EQ(r.slot, -1);

    // D5 11 02 05 31 (section 1): slot 130, F0, F1, F5 on, F2..F4, F6 off.
    r = kvr_read_message(msg({0xD5, 0x11, 0x02, 0x05, 0x31}));
    EXPECT_EQ(r.what, kvr_msg_what::functions);
    EXPECT_EQ(r.slot, 130);
    EXPECT_EQ(r.address, -1);
    EXPECT_EQ(r.fn_mask, 0x7Fu);
    EXPECT_EQ(r.fn_bits, 1u << 0 | 1u << 1 | 1u << 5);
    // Speed with its direction; the other groups; F28 by the group byte.
    r = kvr_read_message(msg({0xD5, 0x09, 0x02, 0x05, 0x40}));
    EXPECT_EQ(r.what, kvr_msg_what::speed);
    EXPECT_EQ(r.value, 0x40);
    EXPECT_FALSE(r.forward);
    EXPECT_TRUE(kvr_read_message(msg({0xD5, 0x01, 0x02, 0x05, 0x40})).forward);
    r = kvr_read_message(msg({0xD5, 0x18, 0x02, 0x05, 0x40}));
    EXPECT_EQ(r.fn_mask, 0x7Fu << 7);
    EXPECT_EQ(r.fn_bits, 1u << 13);
    r = kvr_read_message(msg({0xD5, 0x20, 0x02, 0x05, 0x41}));
    EXPECT_EQ(r.fn_bits, 1u << 14 | 1u << 20);
    r = kvr_read_message(msg({0xD5, 0x32, 0x10, 0x05, 0x01}));
    EXPECT_EQ(r.slot, 2 * 128 + 0x10);
    EXPECT_EQ(r.fn_mask, 0xFFu << 21);
    EXPECT_EQ(r.fn_bits, 1u << 21 | 1u << 28);
    EXPECT_EQ(kvr_read_message(msg({0xD5, 0x28, 0x10, 0x05, 0x00})).fn_bits, 0u);

    // D4 39 02 40 03 (section 1): link, slot 130 follows slot 3: no move.
    r = kvr_read_message(msg({0xD4, 0x39, 0x02, 0x40, 0x03}));
    EXPECT_EQ(r.what, kvr_msg_what::none);
    EXPECT_EQ(r.slot, 130);
    EXPECT_EQ(r.to_slot, 3);
    r = kvr_read_message(msg({0xD4, 0x39, 0x02, 0x01, 0x02}));  // null move of 130
    EXPECT_EQ(r.what, kvr_msg_what::move);
    EXPECT_EQ(r.to_slot, 130);
    r = kvr_read_message(msg({0xD4, 0x3A, 0x05, 0x00, 0x00}));  // dispatch of 261
    EXPECT_EQ(r.slot, 261);
    EXPECT_EQ(r.to_slot, 0);
    r = kvr_read_message(msg({0xD4, 0x39, 0x02, 0x60, 0x13}));
    EXPECT_EQ(r.what, kvr_msg_what::slot_status);
    EXPECT_EQ(r.value, 0x13);
    // The third-party function form keeps its meaning: D4 20 1F 08 01, slot 31 F13 on.
    r = kvr_read_message(msg({0xD4, 0x20, 0x1F, 0x08, 0x01}));
    EXPECT_EQ(r.what, kvr_msg_what::functions);
    EXPECT_EQ(r.slot, 31);
    EXPECT_FALSE(r.expanded);
    EXPECT_EQ(r.fn_bits, 1u << 13);

    // BB 02 41 -> slot 130, answer as E6; BB 79 41 -> status slot 249;
    // BB 7F 00 stays classic slot 127. BE 00 03: loco 3.
    r = kvr_read_message(msg({OPC_RQ_SL_DATA, 0x02, 0x41}));
    EXPECT_EQ(r.what, kvr_msg_what::slot_request);
    EXPECT_EQ(r.slot, 130);
    EXPECT_TRUE(r.expanded);
    EXPECT_EQ(kvr_read_message(msg({OPC_RQ_SL_DATA, 0x79, 0x41})).slot, 249);
    r = kvr_read_message(msg({OPC_RQ_SL_DATA, 0x7F, 0x00}));
    EXPECT_EQ(r.slot, 127);
    EXPECT_FALSE(r.expanded);
    r = kvr_read_message(msg({0xBE, 0x00, 0x03}));
    EXPECT_EQ(r.what, kvr_msg_what::loco_request);
    EXPECT_EQ(r.kind, kvr_msg_kind::loco);
    EXPECT_EQ(r.number, 3);
}

TEST(MsgReading, LocoSlotsAndInterrogation) {
    // PROTOCOL-MODERN.md section 1: loco slots 1-120, 128-247, 257-375, 385-432.
    for (unsigned s : {1u, 120u, 128u, 247u, 257u, 375u, 385u, 432u}) EXPECT_TRUE(kvr_is_loco_slot(s)) << s;
    for (unsigned s : {0u, 121u, 123u, 126u, 127u, 248u, 251u, 256u, 376u, 384u, 433u}) EXPECT_FALSE(kvr_is_loco_slot(s)) << s;
    // Section 7: (SW1 & FC) = 78, (SW2 & CF) = 07 / 0F is interrogation, not
    // a request for switches 1017..1020.
    for (uint8_t sw1 : {0x78, 0x79, 0x7A, 0x7B})
        for (uint8_t sw2 : {0x07, 0x17, 0x27, 0x37, 0x0F, 0x2F}) {
            const kvr_msg_reading r = kvr_read_message(msg({OPC_SW_REQ, sw1, sw2}));
            EXPECT_EQ(r.what, kvr_msg_what::none) << int{sw1} << " " << int{sw2};
            EXPECT_EQ(r.kind, kvr_msg_kind::switch_);
        }
    // One address bit away it is a switch request again.
    EXPECT_EQ(kvr_read_message(msg({OPC_SW_REQ, 0x77, 0x27})).what, kvr_msg_what::switch_request);
    EXPECT_EQ(kvr_read_message(msg({OPC_SW_REQ, 0x78, 0x26})).what, kvr_msg_what::switch_request);
}

}  // namespace
