// The simulated station with expanded slots (kvr_sim_options::expanded), at
// message level. Golden bytes are the examples of PROTOCOL-MODERN.md §1 and
// §4 where one fits; the rest are built from the layouts there.

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "station_bus.h"

namespace {

constexpr kvr_sim_options expanded{.instant = true, .expanded = true};

// The slot number an expanded reply names.
unsigned e6_slot(const bytes& m) { return m.at(2) * 128u + m.at(3); }

bytes d4_move(unsigned from, unsigned to) {
    return with_checksum({0xD4, static_cast<uint8_t>(0x38 | from >> 7), static_cast<uint8_t>(from & 0x7F),
                          static_cast<uint8_t>(to >> 7), static_cast<uint8_t>(to & 0x7F)});
}
bytes be(unsigned loco) {
    return with_checksum({0xBE, static_cast<uint8_t>(loco >> 7), static_cast<uint8_t>(loco & 0x7F)});
}
bytes rq_e6(unsigned slot) {
    return with_checksum({0xBB, static_cast<uint8_t>(slot & 0x7F), static_cast<uint8_t>(0x40 | slot >> 7)});
}
bytes d5(unsigned slot, uint8_t group, uint8_t x) {
    return with_checksum({0xD5, static_cast<uint8_t>(group | slot >> 7), static_cast<uint8_t>(slot & 0x7F), 0x05, x});
}

// PROTOCOL-MODERN.md §1: slot 130, loco 3, in use, 128 steps, speed 32,
// forward, F0 on, ID 517, TRK 0x47.
const bytes e6_slot130 = {0xE6, 0x15, 0x01, 0x02, 0x33, 0x03, 0x00, 0x47, 0x20, 0x00, 0x10,
                          0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x05, 0x04, 0x49};

bytes as_write(bytes e6) {
    e6[0] = 0xEE;
    e6.pop_back();
    return with_checksum(e6);
}

}  // namespace

// A classic station keeps its answers: E7 for either form of the request,
// TRK without bit 6, and no answer to the expanded requests.
TEST(SimExpanded, ClassicStationIgnoresTheExpandedForms) {
    bus b;
    EXPECT_EQ(b.answers({0xBB, 0x02, 0x41, 0x07}),
              (msgs{{0xE7, 0x0E, 0x02, 0, 0, 0, 0, 0x07, 0, 0, 0, 0, 0, 0x13}}));
    EXPECT_TRUE(b.answers(be(3)).empty());
    EXPECT_TRUE(b.answers(as_write(e6_slot130)).empty());
    EXPECT_TRUE(b.answers(d4_move(3, 3)).empty());
    EXPECT_FALSE(b.station.is_loco_slot(120));
}

