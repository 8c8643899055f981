#include <gtest/gtest.h>

#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "foundation/kvr_text.h"

// The dates below name only the std::tm fields that matter; the rest are zero.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace {

// Checks, for one format and its arguments, that format_length's bound is not
// below the real length and that string_vappendf appends exactly that text.
void expect_sound(const char* fmt, ...) {
    va_list ap, a1, a2;
    va_start(ap, fmt);
    va_copy(a1, ap);
    va_copy(a2, ap);
    const std::size_t bound = format_length(fmt, a1);
    std::string expected(std::size_t(std::vsnprintf(nullptr, 0, fmt, a2)) + 1, '\0');
    expected.resize(std::size_t(std::vsnprintf(expected.data(), expected.size(), fmt, ap)));
    va_end(ap);
    va_start(ap, fmt);
    std::string appended = "pre:";
    string_vappendf(appended, fmt, ap);
    va_end(ap), va_end(a1), va_end(a2);
    EXPECT_GE(bound, expected.size()) << fmt;
    EXPECT_EQ(appended, "pre:" + expected) << fmt;
}

}  // namespace

TEST(StringAppendf, AppendsAndOutputsPastTheFixedBufferAreWhole) {
    std::string s = "slot ";
    EXPECT_EQ(&string_appendf(s, "%d=%02X %s", 124, 0x2f, "busy"), &s);
    EXPECT_EQ(s, "slot 124=2F busy");
    for (std::size_t len : {512u, 513u, 100000u}) {
        const std::string arg(len, 'x');
        std::string t = "<";
        string_appendf(t, "%s>", arg.c_str());
        EXPECT_EQ(t, "<" + arg + ">") << len;
    }
    const std::string part(100, 'p');  // many short conversions adding up past 512
    std::string t;
    string_appendf(t, "%s%s%s%s%s%s", part.c_str(), part.c_str(), part.c_str(), part.c_str(),
                   part.c_str(), part.c_str());
    EXPECT_EQ(t, std::string(600, 'p'));
}

TEST(FormatLength, BoundsEveryConversionKind) {
    expect_sound("%d|%i|%u|%lld|%#llx|%hhd|%zu|%jd", INT_MIN, INT_MAX, UINT_MAX, LLONG_MIN,
                 ULLONG_MAX, 200, SIZE_MAX, INTMAX_MIN);
    expect_sound("%+0300.200d|%-*d|%.*d|%.*s", 5, 400, 1, 600, 7, -1, "all of it");
    expect_sound("%f|%.20f|%Lf|%Le", 1e308, 0.1, 1e4000L, -1e-4000L);
    expect_sound("%.500e|%#.300g|%a|%f %e", 1.0 / 3, 1e299, 1e308, 1.0 / 0.0, -0.0 / 0.0);
    expect_sound("%c%5c|%p|%%|%s|%.3s|%ls", 'a', 'b', static_cast<void*>(nullptr),
                 static_cast<const char*>(nullptr), "abcdef", L"wide");
    expect_sound("%1$s %1$s %2$d", "twice", 3);
    expect_sound("%I64d|%Id", 5, 6);  // glibc reads 'I' as a flag: a field 64 wide
    // Shift-JIS pairs are stepped over; 0x81 before '%' is no pair (0x25 is
    // not a trail byte), so the conversion after it still counts.
    expect_sound("\x82\xa0\x82\xa2%d\x83\x5c%s", 12345, "\x93\xfa\x96\x7b");
    expect_sound("\x81%s\x81", std::string(600, 'l').c_str());
    expect_sound("%s\x82", std::string(700, '\x82').c_str());
}

TEST(TextReplace, ResumeRulesOfTheThreeReplacers) {
    std::string crlf = "\r\r\n", mixed = "a\r\nb\nc\r";
    EXPECT_EQ(crlf_to_lf(crlf), "\r\n");
    EXPECT_EQ(crlf_to_lf(mixed), "a\nb\nc\r");
    const struct {
        const char* in;
        const char* what;  // null: replace_bare_lf
        const char* with;
        const char* out;
    } cases[] = {
        {"\nA\r\n\nB\n", nullptr, "|", "|A\r\n|B|"},
        {"a\nb", nullptr, "\n\n", "a\n\nb"},  // inserted LFs are not replaced again
        {"\\\\n", "\\n", "\n", "\\\n"},       // backslash backslash n -> backslash LF
        {"aaa", "a", "aa", "aaaaaa"},
        {"keep", "", "x", "keep"},            // empty `what`: nothing to find
    };
    for (const auto& c : cases) {
        std::string s = c.in;
        EXPECT_EQ(c.what ? replace_all(s, c.what, c.with) : replace_bare_lf(s, c.with), c.out)
            << c.in;
    }
}

