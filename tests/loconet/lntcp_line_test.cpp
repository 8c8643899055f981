// The LocoNet-over-TCP line codec. Golden lines: the examples of the public
// LoconetOverTcp protocol description ("SEND A0 2F 00 70", "RECEIVE 83 7C",
// "SENT ERROR Did not receive echo from LocoBuffer") and messages of this
// program's own request builders.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "loconet/kvr_lntcp_line.h"

namespace {

std::vector<uint8_t> bytes_of(const kvr_loconet_msg& m) { return {m.data(), m.data() + m.length()}; }

struct parse_case {
    const char* line;
    kvr_lntcp_kind kind;
    std::vector<uint8_t> bytes;  // message (SEND/RECEIVE) or raw (ERROR CHECKSUM)
    const char* text;
};

TEST(LntcpLine, ParsesEveryTokenOfBothVersions) {
    const parse_case cases[] = {
        {"SEND A0 2F 00 70", kvr_lntcp_kind::send, {0xA0, 0x2F, 0x00, 0x70}, ""},
        {"RECEIVE 83 7C", kvr_lntcp_kind::receive, {0x83, 0x7C}, ""},
        // Lenient where nothing is lost: lower case, one digit, extra blanks.
        {"SEND a0 2f 0 70", kvr_lntcp_kind::send, {0xA0, 0x2F, 0x00, 0x70}, ""},
        {"RECEIVE  83\t7C ", kvr_lntcp_kind::receive, {0x83, 0x7C}, ""},
        {"RECEIVE E7 0E 7C 00 00 00 00 00 00 00 00 00 00 6A", kvr_lntcp_kind::receive,
         {0xE7, 0x0E, 0x7C, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x6A}, ""},
        {"VERSION LbServer version 0.1a built May 30 2002", kvr_lntcp_kind::version, {},
         "LbServer version 0.1a built May 30 2002"},
        {"VERSION", kvr_lntcp_kind::version, {}, ""},
        {"SENT OK", kvr_lntcp_kind::sent_ok, {}, ""},
        {"SENT OK echo seen", kvr_lntcp_kind::sent_ok, {}, "echo seen"},
        {"SENT ERROR Did not receive echo from LocoBuffer", kvr_lntcp_kind::sent_error, {},
         "Did not receive echo from LocoBuffer"},
        {"TIMESTAMP 123456", kvr_lntcp_kind::timestamp, {}, "123456"},
        {"BREAK", kvr_lntcp_kind::line_break, {}, ""},
        {"ERROR CHECKSUM 83 7D", kvr_lntcp_kind::error_checksum, {0x83, 0x7D}, "83 7D"},
        {"ERROR LINE framing error", kvr_lntcp_kind::error_line, {}, "framing error"},
        {"ERROR MESSAGE unknown opcode", kvr_lntcp_kind::error_message, {}, "unknown opcode"},
        // Not this protocol's tokens: unknown, never a bus message.
        {"HELLO 83 7C", kvr_lntcp_kind::unknown, {}, "HELLO 83 7C"},
        {"send 83 7C", kvr_lntcp_kind::unknown, {}, "send 83 7C"},
        {"SENDX 83 7C", kvr_lntcp_kind::unknown, {}, "SENDX 83 7C"},
        {"SENT MAYBE", kvr_lntcp_kind::unknown, {}, "SENT MAYBE"},
        {"ERROR", kvr_lntcp_kind::unknown, {}, "ERROR"},
    };
    for (const parse_case& c : cases) {
        SCOPED_TRACE(c.line);
        const kvr_lntcp_line p = kvr_lntcp_parse(c.line);
        EXPECT_EQ(p.kind, c.kind);
        EXPECT_EQ(p.fault, kvr_lntcp_fault::none);
        if (c.kind == kvr_lntcp_kind::send || c.kind == kvr_lntcp_kind::receive) {
            EXPECT_EQ(bytes_of(p.msg), c.bytes);
        } else {
            EXPECT_EQ(p.raw, c.bytes);
            EXPECT_EQ(p.text, c.text);
        }
    }
}

TEST(LntcpLine, RefusesBrokenMessagesAndSaysWhy) {
    const struct {
        const char* line;
        kvr_lntcp_fault fault;
        const char* reason;
    } cases[] = {
        {"SEND 8G 7C", kvr_lntcp_fault::bad_hex, "bad hex"},
        {"SEND 083 7C", kvr_lntcp_fault::bad_hex, "bad hex"},
        {"SEND 83,7C", kvr_lntcp_fault::bad_hex, "bad hex"},
        {"SEND 03 7C", kvr_lntcp_fault::bad_opcode, "bad opcode"},
        {"SEND A0 85 3F 65", kvr_lntcp_fault::bad_data, "bad data byte"},
        {"SEND", kvr_lntcp_fault::wrong_length, "wrong length"},
        {"SEND 83", kvr_lntcp_fault::wrong_length, "wrong length"},
        {"SEND 83 7C 00", kvr_lntcp_fault::wrong_length, "wrong length"},
        {"SEND A0 05 3F", kvr_lntcp_fault::wrong_length, "wrong length"},
        {"SEND E7 0E 7C", kvr_lntcp_fault::wrong_length, "wrong length"},
        {"SEND E0 01", kvr_lntcp_fault::wrong_length, "wrong length"},
        {"SEND 83 7D", kvr_lntcp_fault::bad_checksum, "bad checksum"},
        {"RECEIVE A0 05 3F 66", kvr_lntcp_fault::bad_checksum, "bad checksum"},
        {"ERROR CHECKSUM zz", kvr_lntcp_fault::bad_hex, "bad hex"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        const kvr_lntcp_line p = kvr_lntcp_parse(c.line);
        EXPECT_EQ(p.kind, kvr_lntcp_kind::malformed);
        EXPECT_EQ(p.fault, c.fault);
        EXPECT_STREQ(kvr_lntcp_fault_text(p.fault), c.reason);
    }
}

TEST(LntcpLine, FormatsGoldenLinesThatParseBack) {
    const kvr_loconet_msg gpon = kvr_loconet_msg::with_checksum({0x83});
    const kvr_loconet_msg speed = kvr_loconet_msg::with_checksum({0xA0, 0x2F, 0x00});
    EXPECT_EQ(kvr_lntcp_format_send(speed), "SEND A0 2F 00 70");
    EXPECT_EQ(kvr_lntcp_format_receive(gpon), "RECEIVE 83 7C");
    EXPECT_EQ(kvr_lntcp_format_version("Busprobe 2.1.0"), "VERSION Busprobe 2.1.0");
    EXPECT_EQ(kvr_lntcp_format_sent_ok(), "SENT OK");
    EXPECT_EQ(kvr_lntcp_format_sent_error("bad checksum"), "SENT ERROR bad checksum");
    EXPECT_EQ(kvr_lntcp_format_timestamp("42"), "TIMESTAMP 42");
    EXPECT_EQ(kvr_lntcp_format_break(), "BREAK");
    EXPECT_EQ(kvr_lntcp_format_error_checksum({0x83, 0x7D}), "ERROR CHECKSUM 83 7D");
    EXPECT_EQ(kvr_lntcp_format_error_line("x"), "ERROR LINE x");
    EXPECT_EQ(kvr_lntcp_format_error_message("y"), "ERROR MESSAGE y");

    // Every length class, the longest message included, goes there and back.
    std::vector<uint8_t> longest(127, 0x11);
    longest[0] = 0xE5;
    longest[1] = 127;
    const kvr_loconet_msg big = kvr_loconet_msg::with_checksum(longest.data(), longest.size() - 1);
    for (const kvr_loconet_msg& m : {gpon, speed, big}) {
        const kvr_lntcp_line s = kvr_lntcp_parse(kvr_lntcp_format_send(m));
        const kvr_lntcp_line r = kvr_lntcp_parse(kvr_lntcp_format_receive(m));
        EXPECT_EQ(s.kind, kvr_lntcp_kind::send);
        EXPECT_EQ(r.kind, kvr_lntcp_kind::receive);
        EXPECT_EQ(s.msg, m);
        EXPECT_EQ(r.msg, m);
    }
}

struct split_result {
    std::vector<std::string> lines;
    std::vector<bool> too_long;
};

split_result split(kvr_lntcp_splitter& s, const std::string& bytes) {
    split_result r;
    s.feed(bytes.data(), bytes.size(), [&](std::string_view line, bool too_long) {
        r.lines.emplace_back(line);
        r.too_long.push_back(too_long);
    });
    return r;
}

TEST(LntcpSplitter, AnyLineEndAndNoEmptyLines) {
    const struct {
        const char* bytes;
        std::vector<std::string> lines;
    } cases[] = {
        {"SENT OK\n", {"SENT OK"}},
        {"SENT OK\r", {"SENT OK"}},
        {"SENT OK\r\nBREAK\n\rBREAK\r\r\n\n", {"SENT OK", "BREAK", "BREAK"}},
        {"\r\n\r\n", {}},
        {"BREAK", {}},  // not finished yet
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bytes);
        kvr_lntcp_splitter s;
        EXPECT_EQ(split(s, c.bytes).lines, c.lines);
    }

    // A line split anywhere arrives whole, once.
    const std::string stream = "RECEIVE 83 7C\r\nSENT OK\nBREAK\r";
    for (std::size_t cut = 0; cut <= stream.size(); ++cut) {
        kvr_lntcp_splitter s;
        std::vector<std::string> lines = split(s, stream.substr(0, cut)).lines;
        for (auto& l : split(s, stream.substr(cut)).lines) lines.push_back(l);
        EXPECT_EQ(lines, (std::vector<std::string>{"RECEIVE 83 7C", "SENT OK", "BREAK"})) << cut;
    }
}

TEST(LntcpSplitter, EndlessLineCostsBoundedMemoryAndIsReportedOnce) {
    kvr_lntcp_splitter s(64);
    const std::string chunk(4096, 'A');
    std::size_t reports = 0;
    for (int i = 0; i < 256; ++i) {  // 1 MB without a line end
        const split_result r = split(s, chunk);
        for (std::size_t k = 0; k < r.lines.size(); ++k) {
            EXPECT_TRUE(r.too_long[k]);
            EXPECT_EQ(r.lines[k], std::string(64, 'A'));
        }
        reports += r.lines.size();
        EXPECT_LE(s.pending(), 64u);
    }
    EXPECT_EQ(reports, 1u);
    // The line end closes the long line; the next line is whole again.
    const split_result after = split(s, "\nSENT OK\n");
    EXPECT_EQ(after.lines, std::vector<std::string>{"SENT OK"});
    EXPECT_FALSE(after.too_long[0]);
}

}  // namespace
