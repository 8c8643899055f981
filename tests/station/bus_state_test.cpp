// The bus state, fed message by message as the bus shows them: loco slots,
// F0-F28 per loco, sensors and turnouts, track power, the fast clock, and
// forgetting all of it for the next layout. Layouts and bits: LocoNet PE
// opcode summary; TRK and the system slots: PROTOCOL-FACTS.md.

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "fake_link.h"
#include "loconet/kvr_dcc_packet.h"
#include "station/kvr_bus_state.h"

namespace {

using namespace kvr_proto;

kvr_loconet_msg msg(const bytes& b) { return kvr_loconet_msg::with_checksum(b.data(), b.size()); }
kvr_loconet_msg slot_msg(const slot_fields& f) {
    const bytes b = slot_data(f);
    kvr_loconet_msg m;
    for (uint8_t v : b) m.append(v);
    return m;
}
kvr_loconet_msg slot_read(uint8_t slot, uint8_t trk, uint8_t opcode = OPC_SL_RD_DATA) {
    std::array<uint8_t, slot_field_count> fields{};
    fields[slot_trk - 3] = trk;
    fields[slot_adr - 3] = 3;
    return slot_message(opcode, slot, fields);
}
kvr_capture_time at(int64_t s) { return {s, 0}; }

std::string line_of(const kvr_bus_state& b, uint8_t slot) {
    const kvr_slot_state* s = b.slot(slot);
    return s ? kvr_slot_line(*s) : "(none)";
}

TEST(BusStateSlots, SlotDataThenShortMessagesKeepTheLineCurrent) {
    kvr_bus_state b;
    // Slot 5, loco 1234, in use, 128 steps (STAT 0x33).
    b.on_message(slot_msg({5, 1234, 0x33, 0, 0, 0, 0x0102}), at(1));
    EXPECT_EQ(line_of(b, 5), "  5  loco 1234  in use  128 steps  speed 0  fwd  F0-F8 000000000");
    EXPECT_EQ(b.slot(5)->throttle_id, 0x0102);
    EXPECT_EQ(b.slot(5)->trk, 0x07);
    EXPECT_EQ(b.slot_of_address(1234), b.slot(5));
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
        b.on_message(msg(s.m), at(now));
        EXPECT_EQ(line_of(b, 5), s.line) << hex(s.m);
        EXPECT_EQ(b.slot(5)->seen, at(now));
        ++now;
    }
    EXPECT_EQ(b.functions(1234), 1u << 0 | 1u << 1 | 1u << 8);
    // A slot write replaces everything, as slot data do; the slot now holds
    // another loco, and the first one has no slot here any more.
    kvr_loconet_msg write = slot_msg({5, 3, 0x13, 7, 0x10, 0x01});
    write.set_opcode(OPC_WR_SL_DATA);
    write.renew_checksum();
    b.on_message(write, at(now));
    EXPECT_EQ(line_of(b, 5), "  5  loco 3  common  128 steps  speed 7  fwd  F0-F8 100001000");
    EXPECT_EQ(b.slot_of_address(1234), nullptr);
    EXPECT_EQ(b.functions(1234), 0u);
    EXPECT_EQ(b.slot_of_address(3), b.slot(5));
}

TEST(BusStateSlots, LeavesOutWhatItCannotPlace) {
    kvr_bus_state b;
    // Short messages for a slot never seen: the loco is unknown.
    for (const bytes& m : {bytes{0xA0, 0x09, 10}, bytes{0xB5, 0x09, 0x33}, bytes{0xBA, 0x09, 0x09}}) {
        b.on_message(msg(m), at(1));
        EXPECT_EQ(b.slot(9), nullptr) << hex(m);
    }
    // The dispatch slot and the command station's own slots are no locos:
    // slot 0, 121, fast clock, programmer, option switches (PROTOCOL-MODERN.md
    // section 1: 1-120 hold locos).
    for (uint8_t s : {0, 121, 123, 124, 126, 127}) b.on_message(slot_msg({s, 3}), at(1));
    EXPECT_TRUE(b.loco_slots().empty());
    EXPECT_EQ(b.slot_of_address(3), nullptr);
    // A move between two loco slots waits for the command station's answer.
    b.on_message(slot_msg({2, 3, 0x33}), at(1));
    b.on_message(msg({0xBA, 0x02, 0x07}), at(2));
    EXPECT_EQ(b.loco_slots().size(), 1u);
    EXPECT_EQ(b.slot(7), nullptr);
    EXPECT_EQ(b.slot(2)->usage(), usage_in_use);
    // A short or damaged slot message is read for nothing.
    b.on_message(msg({OPC_SL_RD_DATA, 0x06, 0x08, 0x01, 0x01}), at(3));
    EXPECT_EQ(b.slot(8), nullptr);
}

