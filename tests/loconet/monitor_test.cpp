#include <gtest/gtest.h>

#include <vector>

#include "loconet/kvr_loconet_msg.h"
#include "loconet/kvr_monitor.h"

namespace {

struct line_case {
    std::vector<uint8_t> bytes;  // without checksum
    const char* line;
};

void expect_lines(const std::vector<line_case>& cases) {
    for (const line_case& c : cases) {
        const kvr_loconet_msg m = kvr_loconet_msg::with_checksum(c.bytes.data(), c.bytes.size());
        EXPECT_EQ(kvr_monitor::to_text(m), c.line) << "first byte " << std::hex << int(c.bytes[0]);
    }
}

// Lines whose exact text users and the dated logs have long relied on.
TEST(MonitorText, ReferenceLines) {
    expect_lines({
        {{0xB0, 0x0A, 0x30}, "OPC_SW_REQ      :SW#[11 (2:3)] for Closed/Green(on)"},
        {{0xBF, 0x00, 0x03}, "OPC_LOCO_ADR    :REQ LOCO#[3]"},
        {{0xBF, 0x02, 0x2C}, "OPC_LOCO_ADR    :REQ LOCO#[300]"},
        // DIRF bit 5 set is reverse, as command stations send it: once printed as fwd.
        {{0xA1, 0x01, 0x30}, "OPC_LOCO_DIRF   :SLOT#[1] DIR(rev) F0-4(10000)"},
        {{0xA2, 0x05, 0x0F}, "OPC_LOCO_SND    :SLOT#[5] F5-8(1111)"},
        {{0xB4, 0x3F, 0x00}, "OPC_LONG_ACK    :OPC_LOCO_ADR ACK(NO FREE SLOT!!!)"},
        {{0xB4, 0x30, 0x12}, "OPC_LONG_ACK    :OPC_SW_REQ ACK(12)"},
        {{0xB4, 0x7E, 0x12}, "OPC_LONG_ACK    :? ACK(12)"},
        {{0xB5, 0x07, 0x33}, "OPC_SLOT_STAT1  :SLOT#[7]  128spd IN_USE"},
        {{0xB1, 0x00, 0x40}, "OPC_SW_REP      :SW#[1 (0:1)] for (aux   off)"},
        // DIRF 0x30: bit 5 set is reverse (once printed as fwd).
        {{0xE7, 0x0E, 0x01, 0x33, 0x03, 0x00, 0x30, 0x07, 0x00, 0x00, 0x00, 0x01, 0x00},
         "OPC_SL_RD_DATA  :SLOT#[1]   128spd IN_USE adr(  3) spd( 0) DIR(rev) F0-4(10000) F5-8(0000) "
         "id(01/00) TRK (loconet1.1 Master,idle,power on)"},
        // Two-byte messages are not padded.
        {{0x81}, "OPC_BUSY:"}, {{0x82}, "OPC_GPOFF:"}, {{0x83}, "OPC_GPON:"}, {{0x85}, "OPC_IDLE:"},
        // Opcodes the monitor does not decode.
        {{0x84}, ""}, {{0xA3, 0x01, 0x02}, ""}, {{0xB3, 0x01, 0x02}, ""},
        {{0xE5, 0x07, 0x01, 0x02, 0x03, 0x04}, ""}, {{0xED, 0x06, 0x01, 0x02, 0x03}, ""},
    });
}

TEST(MonitorText, LocoSlotSwitchAndSensorMessages) {
    expect_lines({
        {{0xA0, 0x03, 0x7F}, "OPC_LOCO_SPD    :SLOT#[3] spd(127)"},
        // DIRF bit 5 clear is forward, set is reverse (the opposite was once printed).
        {{0xA1, 0x02, 0x0F}, "OPC_LOCO_DIRF   :SLOT#[2] DIR(fwd) F0-4(01111)"},
        {{0xA2, 0x05, 0x05}, "OPC_LOCO_SND    :SLOT#[5] F5-8(1010)"},
        {{0xB6, 0x04, 0x21}, "OPC_CONSIST_FUNC:SLOT#[4] DIR(rev) F0-4(01000)"},
        {{0xB8, 0x03, 0x04}, "OPC_UNLINK_SLOTS:SLOT#[3] from [4]"},
        {{0xB9, 0x03, 0x04}, "OPC_LINK_SLOTS  :SLOT#[3] to [4]"},
        {{0xBA, 0x03, 0x00}, "OPC_MOVE_SLOTS  :SLOT#[3] to [0]"},
        {{0xBB, 0x7B, 0x00}, "OPC_RQ_SL_DATA  :SLOT#[123]"},
        {{0xBF, 0x7F, 0x7F}, "OPC_LOCO_ADR    :REQ LOCO#[16383]"},
        {{0xB5, 0x09, 0x40}, "OPC_SLOT_STAT1  :SLOT#[9] Consist Mid 28spd FREE SLOT"},
        // Highest address: bits 10..7 all set.
        {{0xB0, 0x7F, 0x0F}, "OPC_SW_REQ      :SW#[2048 (511:4)] for Thrown/Red(off)"},
        {{0xBC, 0x0A, 0x30}, "OPC_SW_STATE    :SW#[11 (2:3)] for Closed/Green(on)"},
        {{0xBD, 0x0A, 0x10}, "OPC_SW_ACK      :REQ SW#[11 (2:3)] for Thrown/Red(on)"},
        // Output reports (bit 6 clear) close with a doubled parenthesis.
        {{0xB1, 0x04, 0x30}, "OPC_SW_REP      :SW#[5 (1:1)] for closed(on ) thrown(on ))"},
        {{0xB1, 0x04, 0x10}, "OPC_SW_REP      :SW#[5 (1:1)] for closed(off) thrown(on ))"},
        {{0xB1, 0x01, 0x71}, "OPC_SW_REP      :SW#[130 (32:2)] for (noaux on )"},
        {{0xB2, 0x05, 0x20}, "OPC_INPUT_REP   :INPUT#[6 (1:2)] for (noaux off)"},
        {{0xB2, 0x05, 0x10}, "OPC_INPUT_REP   :INPUT#[6 (1:2)] for (aux   on )"},
    });
}

TEST(MonitorText, LongAcknowledgeCodes) {
    expect_lines({
        {{0xB4, 0x38, 0x00}, "OPC_LONG_ACK    :OPC_UNLINK_SLOTS ACK(invalid UNLINK!!!)"},
        {{0xB4, 0x3A, 0x00}, "OPC_LONG_ACK    :OPC_MOVE_SLOTS ACK(illegal MOVE!!!)"},
        {{0xB4, 0x3C, 0x30}, "OPC_LONG_ACK    :OPC_SW_STATE ACK(sw is 'Closed/Green')"},
        {{0xB4, 0x3D, 0x00}, "OPC_LONG_ACK    :OPC_SW_ACK ACK(FIFO is FULL,command Rejected!!!)"},
        {{0xB4, 0x3D, 0x7F}, "OPC_LONG_ACK    :OPC_SW_ACK ACK(Command Accepted!!!)"},
        {{0xB4, 0x3F, 0x05}, "OPC_LONG_ACK    :OPC_LOCO_ADR ACK(FAIL!!!)"},
        {{0xB4, 0x6F, 0x7F}, "OPC_LONG_ACK    :OPC_WR_SL_DATA ACK(Function Not Implementrd no reply)"},
        {{0xB4, 0x6F, 0x00}, "OPC_LONG_ACK    :OPC_WR_SL_DATA ACK(Programming Busy task aborted noreply)"},
        {{0xB4, 0x6F, 0x01}, "OPC_LONG_ACK    :OPC_WR_SL_DATA ACK(Task accepted reply at completion)"},
        {{0xB4, 0x6F, 0x40},
         "OPC_LONG_ACK    :OPC_WR_SL_DATA ACK(Task accepted blind no reply at completion)"},
        {{0xB4, 0x6F, 0x02}, "OPC_LONG_ACK    :OPC_WR_SL_DATA ACK()"},
        {{0xB4, 0x3B, 0x0A}, "OPC_LONG_ACK    :OPC_RQ_SL_DATA ACK(0A)"},
        {{0xB4, 0x00, 0x7F}, "OPC_LONG_ACK    :? ACK(7F)"},
    });
}

TEST(MonitorText, SlotStatusAndTrackBits) {
    const struct { uint8_t stat; const char* text; } cases[] = {
        {0x00, "  28spd FREE SLOT"},
        {0x11, "  28spd. generate trinary pakets for this mobile adr COMMON"},
        {0x22, "  14spd IDLE"},
        {0x05, "   FREE SLOT"},
        {0x46, " Consist Mid  FREE SLOT"},
        {0x77, " Consist Mid 128spd adv. IN_USE"},
    };
    for (const auto& c : cases) EXPECT_EQ(kvr_monitor::slot_status_text(c.stat), c.text) << int(c.stat);
    EXPECT_EQ(kvr_monitor::track_text(0x00), "TRK (DT200,Emerg stop,power off)");
    EXPECT_EQ(kvr_monitor::track_text(0x0F), "TRK (pgm_trk is busy,loconet1.1 Master,idle,power on)");
}

TEST(MonitorText, SlotWritesProgrammingTasksAndFastClock) {
    expect_lines({
        // DIRF 0x0F: bit 5 clear is forward (once printed as rev).
        {{0xEF, 0x0E, 0x05, 0x03, 0x2C, 0x64, 0x0F, 0x00, 0x00, 0x02, 0x0A, 0x7F, 0x12},
         "OPC_WR_SL_DATA  :SLOT#[5]   128spd FREE SLOT adr(300) spd(100) DIR(fwd) F0-4(01111) "
         "F5-8(0101) id(7F/12) TRK (DT200,Emerg stop,power off)"},
        // A paged read of CV 29 asked for, then answered: 134 (bit 7 from CVH).
        {{0xEF, 0x0E, 0x7C, 0x20, 0x00, 0x00, 0x00, 0x07, 0x02, 0x1C, 0x06, 0x00, 0x00},
         "OPC_WR_SL_DATA  :SLOT#[124] PGM read(Paged Read)   adr(  0) cv#( 29) data(134) "
         "TRK (loconet1.1 Master,idle,power on) "},
        {{0xE7, 0x0E, 0x7C, 0x20, 0x00, 0x00, 0x00, 0x07, 0x02, 0x1C, 0x06, 0x00, 0x00},
         "OPC_SL_RD_DATA  :SLOT#[124] PGM read(Paged Read)   adr(  0) cv#( 29) data(134) "
         "TRK (loconet1.1 Master,idle,power on) "},
        {{0xE7, 0x0E, 0x7C, 0x28, 0x04, 0x00, 0x00, 0x07, 0x00, 0x00, 0x00, 0x00, 0x00},
         "OPC_SL_RD_DATA  :SLOT#[124] PGM read(Direct Read) Fail to Read Failed to detect READ "
         "compare ack res from decoder adr(  0) cv#(  1) data(  0) TRK (loconet1.1 Master,idle,power on) "},
        {{0xE7, 0x0E, 0x7C, 0x68, 0x0F, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00, 0x00, 0x00},
         "OPC_SL_RD_DATA  :SLOT#[124] PGM write(Direct Write) User Aborted User Aborted this command "
         "adr(  0) cv#(  1) data(  0) TRK (DT200,idle,power on) "},
        {{0xE7, 0x0E, 0x7C, 0x20, 0x01, 0x00, 0x00, 0x0F, 0x00, 0x00, 0x00, 0x00, 0x00},
         "OPC_SL_RD_DATA  :SLOT#[124] PGM read(Paged Read) No Decoder Detected Service mode programming "
         "task empty No decoder detected adr(  0) cv#(  1) data(  0) "
         "TRK (pgm_trk is busy,loconet1.1 Master,idle,power on) "},
        // A request never shows the long status, whatever PSTAT holds.
        {{0xEF, 0x0E, 0x7C, 0x60, 0x08, 0x00, 0x00, 0x07, 0x00, 0x00, 0x05, 0x00, 0x00},
         "OPC_WR_SL_DATA  :SLOT#[124] PGM write(Paged Write) User Aborted  adr(  0) cv#(  1) data(  5) "
         "TRK (loconet1.1 Master,idle,power on) "},
        // Operations mode on address 300, CV 1024 (CV bits 9, 8 and 7 from CVH).
        {{0xEF, 0x0E, 0x7C, 0x64, 0x00, 0x02, 0x2C, 0x07, 0x31, 0x7F, 0x7F, 0x00, 0x00},
         "OPC_WR_SL_DATA  :SLOT#[124] PGM write(OPS Write no feedback)   adr(300) cv#(1024) data(127) "
         "TRK (loconet1.1 Master,idle,power on) "},
        {{0xE7, 0x0E, 0x7B, 0x01, 0x05, 0x7F, 0x7E, 0x07, 0x69, 0x03, 0x40, 0x12, 0x34},
         "OPC_SL_RD_DATA  :SLOT#[123] FAST CLOCK rate(1:1) days( 3) hrs24(01) min(59) "
         "sub_minute(127.05) clk_ctrl(40h) id1(12h) id2(34h) TRK (loconet1.1 Master,idle,power on)"},
        {{0xEF, 0x0E, 0x7B, 0x0A, 0x00, 0x00, 0x43, 0x06, 0x68, 0x1F, 0x00, 0x00, 0x00},
         "OPC_WR_SL_DATA  :SLOT#[123] FAST CLOCK rate(10:1) days(31) hrs24(00) min(00) "
         "sub_minute(00.00) clk_ctrl(00h) id1(00h) id2(00h) TRK (loconet1.1 Master,idle,power off)"},
    });
}

TEST(MonitorText, ProgrammerCommandNames) {
    const struct { uint8_t pcmd; const char* name; } cases[] = {
        {0x04, "OPS Bit Read no feedback"}, {0x08, "Direct Bit Read"},
        {0x23, "Paged Read"},  // bits 1..0 and 7 do not take part
        {0x2C, "OPS Read"},  {0x4C, "OPS Bit Write"},  {0x6C, "OPS Write"},
        {0x30, "Physical Register Read"},  {0x50, "Physical Register Write"},
        {0x38, "Service Track Reserved Function"},
        {0x1C, "Unknown Function"},  {0x40, "Unknown Function"},
    };
    for (const auto& c : cases) EXPECT_EQ(kvr_monitor::pgm_command_name(c.pcmd), c.name) << int(c.pcmd);
}

}  // namespace
