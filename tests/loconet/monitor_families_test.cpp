// The extended monitor's lines for the newer message families the monitor
// leaves blank (or keeps its own line for), one group per family. Golden
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
    const char* bytes;     // as on the wire, checksum included
    const char* extended;  // the extended monitor's line
};

// The monitor's own line stays as it was: empty for these families.
void expect_extended(const golden* first, const golden* last, bool plain_empty = true) {
    for (const golden* g = first; g != last; ++g) {
        const kvr_loconet_msg m = wire(g->bytes);
        ASSERT_TRUE(m.checksum_ok()) << g->bytes;
        if (plain_empty) {
            EXPECT_EQ(kvr_monitor::to_text(m), "") << g->bytes;
        }
        EXPECT_EQ(kvr_monitor::to_text_extended(m), g->extended) << g->bytes;
    }
}

TEST(MonitorFamilies, Lncv) {
    const golden cases[] = {
        // PROTOCOL-MODERN §2 examples (real): read LNCV 1 of article 6861, module 1; the reply LNCV 1 = 2.
        {"ED 0F 01 05 00 21 01 4D 1A 01 00 01 00 00 6E", "OPC_IMM_PACKET  :LNCV read article(6861) lncv(1) module(1) SRC(1)"},
        {"E5 0F 05 49 4B 1F 01 4D 1A 01 00 02 00 00 58", "OPC_PEER_XFER   :LNCV reply article(6861) lncv(1) value(2) SRC(5)"},
        // PROTOCOL-MODERN §2 session: discover (article and module 0xFFFF, flag 80), write, end (flag 40).
        {"ED 0F 01 05 00 21 73 7F 7F 00 00 7F 7F 00 4B", "OPC_IMM_PACKET  :LNCV start article(all) module(all) SRC(1)"},
        {"ED 0F 01 05 00 20 01 4D 1A 02 00 05 00 00 68", "OPC_IMM_PACKET  :LNCV write article(6861) lncv(2) value(5) SRC(1)"},
        {"ED 0F 01 05 00 21 01 4D 1A 00 00 01 00 40 2F", "OPC_IMM_PACKET  :LNCV end article(6861) module(1) SRC(1)"},
    };
    expect_extended(std::begin(cases), std::end(cases));
}

TEST(MonitorFamilies, SvProgramming) {
    const golden cases[] = {
        // PROTOCOL-MODERN §3 examples (built to JMRI): discover reply with identity; reconfigure request.
        {"E5 10 01 47 02 10 03 00 0D 01 10 34 12 78 56 49",
         "OPC_PEER_XFER   :SV programming discover reply SRC(1) DST(3) manufacturer(13) developer(1) product(4660) "
         "serial(22136)"},
        {"E5 10 01 0F 02 10 03 00 00 00 10 00 00 00 00 05", "OPC_PEER_XFER   :SV programming reconfigure SRC(1) DST(3)"},
        // PROTOCOL-MODERN §3: 4F answers reconfigure (once shown as the request) and carries an identity.
        {"E5 10 01 4F 02 10 03 00 0D 01 10 34 12 78 56 41",
         "OPC_PEER_XFER   :SV programming reconfigure reply SRC(1) DST(3) manufacturer(13) developer(1) "
         "product(4660) serial(22136)"},
        // PROTOCOL-MODERN §3: a 49 reply with all identity 0 asks for a reconfigure.
        {"E5 10 01 49 02 10 03 00 00 00 10 00 00 00 00 43",
         "OPC_PEER_XFER   :SV programming change address reply SRC(1) DST(3) manufacturer(0) developer(0) product(0) "
         "serial(0) (reconfigure needed)"},
        {"E5 10 01 07 02 10 00 00 00 00 10 00 00 00 00 0E", "OPC_PEER_XFER   :SV programming discover SRC(1)"},
        {"E5 10 01 05 02 10 03 00 10 00 10 01 02 03 04 1B",
         "OPC_PEER_XFER   :SV programming write four SRC(1) DST(3) SV#[16] values(1 2 3 4)"},
        {"E5 10 01 42 02 10 03 00 10 00 11 01 00 00 00 58",
         "OPC_PEER_XFER   :SV programming read reply SRC(1) DST(3) SV#[16] value(129)"},
        // PROTOCOL-MODERN §3 format 1: D1 01 write, D4 the value; a device's reply holds it in D8 (D3 0).
        {"E5 10 50 51 01 00 01 03 00 2A 10 00 00 00 00 32",
         "OPC_PEER_XFER   :SV programming (format 1) write SV#[3] value(42) SRC(80) DST(81)"},
        {"E5 10 51 50 01 00 02 03 00 00 10 00 00 00 2A 31",
         "OPC_PEER_XFER   :SV programming (format 1) read SV#[3] reply value(42) SRC(81) DST(80)"},
    };
    expect_extended(std::begin(cases), std::end(cases));
}

