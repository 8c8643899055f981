// Reading every slot, releasing and dispatching one, against the scripted
// link. Moves and their answers: LocoNet PE opcode summary.

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "fake_link.h"

namespace {

using answer = kvr_dccx_loconet::slot_answer;
using read_log = std::vector<std::pair<int, answer>>;
constexpr answer data = answer::data, silent = answer::silent, refused = answer::refused;

TEST_F(Station, ReadAllAsksOneSlotAtATimeAndPassesOverSilentOnes) {
    for (uint8_t s : {1, 2, 5}) keeper.put(slot_data({s, static_cast<uint16_t>(s * 100), 0x33}));
    read_log seen;
    const auto r = station.do_read_all_slots(1, 6, [&](uint8_t slot, answer a) { seen.push_back({slot, a}); });
    EXPECT_EQ(r.asked, 6u);
    EXPECT_EQ(r.answered, 3u);
    EXPECT_FALSE(r.station_silent);
    EXPECT_EQ(seen, (read_log{{1, data}, {2, data}, {3, silent}, {4, silent}, {5, data}, {6, silent}}));
    // An unanswered slot is asked twice, one wait each, then passed over.
    EXPECT_EQ(sent(), (strings{"BB 01 00 45", "BB 02 00 46", "BB 03 00 47", "BB 03 00 47", "BB 04 00 40",
                               "BB 04 00 40", "BB 05 00 41", "BB 06 00 42", "BB 06 00 42"}));
    EXPECT_EQ(clock.units, (std::vector<unsigned>(6, station.slot_read_wait_ms)));
}

TEST_F(Station, ReadAllSendsTheNextRequestOnlyOnceTheAnswerIsIn) {
    // The command station answers only after a wait: the request for the
    // next slot must not be on the bus before that.
    keeper.silent = true;
    uint8_t asked = 0;
    link.on_send = [&](const bytes& m) {
        if (m[0] == 0xBB) asked = m[1];
    };
    clock.on_unit = [&](std::size_t) { link.deliver(slot_data({asked, 3})); };
    const auto r = station.do_read_all_slots(10, 14);
    EXPECT_EQ(r.answered, 5u);
    EXPECT_EQ(sent(), (strings{"BB 0A 00 4E", "BB 0B 00 4F", "BB 0C 00 48", "BB 0D 00 49", "BB 0E 00 4A"}));
    EXPECT_EQ(clock.units.size(), 5u);
}

TEST_F(Station, ReadAllStopsAtCancelEvenWhenAnswersComeAtOnce) {
    for (uint8_t s = 1; s <= 10; ++s) keeper.put(slot_data({s, s}));
    unsigned progress = 0;
    expect_failure(
        [&] {
            station.do_read_all_slots(1, 10, [&](uint8_t slot, answer) {
                ++progress;
                if (slot == 3) abort.set();
            });
        },
        {op("do_read_all_slots"), "CANCEL"});
    EXPECT_EQ(progress, 3u);
    EXPECT_EQ(link.sent.size(), 3u);
}

// LocoNet PE: a request the command station will not serve is answered
// with OPC_LONG_ACK (B4 3B 00 for OPC_RQ_SL_DATA); nothing more will come.
TEST_F(Station, ReadAllMovesOnAtOnceFromARefusedSlot) {
    keeper.put(slot_data({2, 200, 0x33}));
    link.on_send = [&](const bytes& m) {
        if (m[0] == 0xBB && m[1] != 2) link.deliver(long_ack(0xBB, 0x00));
        keeper.answer(link, m);
    };
    read_log seen;
    const auto r = station.do_read_all_slots(1, 4, [&](uint8_t slot, answer a) { seen.push_back({slot, a}); });
    EXPECT_EQ(seen, (read_log{{1, refused}, {2, data}, {3, refused}, {4, refused}}));
    EXPECT_EQ(r.answered, 1u);
    EXPECT_EQ(r.refused, 3u);
    EXPECT_EQ(link.sent.size(), 4u) << "a refused slot is not asked again";
    EXPECT_TRUE(clock.units.empty()) << "nor waited for";

    // A station that refuses every slot is no silent one: the read goes on.
    restart();
    link.on_send = [&](const bytes& m) { link.deliver(long_ack(m[0], 0x00)); };
    const auto all = station.do_read_all_slots(1, 8);
    EXPECT_EQ(all.refused, 8u);
    EXPECT_FALSE(all.station_silent);
}

// Nothing at all from the first slots: the read ends there, having waited
// for those few, not for every slot of the table.
TEST_F(Station, ReadAllStopsEarlyWhenTheCommandStationIsSilent) {
    keeper.silent = true;
    read_log seen;
    const auto r = station.do_read_all_slots(1, 119, [&](uint8_t slot, answer a) { seen.push_back({slot, a}); });
    EXPECT_TRUE(r.station_silent);
    EXPECT_EQ(r.asked, station.slot_read_silent_stop);
    EXPECT_EQ(r.answered, 0u);
    EXPECT_EQ(seen.size(), station.slot_read_silent_stop);
    EXPECT_EQ(clock.units.size(), 2u * station.slot_read_silent_stop);

    // Once one slot answered, silent ones later on are passed over instead.
    restart();
    keeper.silent = false;
    keeper.put(slot_data({1, 3, 0x33}));
    const auto later = station.do_read_all_slots(1, 6);
    EXPECT_FALSE(later.station_silent);
    EXPECT_EQ(later.asked, 6u);
}

TEST_F(Station, ReleaseSetsCommonKeepingTheOtherStatusBits) {
    // In use, 128 steps, consist top (bit 3): only bits 5..4 change.
    seen(slot_data({5, 1234, 0x3B}));
    station.do_release_slot(5);
    EXPECT_EQ(sent(), strings{w({0xB5, 0x05, 0x1B})});
    // A slot never seen is read first, for the bits to keep.
    restart();
    keeper.put(slot_data({7, 3, 0x33}));
    station.do_release_slot(7);
    EXPECT_EQ(sent(), (strings{"BB 07 00 43", w({0xB5, 0x07, 0x13})}));

    // Driven again after the release, the loco is read and taken anew (null
    // move) rather than driven from the copy that still said in use.
    restart();
    keeper.put(slot_data({5, 1234, 0x1F}));  // the command station: common now
    station.do_128step(1234, 1, 10);
    const strings s = sent();
    ASSERT_GE(s.size(), 3u) << ::testing::PrintToString(s);
    EXPECT_EQ(s[0], "BB 05 00 41");
    EXPECT_EQ(s[1], "BA 05 05 45");
    EXPECT_EQ(s.back(), w({0xA0, 0x05, 10}));
}

TEST_F(Station, OnlyLocoSlotsAreReleasedOrDispatched) {
    // Slot 0 is the dispatch slot; 123 the fast clock, 124 the programmer.
    // 248..251 are the expanded station's status slots.
    for (uint16_t s : {0, 120, 123, 124, 127, 248, 251, 256, 433}) {
        expect_failure([&] { station.do_release_slot(s); }, {op("do_release_slot"), "ERR:SLOT MUST BE 1 TO 119"});
        expect_failure([&] { station.do_dispatch_slot(s); }, {op("do_dispatch_slot"), "ERR:SLOT MUST BE 1 TO 119"});
    }
    EXPECT_TRUE(link.sent.empty());
}

// The move alone leaves the status as it was (JMRI SlotManager; LocoNet PE):
// the slot goes common first, then to slot 0. A move the command station
// refuses or does not answer puts the status back.
TEST_F(Station, DispatchSetsTheSlotCommonThenMovesItAndUndoesAFailedOne) {
    seen(slot_data({5, 1234, 0x33}));
    link.on_send = [&](const bytes& m) {
        if (m[0] == 0xBA) link.deliver(slot_data({5, 1234, 0x13}));
    };
    station.do_dispatch_slot(5);
    EXPECT_EQ(sent(), (strings{w({0xB5, 0x05, 0x13}), "BA 05 00 40"}));

    // 128 steps in use (0x33): common is 0x13, and back to 0x33.
    restart();
    seen(slot_data({5, 1234, 0x33}));
    link.on_send = [&](const bytes& m) {
        if (m[0] == 0xBA) link.deliver(long_ack(0xBA, 0x00));
    };
    expect_failure([&] { station.do_dispatch_slot(5); }, {op("do_dispatch_slot"), "ERR:DISPATCH REFUSED"});
    EXPECT_EQ(sent(), (strings{w({0xB5, 0x05, 0x13}), "BA 05 00 40", w({0xB5, 0x05, 0x33})}));

    // An earlier refusal is not taken for this dispatch's answer, and
    // silence is no success.
    restart();
    seen(slot_data({5, 1234, 0x33}));
    link.on_send = {};
    expect_failure([&] { station.do_dispatch_slot(5); }, {op("do_dispatch_slot"), "ERR:DISPATCH NOT ANSWERED"});
    EXPECT_EQ(clock.units.size(), station.lack_tries);
    EXPECT_EQ(sent().back(), w({0xB5, 0x05, 0x33}));
}

// PROTOCOL-MODERN.md section 1: an expanded slot's status and dispatch go
// by D4 (b3 & 70 = 60 status, 00 move; D = 0 dispatch), never by a classic
// message whose one slot byte would name another slot (130 & 7F = 2).
TEST_F(Station, ExpandedSlotsAreReleasedAndDispatchedByD4) {
    const auto e6 = [](uint8_t stat) {
        return with_checksum({0xE6, 0x15, 0x01, 0x02, stat, 0x03, 0x00, 0x47, 0x20, 0x00, 0x10, 0, 0, 0, 0, 0, 0, 0,
                              0x05, 0x04});
    };
    link.deliver(e6(0x3B));
    station.do_release_slot(130);
    EXPECT_EQ(sent(), strings{w({0xD4, 0x39, 0x02, 0x60, 0x1B})});
    // Never seen: read first, as an expanded slot.
    restart();
    link.on_send = [&](const bytes& m) {
        if (m[0] == 0xBB) link.deliver(e6(0x33));
        if (m[0] == 0xD4 && m[3] == 0x00) link.deliver(e6(0x13));
    };
    station.do_dispatch_slot(130);
    EXPECT_EQ(sent(), (strings{"BB 02 41 07", w({0xD4, 0x39, 0x02, 0x60, 0x13}), w({0xD4, 0x39, 0x02, 0x00, 0x00})}));
    // Refused: the status is put back.
    restart();
    link.deliver(e6(0x33));
    link.on_send = [&](const bytes& m) {
        if (m[0] == 0xD4 && m[3] == 0x00) link.deliver(long_ack(0xD4, 0x00));
    };
    expect_failure([&] { station.do_dispatch_slot(130); }, {op("do_dispatch_slot"), "ERR:DISPATCH REFUSED"});
    EXPECT_EQ(sent(), (strings{w({0xD4, 0x39, 0x02, 0x60, 0x13}), w({0xD4, 0x39, 0x02, 0x00, 0x00}),
                               w({0xD4, 0x39, 0x02, 0x60, 0x33})}));
    for (const bytes& m : link.sent) EXPECT_NE(m[0], 0xB5) << hex(m);
}

}  // namespace
