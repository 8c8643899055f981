#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "foundation/kvr_exception.h"
#include "foundation/kvr_hooks.h"

namespace {

std::vector<std::string> lines_of(const std::string& s) {
    std::vector<std::string> out;
    std::size_t start = 0;
    for (;;) {
        const auto lf = s.find('\n', start);
        out.push_back(s.substr(start, lf == std::string::npos ? lf : lf - start));
        if (lf == std::string::npos) return out;
        start = lf + 1;
    }
}

// "where MM/DD hh:mm:ss <code_text> src:<source>", fields checked against `e`.
void expect_report_line(const std::string& line, const kvr_exception& e) {
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%02d/%02d %02d:%02d:%02d", e.when.tm_mon + 1,
                  e.when.tm_mday, e.when.tm_hour, e.when.tm_min, e.when.tm_sec);
    EXPECT_EQ(line, e.where + " " + stamp + " " + e.code_text + " src:" + e.source);
}

struct hook_guard {
    ~hook_guard() { kvr_set_message_box_hook({}); kvr_set_tone_hook({}); }
};

}  // namespace

TEST(Exception, ReportNamesOperationTimeSystemTextAndSource) {
    const kvr_exception e("kvr_ms100::open(COM1)", 2, "kvr_ms100", 63);
    EXPECT_EQ(e.source, "kvr_ms100(63)");
    EXPECT_EQ(e.code_text, "[WIN32](0002)No such file or directory");
    EXPECT_EQ(e.line, 63);
    EXPECT_EQ(e.code, 2u);
    const std::regex layout(
        R"(kvr_ms100::open\(COM1\) \d\d/\d\d \d\d:\d\d:\d\d )"
        R"(\[WIN32\]\(0002\)No such file or directory src:kvr_ms100\(63\))");
    EXPECT_TRUE(std::regex_match(e.message, layout)) << e.message;
    expect_report_line(e.message, e);
    EXPECT_GT(e.when.tm_year, 100);  // a real local time, not left empty
}

TEST(Exception, CodeZeroReadsCodeEqualsZero) {
    const kvr_exception e("kvr_dccx_loconet::do_paged_read()", 0, "kvr_dccx_loconet", 7);
    EXPECT_EQ(e.code_text, "code=0");
    expect_report_line(e.message, e);
}

TEST(Exception, CodeTextIsLowerCaseHexOfAtLeastFourDigits) {
    struct {
        uint32_t code;
        const char* expected;
    } cases[] = {
        {13, "[WIN32](000d)Permission denied"},
        {0x40, "[WIN32](0040)"},        // prefix only: checked below
        {0x7fff, "[WIN32](7fff)"},      // no system text: nothing follows
        {0xdeadbeef, "[WIN32](deadbeef)"},
    };
    for (const auto& c : cases) {
        const kvr_exception e("w", c.code, "f", 1);
        if (c.code == 0x40)
            EXPECT_EQ(e.code_text.rfind(c.expected, 0), 0u) << e.code_text;
        else
            EXPECT_EQ(e.code_text, c.expected);
    }
}

TEST(Exception, WrappedReportListsOutermostFirstEachLineWithItsOwnStampAndSource) {
    const kvr_exception inner("kvr_file::open(x.log)=>fail", 2, "kvr_file", 40);
    const kvr_exception middle(inner, "kvr_ms100::open()", 0, "kvr_ms100", 120);
    const kvr_exception outer(middle, "kvr_dccx_loconet::do_paged_read()", 0x40,
                              "kvr_dccx_loconet", 300);

    EXPECT_EQ(middle.message, lines_of(middle.message)[0] + "\n" + inner.message);
    const auto lines = lines_of(outer.message);
    ASSERT_EQ(lines.size(), 3u);
    expect_report_line(lines[0], outer);
    expect_report_line(lines[1], middle);
    expect_report_line(lines[2], inner);
    // The outer exception's own fields describe only its own level.
    EXPECT_EQ(outer.where, "kvr_dccx_loconet::do_paged_read()");
    EXPECT_EQ(outer.source, "kvr_dccx_loconet(300)");
    EXPECT_EQ(outer.code, 0x40u);
}

TEST(Exception, LongLabelsAreNeverCut) {
    const std::string where(3000, 'w');
    const kvr_exception e(where, 0, "kvr_long", 1);
    EXPECT_EQ(e.message.substr(0, 3000), where);
    EXPECT_EQ(e.message.substr(e.message.size() - 15), "src:kvr_long(1)");
}

TEST(Exception, RaiseMacrosCarryTheLineAndWrapTheCaughtReport) {
    int raise_line = 0;
    try {
        try {
            raise_line = __LINE__ + 1;
            KVR_RAISE("inner()", 5, "unit");
        } catch (const kvr_exception& e) {
            KVR_RAISE_WRAPPED(e, "outer()", "unit");
        }
    } catch (const kvr_exception& e) {
        EXPECT_EQ(e.where, "outer()");
        EXPECT_EQ(e.code, 0u);
        const auto lines = lines_of(e.message);
        ASSERT_EQ(lines.size(), 2u);
        EXPECT_NE(lines[1].find("src:unit(" + std::to_string(raise_line) + ")"),
                  std::string::npos);
        return;
    }
    FAIL() << "nothing raised";
}

TEST(ExceptionShow, WithoutPrefixOrCaptionShowsLineFeedAndReportUnderTheSource) {
    hook_guard guard;
    std::string text, caption;
    kvr_icon icon = kvr_icon::information;
    int calls = 0;
    kvr_set_message_box_hook([&](const std::string& t, const std::string& c, kvr_icon i) {
        text = t;
        caption = c;
        icon = i;
        ++calls;
        return 1;
    });
    const kvr_exception e("kvr_x::op()", 0, "kvr_x", 12);
    e.show();
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(text, "\n" + e.message);
    EXPECT_EQ(caption, "kvr_x(12)");
    EXPECT_EQ(icon, kvr_icon::exclamation);

    e.show("Connect failed", "Busprobe");
    EXPECT_EQ(text, "Connect failed\n" + e.message);
    EXPECT_EQ(caption, "Busprobe");
}

TEST(Hooks, DefaultsWriteTheBoxToStandardErrorAndStaySilent) {
    hook_guard guard;
    kvr_set_message_box_hook({});
    testing::internal::CaptureStderr();
    const int button = kvr_message_box("\nreport line", "kvr_x(12)", kvr_icon::exclamation);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(button, 1);
    EXPECT_NE(err.find("kvr_x(12)"), std::string::npos);
    EXPECT_NE(err.find("report line"), std::string::npos);

    kvr_tone(1000, 0);  // the default returns at once, and without output
    unsigned got_hz = 0, got_ms = 0;
    kvr_set_tone_hook([&](unsigned hz, unsigned ms) { got_hz = hz; got_ms = ms; });
    kvr_tone(880, 150);
    EXPECT_EQ(got_hz, 880u);
    EXPECT_EQ(got_ms, 150u);
}