TEST(MonitorFamilies, BoardOptionSwitchesAndReports) {
    const golden cases[] = {
        // PROTOCOL-MODERN §4 examples (built): read OpSw 3 of detector board 1; its answer: closed.
        {"D0 62 00 71 04 38", "OPC_MULTI_SENSE :board opsw read occupancy detector board(1) opsw(3)"},
        {"D0 72 05 72 0D 27", "OPC_MULTI_SENSE :board opsw write signal board board(6) opsw(7) closed"},
        // PROTOCOL-MODERN §4: type 0, board 1, b4 0 asks every board for its type.
        {"D0 62 00 70 00 3D", "OPC_MULTI_SENSE :board query all: every board reports its type"},
        {"D0 60 02 01 00 4C", "OPC_MULTI_SENSE :board device type report occupancy detector board(3) version not reported"},
        // PROTOCOL-MODERN §4 power reports: 4 sub-districts, 8 sections, reverser/breaker units.
        {"D0 60 00 12 03 5E",
         "OPC_MULTI_SENSE :power manager board(1) 1:breaker shorted 2:reverser reversed 3:breaker normal "
         "4:breaker normal"},
        {"D0 60 00 22 01 6C", "OPC_MULTI_SENSE :detector power board(1) shorted: 1 6"},
        {"D0 60 01 58 00 16", "OPC_MULTI_SENSE :unit(9) reverser reversed"},
        {"D0 60 01 40 00 0E", "OPC_MULTI_SENSE :unit(9) breaker normal"},
    };
    expect_extended(std::begin(cases), std::end(cases));
    // PROTOCOL-MODERN §4: B4 50 / B4 00 answer a board's OpSw access; 7F is a write done.
    const golden acks[] = {
        {"B4 00 20 6B", "OPC_LONG_ACK    :board opsw ACK(20) closed"},
        {"B4 50 00 1B", "OPC_LONG_ACK    :board opsw ACK(00) thrown"},
        {"B4 00 7F 34", "OPC_LONG_ACK    :board opsw ACK(7F) accept"},
    };
    expect_extended(std::begin(acks), std::end(acks), false);
}

TEST(MonitorFamilies, Transponding) {
    const golden cases[] = {
        // PROTOCOL-MODERN §5 examples (real): loco 3311 present at reporter 16; the long form west.
        {"D0 20 0F 19 6F 76", "OPC_MULTI_SENSE :present SECTION#[16] LOCO#[3311]"},
        {"E0 09 20 0F 19 6F 40 00 0F", "OPC_MULTI_SENSE :present SECTION#[16] LOCO#[3311] west"},
        // PROTOCOL-MODERN §5 E0: TT 40 carries RailCom DynID (D6 bits 5..1) and value; stray data flagged.
        {"E0 09 40 0F 19 6F 0F 05 25", "OPC_MULTI_SENSE :present SECTION#[16] LOCO#[3311] east railcom dyn id(7) value(133)"},
        {"E0 09 00 0F 19 6F 00 05 6A", "OPC_MULTI_SENSE :absent SECTION#[16] LOCO#[3311] east unexpected data(00 05)"},
        // PROTOCOL-MODERN §5 D0 RailCom app:dyn: DynID (b1&1E)/2, value VAL+(b1&1)*128.
        {"D0 41 10 7D 03 00", "OPC_MULTI_SENSE :railcom LOCO#[3] dyn id(0) value(144) speed"},
        // PROTOCOL-MODERN §5 E5 09 find: query, and the report with section and zone.
        {"E5 09 40 00 03 00 00 00 50", "OPC_PEER_XFER   :find LOCO#[3] query"},
        {"E5 09 00 00 03 21 14 00 25", "OPC_PEER_XFER   :find LOCO#[3] present section(10) zone(C)"},
    };
    expect_extended(std::begin(cases), std::end(cases));
}