// PROTOCOL-MODERN.md §1: a classic request to an expanded station is
// answered with E7 carrying TRK 0x47 (real capture, JMRI PR #4726); BE finds
// the same slot and answers E6.
TEST(SimExpanded, ClassicAndExpandedRequestsShareTheSlotAndCarryTrkBit6) {
    bus b(expanded);
    EXPECT_EQ(b.answers({0xBF, 0x00, 0x05, 0x45}),
              (msgs{{0xE7, 0x0E, 0x01, 0x03, 0x05, 0x00, 0x00, 0x47, 0x00, 0x00, 0x00, 0x00, 0x00, 0x56}}));
    const msgs e6 = b.answers(be(5));
    ASSERT_EQ(e6.size(), 1u);
    EXPECT_EQ(e6[0], with_checksum({0xE6, 0x15, 0x00, 0x01, 0x03, 0x05, 0x00, 0x47, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    // Every slot it reports: the clock and the programmer as well.
    EXPECT_EQ(b.answers({0xBB, 0x7B, 0x00, 0x3F}).at(0).at(7), 0x47);
    EXPECT_EQ(b.answers({0xBB, 0x7C, 0x00, 0x38}).at(0).at(7), 0x47);
    // Power off and the emergency stop keep bit 6.
    b.send({0x82, 0x7D});
    EXPECT_EQ(b.answers({0xBB, 0x01, 0x00, 0x45}).at(0).at(7), 0x46);
}

// PROTOCOL-MODERN.md §1 examples: the E6 of slot 130 written and read back
// byte for byte (BB 02 41 07), then D5 11 02 05 31 0D turns F0, F1 and F5
// on and F2-F4, F6 off, and D4 39 02 40 03 53 links slot 130 to lead 3.
TEST(SimExpanded, SlotWriteReadFunctionsAndLinkFollowTheSheetExamples) {
    bus b(expanded);
    EXPECT_EQ(b.answers(as_write(e6_slot130)), (msgs{with_checksum({0xB4, 0x6E, 0x7F})}));
    EXPECT_EQ(b.answers({0xBB, 0x02, 0x41, 0x07}), (msgs{e6_slot130}));

    EXPECT_TRUE(b.answers({0xD5, 0x11, 0x02, 0x05, 0x31, 0x0D}).empty());
    const bytes after = b.answers({0xBB, 0x02, 0x41, 0x07}).at(0);
    EXPECT_EQ(after.at(10), 0x11) << "DIRF: forward, F0, F1";
    EXPECT_EQ(after.at(11), 0x01) << "F5";
    EXPECT_EQ(b.station.slot_functions(130), (1u << 0) | (1u << 1) | (1u << 5));

    // The lead: loco 9 in slot 3, in use.
    for (uint8_t loco : {7, 8, 9}) b.send(with_checksum({0xBF, 0x00, loco}));
    b.send(d4_move(3, 3));
    const msgs linked = b.answers({0xD4, 0x39, 0x02, 0x40, 0x03, 0x53});
    ASSERT_EQ(linked.size(), 1u);
    EXPECT_EQ(e6_slot(linked[0]), 3u) << "the lead's slot answers";
    EXPECT_EQ(linked[0].at(4) & 0x08, 0x08) << "lead: down-link";
    EXPECT_EQ(b.answers(rq_e6(130)).at(0).at(4) & 0x40, 0x40) << "member: up-link";
    // Unlink: both bits go, the member's slot answers.
    const msgs unlinked = b.answers(with_checksum({0xD4, 0x39, 0x02, 0x50, 0x03}));
    ASSERT_EQ(unlinked.size(), 1u);
    EXPECT_EQ(e6_slot(unlinked[0]), 130u);
    EXPECT_EQ(unlinked[0].at(4) & 0x48, 0x00);
    EXPECT_EQ(b.answers(rq_e6(3)).at(0).at(4) & 0x08, 0x00);
}

// Every D5 group (PROTOCOL-MODERN.md §1 D5 table) lands in the slot, and the
// E6 carries F0-F28 in its own bytes; F9-F28 survive a classic speed change.
TEST(SimExpanded, D5SpeedDirectionAndEveryFunctionGroupAreKept) {
    bus b(expanded);
    const unsigned s = e6_slot(b.answers(be(1234)).at(0));
    b.send(d5(s, 0x08, 40));  // reverse, speed 40
    bytes r = b.answers(rq_e6(s)).at(0);
    EXPECT_EQ(r.at(8), 40);
    EXPECT_EQ(r.at(10) & 0x20, 0x20);

    struct group_case {
        uint8_t group, x;
        uint32_t on;  // functions the group turns on (bit n = Fn)
    };
    const group_case cases[] = {
        {0x10, 0x7F, 0x7Fu},                 // F0..F6
        {0x18, 0x7F, 0x7Fu << 7},            // F7..F13
        {0x20, 0x7F, 0x7Fu << 14},           // F14..F20
        {0x30, 0x7F, 0xFFu << 21},           // F21..F27, F28 on
    };
    uint32_t all = 0;
    for (const group_case& c : cases) {
        b.send(d5(s, c.group, c.x));
        all |= c.on;
        EXPECT_EQ(b.station.slot_functions(static_cast<uint16_t>(s)), all) << std::hex << int(c.group);
    }
    r = b.answers(rq_e6(s)).at(0);
    EXPECT_EQ(r.at(9), 0x70) << "F12, F20, F28";
    EXPECT_EQ(r.at(10), 0x3F) << "reverse kept, F0..F4";
    EXPECT_EQ(r.at(11), 0x7F) << "F5..F11";
    EXPECT_EQ(r.at(12), 0x7F);
    EXPECT_EQ(r.at(13), 0x7F);
    // One group off leaves the others; 0x28 turns F28 off.
    b.send(d5(s, 0x28, 0x00));
    EXPECT_EQ(b.station.slot_functions(static_cast<uint16_t>(s)), 0x1FFFFFu);
    b.send(d5(s, 0x00, 10));  // forward keeps the functions
    EXPECT_EQ(b.station.slot_functions(static_cast<uint16_t>(s)), 0x1FFFFFu);
    EXPECT_EQ(b.answers(rq_e6(s)).at(0).at(10) & 0x20, 0x00);
}

// Up to 400 loco slots, numbered as PROTOCOL-MODERN.md §1 lists them; the
// 401st loco is refused, and BF refuses a loco the classic reply cannot name.
TEST(SimExpanded, FourHundredLocoSlotsThenRefusal) {
    bus b(expanded);
    std::set<unsigned> taken;
    for (unsigned loco = 1; loco <= 400; ++loco) {
        const msgs a = b.answers(be(loco));
        ASSERT_EQ(a.size(), 1u) << loco;
        const unsigned s = e6_slot(a[0]);
        taken.insert(s);
        b.send(d4_move(s, s));  // null move: in use
    }
    std::set<unsigned> expected;
    for (unsigned s = 1; s <= 425; ++s)
        if (s <= 120 || (s >= 128 && s <= 247) || (s >= 257 && s <= 375) || s >= 385) expected.insert(s);
    EXPECT_EQ(taken, expected);
    EXPECT_EQ(b.answers(be(401)), (msgs{with_checksum({0xB4, 0x3E, 0x00})}));
    // Loco 121 sits in slot 128: a classic request for it is refused, not
    // given a second slot.
    EXPECT_EQ(b.answers(with_checksum({0xBF, 0x00, 121})), (msgs{with_checksum({0xB4, 0x3F, 0x00})}));
    const msgs counts = b.answers(rq_e6(250));
    ASSERT_EQ(counts.size(), 1u);
    EXPECT_EQ(counts[0].at(4) + (counts[0].at(5) & 3) * 128, 400) << "in use";
    EXPECT_EQ(counts[0].at(8) + (counts[0].at(9) & 3) * 128, 0) << "free";
}

// Moves as on the classic station, answered E6; illegal ones and requests
// for slots the station lacks are refused with the LACK the sheet names.
TEST(SimExpanded, MovesDispatchAndRefusals) {
    bus b(expanded);
    b.answers(as_write(e6_slot130));
    const msgs moved = b.answers(d4_move(130, 300));
    ASSERT_EQ(moved.size(), 1u);
    EXPECT_EQ(e6_slot(moved[0]), 300u);
    EXPECT_EQ(moved[0].at(5), 3) << "loco 3 moved";
    EXPECT_EQ(b.answers(rq_e6(130)).at(0).at(4) & 0x30, 0x00) << "source free";
    // Dispatch put and get; a classic get cannot name slot 300.
    EXPECT_EQ(e6_slot(b.answers(d4_move(300, 0)).at(0)), 300u);
    EXPECT_EQ(b.answers({0xBA, 0x00, 0x00, 0x45}), (msgs{{0xB4, 0x3A, 0x00, 0x71}}));
    EXPECT_EQ(e6_slot(b.answers(d4_move(0, 0)).at(0)), 300u);

    EXPECT_EQ(b.answers(d4_move(300, 124)), (msgs{with_checksum({0xB4, 0x54, 0x00})})) << "to a system slot";
    EXPECT_EQ(b.answers({0xBB, 0x02, 0x01, 0x47}), (msgs{with_checksum({0xB4, 0x3B, 0x00})})) << "E7 of slot 130";
    EXPECT_EQ(b.answers(rq_e6(252)), (msgs{with_checksum({0xB4, 0x66, 0x00})}));
    EXPECT_EQ(b.answers(rq_e6(430)), (msgs{with_checksum({0xB4, 0x66, 0x00})})) << "beyond the 400";
    bytes to_121 = e6_slot130;
    to_121[2] = 0x00;
    to_121[3] = 121;
    EXPECT_EQ(b.answers(as_write(to_121)), (msgs{with_checksum({0xB4, 0x6E, 0x00})}));
    // Status is set without an answer.
    EXPECT_TRUE(b.answers(with_checksum({0xD4, 0x3A, 0x2C, 0x60, 0x13})).empty());
    EXPECT_EQ(b.station.slot(300)[0], 0x13);
}

// BB 79 41 7C, the poll of slot 249 a meter sends (PROTOCOL-MODERN.md §1
// status slots): plausible volts and amps, none on the track with power off.
TEST(SimExpanded, StatusSlotsReportTheStation) {
    bus b(expanded);
    msgs a = b.answers({0xBB, 0x79, 0x41, 0x7C});
    ASSERT_EQ(a.size(), 1u);
    const bytes& power = a[0];
    EXPECT_EQ(e6_slot(power), 249u);
    EXPECT_GT(power.at(4), 50) << "track volts above 10";
    EXPECT_GT(power.at(5), power.at(4) - 1) << "input at least the track";
    EXPECT_LE(power.at(6), power.at(7)) << "current within the limit";
    b.send({0x82, 0x7D});
    EXPECT_EQ(b.answers({0xBB, 0x79, 0x41, 0x7C}).at(0).at(4), 0);

    const bytes id = b.answers(rq_e6(248)).at(0);
    EXPECT_EQ(id.at(19) & 0x40, 0x40) << "a command station";
    EXPECT_EQ((id.at(19) & 0x3F) * 128 + id.at(18), 1234) << "serial";
    const bytes traffic = b.answers(rq_e6(251)).at(0);
    EXPECT_EQ(traffic.at(4) + traffic.at(5) * 128, 5) << "messages the station took";
}

// With traffic, two other throttles take locos 1001 and 1002 the expanded
// way and drive them with D5; a classic station's traffic carries none.
TEST(SimExpanded, TrafficThrottlesDriveThroughD5) {
    for (bool with_expanded : {false, true}) {
        kvr_sim_options o{.traffic_per_s = 200, .expanded = with_expanded};
        kvr_sim_station st(o);
        std::deque<uint8_t> wire;
        for (int ms = 1; ms <= 3000; ++ms) {
            const bytes out = st.poll(kvr_sim_time{ms * 1000});
            wire.insert(wire.end(), out.begin(), out.end());
        }
        std::set<uint8_t> opcodes;
        for (const bytes& m : frame(wire)) {
            opcodes.insert(m.at(0));
            // busprobe-sim --log shows each: the monitor has a line for all of them.
            const std::string line = kvr_monitor::to_text(to_msg(m));
            EXPECT_FALSE(line.empty() || line.find("UNKNOWN") != std::string::npos) << line;
        }
        if (!with_expanded) {
            EXPECT_EQ(opcodes, (std::set<uint8_t>{0xB1, 0xB2}));
            continue;
        }
        for (uint8_t op : {0xBE, 0xE6, 0xEE, 0xB4, 0xD5}) EXPECT_TRUE(opcodes.count(op)) << std::hex << int(op);
        int held = 0;
        for (unsigned s = 1; s <= 425; ++s) {
            const auto slot = st.slot(static_cast<uint16_t>(s));
            const unsigned loco = slot[6] * 128u + slot[1];
            if ((loco == 1001 || loco == 1002) && (slot[0] & 0x30) == 0x30) {
                ++held;
                EXPECT_EQ(slot[8] + slot[9] * 128, static_cast<int>(loco - 1001 + 417)) << "its throttle's ID";
            }
        }
        EXPECT_EQ(held, 2);
    }
}

// PROTOCOL-MODERN.md §4: the command station's option switches live in slot
// 127 (and, where TRK bit 6 is set, 126); a write is kept and acknowledged
// B4 6F 7F; the reply carries TRK and byte 12 = 0 whatever the write held.
TEST(SimExpanded, OptionSwitchSlotsKeepWhatIsWritten) {
    const bytes write_opsw5 = with_checksum({0xEF, 0x0E, 0x7F, 0x10, 0, 0, 0, 0x00, 0, 0, 0, 0, 0x55});
    for (bool with_expanded : {false, true}) {
        bus b({.instant = true, .expanded = with_expanded});
        EXPECT_EQ(b.answers(write_opsw5), (msgs{with_checksum({0xB4, 0x6F, 0x7F})}));
        const bytes reply = b.answers({0xBB, 0x7F, 0x00, 0x3B}).at(0);
        if (with_expanded)  // the sheet's example: OpSw 5 closed, all others thrown
            EXPECT_EQ(reply, (bytes{0xE7, 0x0E, 0x7F, 0x10, 0x00, 0x00, 0x00, 0x47, 0x00, 0x00, 0x00, 0x00, 0x00, 0x3E}));
        else
            EXPECT_EQ(reply, with_checksum({0xE7, 0x0E, 0x7F, 0x10, 0, 0, 0, 0x07, 0, 0, 0, 0, 0}));
        b.send(with_checksum({0xEF, 0x0E, 0x7E, 0x01, 0, 0, 0, 0x00, 0, 0, 0, 0, 0}));
        EXPECT_EQ(b.answers({0xBB, 0x7E, 0x00, 0x3A}).at(0).at(3), with_expanded ? 0x01 : 0x00)
            << "slot 126 only where expanded slots are offered";
    }
}
