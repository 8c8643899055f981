// F0 to F28, the stops and the fast-clock write against the scripted link,
// with what is known of each loco's functions kept in a bus state. Golden bytes are worked from the
// NMRA S-9.2.1 function groups and the LocoNet PE message layouts.

#include <gtest/gtest.h>

#include <string>

#include "fake_link.h"
#include "loconet/kvr_dcc_packet.h"
#include "loconet/kvr_monitor.h"
#include "station/kvr_bus_state.h"

namespace {

kvr_loconet_msg msg_of(const bytes& b) { return kvr_loconet_msg::with_checksum(b.data(), b.size()); }
bool has(const kvr_bus_state& s, uint16_t address, unsigned n) { return ((s.functions(address) >> n) & 1) != 0; }

class Functions : public Station {
protected:
    Functions() {
        seen(slot_data({.slot = 5, .address = 3, .stat = 0x37, .dirf = 0x21, .snd = 0x02, .id = 0x0100}));
        link.echo = true;
    }
    kvr_bus_state known;
};

// NMRA S-9.2.1 groups inside OPC_IMM_PACKET (LocoNet PE): no slot is needed.
TEST_F(Functions, HighFunctionsGoAsImmediatePacketsAndBuildOnEachOther) {
    station.do_function(3, 12, true, known);
    station.do_function(3, 9, true, known);
    station.do_function(1234, 28, true, known);
    station.do_function(3, 12, false, known);
    EXPECT_EQ(sent(), (strings{
                          "ED 0B 7F 24 02 03 28 00 00 00 6B",  // 03 A8: F12
                          w({0xED, 0x0B, 0x7F, 0x24, 0x02, 0x03, 0x29, 0, 0, 0}),  // 03 A9: F9 and F12
                          "ED 0B 7F 44 0F 44 52 5F 00 00 64",  // C4 D2 DF 80: F28
                          w({0xED, 0x0B, 0x7F, 0x24, 0x02, 0x03, 0x21, 0, 0, 0}),  // 03 A1: F9 alone
                      }));
    EXPECT_TRUE(has(known, 3, 9));
    EXPECT_FALSE(has(known, 3, 12));
    EXPECT_TRUE(has(known, 1234, 28));
    EXPECT_FALSE(has(known, 1234, 27));
}

// LocoNet PE: OPC_IMM_PACKET is answered B4 6D 7F (taken) or B4 6D 00
// (buffer full: send again later).
TEST_F(Functions, AFullPacketBufferIsTriedAgainThenFailsAndTheFunctionIsNotKept) {
    const bytes f9_on = {0xED, 0x0B, 0x7F, 0x24, 0x02, 0x03, 0x21, 0x00, 0x00, 0x00, 0x62};
    int full = 1;
    link.on_send = [&](const bytes& m) {
        if (m[0] == 0xED) link.deliver(long_ack(0xED, full-- > 0 ? 0x00 : 0x7F));
    };
    station.do_function(3, 9, true, known);
    EXPECT_EQ(sent(), (strings{hex(f9_on), hex(f9_on)})) << "sent again once the buffer had room";
    EXPECT_TRUE(has(known, 3, 9));

    restart();
    known.note_sent_functions(3, 1u << 9, 0);
    link.on_send = [&](const bytes& m) {
        if (m[0] == 0xED) link.deliver(long_ack(0xED, 0x00));
    };
    expect_failure([&] { station.do_function(3, 9, true, known); },
                   {op("do_function"), op("do_imm_packet"), "ERR:PACKET BUFFER FULL"});
    EXPECT_EQ(link.sent.size(), station.imm_packet_tries);
    EXPECT_FALSE(has(known, 3, 9)) << "the function is shown as it is, not as asked";
}

// A command station without immediate packets answers nothing: the echo
// shows the packet went out, and that is success. With neither echo nor
// answer the packet never reached the bus.
TEST_F(Functions, ASilentStationTakesAPacketWhoseEchoCameBack) {
    link.on_send = {};
    station.do_function(3, 9, true, known);
    EXPECT_TRUE(has(known, 3, 9));
    EXPECT_EQ(clock.units.size(), 1u) << "one unit after the echo";

    // Another throttle's packet is not our echo.
    restart();
    link.echo = false;
    link.on_send = [&](const bytes&) { link.deliver({0xED, 0x0B, 0x7F, 0x24, 0x02, 0x04, 0x21, 0x00, 0x00, 0x00, 0x65}); };
    expect_failure([&] { station.do_imm_packet(msg_of({0xED, 0x0B, 0x7F, 0x24, 0x02, 0x03, 0x21, 0, 0, 0})); },
                   {op("do_imm_packet"), "ERR:PACKET NOT ON THE BUS"});
    EXPECT_EQ(clock.units.size(), station.lack_tries);
}

TEST_F(Functions, OpcodesGoToTheLocosSlot) {
    station.do_function(3, 10, true, known, kvr_function_send::opcodes);
    station.do_function(3, 13, true, known, kvr_function_send::opcodes);
    station.do_function(3, 28, true, known, kvr_function_send::opcodes);
    EXPECT_EQ(sent(), (strings{w({0xA3, 0x05, 0x02}), w({0xD4, 0x20, 0x05, 0x08, 0x01}),
                               w({0xD4, 0x20, 0x05, 0x05, 0x40})}));
}

TEST_F(Functions, LowFunctionsChangeOneBitOfTheSlotsByte) {
    // DIRF 0x21: reverse, F1 on; SND 0x02: F6 on.
    station.do_function(3, 0, true, known);
    station.do_function(3, 1, false, known);
    station.do_function(3, 8, true, known);
    station.do_function(3, 6, false, known);
    EXPECT_EQ(sent(), (strings{w({0xA1, 0x05, 0x31}), w({0xA1, 0x05, 0x30}), w({0xA2, 0x05, 0x0A}),
                               w({0xA2, 0x05, 0x08})}));
}

TEST_F(Functions, NumbersTheWireCannotCarryAreRefusedAndNothingIsSent) {
    expect_failure([&] { station.do_function(3, 29, true, known); }, {op("do_function"), "ERR:FUNCTION MUST BE 0 TO 28"});
    expect_failure([&] { station.do_function(0, 12, true, known); }, {op("do_function"), "ERR:LOCO ADDRESS MUST BE 1 TO 10239"});
    expect_failure([&] { station.do_function(10240, 20, true, known); }, {op("do_function")});
    EXPECT_TRUE(link.sent.empty());
    EXPECT_FALSE(has(known, 10240, 20)) << "a refused function is not kept as sent";
}

// The write carries the fields the monitor's FAST CLOCK line reads back:
// FRAC_MINSH.FRAC_MINSL 0x78.0x7B (120.123) is 0x3FFF - 900, a minute of
// ticks to go, and ID1/ID2 7F/70 a PC's identity (LocoNet PE; JMRI
// LnClockControl).
TEST_F(Functions, FastClockIsWrittenAsTheMonitorReadsItAndReadBack) {
    // Day 3, 09:15 at rate 2, TRK 07, CLK_CNTRL 40.
    const kvr_proto::clock_bytes nine = kvr_proto::encode_clock_time({9, 15});
    seen(with_checksum({0xE7, 0x0E, 0x7B, 0x02, 0, 0, nine.mins, 0x07, nine.hrs, 0x03, 0x40, 0, 0}));
    const struct {
        kvr_clock_setting set;
        const char* shows;
    } cases[] = {
        {{14, 30, 4, true}, "FAST CLOCK rate(4:1) days( 3) hrs24(14) min(30) sub_minute(120.123) clk_ctrl(40h) id1(7Fh) id2(70h)"},
        {{0, 0, std::nullopt, true}, "rate(4:1) days( 3) hrs24(00) min(00)"},  // the rate kept
        {{23, 59, 9, false}, "rate(0:1) days( 3) hrs24(23) min(59)"},          // stopped
        {{6, 5, std::nullopt, true}, "rate(1:1) days( 3) hrs24(06) min(05)"},  // a stopped clock restarts at 1
    };
    for (const auto& c : cases) {
        restart();
        const kvr_loconet_msg back = station.do_set_fast_clock(c.set);
        ASSERT_EQ(link.sent.size(), 3u);
        EXPECT_EQ(hex(link.sent[0]), "BB 7B 00 3F");
        EXPECT_EQ(hex(link.sent[2]), "BB 7B 00 3F");
        const std::string written = kvr_monitor::to_text(msg_of(bytes(link.sent[1].begin(), link.sent[1].end() - 1)));
        EXPECT_EQ(link.sent[1][0], 0xEF);
        EXPECT_NE(written.find(c.shows), std::string::npos) << written;
        EXPECT_NE(kvr_monitor::to_text(back).find(c.shows), std::string::npos) << kvr_monitor::to_text(back);
    }
    restart();
    expect_failure([&] { station.do_set_fast_clock({24, 0, 1, true}); }, {op("do_set_fast_clock"), "ERR:TIME MUST BE"});
    expect_failure([&] { station.do_set_fast_clock({1, 0, 128, true}); }, {op("do_set_fast_clock"), "ERR:RATE MUST BE"});
    EXPECT_TRUE(link.sent.empty());
}

// LocoNet PE: a slot write is acknowledged B4 6F 7F, or refused B4 6F 00.
// A write that is not refused must still show in the clock read back.
TEST_F(Functions, AFastClockWriteRefusedIgnoredOrUnansweredFails) {
    const kvr_proto::clock_bytes nine = kvr_proto::encode_clock_time({9, 15});
    const bytes clock = with_checksum({0xE7, 0x0E, 0x7B, 0x02, 0, 0, nine.mins, 0x07, nine.hrs, 0x03, 0x40, 0, 0});
    const kvr_clock_setting ten{10, 0, 1, true};
    bool refuse = true;
    link.on_send = [&](const bytes& m) {
        if (m[0] == 0xBB) link.deliver(clock);  // the clock runs on at 09:15
        if (m[0] == 0xEF) link.deliver(long_ack(0xEF, refuse ? 0x00 : 0x7F));
    };
    expect_failure([&] { station.do_set_fast_clock(ten); }, {op("do_set_fast_clock"), "ERR:CLOCK WRITE REFUSED"});
    refuse = false;
    expect_failure([&] { station.do_set_fast_clock(ten); }, {op("do_set_fast_clock"), "ERR:CLOCK NOT SET"});

    restart();
    link.on_send = {};
    link.echo = false;
    expect_failure([&] { station.do_set_fast_clock(ten); }, {op("do_set_fast_clock"), "ERR:CLOCK NOT ANSWERED"});
    EXPECT_EQ(sent(), (strings{"BB 7B 00 3F", "BB 7B 00 3F"})) << "nothing written to a clock never read";
}

}  // namespace
