// The simulated station at message level: requests in, bus bytes out, with
// times chosen by the test. Golden bytes are written out from the LocoNet
// message layouts with their checksums worked by hand (XOR of all bytes is
// 0xFF); programming tasks and replies have theirs worked by with_checksum.

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "loconet/kvr_loconet_msg.h"
#include "loconet/kvr_monitor.h"
#include "station_bus.h"

namespace {

const bytes rq_slot5 = {0xBB, 0x05, 0x00, 0x41};
const bytes rq_clock = {0xBB, 0x7B, 0x00, 0x3F};
const bytes rq_programmer = {0xBB, 0x7C, 0x00, 0x38};
const bytes loco3 = {0xBF, 0x00, 0x03, 0x43};
// DIRF 0x00: a freshly loaded slot runs forward, and DIRF bit 5 set means reverse.
const bytes slot1_loco3 = {0xE7, 0x0E, 0x01, 0x03, 0x03, 0x00, 0x00, 0x07, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10};
const bytes direct_read_cv29 = {0xEF, 0x0E, 0x7C, 0x28, 0x00, 0x00, 0x00, 0x00, 0x00, 0x1C, 0x00, 0x00, 0x00, 0x56};
const bytes read_cv29_is_6 = {0xE7, 0x0E, 0x7C, 0x28, 0x00, 0x00, 0x00, 0x07, 0x00, 0x1C, 0x06, 0x00, 0x00, 0x5F};
const bytes task_accepted = {0xB4, 0x6F, 0x01, 0x25};
const bytes task_busy = {0xB4, 0x6F, 0x00, 0x24};

}  // namespace

TEST(SimStation, EchoesEveryMessageFirstSenderIncluded) {
    bus b;
    EXPECT_EQ(b.send({0x83, 0x7C}), (msgs{{0x83, 0x7C}}));
    // Opcodes the station does not act on still travel the bus.
    const bytes peer = {0xE5, 0x07, 0x01, 0x02, 0x03, 0x04, 0x19};
    EXPECT_EQ(b.send(peer), (msgs{peer}));
    EXPECT_EQ(b.send(loco3), (msgs{loco3, slot1_loco3}));

    bus d({.instant = true, .drop_answers = 1});  // a dropped answer leaves the echo
    EXPECT_EQ(d.send(loco3), (msgs{loco3}));
    EXPECT_EQ(d.send(loco3), (msgs{loco3, slot1_loco3}));
}

TEST(SimStation, FramesRequestsSplitAcrossReadsAndSkipsGarbage) {
    bus b;
    b.station.receive(loco3.data(), 2, b.now);
    EXPECT_TRUE(b.after(milliseconds(1)).empty());
    const bytes rest = {0x03, 0x43, 0x12, 0xA0, 0x01, 0x00, 0x00};  // stray byte, damaged message
    b.station.receive(rest.data(), rest.size(), b.now);
    EXPECT_EQ(b.send(rq_slot5).back(), (bytes{0xE7, 0x0E, 0x05, 0, 0, 0, 0, 0x07, 0, 0, 0, 0, 0, 0x14}));
    EXPECT_EQ(b.station.slot(1)[1], 3) << "the split request was served";
}

TEST(SimStation, LocoAdrLoadsAFreeSlotAndFindsItAgain) {
    bus b;
    EXPECT_EQ(b.answers(loco3), (msgs{slot1_loco3}));
    // Slots load running forward, DIRF 0x00 (bit 5 set would mean reverse).
    // Another address does not take the slot loco 3 was given but not yet taken.
    EXPECT_EQ(b.answers({0xBF, 0x02, 0x0B, 0x49}),
              (msgs{{0xE7, 0x0E, 0x02, 0x03, 0x0B, 0x00, 0x00, 0x07, 0x00, 0x02, 0x00, 0x00, 0x00, 0x19}}));
    // Null move: in use, and the address leads to it from now on.
    EXPECT_EQ(b.answers({0xBA, 0x01, 0x01, 0x45}),
              (msgs{{0xE7, 0x0E, 0x01, 0x33, 0x03, 0x00, 0x00, 0x07, 0x00, 0x00, 0x00, 0x00, 0x00, 0x20}}));
    EXPECT_EQ(b.answers(loco3).at(0).at(3), 0x33);
    // With every slot in use: OPC_LONG_ACK "no free slot".
    bus full;
    for (uint8_t a = 1; a <= kvr_sim_station::loco_slots; ++a) {
        full.send(with_checksum({0xBF, 0x00, a}));
        full.send(with_checksum({0xBA, a, a}));
    }
    EXPECT_EQ(full.answers({0xBF, 0x01, 0x48, 0x09}), (msgs{{0xB4, 0x3F, 0x00, 0x74}}));
}