TEST(BusStateSlots, ChangesAreHandedOverOncePerBatch) {
    kvr_bus_state b;
    b.on_message(slot_msg({9, 3}), at(1));
    b.on_message(slot_msg({2, 4}), at(1));
    const uint64_t v = b.version();
    for (int i = 0; i < 50; ++i) b.on_message(msg({0xA0, 0x09, static_cast<uint8_t>(i)}), at(2));
    EXPECT_GT(b.version(), v);
    EXPECT_EQ(b.take_changed_slots(), (std::vector<uint16_t>{2, 9}));
    EXPECT_TRUE(b.take_changed_slots().empty());
    EXPECT_EQ(b.slot(9)->speed, 49);
}

std::string state_of(const kvr_bus_state& b, kvr_point_key k) {
    const kvr_point_entry* e = b.point(k);
    return e ? kvr_point_state_text(*e) : "(none)";
}

constexpr kvr_point_key turnout(uint16_t n) { return {kvr_point_kind::turnout, n, false}; }
constexpr kvr_point_key sensor(uint16_t n, bool noaux) { return {kvr_point_kind::sensor, n, noaux}; }

TEST(BusStatePoints, NumbersAndStatesMatchTheMonitor) {
    kvr_bus_state b;
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
        b.on_message(msg(c.m), at(5));
        EXPECT_EQ(state_of(b, c.key), c.state) << hex(c.m);
    }
    EXPECT_EQ(kvr_point_kind_text(sensor(12, true)), "sensor noaux");
    EXPECT_EQ(b.points().size(), 5u);
    b.on_message(msg({0xA0, 0x01, 0x05}), at(6));
    EXPECT_EQ(b.points().size(), 5u);
}

TEST(BusStatePoints, ChangesAreHandedOverOncePerBatchInOrder) {
    kvr_bus_state b;
    for (int i = 0; i < 100; ++i) {
        b.on_message(msg({0xB2, 0x05, static_cast<uint8_t>(i % 2 ? 0x50 : 0x40)}), at(i));
        b.on_message(msg({0xB0, 0x01, 0x30}), at(i));
    }
    EXPECT_EQ(b.take_changed_points(), (std::vector<kvr_point_key>{sensor(6, false), turnout(2)}));
    EXPECT_TRUE(b.take_changed_points().empty());
    EXPECT_EQ(state_of(b, sensor(6, false)), "on");
    EXPECT_EQ(b.point(turnout(2))->seen, at(99));
}

TEST(BusStatePower, FollowsPowerMessagesAndTheTrkOfLocoSlotAnswers) {
    kvr_bus_state b;
    EXPECT_EQ(b.power(), kvr_power_state::unknown);
    const struct {
        kvr_loconet_msg m;
        kvr_power_state now;
    } steps[] = {
        {msg({OPC_GPON}), kvr_power_state::on},
        {slot_read(5, 0x06), kvr_power_state::off},  // TRK bits 1..0 = 10
        {slot_read(5, 0x07), kvr_power_state::on},   // 11
        {msg({OPC_IDLE}), kvr_power_state::idle},    // stop all: powered, every loco stopped
        {slot_read(5, 0x07), kvr_power_state::on},
        {slot_read(0, 0x05), kvr_power_state::idle},  // 01, from the dispatch slot's answer
        {msg({OPC_GPOFF}), kvr_power_state::off},
        {slot_read(5, 0x04), kvr_power_state::off},  // 00: no power, nothing runs
    };
    int64_t now = 1;
    for (const auto& s : steps) {
        b.on_message(s.m, at(now));
        EXPECT_EQ(b.power(), s.now) << kvr_power_state_name(s.now) << " at step " << now;
        ++now;
    }
    EXPECT_STREQ(kvr_power_state_name(kvr_power_state::idle), "idle");
    EXPECT_EQ(b.power_since(), at(7)) << "a repeat is no change";
}

