// The throttle against the scripted command station: what it reads before it
// drives, and that each call sends only what it names. Slot layout, the NULL
// move, speed 1 as the emergency stop, speed-step codes and OPC_IDLE: LocoNet
// PE opcode summary; DCC function groups: NMRA S-9.2.1.

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "fake_link.h"
#include "station/kvr_throttle.h"

namespace {

class Throttle : public Station {
protected:
    Throttle() { restart(); }
    kvr_throttle throttle{station, link};
    // The messages sent since the last restart(), as hex.
    strings since() { return sent(); }
};

// What a free slot, one another throttle left running, and one held by
// throttle 0x0205 look like on the bus.
const slot_fields loco3_free{.slot = 1, .address = 3, .stat = 0x03};
const slot_fields loco5_running_rev{.slot = 2, .address = 5, .stat = 0x13, .spd = 31, .dirf = 0x20};
const slot_fields loco7_held{.slot = 3, .address = 7, .stat = 0x33, .spd = 20, .dirf = 0x02, .id = 0x0205};

TEST(ThrottleSteps, NoStepIsTheEmergencyStopAndStepsRoundTrip) {
    // 128 steps: step n is wire speed n + 1, so wire speed 1 is never sent.
    EXPECT_EQ(kvr_wire_speed(0, 128), 0);
    EXPECT_EQ(kvr_wire_speed(1, 128), 2);
    EXPECT_EQ(kvr_wire_speed(126, 128), 127);
    EXPECT_EQ(kvr_wire_speed(200, 128), 127);
    // 28 steps: the scaled table (step * 127 / 28).
    EXPECT_EQ(kvr_wire_speed(1, 28), 4);
    EXPECT_EQ(kvr_wire_speed(14, 28), 63);
    EXPECT_EQ(kvr_wire_speed(28, 28), 127);
    for (int steps : {128, 28, 14})
        for (int step = 0; step <= (steps == 128 ? 126 : steps); ++step) {
            const uint8_t spd = kvr_wire_speed(step, steps);
            EXPECT_NE(spd, 1) << steps << " steps, step " << step;
            EXPECT_EQ(kvr_throttle_step(spd, steps), step) << steps << " steps";
        }
    EXPECT_EQ(kvr_throttle_step(1, 128), 0) << "an emergency-stopped loco stands";
    // STAT codes: 011 and 111 are both 128 steps, 010 is 14, the rest 28.
    EXPECT_EQ(kvr_steps_of_code(3), 128);
    EXPECT_EQ(kvr_steps_of_code(7), 128);
    EXPECT_EQ(kvr_steps_of_code(2), 14);
    for (uint8_t code : {0, 1, 4}) EXPECT_EQ(kvr_steps_of_code(code), 28);
}

TEST_F(Throttle, AFreeLocoIsReadTakenAndDrivenWithOnlyWhatEachCallNames) {
    keeper.put(slot_data(loco3_free));
    const kvr_throttle::acquired a = throttle.acquire(3);
    ASSERT_EQ(a.result, kvr_throttle::outcome::driving);
    EXPECT_EQ(since(), (strings{"BF 00 03 43", "BA 01 01 45"}));
    EXPECT_TRUE(a.loco.in_use());
    restart();
    throttle.set_direction(true);
    throttle.set_function(0, true);
    throttle.set_speed(40);
    EXPECT_EQ(since(), (strings{w({0xA1, 0x01, 0x00}), w({0xA1, 0x01, 0x10}), w({0xA0, 0x01, 41})}));
    EXPECT_TRUE(link.firsts.empty());
}

// Why 1 and 5: another throttle left loco 5 running in reverse at speed 31
// in a 128-step slot (code 011). Taking it and moving the speed must neither
// reverse it, stop it, nor rewrite its decoder type.
TEST_F(Throttle, TakingARunningLocoKeepsItsDirectionSpeedAndDecoderType) {
    for (uint8_t code : {0x03, 0x07}) {
        keeper.slots.clear();
        slot_fields f = loco5_running_rev;
        f.stat = static_cast<uint8_t>(0x10 | code);
        keeper.put(slot_data(f));
        link.reopen();
        restart();
        const kvr_loco_state shown = throttle.acquire(5).loco;
        EXPECT_FALSE(shown.forward);
        EXPECT_EQ(shown.steps(), 128);
        EXPECT_EQ(shown.step(), 30);
        throttle.set_speed(31);
        EXPECT_EQ(since(), (strings{"BF 00 05 45", "BA 02 02 45", w({0xA0, 0x02, 32})})) << +code;
        // The slot keeps its code, and was never written.
        EXPECT_EQ(keeper.slots[2][3] & 0x07, code);
        EXPECT_EQ(keeper.slots[2][6], 0x20) << "still reverse";
    }
}

// Why 2: after another open nothing of the loco driven before remains.
TEST_F(Throttle, AnOpenForgetsTheLocoSoNothingCarriesToTheNextLayout) {
    keeper.put(slot_data(loco3_free));
    throttle.acquire(3);
    throttle.set_direction(false);
    throttle.set_function(1, true);
    link.reopen();
    EXPECT_FALSE(throttle.driving());
    restart();
    expect_failure([&] { throttle.set_speed(5); }, {"kvr_throttle::set_speed()", kvr_throttle::text_no_loco});
    EXPECT_TRUE(since().empty());
    // The next layout's loco 3 runs forward with F1 off: it is shown so.
    keeper.slots.clear();
    keeper.put(slot_data({.slot = 4, .address = 3, .stat = 0x13, .spd = 10}));
    const kvr_loco_state next = throttle.acquire(3).loco;
    EXPECT_TRUE(next.forward);
    EXPECT_EQ(next.functions, 0u);
}

// Why 3: F1 of the loco driven before never goes out with F0 of the next.
TEST_F(Throttle, AFunctionClickChangesOnlyTheFunctionItNames) {
    keeper.put(slot_data(loco3_free));
    keeper.put(slot_data({.slot = 9, .address = 144, .stat = 0x13, .dirf = 0x24}));  // reverse, F3
    throttle.acquire(3);
    throttle.set_function(1, true);
    throttle.acquire(144);
    restart();
    throttle.set_function(0, true);
    EXPECT_EQ(since(), strings{w({0xA1, 0x09, 0x34})}) << "reverse, F0 and F3 as loco 144 had them";
}

// Issue of a duplicated answer: a command station that answers a request
// twice files a second, older copy of the slot after our function message.
// It must not switch F1 off when F2 is clicked next.
TEST_F(Throttle, ALateCopyOfASlotAnswerNeverUndoesWhatWasSentSince) {
    keeper.put(slot_data(loco3_free));
    throttle.acquire(3);
    const bytes before_f1 = keeper.slots[1];
    throttle.set_function(1, true);
    link.deliver(before_f1);  // the duplicate, F1 off
    restart();
    throttle.set_function(2, true);
    EXPECT_EQ(since(), strings{w({0xA1, 0x01, 0x03})});
    // Another throttle's message is followed, though.
    link.deliver(with_checksum({0xA1, 0x01, 0x23}));
    restart();
    throttle.set_function(4, true);
    EXPECT_EQ(since(), strings{w({0xA1, 0x01, 0x2B})});
}

// Issue of functions one per message: every function of a group named in one
// call goes out in one message.
TEST_F(Throttle, FunctionsOfOneGroupGoOutInOneMessage) {
    keeper.put(slot_data(loco3_free));
    throttle.acquire(3);
    restart();
    link.echo = true;  // a packet counts as sent once its echo is seen
    throttle.set_functions({{13, true}, {14, true}, {0, true}, {2, true}, {5, true}});
    // Loco 3, F13 and F14 on: 03 DE 03, 4 repeats.
    EXPECT_EQ(since(), (strings{w({0xA1, 0x01, 0x12}), w({0xA2, 0x01, 0x01}),
                                w({0xED, 0x0B, 0x7F, 0x34, 0x02, 0x03, 0x5E, 0x03, 0x00, 0x00})}));
    throttle.set_function_send(kvr_function_send::opcodes);
    restart();
    throttle.set_functions({{13, true}, {15, true}});
    EXPECT_EQ(since(), strings{w({0xD4, 0x20, 0x01, 0x08, 0x07})}) << "F13, F14 and F15 on";
}

// Why 4: the stop goes to the loco driven, ahead of anything queued; with
// none, nothing goes out.
TEST_F(Throttle, EmergencyStopGoesToTheLocoDrivenAheadOfTheQueue) {
    EXPECT_FALSE(throttle.emergency_stop());
    EXPECT_TRUE(since().empty());
    keeper.put(slot_data({.slot = 6, .address = 34, .stat = 0x33, .spd = 26}));
    throttle.acquire(34);
    restart();
    EXPECT_TRUE(throttle.emergency_stop());
    EXPECT_EQ(since(), strings{w({0xA0, 0x06, 0x01})});
    EXPECT_EQ(link.firsts, std::vector<std::size_t>{0});
    EXPECT_EQ(throttle.loco().step(), 0);
    throttle.stop_all();
    EXPECT_EQ(since().back(), "85 7A");
    EXPECT_EQ(link.firsts.size(), 2u);
}

// A stop of a loco not driven: its slot when the command station names it,
// every loco (OPC_IDLE) when it does not answer in time.
TEST_F(Throttle, AStopOfAnUnknownLocoStillStopsIt) {
    keeper.put(slot_data(loco5_running_rev));
    EXPECT_TRUE(throttle.stop_loco(5, 2));
    EXPECT_EQ(since(), (strings{"BF 00 05 45", w({0xA0, 0x02, 0x01})}));
    restart();
    keeper.silent = true;
    EXPECT_FALSE(throttle.stop_loco(9, 2));
    EXPECT_EQ(since(), (strings{"BF 00 09 49", "85 7A"}));
    EXPECT_EQ(clock.units.size(), 2u);
}

// Why 6: a loco held by another throttle is not taken without a question;
// stolen, it keeps its speed; the loco driven before is released.
TEST_F(Throttle, ALocoHeldElsewhereIsTakenOnlyWhenStolenAndTheOneBeforeIsReleased) {
    keeper.put(slot_data(loco3_free));
    keeper.put(slot_data(loco7_held));
    throttle.acquire(3);
    restart();
    const kvr_throttle::acquired asked = throttle.acquire(7);
    EXPECT_EQ(asked.result, kvr_throttle::outcome::held_elsewhere);
    EXPECT_EQ(asked.loco.holder, 0x0205);
    EXPECT_EQ(since(), strings{"BF 00 07 47"});
    EXPECT_EQ(throttle.loco().address, 3) << "still driving loco 3";

    restart();
    ASSERT_EQ(throttle.acquire(7, true).result, kvr_throttle::outcome::driving);
    // Loco 3 released (STAT 0x33 -> 0x13, speed kept), then 7 taken: the
    // move, then the write of our id with its speed and functions as read.
    const strings s = since();
    ASSERT_GE(s.size(), 4u);
    EXPECT_EQ(s[1], "B5 01 13 58");
    EXPECT_EQ(s[2], "BA 03 03 45");
    EXPECT_EQ(s[3], w({0xEF, 0x0E, 0x03, 0x33, 0x07, 20, 0x02, 0x07, 0x00, 0x00, 0x00, 0x01, 0x00}));
    EXPECT_EQ(keeper.slots[1][3], 0x13);
    EXPECT_EQ(keeper.slots[3][5], 20) << "speed kept";
}

// The step mode is rewritten only when the user picks the other one; the
// wire speed is kept.
TEST_F(Throttle, OnlyPickingTheOtherStepModeRewritesTheCode) {
    keeper.put(slot_data({.slot = 1, .address = 3, .stat = 0x30, .spd = 63}));  // 28 steps, code 000
    throttle.acquire(3);
    EXPECT_EQ(throttle.loco().step(), 14);
    restart();
    throttle.set_steps(28);
    throttle.set_speed(28);
    EXPECT_EQ(since(), strings{w({0xA0, 0x01, 127})});
    restart();
    throttle.set_steps(128);
    ASSERT_FALSE(since().empty());
    EXPECT_EQ(since()[0], w({0xEF, 0x0E, 0x01, 0x33, 0x03, 127, 0x00, 0x07, 0x00, 0x00, 0x00, 0x01, 0x00}));
    EXPECT_EQ(throttle.loco().steps(), 128);
}

// ---- expanded slots (PROTOCOL-MODERN.md section 1) ----

// An E6 of `slot` holding `loco`: STAT, TRK 47, speed, DIRF-like byte 10,
// throttle id bytes 18/19.
bytes e6(uint16_t slot, uint16_t loco, uint8_t stat, uint8_t spd = 0, uint8_t dirf = 0, uint8_t id1 = 0,
         uint8_t id2 = 0) {
    return with_checksum({0xE6, 0x15, static_cast<uint8_t>(slot >> 7), static_cast<uint8_t>(slot & 0x7F), stat,
                          static_cast<uint8_t>(loco & 0x7F), static_cast<uint8_t>(loco >> 7), 0x47, spd, 0, dirf, 0,
                          0, 0, 0, 0, 0, 0, id1, id2});
}

// The classic answer of a station that offers expanded slots: TRK 0x47
// (the sheet's real example, JMRI PR #4726).
bytes e7_offering(uint8_t slot, uint16_t loco, uint8_t stat) {
    return with_checksum({0xE7, 0x0E, slot, stat, static_cast<uint8_t>(loco & 0x7F), 0, 0, 0x47, 0,
                          static_cast<uint8_t>(loco >> 7), 0, 0, 0});
}

// A station keeping expanded slots beside the classic keeper: BE and
// BB SL 4x answered with the E6, the D4 null move marks it in use, EE
// writes it.
class ThrottleExpanded : public Throttle {
protected:
    ThrottleExpanded() {
        link.on_send = [this](const bytes& m) {
            keeper.answer(link, m);
            if (silent_expanded) return;
            const auto slot_of = [](uint8_t hi, uint8_t lo) { return static_cast<uint16_t>((hi & 3) * 128 + lo); };
            if (m[0] == 0xBE)
                for (const auto& [n, e] : exp)
                    if (e[5] == m[2] && e[6] == m[1]) link.deliver(e);
            if (m[0] == 0xBB && (m[2] & 0x40) && exp.count(slot_of(m[2], m[1]))) link.deliver(exp[slot_of(m[2], m[1])]);
            if (m[0] == 0xD4 && (m[1] & 0xFC) == 0x38 && m[3] == (m[1] & 3) && m[4] == m[2]) {
                bytes& e = exp[slot_of(m[1], m[2])];
                e[4] |= 0x30;
                e = with_checksum(bytes(e.begin(), e.end() - 1));
                link.deliver(e);
            }
            if (m[0] == 0xEE) {
                bytes e(m.begin(), m.end() - 1);
                e[0] = 0xE6;
                exp[slot_of(m[2], m[3])] = with_checksum(e);
                link.deliver(exp[slot_of(m[2], m[3])]);
            }
        };
    }
    std::map<uint16_t, bytes> exp;
    bool silent_expanded = false;
};

TEST_F(ThrottleExpanded, AnOfferingStationIsDrivenThroughTheExpandedMessages) {
    keeper.put(e7_offering(3, 3, 0x03));
    exp[3] = e6(3, 3, 0x03);
    ASSERT_EQ(throttle.acquire(3).result, kvr_throttle::outcome::driving);
    // The classic read shows TRK bit 6: read again as BE, taken by D4's null move.
    EXPECT_EQ(since(), (strings{"BF 00 03 43", w({0xBE, 0x00, 0x03}), w({0xD4, 0x38, 0x03, 0x00, 0x03})}));
    EXPECT_TRUE(throttle.loco().expanded);
    restart();
    throttle.set_speed(9);                 // 128 steps: wire speed 10
    throttle.set_function(12, true);       // F7..F13 group, bit 5
    throttle.set_direction(false);         // the speed as it stands, reversed
    throttle.set_functions({{0, true}, {1, true}, {5, true}});
    throttle.set_function(28, true);       // F21..F27 with F28 on: group 0x30
    EXPECT_EQ(since(), (strings{w({0xD5, 0x00, 0x03, 0x00, 10}), w({0xD5, 0x18, 0x03, 0x00, 0x20}),
                                w({0xD5, 0x08, 0x03, 0x00, 10}), w({0xD5, 0x10, 0x03, 0x00, 0x31}),
                                w({0xD5, 0x30, 0x03, 0x00, 0x00})}));
    EXPECT_EQ(throttle.loco().functions, 1u << 0 | 1u << 1 | 1u << 5 | 1u << 12 | 1u << 28);
    EXPECT_FALSE(throttle.loco().forward);
    EXPECT_TRUE(link.firsts.empty());
    // The stop goes out ahead of the queue on this path too; the release
    // sets the slot common by D4 (speed kept).
    restart();
    EXPECT_TRUE(throttle.emergency_stop());
    ASSERT_EQ(link.firsts, (std::vector<std::size_t>{0}));
    throttle.release();
    EXPECT_EQ(since(), (strings{w({0xD5, 0x08, 0x03, 0x00, 0x01}), w({0xD4, 0x38, 0x03, 0x60, 0x13})}));
}

TEST_F(ThrottleExpanded, SlotsAbove127AndAnotherThrottlesId) {
    // The sheet's E6: slot 130, loco 3 in use by throttle 05/04, speed 32, F0.
    exp[130] = e6(130, 3, 0x33, 0x20, 0x10, 0x05, 0x04);
    throttle.set_slot_choice(kvr_slot_choice::expanded);
    const kvr_throttle::acquired asked = throttle.acquire(3);
    EXPECT_EQ(asked.result, kvr_throttle::outcome::held_elsewhere);
    EXPECT_EQ(asked.loco.slot, 130);
    EXPECT_EQ(since(), strings{w({0xBE, 0x00, 0x03})}) << "nothing but the read without --steal";
    restart();
    ASSERT_EQ(throttle.acquire(3, true).result, kvr_throttle::outcome::driving);
    // Stolen: the null move, then the write of this program's id (01 00),
    // speed and F0 as read, and its read-back.
    const strings s = since();
    ASSERT_EQ(s.size(), 4u);
    EXPECT_EQ(s[3], "BB 02 41 07");
    EXPECT_EQ(s[1], w({0xD4, 0x39, 0x02, 0x01, 0x02}));
    EXPECT_EQ(s[2], w({0xEE, 0x15, 0x01, 0x02, 0x33, 0x03, 0x00, 0x47, 0x20, 0x00, 0x10, 0, 0, 0, 0, 0, 0, 0, 0x01, 0x00}));
    EXPECT_EQ(throttle.loco().spd, 0x20);
    EXPECT_EQ(throttle.loco().functions, 1u);
    // The slot's own id low byte goes into D5 (section 1: b3 = b18).
    restart();
    throttle.set_functions({{1, true}, {5, true}});
    EXPECT_EQ(since(), strings{w({0xD5, 0x11, 0x02, 0x01, 0x31})});
    // Another throttle's D5 for the slot is followed: speed and direction together.
    link.deliver(with_checksum({0xD5, 0x09, 0x02, 0x05, 0x40}));
    EXPECT_EQ(throttle.loco().spd, 0x40);
    EXPECT_FALSE(throttle.loco().forward);
    link.deliver(with_checksum({0xD5, 0x21, 0x02, 0x05, 0x40}));
    EXPECT_TRUE(throttle.loco().functions & 1u << 20);
}

TEST_F(ThrottleExpanded, TheChoiceDecidesAndAStationWithoutThemIsNotDrivenBlind) {
    // The builders give the sheet's bytes.
    EXPECT_EQ(bytes_of(kvr_dccx_loconet::exp_function_message(130, 0x05, kvr_proto::d5_f0_f6, 0x31)),
              (bytes{0xD5, 0x11, 0x02, 0x05, 0x31, 0x0D}));
    EXPECT_EQ(bytes_of(kvr_dccx_loconet::exp_slot_request(130)), (bytes{0xBB, 0x02, 0x41, 0x07}));
    EXPECT_EQ(hex(bytes_of(kvr_dccx_loconet::exp_move_message(261, 0))), w({0xD4, 0x3A, 0x05, 0x00, 0x00}));

    // Classic chosen: the offering station is driven exactly as an old one.
    keeper.put(e7_offering(3, 3, 0x03));
    exp[3] = e6(3, 3, 0x03);
    throttle.set_slot_choice(kvr_slot_choice::classic);
    throttle.acquire(3);
    throttle.set_speed(9);
    EXPECT_EQ(since(), (strings{"BF 00 03 43", "BA 03 03 45", w({0xA0, 0x03, 10})}));
    EXPECT_FALSE(throttle.loco().expanded);

    // Expanded chosen, but BE is never answered: a plain failure, and no
    // move or speed goes out to a slot never read.
    throttle.release();
    link.reopen();
    restart();
    silent_expanded = true;
    throttle.set_slot_choice(kvr_slot_choice::expanded);
    expect_failure([&] { throttle.acquire(3); }, {op("do_read_loco_expanded"), "ERR:EXPANDED SLOTS NOT ANSWERED"});
    for (const std::string& m : since()) EXPECT_EQ(m.substr(0, 2), "BE") << m;
    EXPECT_FALSE(throttle.driving());
    // A refusal (B4 3E 00) ends it at once.
    restart();
    link.on_send = [this](const bytes& m) {
        if (m[0] == 0xBE) link.deliver(long_ack(0xBE, 0x00));
    };
    expect_failure([&] { throttle.acquire(3); }, {op("do_read_loco_expanded"), "ERR:EXPANDED SLOTS NOT ANSWERED"});
    EXPECT_EQ(since(), strings{w({0xBE, 0x00, 0x03})});
}

}  // namespace
