// The slot table and the sensor/turnout table, fed message by message as
// the bus shows them. Slot status bits: LocoNet PE opcode summary.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_link.h"
#include "station/kvr_sensor_table.h"
#include "station/kvr_slot_table.h"

namespace {

kvr_loconet_msg msg(const bytes& b) { return kvr_loconet_msg::with_checksum(b.data(), b.size()); }
kvr_loconet_msg slot_msg(const slot_fields& f) {
    const bytes b = slot_data(f);
    kvr_loconet_msg m;
    for (uint8_t v : b) m.append(v);
    return m;
}
kvr_capture_time at(int64_t s) { return {s, 0}; }

std::string line_of(const kvr_slot_table& t, uint8_t slot) {
    const kvr_slot_entry* e = t.find(slot);
    return e ? kvr_slot_line(*e) : "(none)";
}

TEST(SlotTable, SlotDataThenShortMessagesKeepTheLineCurrent) {
    kvr_slot_table t;
    // Slot 5, loco 1234, in use, 128 steps (STAT 0x33).
    EXPECT_TRUE(t.on_message(slot_msg({5, 1234, 0x33}), at(1)));
    EXPECT_EQ(line_of(t, 5), "  5  loco 1234  in use  128 steps  speed 0  fwd  F0-F8 000000000");
    const struct {
        bytes m;
        std::string line;
    } steps[] = {
        {{0xA0, 0x05, 40}, "  5  loco 1234  in use  128 steps  speed 40  fwd  F0-F8 000000000"},
        // DIRF bit 5 set is reverse; F0 bit 4, F1..F4 bits 0..3.
        {{0xA1, 0x05, 0x31}, "  5  loco 1234  in use  128 steps  speed 40  rev  F0-F8 110000000"},
        {{0xA2, 0x05, 0x08}, "  5  loco 1234  in use  128 steps  speed 40  rev  F0-F8 110000001"},
        {{0xB5, 0x05, 0x10}, "  5  loco 1234  common  28 steps  speed 40  rev  F0-F8 110000001"},
        {{0xBA, 0x05, 0x05}, "  5  loco 1234  in use  28 steps  speed 40  rev  F0-F8 110000001"},  // null move
        // A dispatch put may be refused: the move alone is not taken as common.
        {{0xBA, 0x05, 0x00}, "  5  loco 1234  in use  28 steps  speed 40  rev  F0-F8 110000001"},
        {{0xB5, 0x05, 0x22}, "  5  loco 1234  idle  14 steps  speed 40  rev  F0-F8 110000001"},
        {{0xB5, 0x05, 0x05}, "  5  loco 1234  free  speed 40  rev  F0-F8 110000001"},  // code 5: no steps
    };
    int64_t now = 2;
    for (const auto& s : steps) {
        EXPECT_TRUE(t.on_message(msg(s.m), at(now)));
        EXPECT_EQ(line_of(t, 5), s.line) << hex(s.m);
        EXPECT_EQ(t.find(5)->seen, at(now));
        ++now;
    }
    // A slot write replaces everything, as slot data do.
    kvr_loconet_msg write = slot_msg({5, 3, 0x13, 7, 0x10, 0x01});
    write.set_opcode(OPC_WR_SL_DATA);
    write.renew_checksum();
    EXPECT_TRUE(t.on_message(write, at(now)));
    EXPECT_EQ(line_of(t, 5), "  5  loco 3  common  128 steps  speed 7  fwd  F0-F8 100001000");
}

TEST(SlotTable, LeavesOutWhatItCannotPlace) {
    kvr_slot_table t;
    // Short messages for a slot never seen: the loco is unknown.
    for (const bytes& m : {bytes{0xA0, 0x09, 10}, bytes{0xB5, 0x09, 0x33}, bytes{0xBA, 0x09, 0x09}})
        EXPECT_FALSE(t.on_message(msg(m), at(1))) << hex(m);
    // The command station's own slots are no locos: fast clock, programmer, dispatch slot 0, options.
    for (uint8_t s : {0, 120, 123, 124, 127}) EXPECT_FALSE(t.on_message(slot_msg({s, 3}), at(1))) << int(s);
    // A move between two loco slots waits for the command station's answer.
    t.on_message(slot_msg({2, 3, 0x33}), at(1));
    EXPECT_FALSE(t.on_message(msg({0xBA, 0x02, 0x07}), at(2)));
    EXPECT_EQ(t.entries().size(), 1u);
    EXPECT_EQ(t.find(7), nullptr);
    EXPECT_EQ(t.find(2)->usage(), kvr_proto::usage_in_use);
}

TEST(SlotTable, ChangesAreHandedOverOncePerBatch) {
    kvr_slot_table t;
    t.on_message(slot_msg({9, 3}), at(1));
    t.on_message(slot_msg({2, 4}), at(1));
    for (int i = 0; i < 50; ++i) t.on_message(msg({0xA0, 0x09, static_cast<uint8_t>(i)}), at(2));
    EXPECT_EQ(t.take_changed(), (std::vector<uint8_t>{2, 9}));
    EXPECT_TRUE(t.take_changed().empty());
    EXPECT_EQ(t.find(9)->speed, 49);
}

std::string state_of(const kvr_sensor_table& t, kvr_point_key k) {
    const kvr_point_entry* e = t.find(k);
    return e ? kvr_point_state_text(*e) : "(none)";
}

constexpr kvr_point_key turnout(uint16_t n) { return {kvr_point_kind::turnout, n, false}; }
constexpr kvr_point_key sensor(uint16_t n, bool noaux) { return {kvr_point_kind::sensor, n, noaux}; }

TEST(SensorTable, NumbersAndStatesMatchTheMonitor) {
    kvr_sensor_table t;
    const struct {
        bytes m;
        kvr_point_key key;
        std::string state;
    } cases[] = {
        // "OPC_INPUT_REP   :INPUT#[12 (2:4)] for (noaux on )"
        {{0xB2, 0x0B, 0x70}, sensor(12, true), "on"},
        // "INPUT#[12 (2:4)] for (aux   off)": the address's other input.
        {{0xB2, 0x0B, 0x40}, sensor(12, false), "off"},
        // "OPC_SW_REQ      :SW#[11 (2:3)] for Closed/Green(on)"
        {{0xB0, 0x0A, 0x30}, turnout(11), "Closed/Green(on)"},
        // The window's own request asks for an acknowledge: BD, same fields.
        {{0xBD, 0x0A, 0x00}, turnout(11), "Thrown/Red(off)"},
        // "OPC_SW_REP      :SW#[11 (2:3)] for closed(on ) thrown(off))"
        {{0xB1, 0x0A, 0x20}, turnout(11), "Closed/Green(on)"},
        // Both outputs off: the position stays as last known.
        {{0xB1, 0x0A, 0x00}, turnout(11), "Closed/Green(off)"},
        // "SW#[11 (2:3)] for (noaux on )": the turnout's input.
        {{0xB1, 0x0A, 0x70}, turnout(11), "Closed/Green(off) input(noaux on)"},
        // Highest address: SW2 bits 3..0 carry address bits 10..7.
        {{0xB0, 0x7F, 0x2F}, turnout(2048), "Closed/Green(off)"},
        // A report of a turnout never requested: output known, position not.
        {{0xB1, 0x00, 0x30}, turnout(1), "?(on)"},
    };
    for (const auto& c : cases) {
        EXPECT_TRUE(t.on_message(msg(c.m), at(5))) << hex(c.m);
        EXPECT_EQ(state_of(t, c.key), c.state) << hex(c.m);
    }
    EXPECT_EQ(kvr_point_kind_text(sensor(12, true)), "sensor noaux");
    EXPECT_EQ(t.points().size(), 5u);
    EXPECT_FALSE(t.on_message(msg({0xA0, 0x01, 0x05}), at(6)));
}

TEST(SensorTable, ChangesAreHandedOverOncePerBatchInOrder) {
    kvr_sensor_table t;
    for (int i = 0; i < 100; ++i) {
        t.on_message(msg({0xB2, 0x05, static_cast<uint8_t>(i % 2 ? 0x50 : 0x40)}), at(i));
        t.on_message(msg({0xB0, 0x01, 0x30}), at(i));
    }
    EXPECT_EQ(t.take_changed(), (std::vector<kvr_point_key>{sensor(6, false), turnout(2)}));
    EXPECT_TRUE(t.take_changed().empty());
    EXPECT_EQ(state_of(t, sensor(6, false)), "on");
    EXPECT_EQ(t.find(turnout(2))->seen, at(99));
}

}  // namespace
