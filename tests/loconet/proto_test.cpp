// The field codecs over the whole range of their numbers: every encoded
// number decodes to itself and every byte stays a 7-bit data byte. Golden
// values are the worked examples of the LocoNet messages that carry them.

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "loconet/kvr_loconet_msg.h"
#include "loconet/kvr_loconet_proto.h"

namespace {

using namespace kvr_proto;

bool is_data_byte(uint8_t b) { return b < 0x80; }

std::string hex(const kvr_loconet_msg& m) {
    std::string s;
    char buf[4];
    for (int i = 0; i < m.length(); ++i) {
        std::snprintf(buf, sizeof buf, i ? " %02X" : "%02X", m[i]);
        s += buf;
    }
    return s;
}

TEST(ProtoRoundTrip, CvNumberAndValueOverEveryCv) {
    for (unsigned cv = 1; cv <= cv_max; ++cv) {
        for (unsigned data : {0u, 1u, 0x7Fu, 0x80u, 0xFFu, cv & 0xFFu}) {
            const cv_fields f = encode_cv(cv, static_cast<uint8_t>(data));
            ASSERT_TRUE(is_data_byte(f.cvh) && is_data_byte(f.cvl) && is_data_byte(f.data7)) << cv;
            ASSERT_EQ(decode_cv(f.cvh, f.cvl), cv) << data;
            ASSERT_EQ(decode_cv_data(f.cvh, f.data7), data) << cv;
        }
    }
    // CV 29 holding 134; the CVs where each CVH bit first counts.
    EXPECT_EQ(encode_cv(29, 134), (cv_fields{0x02, 0x1C, 0x06}));
    EXPECT_EQ(encode_cv(128, 0), (cv_fields{0x00, 0x7F, 0x00}));
    EXPECT_EQ(encode_cv(129, 0), (cv_fields{0x01, 0x00, 0x00}));
    EXPECT_EQ(encode_cv(257, 0), (cv_fields{0x10, 0x00, 0x00}));
    EXPECT_EQ(encode_cv(513, 0), (cv_fields{0x20, 0x00, 0x00}));
    EXPECT_EQ(encode_cv(1024, 0), (cv_fields{0x31, 0x7F, 0x00}));
}

TEST(ProtoRoundTrip, LocoAddressOverAllFourteenBits) {
    for (unsigned a = 0; a <= loco_address_max; ++a) {
        const byte_pair b = encode_loco_address(static_cast<uint16_t>(a));
        ASSERT_TRUE(is_data_byte(b.high) && is_data_byte(b.low)) << a;
        ASSERT_EQ(decode_loco_address(b.high, b.low), a);
    }
    EXPECT_EQ(encode_loco_address(3), (byte_pair{0x00, 0x03}));    // BF 00 03
    EXPECT_EQ(encode_loco_address(267), (byte_pair{0x02, 0x0B}));  // BF 02 0B
    EXPECT_EQ(encode_loco_address(300), (byte_pair{0x02, 0x2C}));  // BF 02 2C
}

TEST(ProtoRoundTrip, SwitchNumberAndFlagsOverEverySwitch) {
    for (unsigned n = 1; n <= switch_max; ++n) {
        for (bool closed : {false, true}) {
            for (bool on : {false, true}) {
                const switch_fields sw{n, closed, on};
                const byte_pair b = encode_switch(sw);
                ASSERT_TRUE(is_data_byte(b.high) && is_data_byte(b.low)) << n;
                ASSERT_EQ(decode_switch(b.high, b.low), sw) << n;
                ASSERT_EQ(decode_switch_number(b.high, b.low), n);
            }
        }
    }
    EXPECT_EQ(encode_switch({1, true, true}), (byte_pair{0x00, 0x30}));     // BD 00 30
    EXPECT_EQ(encode_switch({200, false, true}), (byte_pair{0x47, 0x11}));  // BD 47 11
    EXPECT_EQ(encode_switch({2048, true, false}), (byte_pair{0x7F, 0x2F})); // BD 7F 2F
    EXPECT_EQ(encode_switch({11, true, true}), (byte_pair{0x0A, 0x30}));    // B0 0A 30
}

TEST(ProtoRoundTrip, SensorNumberAndLevelOverEverySensor) {
    for (unsigned n = 1; n <= sensor_max; ++n) {
        for (bool level : {false, true}) {
            const sensor_fields s{n, level};
            const byte_pair b = encode_sensor(s);
            ASSERT_TRUE(is_data_byte(b.high) && is_data_byte(b.low)) << n;
            ASSERT_TRUE(b.low & in2_control) << "X is always set in a report";
            ASSERT_EQ(decode_sensor(b.high, b.low), s);
            // Two sensors share each input address, the one the monitor shows.
            ASSERT_EQ(decode_switch_number(b.high, b.low), (n - 1) / 2 + 1) << n;
        }
    }
    EXPECT_EQ(encode_sensor({1, false}), (byte_pair{0x00, 0x40}));
    EXPECT_EQ(encode_sensor({12, true}), (byte_pair{0x05, 0x70}));  // input address 6, I set
    EXPECT_EQ(decode_sensor(0x7F, 0x7F), (sensor_fields{4096, true}));
}

TEST(ProtoRoundTrip, FastClockOverEveryMinuteOfTheDay) {
    for (uint8_t h = 0; h < 24; ++h) {
        for (uint8_t m = 0; m < 60; ++m) {
            const clock_bytes b = encode_clock_time({h, m});
            ASSERT_TRUE(is_data_byte(b.hrs) && is_data_byte(b.mins));
            ASSERT_EQ(decode_clock_time(b), (clock_time{h, m}));
        }
    }
    // The counts towards the wrap at 128, as command stations send them.
    EXPECT_EQ(encode_clock_time({0, 0}), (clock_bytes{104, 67}));
    EXPECT_EQ(encode_clock_time({23, 59}), (clock_bytes{127, 126}));
    EXPECT_EQ(decode_clock_time({105, 126}), (clock_time{1, 59}));
    // Hours and minutes past the day or the hour wrap.
    EXPECT_EQ(encode_clock_time({25, 61}), encode_clock_time({1, 1}));
}

TEST(ProtoRoundTrip, BitTaskDataByte) {
    for (uint8_t bit = 0; bit < 8; ++bit) {
        for (bool value : {false, true}) {
            const uint8_t d = bit_task_data(value, bit);
            EXPECT_EQ(d & 0xF0, 0xE0);
            EXPECT_EQ(bit_task_value(d), value);
            EXPECT_EQ(bit_task_number(d), bit);
        }
    }
    EXPECT_EQ(bit_task_data(true, 5), 0xED);  // DATA7 6D with CVH bit 1 set
}

TEST(ProtoRoundTrip, FunctionBitsOfDirfAndSnd) {
    // LocoNet PE opcode summary: DIRF bit 4 F0, bits 3..0 F4..F1; SND bits 3..0 F8..F5.
    const struct {
        unsigned f;
        uint8_t dirf, snd;
    } cases[] = {{0, 0x10, 0}, {1, 0x01, 0}, {4, 0x08, 0}, {5, 0, 0x01}, {8, 0, 0x08}};
    for (const auto& c : cases) {
        const uint8_t set = with_function(0, c.f, true);
        EXPECT_EQ(function_in_dirf(c.f) ? set : 0, c.dirf) << "F" << c.f;
        EXPECT_EQ(function_in_dirf(c.f) ? 0 : set, c.snd) << "F" << c.f;
        // Direction and the other functions stay as they were.
        EXPECT_EQ(with_function(0xFF, c.f, false), static_cast<uint8_t>(0xFF & ~set)) << "F" << c.f;
    }
    for (unsigned f = 0; f <= slot_function_max; ++f) {
        uint8_t dirf = dirf_reverse, snd = 0;
        (function_in_dirf(f) ? dirf : snd) = with_function(function_in_dirf(f) ? dirf : snd, f, true);
        for (unsigned g = 0; g <= slot_function_max; ++g)
            EXPECT_EQ(function_on(dirf, snd, g), g == f) << "F" << f << " read as F" << g;
    }
    EXPECT_EQ(with_function(with_function(0, 0, true), 3, true), 0x14);  // F0 and F3 on
}

TEST(ProtoBuilders, MessagesCarryTheirChecksum) {
    const struct {
        kvr_loconet_msg msg;
        const char* wire;
    } cases[] = {
        {programming_task(pcmd_direct_read, 0, 29, 0), "EF 0E 7C 28 00 00 00 00 00 1C 00 00 00 56"},
        {programming_task(pcmd_ops_write_feedback, 1234, 3, 10), "EF 0E 7C 6C 00 09 52 00 00 02 0A 00 00 5D"},
        {programming_task(pcmd_direct_bit_write, 0, 29, bit_task_data(true, 5)),
         "EF 0E 7C 48 00 00 00 00 02 1C 6D 00 00 59"},
        {programming_task(pcmd_paged_write, 0, 1, 0x80), "EF 0E 7C 60 00 00 00 00 02 00 00 00 00 00"},
        {long_ack(OPC_WR_SL_DATA, lack_accepted), "B4 6F 01 25"},
        {long_ack(OPC_SW_ACK, ack_ok), "B4 3D 7F 09"},
        {slot_message(OPC_SL_RD_DATA, 5, {0x03, 0x03, 0, 0, 0x07, 0, 0, 0, 0, 0}),
         "E7 0E 05 03 03 00 00 07 00 00 00 00 00 14"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(hex(c.msg), c.wire);
        EXPECT_TRUE(c.msg.checksum_ok()) << c.wire;
    }
}

}  // namespace
