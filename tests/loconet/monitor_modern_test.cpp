// The lines of newer command stations' messages, which both the monitor and
// the extended monitor show: expanded slots, the status slots, the command
// station's option-switch slots, radio receivers and housekeeping. Golden
// bytes carry their checksum, as the bus does.

#include <gtest/gtest.h>

#include <string>

#include "loconet/kvr_loconet_msg.h"
#include "loconet/kvr_monitor.h"
#include "loconet/kvr_monitor_ext.h"

namespace {

kvr_loconet_msg wire(const std::string& hex) {
    kvr_loconet_msg m;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 3)
        m.append(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return m;
}

struct golden {
    const char* bytes;  // as on the wire, checksum included
    const char* line;   // the same in both monitors
};

void expect_both(const golden* first, const golden* last) {
    for (const golden* g = first; g != last; ++g) {
        const kvr_loconet_msg m = wire(g->bytes);
        ASSERT_TRUE(m.checksum_ok()) << g->bytes;
        EXPECT_EQ(kvr_monitor::to_text(m), g->line) << g->bytes;
        EXPECT_EQ(kvr_monitor::to_text_extended(m), g->line) << g->bytes;
    }
}

TEST(MonitorModern, ExpandedSlotRequestsAndSlotData) {
    const golden cases[] = {
        // PROTOCOL-MODERN §1 example: read slot 130 (2+128), reply as E6.
        {"BB 02 41 07", "OPC_RQ_SL_DATA  :SLOT#[130] expanded"},
        // PROTOCOL-MODERN §1: the meter poll of status slot 249 (once shown as slot 121).
        {"BB 79 41 7C", "OPC_RQ_SL_DATA  :SLOT#[249] expanded"},
        // PROTOCOL-MODERN §1: high bits without bit 6 still name the slot.
        {"BB 05 03 42", "OPC_RQ_SL_DATA  :SLOT#[389]"},
        // PROTOCOL-MODERN §1: BE asks for the slot of loco AH*128+AL.
        {"BE 02 2C 6F", "OPC_EXP_REQ_SLOT:REQ LOCO#[300] expanded"},
        // PROTOCOL-MODERN §1 example (built): slot 130, loco 3, in use, 128 steps, speed 32, F0, ID 517.
        {"E6 15 01 02 33 03 00 47 20 00 10 00 00 00 00 00 00 00 05 04 49",
         "OPC_EXP_RD_SL_DATA:SLOT#[130]  128spd IN_USE adr(  3) spd(32) DIR(fwd) F0 on id(517) "
         "TRK (loconet1.1 Master,idle,power on) expanded slots offered"},
        // PROTOCOL-MODERN §1 E6 table: F12/F20/F28 in byte 9, reverse and F1-F4 in 10,
        // F5-F11 in 11, F13-F19 in 12, F21-F27 in 13; slot 400 = 3*128+16.
        {"EE 15 03 10 30 20 04 07 00 70 21 7F 41 40 00 00 00 00 00 00 2B",
         "OPC_EXP_WR_SL_DATA:SLOT#[400]  28spd IN_USE adr(544) spd( 0) DIR(rev) "
         "F1 F5 F6 F7 F8 F9 F10 F11 F12 F13 F19 F20 F27 F28 on id(0) TRK (loconet1.1 Master,idle,power on)"},
        // PROTOCOL-MODERN §1: byte 1 0x10 is route or alias data, not a slot.
        {"E6 10 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 10 11 12 1A",
         "OPC_EXP_RD_SL_DATA:alias data(01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 10 11 12)"},
    };
    expect_both(std::begin(cases), std::end(cases));
}

TEST(MonitorModern, StatusSlots) {
    const golden cases[] = {
        // PROTOCOL-MODERN §1 status slots: 249 track 0.2 V, input 0.2 V, current and limit 0.1 A.
        {"E6 15 01 79 3E 46 0C 32 00 00 3C 00 3B 00 00 00 11 00 0B 40 6F",
         "OPC_EXP_RD_SL_DATA:SLOT#[249] status: power track(12.4V) input(14.0V) current(1.2A) limit(5.0A) "
         "more(12.0V 11.8V) device type(17) serial(11) command station"},
        // PROTOCOL-MODERN §1 status slots: 250 slots in use, idle, free (two bits high each).
        {"E6 15 01 7A 05 00 02 00 0B 03 00 00 00 00 00 00 11 00 0B 00 62",
         "OPC_EXP_RD_SL_DATA:SLOT#[250] status: slots in use(5) idle(2) free(395) device type(17) serial(11)"},
        // PROTOCOL-MODERN §1 status slots: 251 LocoNet messages and errors.
        {"E6 15 01 7B 52 09 03 00 00 00 00 00 00 00 00 00 11 00 0B 00 34",
         "OPC_EXP_RD_SL_DATA:SLOT#[251] status: LocoNet messages(1234) errors(3) device type(17) serial(11)"},
        // PROTOCOL-MODERN §1 status slots: 248 software b16, hardware b17 (major 6..3, minor 2..0).
        {"E6 15 01 78 00 00 00 00 00 00 00 00 00 00 11 00 07 0A 0B 41 23",
         "OPC_EXP_RD_SL_DATA:SLOT#[248] status: software(7) hardware(1.2) device type(17) serial(139) "
         "command station"},
    };
    expect_both(std::begin(cases), std::end(cases));
}

TEST(MonitorModern, ExpandedSpeedFunctionsAndMoves) {
    const golden cases[] = {
        // Issue example: speed 64 forward to slot 130, once an empty line.
        {"D5 01 02 05 40 6C", "OPC_EXP_SEND_FUNC:SLOT#[130] spd(64) DIR(fwd) id(5)"},
        // PROTOCOL-MODERN §1 D5: group 0x08 is reverse; §7 speed 1 = emergency stop.
        {"D5 08 03 05 01 25", "OPC_EXP_SEND_FUNC:SLOT#[3] spd(1) DIR(rev) emergency stop id(5)"},
        // PROTOCOL-MODERN §1 example (built): F0, F1, F5 on.
        {"D5 11 02 05 31 0D", "OPC_EXP_SEND_FUNC:SLOT#[130] F0-F6: F0 F1 F5 on id(5)"},
        {"D5 18 02 05 40 75", "OPC_EXP_SEND_FUNC:SLOT#[2] F7-F13: F13 on id(5)"},
        {"D5 20 02 05 00 0D", "OPC_EXP_SEND_FUNC:SLOT#[2] F14-F20: all off id(5)"},
        // PROTOCOL-MODERN §1 D5: 0x28 F28 off, 0x30 F28 on.
        {"D5 30 02 05 01 1C", "OPC_EXP_SEND_FUNC:SLOT#[2] F21-F28: F21 F28 on id(5)"},
        {"D5 28 02 05 00 05", "OPC_EXP_SEND_FUNC:SLOT#[2] F21-F28: all off id(5)"},
        // PROTOCOL-MODERN §1 example (built): slot 130 follows lead slot 3.
        {"D4 39 02 40 03 53", "OPC_EXP_SLOT_MOVE:SLOT#[130] link to lead [3]"},
        {"D4 39 02 50 03 43", "OPC_EXP_SLOT_MOVE:SLOT#[130] unlink from lead [3]"},
        {"D4 39 02 60 33 43", "OPC_EXP_SLOT_MOVE:SLOT#[130] set status  128spd IN_USE"},
        // PROTOCOL-MODERN §1 D4 and PROTOCOL-FACTS moves: null move, dispatch, ask for the
        // dispatched slot; §7: moves to or from 121-127 are illegal.
        {"D4 39 02 01 02 13", "OPC_EXP_SLOT_MOVE:SLOT#[130] to [130] (null move: mark in use)"},
        {"D4 39 02 00 00 10", "OPC_EXP_SLOT_MOVE:SLOT#[130] to [0] (dispatch)"},
        {"D4 38 00 00 00 13", "OPC_EXP_SLOT_MOVE:SLOT#[0] to [0] (ask for the dispatched slot)"},
        {"D4 39 02 00 7F 6F", "OPC_EXP_SLOT_MOVE:SLOT#[130] to [127] (illegal: system slot)"},
    };
    expect_both(std::begin(cases), std::end(cases));
}

TEST(MonitorModern, CommandStationOptionSwitchSlots) {
    const golden cases[] = {
        // PROTOCOL-MODERN §4 example (built): OpSw 5 closed, all others thrown (once read as a loco).
        {"E7 0E 7F 10 00 00 00 47 00 00 00 00 00 3E",
         "OPC_SL_RD_DATA  :SLOT#[127] command station opsw 1-64: 5 closed, others thrown"},
        // PROTOCOL-MODERN §4: the write with TRK 0; OpSw n = byte [3,4,5,6,8,9,10,11][(n-1)/8].
        {"EF 0E 7F 10 00 00 01 00 00 00 00 40 00 30",
         "OPC_WR_SL_DATA  :SLOT#[127] command station opsw 1-64: 5 25 63 closed, others thrown"},
        // PROTOCOL-MODERN §4: slot 126 holds OpSw 65-128.
        {"E7 0E 7E 00 00 00 00 47 00 00 00 00 00 2F",
         "OPC_SL_RD_DATA  :SLOT#[126] command station opsw 65-128: all thrown"},
    };
    expect_both(std::begin(cases), std::end(cases));
}

TEST(MonitorModern, RadioReceiversAndHousekeeping) {
    const golden cases[] = {
        // PROTOCOL-MODERN §6: DF query and set ID, D7 receiver reports, 8A, D3.
        {"DF 00 00 00 00 20", "OPC_RADIO_RCVR  :query radio receivers"},
        {"DF 40 1F 03 00 7C", "OPC_RADIO_RCVR  :set receiver LocoNet id(3)"},
        {"D7 12 01 0A 00 31", "OPC_RADIO_REPORT:receiver id(2) data(12 01 0A 00)"},
        {"D7 17 00 03 00 3C", "OPC_RADIO_REPORT:older receiver id(3) data(17 00 03 00)"},
        {"8A 75", "OPC_LOCO_RESET  :loco reset button on the command station"},
        {"D3 10 02 00 00 3E", "OPC_IF_MODE     :interface mode(2)"},
    };
    expect_both(std::begin(cases), std::end(cases));
}

// The monitor's lines for the classic forms of the same opcodes stay.
TEST(MonitorModern, ClassicFormsKeepTheirLines) {
    const golden cases[] = {
        {"BB 7B 00 3F", "OPC_RQ_SL_DATA  :SLOT#[123]"},
        {"BB 7F 00 3B", "OPC_RQ_SL_DATA  :SLOT#[127]"},
    };
    for (const golden& g : cases) EXPECT_EQ(kvr_monitor::to_text(wire(g.bytes)), g.line);
    // A newer opcode with another layout is not guessed at: empty, and UNKNOWN when extended.
    for (const char* bytes : {"D4 21 07 08 01 04", "D5 40 02 05 00 6D", "E6 05 01 02 1F"}) {
        const kvr_loconet_msg m = wire(bytes);
        ASSERT_TRUE(m.checksum_ok()) << bytes;
        EXPECT_EQ(kvr_monitor::to_text(m), "") << bytes;
        EXPECT_EQ(kvr_monitor::to_text_extended(m).rfind("UNKNOWN", 0), 0u) << bytes;
    }
}

}  // namespace