TEST(MonitorFamilies, ReceiverReports) {
    const golden cases[] = {
        // PROTOCOL-MODERN §5 example (real, one source): sensor 1, loco 3, category 1.
        {"E4 08 00 00 01 00 03 11", "OPC_REPORT_E4   :receiver category(1) sensor(1) LOCO#[3]"},
        // PROTOCOL-MODERN §5 E4 reading: b2 1 a block, b6 bit 0 occupied.
        {"E4 08 01 00 05 00 01 16", "OPC_REPORT_E4   :block unit(5) occupied"},
        {"E4 08 00 60 02 00 03 72", "OPC_REPORT_E4   :loco passing sensor(2) LOCO#[3] category(1) south"},
        // PROTOCOL-MODERN §5 E4 0A security element: S1 bits 5..4 reservation, bit 0 occupied; S2 bit 0 thrown.
        {"E4 0A 00 05 00 31 01 00 00 24", "OPC_REPORT_E4   :security element(5) occupied reserved both thrown AX(0) XA(0)"},
        {"E4 09 01 02 00 04 05 06 16", "OPC_REPORT_E4   :signal state report data(01 02 00 04 05 06)"},
    };
    expect_extended(std::begin(cases), std::end(cases));
}

TEST(MonitorFamilies, RadioAndThirdPartyProgramming) {
    const golden cases[] = {
        // PROTOCOL-MODERN §6 E5 14: GG 02 channel, 03 group name (report adds channel and ID), 0F identity.
        {"E5 14 02 10 00 11 00 00 00 00 00 00 00 00 00 00 00 00 00 0D", "OPC_PEER_XFER   :duplex channel report channel(17)"},
        {"E5 14 03 10 00 4D 59 20 47 00 52 4F 55 50 00 00 00 11 05 62",
         "OPC_PEER_XFER   :duplex group name report 'MY GROUP' channel(17) id(5)"},
        {"E5 14 0F 08 00 00 00 00 00 00 00 01 00 00 00 00 00 00 00 08", "OPC_PEER_XFER   :duplex identity query all"},
        // PROTOCOL-MODERN §6: E5 07 third-party programming track on; ED 1F example (real, Rocrail): read CV1 direct.
        {"E5 07 01 49 42 41 56", "OPC_PEER_XFER   :third-party programming track on"},
        {"ED 1F 01 49 42 71 72 01 00 00 70 00 00 00 00 10 00 00 00 00 00 00 00 00 00 00 00 00 00 00 65",
         "OPC_IMM_PACKET  :third-party programming track direct read cv(1)"},
        {"ED 1F 01 49 42 71 71 02 00 05 70 00 00 00 00 10 00 00 00 00 00 00 00 00 00 00 00 00 00 00 60",
         "OPC_IMM_PACKET  :third-party programming track direct write cv(2) value(5)"},
    };
    expect_extended(std::begin(cases), std::end(cases));
}

