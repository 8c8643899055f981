#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "foundation/kvr_exception.h"
#include "foundation/kvr_hooks.h"

namespace {

// "where MM/DD hh:mm:ss <code_text> src:<source>", the stamp taken from `e`.
std::string report_line(const kvr_exception& e) {
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%02d/%02d %02d:%02d:%02d", e.when.tm_mon + 1,
                  e.when.tm_mday, e.when.tm_hour, e.when.tm_min, e.when.tm_sec);
    return e.where + " " + stamp + " " + e.code_text + " src:" + e.source;
}

}  // namespace

TEST(Exception, ReportLineAndCodeTexts) {
    const kvr_exception e("kvr_ms100::open(COM1)", 2, "kvr_ms100", 63);
    EXPECT_EQ(e.source, "kvr_ms100(63)");
    EXPECT_EQ(e.code_text, "[WIN32](0002)No such file or directory");
    EXPECT_EQ(e.message, report_line(e));
    EXPECT_GT(e.when.tm_year, 100);  // a real local time, not left empty

    const struct {
        uint32_t code;
        const char* text;
    } cases[] = {
        {0, "code=0"}, {13, "[WIN32](000d)Permission denied"},
        {0x7fff, "[WIN32](7fff)"}, {0xdeadbeef, "[WIN32](deadbeef)"},  // no system text: nothing follows
    };
    for (const auto& c : cases) EXPECT_EQ(kvr_exception("w", c.code, "f", 1).code_text, c.text);
}

TEST(Exception, WrappedReportListsOutermostFirstEachLineWithItsOwnStampAndSource) {
    const kvr_exception inner("kvr_file::open(x.log)=>fail", 2, "kvr_file", 40);
    const kvr_exception middle(inner, "kvr_ms100::open()", 0, "kvr_ms100", 120);
    const kvr_exception outer(middle, "kvr_dccx_loconet::do_paged_read()", 0x40,
                              "kvr_dccx_loconet", 300);
    EXPECT_EQ(outer.message, report_line(outer) + "\n" + report_line(middle) + "\n" + report_line(inner));
    EXPECT_EQ(outer.source, "kvr_dccx_loconet(300)");

    const std::string long_where(3000, 'w');  // labels are never cut
    EXPECT_EQ(kvr_exception(long_where, 0, "f", 1).message.substr(0, 3000), long_where);
}

TEST(ExceptionShow, BoxTextCaptionAndIconAndTheDefaultHook) {
    std::string text, caption;
    kvr_icon icon = kvr_icon::information;
    kvr_set_message_box_hook([&](const std::string& t, const std::string& c, kvr_icon i) {
        text = t;
        caption = c;
        icon = i;
        return 1;
    });
    const kvr_exception e("kvr_x::op()", 0, "kvr_x", 12);
    e.show();
    EXPECT_EQ(text, "\n" + e.message);
    EXPECT_EQ(caption, "kvr_x(12)");
    EXPECT_EQ(icon, kvr_icon::exclamation);
    e.show("Connect failed", "Busprobe");
    EXPECT_EQ(text, "Connect failed\n" + e.message);
    EXPECT_EQ(caption, "Busprobe");

    kvr_set_message_box_hook({});  // the default: the box goes to standard error
    testing::internal::CaptureStderr();
    EXPECT_EQ(kvr_message_box("\nreport line", "kvr_x(12)", kvr_icon::exclamation), 1);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("kvr_x(12)"), std::string::npos);
    EXPECT_NE(err.find("report line"), std::string::npos);
}
