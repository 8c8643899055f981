#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "apps/cli/cli_decode.h"
#include "apps/cli/cli_sink.h"
#include "foundation/kvr_sys_event.h"
#include "loconet/kvr_loconet_msg.h"
#include "loconet/kvr_monitor.h"
#include "loconet/kvr_monitor_ext.h"

namespace {

struct run_result {
    int status;
    std::string out;
    std::string err;
};

run_result decode(const std::vector<std::string>& args, const std::string& input = "") {
    std::istringstream in(input);
    std::ostringstream out, err;
    const int status = kvr_cli_decode(args, in, out, err);
    return {status, out.str(), err.str()};
}

// Messages of each length from standard input, one line each, with the
// monitor's text (its every opcode is checked with the monitor); the
// messages it does not decode give an empty line.
TEST(CliDecode, MonitorLinesFromStandardInput) {
    const run_result r = decode({}, "83 7C\nB0 0A 30 75\nE7 0E 01 33 03 00 30 07 00 00 00 01 00 11\n"
                                    "E5 07 01 02 03 04 19\n84 7B\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "OPC_GPON:\nOPC_SW_REQ      :SW#[11 (2:3)] for Closed/Green(on)\n"
                     "OPC_SL_RD_DATA  :SLOT#[1]   128spd IN_USE adr(  3) spd( 0) DIR(rev) F0-4(10000) F5-8(0000) "
                     "id(01/00) TRK (loconet1.1 Master,idle,power on)\n\n\n");
    EXPECT_EQ(r.err, "");
}

TEST(CliDecode, ArgumentsOptionsAndEnds) {
    const struct {
        std::vector<std::string> args;
        const char* input;
        int status;
        const char* out;
        const char* err_part;
    } cases[] = {
        {{"--hex", "83", "7c", "e5,07,01,02,03,04,19"}, "", 0, "83 7C  OPC_GPON:\nE5 07 01 02 03 04 19  \n", ""},
        {{"0x83", "0X7C"}, "82 7D\n", 0, "OPC_GPON:\n", ""},  // arguments win over standard input
        {{"83", "7C", "A0", "03"}, "", 0, "OPC_GPON:\n", "2 bytes"},  // unfinished message reported
        {{}, "\n  \n", 0, "", ""},
        {{"--hexx", "83", "7C"}, "", 2, "", "--hexx"},
        {{"--help"}, "", 0, "Usage: busprobe-cli decode [--hex] [--extended] [--time] [HEX...]\n", ""},
    };
    for (const auto& c : cases) {
        const run_result r = decode(c.args, c.input);
        EXPECT_EQ(r.status, c.status) << c.args[0];
        const bool help = c.args == std::vector<std::string>{"--help"};  // only its first line
        EXPECT_EQ(help ? r.out.substr(0, std::string(c.out).size()) : r.out, c.out);
        EXPECT_NE(r.err.find(c.err_part), std::string::npos) << r.err;
    }
}

// --extended gives the messages the monitor leaves blank a line, in decode
// and in the monitor; the monitor's own lines and the logged text stay.
TEST(CliDecode, ExtendedLinesForMessagesTheMonitorLeavesBlank) {
    const run_result r = decode({"--extended", "E5 07 01 02 03 04 19", "A3 01 05 58", "83 7C", "84 7B"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out,
              "OPC_PEER_XFER   :len(7) data(01 02 03 04)\n"
              "OPC_LOCO_F9F12  :SLOT#[1] F9-12(1010) F9 F11 on\n"
              "OPC_GPON:\n"
              "UNKNOWN         :len(2) 84 7B\n");

    kvr_sys_event abort(true);
    cli_sink sink(true, false, false, abort);
    sink.set_extended(true);
    const kvr_loconet_msg f9 = kvr_loconet_msg::with_checksum({0xA3, 0x01, 0x05});
    sink.on_message(f9, {});  // the monitor's line for it is empty
    const kvr_loconet_msg gpon = kvr_loconet_msg::with_checksum({0x83});
    sink.on_message(gpon, {});
    // B0 78 27: the command station's interrogation, reworded only when extended
    // (LocoNet PE opcode summary).
    const kvr_loconet_msg interrogate = kvr_loconet_msg::with_checksum({0xB0, 0x78, 0x27});
    sink.on_message(interrogate, {});
    const std::deque<cli_line> lines = sink.take_lines().lines;
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].shown, "OPC_LOCO_F9F12  :SLOT#[1] F9-12(1010) F9 F11 on");
    EXPECT_EQ(lines[0].text, "");
    EXPECT_EQ(lines[1].shown, "OPC_GPON:");
    EXPECT_EQ(lines[2].shown, kvr_monitor::to_text_extended(interrogate));
    EXPECT_EQ(lines[2].text, kvr_monitor::to_text(interrogate));
}