TEST(SimStation, MoveSlotsFollowsDispatchRules) {
    bus b;
    const bytes illegal = {0xB4, 0x3A, 0x00, 0x71};
    b.send(loco3);
    b.send({0xBA, 0x01, 0x01, 0x45});
    // DISPATCH PUT: the slot waits for a DISPATCH GET; the move alone leaves
    // its status in use (JMRI SlotManager: a throttle sets it common first).
    // DIRF 0x00 below: loaded forward, bit 5 set would mean reverse.
    EXPECT_EQ(b.answers({0xBA, 0x01, 0x00, 0x44}),
              (msgs{{0xE7, 0x0E, 0x01, 0x33, 0x03, 0x00, 0x00, 0x07, 0x00, 0x00, 0x00, 0x00, 0x00, 0x20}}));
    EXPECT_EQ(b.answers({0xBA, 0x00, 0x00, 0x45}).at(0).at(3), 0x33);
    EXPECT_EQ(b.answers({0xBA, 0x00, 0x00, 0x45}), (msgs{illegal})) << "nothing dispatched any more";
    // Data move to a free slot leaves the source free.
    EXPECT_EQ(b.answers({0xBA, 0x01, 0x02, 0x46}),
              (msgs{{0xE7, 0x0E, 0x02, 0x33, 0x03, 0x00, 0x00, 0x07, 0x00, 0x00, 0x00, 0x00, 0x00, 0x23}}));
    EXPECT_EQ(b.station.slot(1)[0] & 0x30, 0);
    EXPECT_EQ(b.answers({0xBA, 0x01, 0x02, 0x46}), (msgs{illegal})) << "source free now";
    EXPECT_EQ(b.answers({0xBA, 0x02, 0x7B, 0x3C}), (msgs{illegal})) << "into the fast clock";
}

TEST(SimStation, SlotWritesAreStoredAcknowledgedAndUpdated) {
    bus b;
    const bytes write5 = {0xEF, 0x0E, 0x05, 0x33, 0x03, 0x10, 0x21, 0x07, 0x00, 0x00, 0x01, 0x01, 0x00, 0x1D};
    EXPECT_EQ(b.answers(write5), (msgs{{0xB4, 0x6F, 0x7F, 0x5B}}));
    EXPECT_EQ(b.answers(rq_slot5),
              (msgs{{0xE7, 0x0E, 0x05, 0x33, 0x03, 0x10, 0x21, 0x07, 0x00, 0x00, 0x01, 0x01, 0x00, 0x15}}));

    // Speed, direction and sound update the slot without an answer.
    bus c;
    c.send(loco3);
    for (const bytes& m : {bytes{0xA0, 0x01, 0x28, 0x76}, bytes{0xA1, 0x01, 0x11, 0x4E}, bytes{0xA2, 0x01, 0x05, 0x59}})
        EXPECT_EQ(c.send(m).size(), 1u);
    EXPECT_EQ(c.answers({0xBB, 0x01, 0x00, 0x45}),
              (msgs{{0xE7, 0x0E, 0x01, 0x03, 0x03, 0x28, 0x11, 0x07, 0x00, 0x00, 0x05, 0x00, 0x00, 0x2C}}));
}

TEST(SimStation, TrackPowerAndEmergencyStopShowInTrk) {
    bus b;
    b.send({0x82, 0x7D});
    EXPECT_EQ(b.station.track_status(), 0x06);
    b.send({0x83, 0x7C});
    b.send({0x85, 0x7A});
    EXPECT_EQ(b.station.track_status(), 0x05);
    EXPECT_NE(b.monitor_line(rq_slot5).find("TRK (loconet1.1 Master,Emerg stop,power on)"), std::string::npos);
    b.send({0x83, 0x7C});
    EXPECT_EQ(b.station.track_status(), 0x07) << "power on ends the emergency stop";
}

TEST(SimStation, SwitchRequestsSetTurnoutsAndAnswer) {
    bus b;
    EXPECT_EQ(b.answers({0xBD, 0x00, 0x30, 0x72}), (msgs{{0xB4, 0x3D, 0x7F, 0x09}}));
    EXPECT_TRUE(b.station.turnout(1).closed);
    EXPECT_TRUE(b.station.turnout(1).output_on);
    EXPECT_EQ(b.answers({0xBC, 0x00, 0x00, 0x43}), (msgs{{0xB4, 0x3C, 0x20, 0x57}}));
    EXPECT_TRUE(b.answers({0xB0, 0x00, 0x10, 0x5F}).empty()) << "OPC_SW_REQ is not answered";
    EXPECT_EQ(b.answers({0xBC, 0x00, 0x00, 0x43}), (msgs{{0xB4, 0x3C, 0x00, 0x77}}));
    b.send({0xBD, 0x7F, 0x2F, 0x12});
    EXPECT_TRUE(b.station.turnout(2048).closed);
    EXPECT_FALSE(b.station.turnout(2048).output_on);

    b.station.options().switch_buffer_full = true;
    EXPECT_EQ(b.answers({0xBD, 0x00, 0x10, 0x52}), (msgs{{0xB4, 0x3D, 0x00, 0x76}}));
    EXPECT_FALSE(b.station.turnout(1).closed) << "a refused request changes nothing";
}