TEST(MonitorFamilies, ImmediatePackets) {
    const golden cases[] = {
        // PROTOCOL-FACTS / PROTOCOL-MODERN corrections: an accessory decoder's ops-mode write of CV4 = 54
        // (once read as "output(0) off").
        {"ED 0B 7F 50 07 01 70 6C 03 36 19",
         "OPC_IMM_PACKET  :DCC ACCESSORY board(1) OPS CV#[4] write(54) reps(0) packet(81 F0 EC 03 36)"},
        // PROTOCOL-FACTS example: loco 3 F9 on.
        {"ED 0B 7F 24 02 03 21 00 00 00 62", "OPC_IMM_PACKET  :DCC LOCO#[3] F9-12(1000) F9 on reps(4) packet(03 A1)"},
        // PROTOCOL-MODERN §7: every instruction of a multi-instruction packet (NMRA S-9.2.1).
        {"ED 0B 7F 30 04 03 3F 05 00 00 6B",
         "OPC_IMM_PACKET  :DCC LOCO#[3] spd128(5) DIR(fwd) reps(0) packet(03 3F 85)"},
        {"ED 0B 7F 40 0C 03 3F 05 10 00 03",
         "OPC_IMM_PACKET  :DCC LOCO#[3] spd128(5) DIR(fwd); F0-4(10000) F0 on reps(0) packet(03 3F 85 90)"},
        // PROTOCOL-MODERN §7: extended accessory, board (b1&3F)+((~b2>>4)&7)*64, address (board-1)*4+((b2>>1)&3)+1.
        {"ED 0B 7F 30 01 01 73 05 00 00 20", "OPC_IMM_PACKET  :DCC EXT ACCESSORY address(2) aspect(5) reps(0) packet(81 73 05)"},
        // PROTOCOL-MODERN §7: analog function 3D with output 7F is a playable whistle.
        {"ED 0B 7F 40 00 03 3D 7F 40 00 27", "OPC_IMM_PACKET  :DCC LOCO#[3] whistle level(64) reps(0) packet(03 3D 7F 40)"},
        // A sender that counts the error byte: it is not read as an instruction.
        {"ED 0B 7F 30 06 03 21 22 00 00 50", "OPC_IMM_PACKET  :DCC LOCO#[3] F9-12(1000) F9 on reps(0) packet(03 A1 A2)"},
    };
    expect_extended(std::begin(cases), std::end(cases));
}