TEST(CliDecode, BadTokenFailsWithStatus2ShownEscapedAndCut) {
    for (const char* bad : {"7G", "837C", "0x", "0x123", "-", "x5", "0FF"}) {
        const run_result r = decode({"83", "7C", bad});
        EXPECT_EQ(r.status, 2) << bad;
        EXPECT_EQ(r.out, "") << bad;
        EXPECT_NE(r.err.find(std::string("'") + bad + "'"), std::string::npos) << r.err;
    }
    const struct {
        std::vector<std::string> args;
        std::string input;
        std::string shown;
    } hostile[] = {
        {{"\x1b]0;x\a"}, "", "'\\e]0;x\\x07' is not a hex byte"},  // would retitle the terminal
        {{"-1"}, "", "'-1' is out of range (expected 00 to FF)"},
        {{}, std::string("83 7C\n7\0Z\n", 10), "'7\\x00Z' is not a hex byte"},
        {{}, "83 " + std::string(100000, '7'), "'" + std::string(60, '7') + "...' is not a hex byte"},
    };
    for (const auto& h : hostile) {
        const run_result r = decode(h.args, h.input);
        EXPECT_EQ(r.status, 2);
        EXPECT_NE(r.err.find(h.shown), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find_first_of(std::string("\x1b\a\0", 3)), std::string::npos) << r.err;
    }
    // Standard input streams: the lines before the bad token are shown.
    const run_result from_stdin = decode({}, "83 7C\nB0 0A 30 zz\n");
    EXPECT_EQ(from_stdin.status, 2);
    EXPECT_EQ(from_stdin.out, "OPC_GPON:\n");
    EXPECT_NE(from_stdin.err.find("'zz'"), std::string::npos);
}

// Expanded-slot speed (PROTOCOL-MODERN §1 D5) once printed an empty line.
TEST(CliDecode, NewerMessagesGetALineInBothMonitors) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"D5", "01", "02", "05", "40", "6C"},
          std::vector<std::string>{"--extended", "D5 01 02 05 40 6C"}}) {
        const run_result r = decode(args);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, "OPC_EXP_SEND_FUNC:SLOT#[130] spd(64) DIR(fwd) id(5)\n");
    }
}