TEST(SimStation, FastClockRunsAndIsSetAsTheMonitorReadsIt) {
    bus b;
    EXPECT_EQ(b.answers(rq_clock),
              (msgs{{0xE7, 0x0E, 0x7B, 0x04, 0x6D, 0x78, 0x43, 0x07, 0x68, 0x00, 0x40, 0x00, 0x00, 0x10}}));
    EXPECT_NE(b.monitor_line(rq_clock).find("rate(4:1) days( 0) hrs24(00) min(00)"), std::string::npos);
    // Rate 4: fifteen real seconds are one fast minute; six real hours a day.
    b.after(milliseconds(15'000));
    EXPECT_NE(b.monitor_line(rq_clock).find("hrs24(00) min(01)"), std::string::npos);
    b.after(milliseconds(6 * 3600 * 1000 - 15'000 - 30'000));
    EXPECT_NE(b.monitor_line(rq_clock).find("days( 0) hrs24(23) min(58)"), std::string::npos);
    b.after(milliseconds(30'000));
    EXPECT_NE(b.monitor_line(rq_clock).find("days( 1) hrs24(00) min(00)"), std::string::npos);

    // A write sets the clock: rate 0 (stopped), day 2, 13:05, set by throttle 01/00.
    const bytes set = {0xEF, 0x0E, 0x7B, 0x00, 0x00, 0x00, 0x48, 0x07, 0x75, 0x02, 0x40, 0x01, 0x00, 0x1C};
    EXPECT_EQ(b.answers(set), (msgs{{0xB4, 0x6F, 0x7F, 0x5B}}));
    b.after(milliseconds(600'000));
    EXPECT_EQ(b.answers(rq_clock),
              (msgs{{0xE7, 0x0E, 0x7B, 0x00, 0x00, 0x00, 0x48, 0x07, 0x75, 0x02, 0x40, 0x01, 0x00, 0x14}}));
    EXPECT_NE(b.monitor_line(rq_clock).find("days( 2) hrs24(13) min(05)"), std::string::npos);
    // The last minute of the day survives the trip through the encoding.
    const kvr_proto::clock_bytes last = kvr_proto::encode_clock_time({23, 59});
    b.send(with_checksum({0xEF, 0x0E, 0x7B, 0x00, 0x00, 0x00, last.mins, 0x07, last.hrs, 0x02, 0x40, 0x01, 0x00}));
    EXPECT_NE(b.monitor_line(rq_clock).find("hrs24(23) min(59)"), std::string::npos);
}

namespace {

// A programming task and the programmer's final reply, all fields written
// out, the checksum worked here.
bytes task(uint8_t pcmd, uint8_t lopsa, uint8_t cvh, uint8_t cvl, uint8_t data) {
    return with_checksum({0xEF, 0x0E, 0x7C, pcmd, 0x00, 0x00, lopsa, 0x00, cvh, cvl, data, 0x00, 0x00});
}
bytes reply(uint8_t pcmd, uint8_t pstat, uint8_t lopsa, uint8_t cvh, uint8_t cvl, uint8_t data) {
    return with_checksum({0xE7, 0x0E, 0x7C, pcmd, pstat, 0x00, lopsa, 0x07, cvh, cvl, data, 0x00, 0x00});
}

const bytes not_implemented = {0xB4, 0x6F, 0x7F, 0x5B};

}  // namespace

TEST(SimStation, ProgrammingTasksAnswerAsCommandStationsDo) {
    const struct {
        const char* what;
        bytes request, ack, final_reply;  // final_reply empty: none follows
        bool decoder_present = true, decoder_acks_writes = true;
    } cases[] = {
        {"direct read", direct_read_cv29, task_accepted, read_cv29_is_6},
        {"direct read, bit 7 in CVH", task(0x28, 0, 0, 0x10, 0), task_accepted, reply(0x28, 0, 0, 0x02, 0x10, 0x44)},
        {"paged read", task(0x20, 0, 0, 0, 0), task_accepted, reply(0x20, 0, 0, 0, 0, 0x03)},
        {"physical register 5 reads CV29", task(0x10, 0, 0, 0x04, 0), task_accepted, reply(0x10, 0, 0, 0, 0x04, 0x06)},
        {"bit verify that holds", task(0x08, 0, 0x02, 0x1C, 0x6A), task_accepted, reply(0x08, 0, 0, 0x02, 0x1C, 0x6A)},
        {"bit verify of a differing bit: no acknowledge", task(0x08, 0, 0x02, 0x1C, 0x68), task_accepted,
         reply(0x08, 0x02, 0, 0x02, 0x1C, 0x68)},
        {"direct write", task(0x68, 0, 0, 0, 0x05), task_accepted, reply(0x68, 0, 0, 0, 0, 0x05)},
        {"direct write, decoder never acknowledges", task(0x68, 0, 0, 0, 0x05), task_accepted,
         reply(0x68, 0x02, 0, 0, 0, 0x05), true, false},
        {"no decoder on the programming track", direct_read_cv29, task_accepted, reply(0x28, 0x01, 0, 0, 0x1C, 0),
         false},
        {"ops write without feedback: blind", task(0x64, 0x03, 0, 0x02, 0x0A), {0xB4, 0x6F, 0x40, 0x64}, {}},
        {"ops write with feedback", task(0x6C, 0x03, 0, 0x02, 0x0A), task_accepted,
         reply(0x6C, 0, 0x03, 0, 0x02, 0x0A)},
        {"ops read", task(0x24, 0x03, 0, 0x1C, 0), task_accepted, reply(0x24, 0, 0x03, 0, 0x1C, 0x06)},
        {"ops bit verify", task(0x0C, 0x03, 0x02, 0x1C, 0x6A), task_accepted, reply(0x0C, 0, 0x03, 0x02, 0x1C, 0x6A)},
        {"reserved service function", task(0x18, 0, 0, 0x1C, 0), not_implemented, {}},
        {"paged bit operation", task(0x00, 0, 0x02, 0x1C, 0x6A), not_implemented, {}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        bus b(kvr_sim_options{.instant = true, .decoder_present = c.decoder_present,
                              .decoder_acks_writes = c.decoder_acks_writes});
        msgs expected = {c.ack};
        if (!c.final_reply.empty()) expected.push_back(c.final_reply);
        EXPECT_EQ(b.answers(c.request), expected);
    }
}

TEST(SimStation, ProgrammingWritesReachTheDecoder) {
    bus b;
    EXPECT_NE(b.monitor_line(direct_read_cv29).find("PGM read(Direct Read)   adr(  0) cv#( 29) data(  6)"),
              std::string::npos);
    // Direct bit write: CV29 bit 5 := 1, then CV29 reads 0x26.
    EXPECT_EQ(b.answers(task(0x48, 0, 0x02, 0x1C, 0x6D)), (msgs{task_accepted, reply(0x48, 0, 0, 0x02, 0x1C, 0x6D)}));
    EXPECT_EQ(b.answers(direct_read_cv29).back(), reply(0x28, 0, 0, 0, 0x1C, 0x26));
    // Main-line decoders are kept by address, apart from the programming track.
    b.send(task(0x64, 0x03, 0, 0x02, 0x0A));
    EXPECT_EQ(b.station.programmer().main_decoder(3).cv(3), 10);
    EXPECT_EQ(b.station.programmer().track_decoder().cv(3), 2);
    // The version CV is read-only: no write acknowledge.
    kvr_sim_decoder& d = b.station.programmer().track_decoder();
    EXPECT_FALSE(d.write_cv(7, 1));
    EXPECT_TRUE(d.write_cv(8, 8)) << "CV8 = 8 resets";
    EXPECT_EQ(d.cv(29), 6);
}

TEST(SimStation, BusyWhileATaskRunsAndForInjectedBusyTasks) {
    kvr_sim_options o;  // realistic timing
    bus b(o);
    EXPECT_EQ(b.send(direct_read_cv29), (msgs{direct_read_cv29}));
    EXPECT_TRUE(b.after(milliseconds(19)).empty());
    EXPECT_EQ(b.after(milliseconds(1)), (msgs{task_accepted}));
    // A second task while the first runs is refused; the track shows busy.
    EXPECT_EQ(b.send(direct_read_cv29), (msgs{direct_read_cv29}));
    EXPECT_EQ(b.after(milliseconds(20)), (msgs{task_busy}));
    EXPECT_EQ(b.station.track_status() & 0x08, 0x08);
    b.send(rq_programmer);
    EXPECT_EQ(b.after(milliseconds(20)).back(), with_checksum({0xE7, 0x0E, 0x7C, 0x28, 0, 0, 0, 0x0F, 0, 0x1C, 0, 0, 0}));
    EXPECT_TRUE(b.after(milliseconds(89)).empty());
    EXPECT_EQ(b.after(milliseconds(1)), (msgs{read_cv29_is_6})) << "final reply 150 ms after the task";
    EXPECT_EQ(b.station.track_status(), 0x07);
    EXPECT_EQ(b.answers(rq_programmer), msgs{}) << "answers wait for the acknowledge delay";
    EXPECT_EQ(b.after(milliseconds(20)), (msgs{read_cv29_is_6})) << "the programmer's last state";

    bus c({.instant = true, .busy_tasks = 2});
    EXPECT_EQ(c.answers(direct_read_cv29), (msgs{task_busy}));
    EXPECT_EQ(c.answers(direct_read_cv29), (msgs{task_busy}));
    EXPECT_EQ(c.answers(direct_read_cv29), (msgs{task_accepted, read_cv29_is_6}));

    bus d(kvr_sim_options{});  // a write's final reply after 100 ms
    d.send(task(0x68, 0, 0, 0, 0x05));
    EXPECT_EQ(d.after(milliseconds(99)), (msgs{task_accepted}));
    EXPECT_EQ(d.after(milliseconds(1)).size(), 1u);
}

TEST(SimStation, NoiseNeverHidesTheGoodMessages) {
    bus b({.instant = true, .noise_per_mille = 1000});
    std::size_t raw = 0;
    for (int i = 0; i < 50; ++i) {
        b.station.receive(loco3.data(), loco3.size(), b.now);
        const bytes wire = b.station.poll(b.now);
        raw += wire.size();
        // A damaged copy could frame as something else only if its checksum
        // still held, which one flipped bit never allows.
        EXPECT_EQ(frame(wire), (msgs{loco3, slot1_loco3}));
    }
    EXPECT_GT(raw, 50 * (loco3.size() + slot1_loco3.size()));
}

TEST(SimStation, PacingSpreadsBytesAtTheBusRate) {
    kvr_sim_station s({.instant = true, .pace = true});
    s.receive(std::vector<uint8_t>{0x83, 0x7C}.data(), 2, kvr_sim_time{0});
    s.receive(rq_slot5.data(), rq_slot5.size(), kvr_sim_time{0});
    EXPECT_EQ(s.poll(kvr_sim_time{607}).size(), 0u);
    EXPECT_EQ(s.poll(kvr_sim_time{608}).size(), 1u);
    EXPECT_EQ(s.next_due(), kvr_sim_time{2 * 608});
    // Echoes of 2 + 4 bytes, the command station's backoff of 20 bit times
    // (two byte times), then 14 bytes of slot data: 22 byte times.
    EXPECT_EQ(s.poll(kvr_sim_time{22 * 608 - 1}).size(), 18u);
    EXPECT_EQ(s.poll(kvr_sim_time{22 * 608}).size(), 1u);
    EXPECT_FALSE(s.next_due().has_value());
}

namespace {

// Each byte with the time it came off the line, polled every 10 us.
struct timed_wire {
    std::vector<std::pair<int64_t, uint8_t>> bytes;
    void poll(kvr_sim_station& s, int64_t from_us, int64_t to_us) {
        for (int64_t t = from_us; t <= to_us; t += 10)
            for (uint8_t b : s.poll(kvr_sim_time{t})) bytes.emplace_back(t, b);
    }
    // Idle time before each message (from the end of the one before), with
    // its opcode.
    std::vector<std::pair<int64_t, uint8_t>> gaps() const {
        std::vector<std::pair<int64_t, uint8_t>> out;
        for (std::size_t i = 1; i < bytes.size(); ++i)
            if (bytes[i].second & 0x80) out.emplace_back(bytes[i].first - 608 - bytes[i - 1].first, bytes[i].second);
        return out;
    }
};

constexpr int64_t bit_us(int bits) { return (int64_t{bits} * 608 + 9) / 10; }

}  // namespace

// "Bus timing" (LocoNet PE): other nodes wait for 26 bit times and their
// priority delay of up to 20 more, the command station 20; a full bus carries
// what those gaps leave room for, not the rate asked for.
TEST(SimStation, TrafficKeepsTheGapsTheBusDemands) {
    kvr_sim_station s({.instant = true, .traffic_per_s = kvr_sim_max_traffic_per_s});
    timed_wire w;
    w.poll(s, 0, 1'000'000);
    const auto gaps = w.gaps();
    ASSERT_GT(gaps.size(), 150u);
    int64_t shortest = 1'000'000, longest = 0;
    for (std::size_t i = 1; i < gaps.size(); ++i) {  // the first follows the idle start
        shortest = std::min(shortest, gaps[i].first);
        longest = std::max(longest, gaps[i].first);
    }
    EXPECT_GE(shortest, bit_us(26) - 10);
    EXPECT_LE(longest, bit_us(46) + 10) << "a backlog waits no longer than its backoff";
    // 4-byte reports with 26..46 bit times between them: 191 to 249 a second.
    EXPECT_GE(gaps.size(), 190u);
    EXPECT_LE(gaps.size(), 250u);
}

// A message from the link on a line idle as far as the link could tell takes
// it: a report placed on the line but not yet given out waits behind its
// echo and the station's answer. One that starts after bytes of another
// node's message came out collides: the link reads a break instead of its
// echo, the station does not act on it, and the report comes again whole.
TEST(SimStation, TheLinksMessageTakesAnIdleLineAndCollidesInsideAnother) {
    kvr_sim_station s({.instant = true, .pace = true});
    const kvr_loconet_msg report = kvr_loconet_msg::with_checksum({OPC_INPUT_REP, 0x12, 0x51});
    const auto opcodes = [](const timed_wire& w) {
        bytes all;
        for (const auto& tb : w.bytes) all.push_back(tb.second);
        bytes out;
        for (const bytes& m : frame(all)) out.push_back(m[0]);
        return out;
    };

    s.play(report, kvr_sim_time{0});
    EXPECT_TRUE(s.poll(kvr_sim_time{300}).empty());  // the report's first byte is not out yet
    s.receive(rq_slot5.data(), rq_slot5.size(), kvr_sim_time{300});
    timed_wire w;
    w.poll(s, 300, 30'000);
    EXPECT_EQ(opcodes(w), (bytes{OPC_RQ_SL_DATA, OPC_SL_RD_DATA, OPC_INPUT_REP}));
    for (const auto& [gap, opcode] : w.gaps()) EXPECT_GE(gap, bit_us(20) - 10) << int(opcode);
    kvr_sim_bus_stats st = s.bus_stats();
    EXPECT_EQ(st.link_messages, 1u);
    EXPECT_EQ(st.starts_inside_message + st.starts_inside_backoff + st.collisions, 0u);

    // Within the byte time after the report's opcode came out (the two
    // started together), then after two of its bytes (inside it): both
    // collide, the second is a start inside another node's message.
    const struct {
        int64_t start_us;
        std::size_t out_before;
        uint64_t inside;
    } starts[] = {{40'000, 1, 0}, {80'000, 2, 1}};
    for (const auto& c : starts) {
        s.play(report, kvr_sim_time{c.start_us});
        const int64_t at = c.start_us + 608 * static_cast<int64_t>(c.out_before) + 100;
        EXPECT_EQ(s.poll(kvr_sim_time{at}).size(), c.out_before);
        s.receive(rq_slot5.data(), rq_slot5.size(), kvr_sim_time{at});
        timed_wire w2;
        w2.poll(s, at, c.start_us + 30'000);
        ASSERT_FALSE(w2.bytes.empty());
        EXPECT_EQ(w2.bytes[0].second, 0x00) << "a break where the echo would be";
        EXPECT_EQ(opcodes(w2), (bytes{OPC_INPUT_REP})) << "the report again, no answer to the wrecked request";
        EXPECT_EQ(s.bus_stats().starts_inside_message, c.inside);
    }
    st = s.bus_stats();
    EXPECT_EQ(st.collisions, 2u);
    EXPECT_EQ(st.link_messages, 1u);
}

// Other nodes' traffic, watched on the test's clock one millisecond at a
// time: the rate asked for arrives, at no more than the line can carry with
// the gaps it demands, from several nodes, and the station's own answers
// still get through.
TEST(SimStation, TrafficArrivesAtTheAskedRateWithinTheBusCapacity) {
    for (const unsigned rate : {50u, 300u, kvr_sim_max_traffic_per_s}) {
        SCOPED_TRACE(rate);
        kvr_sim_station s({.instant = true, .traffic_per_s = rate});
        std::deque<uint8_t> wire;
        std::set<bytes> nodes;
        int reports = 0;
        std::size_t busiest_ms = 0;
        for (int ms = 1; ms <= 10'000; ++ms) {
            const bytes out = s.poll(kvr_sim_time{ms * 1000});
            busiest_ms = std::max(busiest_ms, out.size());
            wire.insert(wire.end(), out.begin(), out.end());
            for (const bytes& m : frame(wire)) {
                if (m[0] != OPC_INPUT_REP && m[0] != OPC_SW_REP) continue;
                ++reports;
                nodes.insert(bytes{m[0], m[1], static_cast<uint8_t>(m[2] & (m[0] == OPC_INPUT_REP ? 0x2F : 0x0F))});
            }
        }
        // Beyond about 220 a second the gaps leave no room for more.
        if (rate <= 200) EXPECT_NEAR(reports, rate * 10, 2);
        else EXPECT_NEAR(reports, 2200, 300);
        EXPECT_GE(nodes.size(), 16u) << "sensors and switches of several addresses";
        // A byte takes 0.61 ms on the line: a millisecond never carries
        // more than two, so readers see reports arrive as a line delivers them.
        EXPECT_LE(busiest_ms, 2u);

        // A request on the busy bus is echoed and answered within a few
        // messages' time.
        s.receive(rq_slot5.data(), rq_slot5.size(), kvr_sim_time{10'000'000});
        bool answered = false;
        for (int ms = 1; ms <= 30 && !answered; ++ms) {
            const bytes out = s.poll(kvr_sim_time{10'000'000 + ms * 1000});
            wire.insert(wire.end(), out.begin(), out.end());
            for (const bytes& m : frame(wire)) answered |= m[0] == OPC_SL_RD_DATA && m[2] == 5;
        }
        EXPECT_TRUE(answered);
    }
}

// A node that keeps the bus's rules (the TCP server's clients) on a bus the
// other nodes keep half busy: each request waits for its turn instead of
// breaking into another node's message, so every one is carried whole,
// soon, and answered once. When the link starts inside it, it is lost with
// the link's and sent again, but the station acts on it once.
TEST(SimStation, NodeRequestsOnABusyBusAreCarriedAndAnsweredOnce) {
    kvr_sim_station s({.instant = true, .traffic_per_s = 120});
    std::deque<uint8_t> wire;
    std::map<uint8_t, int> echoes, answers;
    int64_t latest_echo_ms = 0;
    int64_t asked_at = 0;
    for (int ms = 1; ms <= 10'000; ++ms) {
        const int64_t us = int64_t{ms} * 1000;
        // 100 requests at 97 ms steps, so they meet the traffic at every phase.
        if (ms % 97 == 0 && ms / 97 <= 100) {
            s.send_from_node(kvr_loconet_msg::with_checksum({0xBB, static_cast<uint8_t>(ms / 97), 0x00}),
                             kvr_sim_time{us});
            asked_at = ms;
        }
        const bytes out = s.poll(kvr_sim_time{us});
        wire.insert(wire.end(), out.begin(), out.end());
        for (const bytes& m : frame(wire)) {
            if (m[0] == 0xBB) {
                ++echoes[m[1]];
                latest_echo_ms = std::max<int64_t>(latest_echo_ms, ms - asked_at);
            }
            if (m[0] == OPC_SL_RD_DATA) ++answers[m[2]];
        }
    }
    ASSERT_EQ(echoes.size(), 100u);
    for (const auto& [slot, n] : echoes) EXPECT_EQ(n, 1) << int(slot);
    for (const auto& [slot, n] : answers) EXPECT_EQ(n, 1) << int(slot);
    EXPECT_EQ(answers.size(), 100u);
    // A few messages' time at most: a report takes about 3 ms of line.
    EXPECT_LT(latest_echo_ms, 40);

    // The link breaks into a node's request after its first byte went out.
    kvr_sim_station t({.instant = true, .pace = true});
    t.send_from_node(kvr_loconet_msg::with_checksum({0xBB, 0x07, 0x00}), kvr_sim_time{1000});
    bytes line;
    for (int64_t us = 1000; line.empty(); us += 100) line = t.poll(kvr_sim_time{us});
    ASSERT_EQ(line.size(), 1u);
    t.receive(kvr_loconet_msg::with_checksum({0x83}), kvr_sim_time{3000});
    for (int ms = 3; ms <= 100; ++ms) {
        const bytes out = t.poll(kvr_sim_time{int64_t{ms} * 1000});
        line.insert(line.end(), out.begin(), out.end());
    }
    EXPECT_EQ(t.bus_stats().collisions, 1u);
    int again = 0, answered = 0;
    for (const bytes& m : frame(line)) {
        again += m[0] == 0xBB;
        answered += m[0] == OPC_SL_RD_DATA && m[2] == 7;
    }
    EXPECT_EQ(again, 1) << "sent again whole after the collision";
    EXPECT_EQ(answered, 1);
}

TEST(SimStation, TrafficLeftWithoutPollsStartsAfreshInsteadOfBursting) {
    kvr_sim_station s({.instant = true, .traffic_per_s = 150});
    s.poll(kvr_sim_time{1000});
    // A minute without a poll, as when the program was stopped: the backlog
    // stays within what the bus could carry shortly, and the rate resumes.
    const bytes burst = s.poll(kvr_sim_time{60'000'000});
    EXPECT_LE(burst.size(), 8u);
    std::deque<uint8_t> wire(burst.begin(), burst.end());
    std::size_t reports = 0;
    for (int ms = 1; ms <= 1000; ++ms) {
        const bytes out = s.poll(kvr_sim_time{60'000'000 + ms * 1000});
        wire.insert(wire.end(), out.begin(), out.end());
        reports += frame(wire).size();
    }
    EXPECT_NEAR(static_cast<double>(reports), 150.0, 2.0);
}

namespace {

// LocoNet PE (JMRI LnClockControl): FRAC_MINSL/H counts 65.5 ms ticks, 915
// to a minute at rate 1, and rolls the minute at 0x4000; a write sets it.
// 14:30 written with `7B 78` (0x3C7B, 901 ticks to go) at rate 1 turns
// 14:31 after 59.08 s; written with `00 00` it holds 14:30 for 16384 ticks,
// 1074.4 s. After a roll every minute is 915 ticks: 60 s.
TEST(SimStation, FastClockWriteSetsTheTickCounterTheMinuteRollsFrom) {
    const kvr_proto::clock_bytes t = kvr_proto::encode_clock_time({14, 30});
    const struct {
        uint8_t frac_l, frac_h;
        int64_t next_minute_ms;
    } cases[] = {{0x7B, 0x78, 59'081}, {0x00, 0x00, 1'074'360}};
    for (const auto& c : cases) {
        bus b;
        const kvr_sim_time set_at = b.now;
        EXPECT_EQ(b.answers(with_checksum({0xEF, 0x0E, 0x7B, 0x01, c.frac_l, c.frac_h, t.mins, 0x07, t.hrs, 0x00,
                                           0x40, 0x7F, 0x70})),
                  (msgs{{0xB4, 0x6F, 0x7F, 0x5B}}));
        EXPECT_NE(b.monitor_line(rq_clock).find("hrs24(14) min(30)"), std::string::npos);
        const kvr_sim_time rolls = b.station.clock().next_minute(b.now);
        EXPECT_EQ(std::chrono::duration_cast<milliseconds>(rolls - set_at).count(), c.next_minute_ms);
        b.after(milliseconds(c.next_minute_ms - 1));
        EXPECT_NE(b.monitor_line(rq_clock).find("hrs24(14) min(30)"), std::string::npos);
        b.after(milliseconds(2));
        EXPECT_NE(b.monitor_line(rq_clock).find("hrs24(14) min(31)"), std::string::npos);
        // The counter restarted at 0x4000 - 915 (0x3C6D): a minute a minute.
        b.after(milliseconds(60'000));
        EXPECT_NE(b.monitor_line(rq_clock).find("hrs24(14) min(32)"), std::string::npos);
    }
    // At rate 4 the ticks come four times as often.
    bus b;
    b.send(with_checksum({0xEF, 0x0E, 0x7B, 0x04, 0x7B, 0x78, t.mins, 0x07, t.hrs, 0x00, 0x40, 0x7F, 0x70}));
    b.after(milliseconds(14'700));
    EXPECT_NE(b.monitor_line(rq_clock).find("rate(4:1) days( 0) hrs24(14) min(30)"), std::string::npos);
    b.after(milliseconds(100));
    EXPECT_NE(b.monitor_line(rq_clock).find("hrs24(14) min(31)"), std::string::npos);
}

}  // namespace
// Command stations answer a slot read for every slot number, the dispatch
// slot and the system slots included (LocoNet PE opcode summary): each
// request gets exactly one OPC_SL_RD_DATA for its own slot, and a read
// changes nothing.
TEST(SimStation, AnswersASlotReadForEverySlot) {
    bus b;
    b.send(loco3);
    b.send({0xBA, 0x01, 0x01, 0x45});  // slot 1 in use
    for (int slot = 0; slot <= 127; ++slot) {
        const msgs a = b.answers(with_checksum({0xBB, static_cast<uint8_t>(slot), 0x00}));
        ASSERT_EQ(a.size(), 1u) << slot;
        EXPECT_EQ(a[0][0], 0xE7) << slot;
        EXPECT_EQ(a[0].size(), 14u) << slot;
        EXPECT_EQ(a[0][2], slot);
    }
    EXPECT_EQ(b.answers(rq_slot5).size(), 1u);
    const auto s1 = b.station.slot(1);
    EXPECT_EQ(s1[0] & 0x30, 0x30) << "slot 1 still in use";
    EXPECT_EQ(s1[1], 3) << "loco 3";
}