// The monitor's own lines with what the protocol adds, extended only.
TEST(MonitorFamilies, MonitorLinesWithTheProtocolsReading) {
    const struct {
        const char* bytes;
        const char* plain;
        const char* extended;
    } cases[] = {
        // PROTOCOL-MODERN §7 (LPU): every interrogation form, SW1 78..7B with SW2 07 or 0F.
        {"B0 7A 07 32", "OPC_SW_REQ      :SW#[1019 (254:3)] for Thrown/Red(off)",
         "OPC_SW_REQ      :Interrogate turnouts and sensors (SW#[1019])"},
        {"B0 78 0F 38", "OPC_SW_REQ      :SW#[2041 (510:1)] for Thrown/Red(off)",
         "OPC_SW_REQ      :Interrogate turnouts and sensors (SW#[2041])"},
        // PROTOCOL-MODERN §1: the LACK names the expanded opcodes; B4 66 00 slot not supported.
        {"B4 3E 00 75", "OPC_LONG_ACK    :? ACK(00)", "OPC_LONG_ACK    :OPC_EXP_REQ_SLOT ACK(00) expanded slots not supported"},
        {"B4 66 00 2D", "OPC_LONG_ACK    :? ACK(00)", "OPC_LONG_ACK    :OPC_EXP_RD_SL_DATA ACK(00) slot not supported"},
        // PROTOCOL-MODERN §4: OpSw write answered B4 6F 7F; some stations refuse the read B4 3B 00.
        {"B4 6F 7F 5B", "OPC_LONG_ACK    :OPC_WR_SL_DATA ACK(Function Not Implementrd no reply)",
         "OPC_LONG_ACK    :OPC_WR_SL_DATA ACK(Function Not Implementrd no reply) slot write: accept"},
        {"B4 3B 00 70", "OPC_LONG_ACK    :OPC_RQ_SL_DATA ACK(00)", "OPC_LONG_ACK    :OPC_RQ_SL_DATA ACK(00) refused"},
        // PROTOCOL-MODERN §2 / §3 write answers.
        {"B4 6D 02 24", "OPC_LONG_ACK    :OPC_IMM_PACKET ACK(02)", "OPC_LONG_ACK    :OPC_IMM_PACKET ACK(02) lncv read-only"},
        {"B4 65 2C 02", "OPC_LONG_ACK    :OPC_PEER_XFER ACK(2C)", "OPC_LONG_ACK    :OPC_PEER_XFER ACK(2C) sv write failed"},
        // A code the monitor words already (LocoNet PE: B4 3D 7F) is not worded twice.
        {"B4 3D 7F 09", "OPC_LONG_ACK    :OPC_SW_ACK ACK(Command Accepted!!!)",
         "OPC_LONG_ACK    :OPC_SW_ACK ACK(Command Accepted!!!)"},
        {"B4 30 7F 04", "OPC_LONG_ACK    :OPC_SW_REQ ACK(7F)", "OPC_LONG_ACK    :OPC_SW_REQ ACK(7F) accept"},
        {"BB 7F 00 3B", "OPC_RQ_SL_DATA  :SLOT#[127]", "OPC_RQ_SL_DATA  :SLOT#[127] command station opsw"},
        // PROTOCOL-MODERN §1 example (real): TRK 0x47, expanded slots offered.
        {"E7 0E 01 03 05 00 00 47 00 00 00 00 00 56",
         "OPC_SL_RD_DATA  :SLOT#[1]   128spd FREE SLOT adr(  5) spd( 0) DIR(fwd) F0-4(00000) F5-8(0000) id(00/00) "
         "TRK (loconet1.1 Master,idle,power on)",
         "OPC_SL_RD_DATA  :SLOT#[1]   128spd FREE SLOT adr(  5) spd( 0) DIR(fwd) F0-4(00000) F5-8(0000) id(00/00) "
         "TRK (loconet1.1 Master,idle,power on) expanded slots offered"},
        // PROTOCOL-MODERN §7: A0 speed 1 is an emergency stop; DIRF bit 6 is reserved; ADR2 7D a short address.
        {"A0 03 01 5D", "OPC_LOCO_SPD    :SLOT#[3] spd(1)", "OPC_LOCO_SPD    :SLOT#[3] spd(1) (emergency stop)"},
        {"A1 03 50 0D", "OPC_LOCO_DIRF   :SLOT#[3] DIR(fwd) F0-4(10000)",
         "OPC_LOCO_DIRF   :SLOT#[3] DIR(fwd) F0-4(10000) (bit 6 set: reserved)"},
        {"E7 0E 02 33 31 00 00 07 00 7D 00 00 00 6C",
         "OPC_SL_RD_DATA  :SLOT#[2]   128spd IN_USE adr(16049) spd( 0) DIR(fwd) F0-4(00000) F5-8(0000) id(00/00) "
         "TRK (loconet1.1 Master,idle,power on)",
         "OPC_SL_RD_DATA  :SLOT#[2]   128spd IN_USE adr(16049) spd( 0) DIR(fwd) F0-4(00000) F5-8(0000) id(00/00) "
         "TRK (loconet1.1 Master,idle,power on) (short address 49)"},
        // PROTOCOL-MODERN §7: moves to or from 121-127 are illegal.
        {"BA 05 7C 3C", "OPC_MOVE_SLOTS  :SLOT#[5] to [124]", "OPC_MOVE_SLOTS  :SLOT#[5] to [124] (illegal: system slot)"},
        // PROTOCOL-MODERN §1 example (real, one source): the third-party function form, slot 31 F13 on.
        {"D4 20 1F 08 01 1D", "", "OPC_LOCO_FUNC_EX:SLOT#[31] F13-19(1000000) F13 on"},
        {"A3 01 08 55", "", "OPC_LOCO_F9F12  :SLOT#[1] F9-12(0001) F12 on"},
    };
    for (const auto& c : cases) {
        const kvr_loconet_msg m = wire(c.bytes);
        ASSERT_TRUE(m.checksum_ok()) << c.bytes;
        EXPECT_EQ(kvr_monitor::to_text(m), c.plain) << c.bytes;
        EXPECT_EQ(kvr_monitor::to_text_extended(m), c.extended) << c.bytes;
    }
}

}  // namespace