TEST(BusStatePower, SystemSlotsAndWritesLeaveIt) {
    kvr_bus_state b;
    b.on_message(msg({OPC_GPON}), at(1));
    // A detector's answer to an ops-mode read: slot 124, byte 7 = 00.
    b.on_message(msg({0xE7, 0x0E, 0x7C, 0x2F, 0x10, 0x28, 0x23, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}), at(2));
    EXPECT_EQ(b.power(), kvr_power_state::on);
    for (uint8_t s : {kvr_slot_fast_clock, kvr_slot_programmer, uint8_t{127}, uint8_t{121}})
        b.on_message(slot_read(s, 0x00), at(3));
    EXPECT_EQ(b.power(), kvr_power_state::on);
    // A throttle's slot write carries the TRK it read, not the track's.
    b.on_message(slot_read(5, 0x00, OPC_WR_SL_DATA), at(4));
    EXPECT_EQ(b.power(), kvr_power_state::on);
    // A variable-length E7 too short to hold TRK; an emergency stop of one loco.
    b.on_message(msg({OPC_SL_RD_DATA, 0x06, 0x05, 0x01, 0x01}), at(5));
    b.on_message(msg({OPC_LOCO_SPD, 5, 0x01}), at(5));
    EXPECT_EQ(b.power(), kvr_power_state::on);
}

TEST(BusStateFunctions, FollowsPacketsAndSlotMessagesSeenOnTheBus) {
    kvr_bus_state b;
    const kvr_capture_time t{};
    // Another throttle's packets: F21-F28 of 1234, then F13-F20 of 3.
    b.on_message(kvr_dcc::imm_packet_message(kvr_dcc::encode_function({1234, kvr_dcc::fn_group::f21_f28, 0x81}), 0), t);
    b.on_message(kvr_dcc::imm_packet_message(kvr_dcc::encode_function({3, kvr_dcc::fn_group::f13_f20, 0x02}), 0), t);
    EXPECT_EQ(b.functions(1234), 1u << 21 | 1u << 28);
    EXPECT_EQ(b.functions(3), 1u << 14);

    // A slot message for a slot not yet seen says nothing; once slot data
    // named the loco of slot 9, it does.
    const kvr_loconet_msg f9_on = kvr_dcc::function_opcode_message(9, 9, 1u << 9);
    b.on_message(f9_on, t);
    EXPECT_EQ(b.functions(3), 1u << 14);
    b.on_message(slot_msg({9, 3, 0x33, 0, 0x10}), t);  // F0 on in the slot
    EXPECT_EQ(b.functions(3), 1u << 0 | 1u << 14);
    b.on_message(f9_on, t);
    EXPECT_EQ(b.functions(3), 1u << 0 | 1u << 9 | 1u << 14);
    EXPECT_TRUE(b.slot(9)->function(14)) << "the slot shows what is known of its loco";
    b.on_message(kvr_dcc::function_opcode_message(9, 28, 1u << 28), t);
    EXPECT_EQ(b.functions(3) & (1u << 12 | 1u << 20 | 1u << 28), 1u << 28) << "D4 05 names F12, F20 and F28 together";

    // F0-F8 of a loco are its slot's: a packet for them is not kept.
    b.on_message(kvr_dcc::imm_packet_message(kvr_dcc::encode_function({3, kvr_dcc::fn_group::f0_f4, 0x1E}), 0), t);
    EXPECT_TRUE(b.functions(3) & 1u);
    // The fast-clock slot is no locomotive's: it does not bind slot 123.
    b.on_message(msg({0xE7, 0x0E, 0x7B, 0x04, 0, 0, 0x43, 0x07, 0x68, 0, 0x40, 0, 0}), t);
    b.on_message(kvr_dcc::function_opcode_message(123, 10, 1u << 10), t);
    EXPECT_EQ(b.functions(0), 0u);
    // What this program sent counts before its echo.
    b.note_sent_functions(3, 1u << 12, 1u << 12);
    EXPECT_TRUE(b.functions(3) & 1u << 12);
}

// Slot numbers, functions and power of one layout say nothing of the next:
// F13 of loco 3 seen before Close must not show on the layout opened next.
TEST(BusStateForget, NothingCarriesToTheNextLayout) {
    kvr_bus_state b;
    b.on_message(msg({OPC_GPON}), at(1));
    b.on_message(slot_msg({5, 3, 0x33, 0, 0x10}), at(1));
    b.on_message(kvr_dcc::imm_packet_message(kvr_dcc::encode_function({3, kvr_dcc::fn_group::f13_f20, 0x01}), 0), at(1));
    b.on_message(msg({0xB2, 0x0B, 0x70}), at(1));
    b.on_message(msg({0xE7, 0x0E, 0x7B, 0x04, 0, 0, 0x43, 0x07, 0x68, 0, 0x40, 0, 0}), at(1));
    ASSERT_TRUE(b.functions(3) & 1u << 13);
    ASSERT_TRUE(b.clock());

    b.forget();
    EXPECT_EQ(b.functions(3) & 1u << 13, 0u);
    EXPECT_EQ(b.functions(3), 0u);
    EXPECT_EQ(b.slot(5), nullptr);
    EXPECT_TRUE(b.points().empty());
    EXPECT_EQ(b.power(), kvr_power_state::unknown);
    EXPECT_FALSE(b.clock());
    EXPECT_TRUE(b.take_changed_slots().empty());
    EXPECT_TRUE(b.take_changed_points().empty());
    // A speed to slot 5 names no loco any more.
    EXPECT_EQ(b.subject(kvr_read_message(msg({OPC_LOCO_SPD, 5, 0x3F}))).number, -1);
}

