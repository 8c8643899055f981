#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "loconet/kvr_capture.h"
#include "support/temp_dir.h"

namespace {

struct golden_line {
    kvr_capture_time time;
    std::vector<uint8_t> bytes;  // checksum included
    const char* text;
};

// Worked by hand: B0 0A 30 -> checksum ~(B0^0A^30) = 0x75; 83 -> 7C.
const golden_line golden[] = {
    {{1733500000, 123456}, {0xB0, 0x0A, 0x30, 0x75}, "(1733500000.123456) B0 0A 30 75"},
    {{1733500000, 7}, {0x83, 0x7C}, "(1733500000.000007) 83 7C"},
    {{0, 0}, {0x83, 0x7C}, "(0.000000) 83 7C"},
    {{1733500001, 999999},
     {0xE7, 0x0E, 0x7C, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00},
     nullptr},
};

kvr_loconet_msg msg_of(const std::vector<uint8_t>& b) {
    kvr_loconet_msg m;
    for (uint8_t v : b) m.append(v);
    return m;
}

TEST(CaptureLine, GoldenLinesFormatAndReadBack) {
    for (const auto& g : golden) {
        kvr_loconet_msg m = msg_of(g.bytes);
        if (!g.text) m.renew_checksum();
        const std::string line = kvr_capture_line(g.time, m);
        if (g.text) {
            EXPECT_EQ(line, g.text);
        }
        const kvr_capture_parsed p = kvr_capture_parse_line(line);
        ASSERT_EQ(p.kind, kvr_capture_kind::message) << line << ": " << p.reason;
        EXPECT_EQ(p.entry.time, g.time) << line;
        EXPECT_TRUE(p.entry.msg == m) << line;
    }
}

TEST(CaptureLine, LenientForms) {
    struct {
        const char* text;
        kvr_capture_time time;
    } cases[] = {
        {"(1733500000.5) b0 0a 30 75", {1733500000, 500000}},     // short fraction, lower case
        {"  (12.000001)\tB0  0A 30 75  \r", {12, 1}},              // blanks, tab, CR
    };
    for (const auto& c : cases) {
        const kvr_capture_parsed p = kvr_capture_parse_line(c.text);
        ASSERT_EQ(p.kind, kvr_capture_kind::message) << c.text << ": " << p.reason;
        EXPECT_EQ(p.entry.time, c.time) << c.text;
        EXPECT_EQ(p.entry.msg.length(), 4) << c.text;
    }
}

TEST(CaptureLine, CommentsAndBlankLinesAreSkipped) {
    for (const char* text : {"", "   ", "\r", "# a comment", "  # indented (1.0) 83 7C"})
        EXPECT_EQ(kvr_capture_parse_line(text).kind, kvr_capture_kind::skip) << text;
}

TEST(CaptureLine, DamagedLinesSayWhy) {
    struct {
        const char* text;
        const char* reason;
    } cases[] = {
        {"B0 0A 30 75", "missing time stamp"},
        {"(1733500000) B0 0A 30 75", "bad time stamp"},
        {"(1733500000.1234567) B0 0A 30 75", "bad time stamp"},
        {"(.123456) B0 0A 30 75", "bad time stamp"},
        {"(1733500000.123456 B0 0A 30 75", "bad time stamp"},
        {"(1234567890123.0) 83 7C", "bad time stamp"},
        {"(1.000000)83 7C", "bad time stamp"},
        {"(1.000000) B0 0A 3G 75", "bad hex"},
        {"(1.000000) B0 0A 300 75", "bad hex"},
        {"(1.000000) B0 0A 3 75", "bad hex"},
        {"(1.000000) 83 7", "bad hex"},
        {"(1.000000) B0 0A 30 76", "bad checksum"},
        {"(1.000000)", "no message bytes"},
        {"(1.000000) 03 7C", "first byte is not an opcode"},
        {"(1.000000) B0 8A 30 75", "data byte with bit 7 set"},
        {"(1.000000) B0 0A 30", "wrong length for the opcode"},
        {"(1.000000) 83 7C 83 7C", "wrong length for the opcode"},
    };
    for (const auto& c : cases) {
        const kvr_capture_parsed p = kvr_capture_parse_line(c.text);
        EXPECT_EQ(p.kind, kvr_capture_kind::damaged) << c.text;
        EXPECT_STREQ(p.reason, c.reason) << c.text;
    }
    std::string huge = "(1.000000)";
    for (int i = 0; i < 200; ++i) huge += " 00";
    EXPECT_STREQ(kvr_capture_parse_line(huge).reason, "too many bytes");
}

TEST(CaptureFile, WriterLinesReadBackInOrder) {
    const temp_dir dir;
    const std::string path = (dir.path / "x.cap").string();
    kvr_capture_writer w;
    ASSERT_TRUE(w.open(path)) << w.error();
    const auto a = kvr_loconet_msg::with_checksum({0xB0, 0x0A, 0x30});
    const auto b = kvr_loconet_msg::with_checksum({0x83});
    EXPECT_TRUE(w.write({1733500000, 123456}, a));
    EXPECT_TRUE(w.comment("gap\nhere"));
    EXPECT_TRUE(w.write({1733500000, 130002}, b));
    EXPECT_TRUE(w.close());
    EXPECT_EQ(w.count(), 2);

    const std::string text = read_all(path);
    EXPECT_EQ(text.substr(0, 1), "#");
    EXPECT_NE(text.find("\n(1733500000.123456) B0 0A 30 75\n# gap here\n(1733500000.130002) 83 7C\n"),
              std::string::npos)
        << text;

    kvr_capture_reader r;
    ASSERT_TRUE(r.open(path));
    kvr_capture_entry e;
    const char* reason = nullptr;
    ASSERT_EQ(r.next(e, reason), kvr_capture_reader::item::message);
    EXPECT_TRUE(e.msg == a);
    EXPECT_EQ(r.line_number(), 2);
    ASSERT_EQ(r.next(e, reason), kvr_capture_reader::item::message);
    EXPECT_TRUE(e.msg == b);
    EXPECT_EQ(e.time, (kvr_capture_time{1733500000, 130002}));
    EXPECT_EQ(r.next(e, reason), kvr_capture_reader::item::end);
}

TEST(CaptureFile, DamagedLinesAreNumberedAndGoodLinesAroundThemCount) {
    const temp_dir dir;
    const std::string path = (dir.path / "x.cap").string();
    std::string text =
        "# recorded\n"
        "(1.000000) 83 7C\n"
        "(1.000001) B0 0A 30 76\n"   // 3: bad checksum
        "\n"
        "garbage\n"                  // 5: missing stamp
        "(1.000002) " + std::string(10000, 'A') + "\n"  // 6: too long, skipped to its end
        "(1.000003) B0 0A 30 75\r\n"
        "(1.000004) 83 7C";          // 8: last line without a line feed
    write_file(path, text);

    kvr_capture_reader r;
    ASSERT_TRUE(r.open(path));
    std::vector<std::string> seen;
    kvr_capture_entry e;
    const char* reason = nullptr;
    for (;;) {
        const auto it = r.next(e, reason);
        if (it == kvr_capture_reader::item::end) break;
        seen.push_back(std::to_string(r.line_number()) + " " +
                       (it == kvr_capture_reader::item::message ? kvr_capture_line(e.time, e.msg)
                                                                : std::string(reason)));
    }
    const std::vector<std::string> want = {
        "2 (1.000000) 83 7C",
        "3 bad checksum",
        "5 missing time stamp",
        "6 line too long",
        "7 (1.000003) B0 0A 30 75",
        "8 (1.000004) 83 7C",
    };
    EXPECT_EQ(seen, want);
    EXPECT_TRUE(r.error().empty());
}

TEST(CaptureFile, OpenFailuresAreReported) {
    kvr_capture_reader r;
    EXPECT_FALSE(r.open("/nonexistent-dir/x.cap"));
    EXPECT_NE(r.error().find("/nonexistent-dir/x.cap"), std::string::npos);
    kvr_capture_writer w;
    EXPECT_FALSE(w.open("/nonexistent-dir/x.cap"));
    EXPECT_NE(w.error().find("/nonexistent-dir/x.cap"), std::string::npos);
    EXPECT_FALSE(w.write({}, kvr_loconet_msg::with_checksum({0x83})));
}

TEST(CaptureFile, WriteFailureIsNotReportedAsSuccess) {
    // /dev/full accepts the open and fails every flush with ENOSPC.
    kvr_capture_writer w;
    ASSERT_TRUE(w.open("/dev/full"));
    w.write({1, 0}, kvr_loconet_msg::with_checksum({0x83}));
    EXPECT_FALSE(w.close());
    EXPECT_NE(w.error().find("/dev/full"), std::string::npos) << w.error();
}

}  // namespace