TEST(Text, ShiftJisPairsAndBitText) {
    const struct {
        unsigned char lead, trail;
        bool pair;
    } pairs[] = {
        {0x81, 0x40, true},  {0x9F, 0xFC, true},  {0xE0, 0x7E, true},  {0xEF, 0x80, true},
        {0x80, 0x40, false}, {0xA0, 0x40, false}, {0xF0, 0x40, false}, {0x81, 0x7F, false},
    };
    for (const auto& c : pairs)
        EXPECT_EQ(is_dbcs_pair(c.lead, c.trail), c.pair) << int(c.lead) << " " << int(c.trail);

    const struct {
        const char* in;
        long value;
    } bits[] = {{"11100.000", 224}, {"", 0}, {"abc", 0}, {"2101", 5}, {"1x1y1z", 7}};
    for (const auto& c : bits) EXPECT_EQ(parse_bit_text(c.in), c.value) << c.in;
    EXPECT_EQ(parse_bit_text(std::string(63, '1')), LONG_MAX);
}

TEST(DateTime, EveryNamedFormatInAnyCase) {
    const std::tm t{.tm_sec = 3, .tm_min = 5, .tm_hour = 9, .tm_mday = 24, .tm_mon = 4, .tm_year = 104, .tm_yday = 144};
    const struct {
        const char* name;
        const char* out;
    } cases[] = {
        {"yyyy/mm/dd", "2004/05/24"}, {"YYYY/MM/DD", "2004/05/24"}, {"yyyymmdd", "20040524"},
        {"yyyy.mm.dd", "2004.05.24"}, {"yyyy-mm-dd hh:mm:ss", "2004/05/24 09:05:03"}, {"HH:MM:SS", "9:5:3"},
        {"yyyy-mm-dd", "invalid param!!!"},
    };
    for (const auto& c : cases) {
        char out[20];
        EXPECT_STREQ(kvr_datetime::format(t, c.name, out), c.out) << c.name;
    }
    // Only the year and the day of the year decide whether a time is set.
    EXPECT_EQ(kvr_datetime::format(std::tm{.tm_hour = 13}, "hh:mm:ss"), "");
    EXPECT_EQ(kvr_datetime::format(std::tm{.tm_mday = 1, .tm_mon = 1, .tm_yday = 31}, "yyyymmdd"), "19000201");
}

TEST(DateTime, OutOfRangeFieldsNeverOverrunTheTwentyCharacterBuffer) {
    const std::tm t{.tm_hour = INT_MIN, .tm_mday = INT_MIN, .tm_mon = INT_MAX - 1, .tm_year = INT_MAX - 1900};
    char out[24];
    std::memset(out, '#', sizeof out);
    kvr_datetime::format(t, "yyyy-mm-dd hh:mm:ss", out);
    EXPECT_EQ(std::strlen(out), 19u);
    for (std::size_t i = 20; i < sizeof out; ++i) EXPECT_EQ(out[i], '#');
}

TEST(DateTime, TimeOfDayFromLocalMilliseconds) {
    constexpr int64_t day = 24 * 3600 * 1000;
    const struct {
        int64_t local_ms;
        const char* out;
    } cases[] = {
        {((13 * 60 + 5) * 60 + 9) * 1000 + 123, "13:05:09.123"},
        {0, "00:00:00.000"},
        {day - 1, "23:59:59.999"},
        {day * 20000 + 7, "00:00:00.007"},  // whole days since the epoch drop away
        {-1, "23:59:59.999"},               // before the epoch: back from midnight
        {-day * 3 - 1000, "23:59:59.000"},
    };
    for (const auto& c : cases) {
        char out[kvr_time_of_day_size];
        EXPECT_STREQ(kvr_time_of_day(c.local_ms, out), c.out) << c.local_ms;
    }
}