TEST(BusStateSubject, SlotMessagesNameTheLocoTheSlotLastHeld) {
    kvr_bus_state b;
    const auto number = [&](const kvr_loconet_msg& m) {
        const kvr_msg_reading r = kvr_read_message(m);
        b.on_reading(r, at(1));
        return b.subject(r).number;
    };
    const kvr_loconet_msg speed = msg({OPC_LOCO_SPD, 5, 0x3F});
    EXPECT_EQ(number(speed), -1) << "slot 5 not yet seen";
    EXPECT_EQ(number(slot_msg({5, 3})), 3);
    EXPECT_EQ(number(speed), 3);
    EXPECT_EQ(number(msg({0xD4, 0x20, 5, 0x08, 0x01})), 3);  // F13-F19 to slot 5
    EXPECT_EQ(b.subject(kvr_read_message(speed)).kind, kvr_msg_kind::loco);
    // The slot is taken by a long address: later messages name it.
    EXPECT_EQ(number(slot_msg({5, 1234})), 1234);
    EXPECT_EQ(number(msg({OPC_LOCO_DIRF, 5, 0x10})), 1234);
    // A sensor keeps its own number whatever the slots hold.
    EXPECT_EQ(number(msg({0xB2, 0x05, 0x70})), 6);
}

// PROTOCOL-MODERN.md section 1: E6 slot data with F0..F28, D5 speed and
// function groups, D4 38..3B moves and status, TRK bit 6.
kvr_loconet_msg exp_slot(uint16_t slot, uint16_t loco, uint8_t stat, uint8_t trk, uint8_t spd,
                         std::array<uint8_t, 5> fn, uint8_t id1 = 0, uint8_t id2 = 0, uint8_t opcode = 0xE6) {
    return msg({opcode, 0x15, static_cast<uint8_t>(slot >> 7), static_cast<uint8_t>(slot & 0x7F), stat,
                static_cast<uint8_t>(loco & 0x7F), static_cast<uint8_t>(loco >> 7), trk, spd, fn[0], fn[1], fn[2],
                fn[3], fn[4], 0, 0, 0, 0, id1, id2});
}