// A typed message with a wrong checksum was silently skipped, as line noise
// is: now it is named with the checksum it needs, status 2, nothing printed
// (as a capture line with a bad checksum is named).
TEST(CliDecode, BadChecksumInArgumentsIsNamedWithTheRightOne) {
    run_result r = decode({"83", "7C", "A0", "05", "3F", "00", "BE 00 03 3E"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err,
              "busprobe-cli decode: A0 05 3F 00: bad checksum 00 (the right checksum is 65)\n"
              "busprobe-cli decode: BE 00 03 3E: bad checksum 3E (the right checksum is 42)\n");
    // Variable length (E0-FF: the count byte) and a one-byte-short message are
    // not checksum faults: the second is left over, as before.
    r = decode({"E5", "07", "01", "02", "03", "04", "18"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("E5 07 01 02 03 04 18: bad checksum 18 (the right checksum is 19)"), std::string::npos);
    r = decode({"A0", "05", "3F"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.err.find("3 bytes left over"), std::string::npos) << r.err;
    // Standard input is the bus's stream: noise there is skipped as the receiver does.
    r = decode({}, "A0 05 3F 00\n83 7C\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "OPC_GPON:\n");
}

// Counts the lines written to it, keeping none.
class line_counter : public std::streambuf {
public:
    std::size_t lines = 0;

protected:
    int_type overflow(int_type c) override {
        if (c == '\n') ++lines;
        return traits_type::not_eof(c);
    }
};

// A long source of captured lines that checks, each time it is asked for
// more, how far the printed lines lag behind the lines handed out.
class capture_source : public std::streambuf {
public:
    capture_source(std::size_t lines, const line_counter& out) : left_(lines), out_(out) {}
    std::size_t worst_lag = 0;

protected:
    int_type underflow() override {
        if (left_ == 0) return traits_type::eof();
        worst_lag = std::max(worst_lag, given_ - out_.lines);
        ++given_, --left_;
        setg(line_, line_, line_ + sizeof line_ - 1);
        return traits_type::to_int_type(line_[0]);
    }

private:
    char line_[13] = "B0 0A 30 75\n";
    std::size_t left_, given_ = 0;
    const line_counter& out_;
};

TEST(CliDecode, StandardInputIsDecodedAsItArrivesNotHeldWhole) {
    line_counter counter;
    std::ostream out(&counter);
    std::ostringstream err;
    capture_source source(1000000, counter);  // 12 MB of input
    std::istream in(&source);
    EXPECT_EQ(kvr_cli_decode({}, in, out, err), 0) << err.str();
    EXPECT_EQ(counter.lines, 1000000u);
    EXPECT_LE(source.worst_lag, 2u) << "lines are printed as their input arrives";
}

TEST(HexBytes, AcceptsSeparatorsCaseAndPrefixAndNamesTheFirstBadToken) {
    std::string bad;
    const auto bytes = kvr_parse_hex_bytes("83 7c\tB0,0x0A,\r\n0X30  5 0xf", &bad);
    ASSERT_TRUE(bytes);
    EXPECT_EQ(*bytes, (std::vector<uint8_t>{0x83, 0x7C, 0xB0, 0x0A, 0x30, 0x05, 0x0F}));
    EXPECT_FALSE(kvr_parse_hex_bytes("83 0x7C 1FF 7G", &bad));
    EXPECT_EQ(bad, "1FF");
}

}  // namespace

namespace {

// Local "HH:MM:SS" of a time since the epoch, worked out here with strftime.
std::string local_hms(std::time_t t) {
    std::tm local{};
    localtime_r(&t, &local);
    char s[16];
    std::strftime(s, sizeof s, "%H:%M:%S", &local);
    return s;
}

TEST(CliDecodeCapture, ReadsCaptureFilesAsTheyAreWithTimesOnRequest) {
    const std::string capture =
        "# Busprobe capture\n"
        "(1733500000.123456) B0 0A 30 75\n"
        "\n"
        "(1733500001.000999) 83 7C\r\n"
        "(1733500002.5) 84 7B";  // no line feed at the end
    run_result r = decode({}, capture);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out,
              "OPC_SW_REQ      :SW#[11 (2:3)] for Closed/Green(on)\n"
              "OPC_GPON:\n"
              "\n");

    r = decode({"--time", "--hex", "--extended"}, capture);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, local_hms(1733500000) + ".123 B0 0A 30 75  OPC_SW_REQ      :SW#[11 (2:3)] for Closed/Green(on)\n" +
                         local_hms(1733500001) + ".000 83 7C  OPC_GPON:\n" +
                         local_hms(1733500002) + ".500 84 7B  UNKNOWN         :len(2) 84 7B\n");
}

TEST(CliDecodeCapture, DamagedLinesAreNumberedAndTheRestStillDecodes) {
    const run_result r = decode({},
                                "(1.000000) 83 7C\n"
                                "(1.000001) B0 0A 30 76\n"
                                "(1.000002) 8Z 7C\n"
                                "(" + std::string(70000, '1') + "\n"
                                "# " + std::string(70000, 'x') + "\n"
                                "82 7D\n"
                                "1.000004) B0 0A 30 75\n"   // lost its '('
                                "not hex at all\n"
                                "B0 0A zz 75\n"
                                "(1.000003) 83 7C\n"
                                "(1.000005) 83 7C\n");
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "OPC_GPON:\nOPC_GPOFF:\nOPC_GPON:\nOPC_GPON:\n");
    EXPECT_NE(r.err.find("line 2: bad checksum"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("line 3: bad hex"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("line 4: line too long"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("line 5"), std::string::npos) << r.err;  // a long comment is no fault
    EXPECT_NE(r.err.find("line 7: '1.000004)' is not a hex byte"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("line 8: 'not' is not a hex byte"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("line 9: 'zz' is not a hex byte"), std::string::npos) << r.err;
}

TEST(CliDecodeCapture, BinaryInputIsTheRawByteStream) {
    std::string raw = {'\x00', '\x83', '\x7C', '\xB0', '\x0A', '\x30', '\x75', '\x82'};
    run_result r = decode({"--binary", "--hex"}, raw);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "83 7C  OPC_GPON:\nB0 0A 30 75  OPC_SW_REQ      :SW#[11 (2:3)] for Closed/Green(on)\n");
    EXPECT_NE(r.err.find("1 byte left over"), std::string::npos) << r.err;
    r = decode({"--binary", "83"}, "");
    EXPECT_EQ(r.status, 2);
}

}  // namespace