TEST(BusStateExpanded, FollowsExpandedSlotsWithTheirOwnFunctions) {
    kvr_bus_state b;
    EXPECT_FALSE(b.expanded_offered());
    // The sheet's example: slot 130, loco 3, in use, 128 steps, speed 32, F0, id 05 04.
    b.on_message(msg({0xE6, 0x15, 0x01, 0x02, 0x33, 0x03, 0x00, 0x47, 0x20, 0x00, 0x10, 0x00, 0x00, 0x00, 0x00,
                      0x00, 0x00, 0x00, 0x05, 0x04}),
                 at(1));
    EXPECT_TRUE(b.expanded_offered());
    EXPECT_EQ(b.power(), kvr_power_state::on);
    ASSERT_NE(b.slot(130), nullptr);
    EXPECT_EQ(b.slot(130)->throttle_id, 0x0504);
    EXPECT_EQ(b.slot_of_address(3), b.slot(130));
    EXPECT_EQ(line_of(b, 130),
              "130  loco 3  in use  128 steps  speed 32  fwd  F0-F28 10000000000000000000000000000");
    const struct {
        bytes m;
        std::string line;
    } steps[] = {
        {{0xD5, 0x09, 0x02, 0x05, 0x0B}, "130  loco 3  in use  128 steps  speed 11  rev  F0-F28 10000000000000000000000000000"},
        {{0xD5, 0x01, 0x02, 0x05, 0x0B}, "130  loco 3  in use  128 steps  speed 11  fwd  F0-F28 10000000000000000000000000000"},
        // D5 11 02 05 31: F0, F1, F5 on.
        {{0xD5, 0x11, 0x02, 0x05, 0x31}, "130  loco 3  in use  128 steps  speed 11  fwd  F0-F28 11000100000000000000000000000"},
        {{0xD5, 0x19, 0x02, 0x05, 0x20}, "130  loco 3  in use  128 steps  speed 11  fwd  F0-F28 11000100000010000000000000000"},
        {{0xD5, 0x31, 0x02, 0x05, 0x00}, "130  loco 3  in use  128 steps  speed 11  fwd  F0-F28 11000100000010000000000000001"},
        {{0xD4, 0x39, 0x02, 0x60, 0x13}, "130  loco 3  common  128 steps  speed 11  fwd  F0-F28 11000100000010000000000000001"},
        {{0xD4, 0x39, 0x02, 0x01, 0x02}, "130  loco 3  in use  128 steps  speed 11  fwd  F0-F28 11000100000010000000000000001"},
        // A link changes nothing the table shows.
        {{0xD4, 0x39, 0x02, 0x40, 0x03}, "130  loco 3  in use  128 steps  speed 11  fwd  F0-F28 11000100000010000000000000001"},
    };
    for (const auto& s : steps) {
        b.on_message(msg(s.m), at(2));
        EXPECT_EQ(line_of(b, 130), s.line) << hex(s.m);
    }
    EXPECT_EQ(b.functions(3), 1u << 0 | 1u << 1 | 1u << 5 | 1u << 12 | 1u << 28);
    EXPECT_EQ(b.take_changed_slots(), (std::vector<uint16_t>{130}));

    // The slot's own word on F9..F28 holds over what was seen before: F12
    // is off in the slot's next answer.
    b.on_message(exp_slot(130, 3, 0x33, 0x47, 11, {0x00, 0x11, 0x00, 0x00, 0x00}), at(3));
    EXPECT_EQ(b.functions(3), 1u << 0 | 1u << 1);
    // Slots up to 432; the status slots and the ones past the last are none.
    b.on_message(exp_slot(432, 9999, 0x33, 0x47, 0, {0x40, 0, 0, 0, 0}), at(4));
    EXPECT_TRUE(b.slot(432) && b.slot(432)->function(28));
    for (uint16_t s : {249, 256, 376, 433}) b.on_message(exp_slot(s, 5, 0x33, 0x47, 0, {}), at(4));
    EXPECT_EQ(b.loco_slots().size(), 2u);
    // A message of the slot names its loco for the monitor's filter.
    EXPECT_EQ(b.subject(kvr_read_message(msg({0xD5, 0x03, 0x30, 0x01, 0x20}))).number, 9999);

    // Forgetting forgets the offer too: the next layout may be an older station.
    b.forget();
    EXPECT_FALSE(b.expanded_offered());
    // A classic answer with TRK bit 6 (PROTOCOL-MODERN.md, JMRI PR #4726) offers them as well.
    b.on_message(msg({0xE7, 0x0E, 0x01, 0x03, 0x05, 0x00, 0x00, 0x47, 0x00, 0x00, 0x00, 0x00, 0x00}), at(5));
    EXPECT_TRUE(b.expanded_offered());
    EXPECT_EQ(line_of(b, 1), "  1  loco 5  free  128 steps  speed 0  fwd  F0-F8 000000000");
    // A throttle's write carries the TRK it read: it tells nothing.
    b.forget();
    b.on_message(exp_slot(130, 3, 0x33, 0x47, 0, {}, 0, 0, 0xEE), at(6));
    EXPECT_FALSE(b.expanded_offered());
}

TEST(BusStateClock, Slot123ShowsTheFastClock) {
    kvr_bus_state b;
    EXPECT_FALSE(b.clock());
    // Rate 4, FRAC 7B 78 (a minute to go), MINS 0x43 + 30, HRS 0x68 + 10, day 2, valid.
    b.on_message(msg({0xE7, 0x0E, 0x7B, 0x04, 0x78, 0x7B, 0x43 + 30, 0x07, 0x68 + 10, 0x02, 0x40, 0, 0}), at(9));
    ASSERT_TRUE(b.clock());
    EXPECT_EQ(b.clock()->rate, 4);
    EXPECT_EQ(b.clock()->hour, 10);
    EXPECT_EQ(b.clock()->minute, 30);
    EXPECT_EQ(b.clock()->frac, 0x3DF8);
    EXPECT_EQ(b.clock()->days, 2);
    EXPECT_TRUE(b.clock()->valid);
    EXPECT_EQ(b.clock()->seen, at(9));
}

}  // namespace
