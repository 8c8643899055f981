#include <gtest/gtest.h>

#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>

#include "foundation/kvr_text.h"

namespace {

// The bound format_length gives and the length the C library actually
// produces, for one format and its arguments.
struct measured {
    std::size_t bound;
    std::size_t real;
    std::string appended;
    std::string expected;
};

measured measure(const char* fmt, ...) {
    measured m{};
    va_list ap;
    va_start(ap, fmt);
    va_list a1, a2, a3;
    va_copy(a1, ap);
    va_copy(a2, ap);
    va_copy(a3, ap);
    m.bound = format_length(fmt, a1);
    const int n = std::vsnprintf(nullptr, 0, fmt, a2);
    m.real = n > 0 ? static_cast<std::size_t>(n) : 0;
    m.expected.resize(m.real + 1);
    std::vsnprintf(m.expected.data(), m.expected.size(), fmt, a3);
    m.expected.resize(m.real);
    m.appended = "pre:";
    string_vappendf(m.appended, fmt, ap);
    va_end(a1);
    va_end(a2);
    va_end(a3);
    va_end(ap);
    return m;
}

void expect_sound(const measured& m, const std::string& fmt) {
    EXPECT_GE(m.bound, m.real) << "format: " << fmt;
    EXPECT_EQ(m.appended, "pre:" + m.expected) << "format: " << fmt;
}

}  // namespace

TEST(StringAppendf, AppendsToWhatIsThere) {
    std::string s = "slot ";
    EXPECT_EQ(&string_appendf(s, "%d=%02X %s", 124, 0x2f, "busy"), &s);
    EXPECT_EQ(s, "slot 124=2F busy");
}

TEST(StringAppendf, OutputsPastTheFixedBufferAreWhole) {
    for (std::size_t len : {511u, 512u, 513u, 600u, 5000u, 100000u}) {
        const std::string arg(len, 'x');
        std::string s = "<";
        string_appendf(s, "%s>", arg.c_str());
        EXPECT_EQ(s, "<" + arg + ">") << len;
    }
    // Many short conversions adding up past 512 characters.
    std::string s, expected;
    std::string fmt;
    for (int i = 0; i < 100; ++i) expected += "0123456789";
    string_appendf(s, "%s%s%s%s%s%s%s%s%s%s", expected.substr(0, 100).c_str(),
                   expected.substr(0, 100).c_str(), expected.substr(0, 100).c_str(),
                   expected.substr(0, 100).c_str(), expected.substr(0, 100).c_str(),
                   expected.substr(0, 100).c_str(), expected.substr(0, 100).c_str(),
                   expected.substr(0, 100).c_str(), expected.substr(0, 100).c_str(),
                   expected.substr(0, 100).c_str());
    EXPECT_EQ(s, expected);
}

TEST(FormatLength, BoundsEveryConversionKind) {
    // Wide fields, huge fixed-point values and every size prefix: the bound is
    // never below the formatted length and the appended text is exact.
    expect_sound(measure("%d|%i|%u", INT_MIN, INT_MAX, UINT_MAX), "ints");
    expect_sound(measure("%lld|%llo|%#llx|%#llX", LLONG_MIN, ULLONG_MAX, ULLONG_MAX, ULLONG_MAX),
                 "long long");
    expect_sound(measure("%hhd|%hd|%ld|%jd|%zu|%td", 200, 70000, LONG_MIN, INTMAX_MIN,
                         SIZE_MAX, PTRDIFF_MIN),
                 "sizes");
    expect_sound(measure("%+0300.200d|%-*d|%*d", 5, 400, 1, -350, 2), "width and precision");
    expect_sound(measure("%.*d|%.*s", 600, 7, -1, "all of it"), "star precision");
    expect_sound(measure("%f|%.0f|%.20f", 1e308, -1e300, 0.1), "fixed");
    expect_sound(measure("%Lf|%Le|%LG", 1e4000L, -1e-4000L, 1e4000L), "long double");
    expect_sound(measure("%e|%.500e|%g|%#.300g|%a|%A", -1e-308, 1.0 / 3, 1e-5, 1e299, 1e308,
                         -0.1),
                 "exponent forms");
    expect_sound(measure("%f %e %g", 1.0 / 0.0, -0.0 / 0.0, 0.0), "inf and nan");
    expect_sound(measure("%c%5c%-3c|%p|%p|%%|%s", 'a', 'b', 'c', static_cast<void*>(nullptr),
                         reinterpret_cast<void*>(~static_cast<uintptr_t>(0)),
                         static_cast<const char*>(nullptr)),
                 "chars and pointers");
    expect_sound(measure("%.3s|%10.2s|%ls|%lc", "abcdef", "xyz", L"wide", static_cast<wint_t>(L'w')),
                 "strings");
    expect_sound(measure("%1$s %1$s %2$d", "twice", 3), "positional");
    // The C library reads 'I' as a flag: "%I64d" is a field 64 wide.
    expect_sound(measure("%I64d|%Id", 5, 6), "I flag");
}

TEST(FormatLength, StepsOverShiftJisPairs) {
    // "\x82\xa0" is a hiragana pair; 0x81 before '%' is not a pair (0x25 is
    // not a trail byte), so the conversion after it is still seen.
    expect_sound(measure("\x82\xa0\x82\xa2%d\x83\x5c%s", 12345, "\x93\xfa\x96\x7b"), "pairs");
    expect_sound(measure("\x81%s\x81", "lead bytes around a conversion"), "lone leads");
    expect_sound(measure("\xb1\xb2%d\xdf", -7), "half-width katakana");
    expect_sound(measure("%s\x82", std::string(700, '\x82').c_str()), "lead at the end");
    const measured m = measure("\x82\xa0%%\x82\xa0");
    EXPECT_EQ(m.appended, "pre:\x82\xa0%\x82\xa0");
}

TEST(FormatLength, BoundHoldsOverManyGeneratedFormats) {
    // Property check: random literal text (ASCII, Shift-JIS pairs, lone lead
    // and katakana bytes) around one random conversion with random flags,
    // width and precision (given or taken from the arguments).
    std::mt19937 rng(20040524);
    const char* literals[] = {"", "abc", "\x82\xa0", "\x81", "\xe0\x40", "\xb1", " ", "\x83\x5c"};
    const char convs[] = {'d', 'i', 'u', 'o', 'x', 'X', 'c', 's', 'f', 'e', 'g', 'G', 'a', 'p'};
    const char* flags[] = {"", "-", "+", " ", "#", "0", "-+", "0#", "'"};
    const char* sizes_int[] = {"", "h", "hh", "l", "ll", "j", "z", "t"};
    const std::string long_text(900, 'q');
    for (int iter = 0; iter < 20000; ++iter) {
        const char conv = convs[rng() % sizeof convs];
        std::string fmt = literals[rng() % 8];
        fmt += '%';
        if (conv != 'p' && conv != 'c' && conv != 's') fmt += flags[rng() % 9];
        else if (rng() % 2) fmt += '-';
        const bool star_width = rng() % 5 == 0;
        const bool star_prec = conv != 'c' && conv != 'p' && rng() % 5 == 0;
        const int width = static_cast<int>(rng() % 700) - 100;
        const int prec = static_cast<int>(rng() % 700) - 100;
        if (star_width) fmt += '*';
        else if (rng() % 2) fmt += std::to_string(std::abs(width));
        if (star_prec) fmt += ".*";
        else if (conv != 'c' && conv != 'p' && rng() % 2) fmt += "." + std::to_string(std::abs(prec));
        const bool is_int = std::strchr("diuoxX", conv) != nullptr;
        const char* size = is_int ? sizes_int[rng() % 8] : "";
        if (!is_int && std::strchr("feEgGa", conv) && rng() % 3 == 0) size = "L";
        fmt += size;
        fmt += conv;
        fmt += literals[rng() % 8];

        const uint64_t bits = (static_cast<uint64_t>(rng()) << 32) | rng();
        const long long iv = static_cast<long long>(bits >> (rng() % 64));
        const double dv = std::ldexp(static_cast<double>(rng()) / 4294967296.0,
                                     static_cast<int>(rng() % 2000) - 1000) *
                          (rng() % 2 ? -1 : 1);
        const char* sv = rng() % 4 == 0 ? long_text.c_str() : "\x93\xfa\x96\x7b text";
        const int w = star_width ? width : 0;
        const int p = star_prec ? prec : 0;
        measured m{};
        // Arguments in the order the format takes them: width, precision, value.
        auto call = [&](auto value) {
            if (star_width && star_prec) m = measure(fmt.c_str(), w, p, value);
            else if (star_width) m = measure(fmt.c_str(), w, value);
            else if (star_prec) m = measure(fmt.c_str(), p, value);
            else m = measure(fmt.c_str(), value);
        };
        const std::string sz = size;
        if (is_int) {
            if (sz == "l") call(static_cast<long>(iv));
            else if (sz == "ll") call(iv);
            else if (sz == "j") call(static_cast<intmax_t>(iv));
            else if (sz == "z") call(static_cast<size_t>(iv));
            else if (sz == "t") call(static_cast<ptrdiff_t>(iv));
            else call(static_cast<int>(iv));
        } else if (conv == 'c') {
            call(static_cast<int>('A' + rng() % 26));
        } else if (conv == 's') {
            call(sv);
        } else if (conv == 'p') {
            call(reinterpret_cast<void*>(static_cast<uintptr_t>(iv)));
        } else if (sz == "L") {
            call(static_cast<long double>(dv) * 1e300L);
        } else {
            call(dv);
        }
        ASSERT_GE(m.bound, m.real) << "format: " << fmt;
        ASSERT_EQ(m.appended, "pre:" + m.expected) << "format: " << fmt;
    }
}

TEST(TextReplace, CrLfBecomesLfAndLoneEndsStay) {
    struct {
        const char* in;
        const char* out;
    } cases[] = {
        {"\r\r\n", "\r\n"},
        {"a\r\nb\nc\r", "a\nb\nc\r"},
        {"\r\n\r\n", "\n\n"},
        {"\n\r", "\n\r"},
        {"", ""},
    };
    for (const auto& c : cases) {
        std::string s = c.in;
        EXPECT_EQ(crlf_to_lf(s), c.out);
    }
}

TEST(TextReplace, BareLineFeedsOnlyAndTheReplacementIsNotRescanned) {
    struct {
        const char* in;
        const char* with;
        const char* out;
    } cases[] = {
        {"A\n\nB", " ", "A  B"},
        {"A\r\nB", " ", "A\r\nB"},
        {"\nA\r\n\nB\n", "|", "|A\r\n|B|"},
        {"a\nb", "\n\n", "a\n\nb"},   // inserted LFs are not replaced again
        {"a\nb", "", "ab"},
    };
    for (const auto& c : cases) {
        std::string s = c.in;
        EXPECT_EQ(replace_bare_lf(s, c.with), c.out) << c.in;
    }
}

TEST(TextReplace, ReplaceAllResumesAfterTheInsertedText) {
    struct {
        const char* in;
        const char* what;
        const char* with;
        const char* out;
    } cases[] = {
        {"\\\\n", "\\n", "\n", "\\\n"},  // backslash backslash n -> backslash LF
        {"aaa", "a", "aa", "aaaaaa"},
        {"aaa", "aa", "b", "ba"},
        {"abab", "ab", "b", "bb"},
        {"x\\ry\\r", "\\r", "\r", "x\ry\r"},
        {"none", "z", "y", "none"},
    };
    for (const auto& c : cases) {
        std::string s = c.in;
        EXPECT_EQ(replace_all(s, c.what, c.with), c.out) << c.in;
    }
    std::string s = "keep";
    EXPECT_EQ(replace_all(s, "", "x"), "keep");  // empty `what`: nothing to find
}

TEST(Text, ShiftJisPairBoundaries) {
    struct {
        unsigned char lead, trail;
        bool pair;
    } cases[] = {
        {0x81, 0x40, true},  {0x9F, 0xFC, true},  {0xE0, 0x7E, true},  {0xEF, 0x80, true},
        {0x80, 0x40, false}, {0xA0, 0x40, false}, {0xDF, 0x40, false}, {0xF0, 0x40, false},
        {0x81, 0x3F, false}, {0x81, 0x7F, false}, {0x81, 0xFD, false}, {0x00, 0x40, false},
        {0x41, 0x41, false}, {0xB1, 0x81, false}, {0x82, 0x00, false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(is_dbcs_pair(c.lead, c.trail), c.pair)
            << std::hex << int(c.lead) << " " << int(c.trail);
}

TEST(Text, ParseBitTextKeepsOnlyZerosAndOnes) {
    struct {
        const char* in;
        long value;
    } cases[] = {
        {"11100.000", 224}, {"", 0},        {"abc", 0},        {"1 0 1", 5},
        {"2101", 5},        {"00000001", 1}, {"11111111", 255}, {"1x1y1z", 7},
    };
    for (const auto& c : cases) EXPECT_EQ(parse_bit_text(c.in), c.value) << c.in;
    EXPECT_EQ(parse_bit_text(std::string(63, '1')), LONG_MAX);
}

TEST(DateTime, EveryNamedFormatInAnyCase) {
    std::tm t{};
    t.tm_year = 104;
    t.tm_mon = 4;
    t.tm_mday = 24;
    t.tm_hour = 9;
    t.tm_min = 5;
    t.tm_sec = 3;
    t.tm_yday = 144;
    struct {
        const char* name;
        const char* out;
    } cases[] = {
        {"yyyy/mm/dd", "2004/05/24"},
        {"YYYY/MM/DD", "2004/05/24"},
        {"yyyymmdd", "20040524"},
        {"yyyy.mm.dd", "2004.05.24"},
        {"yyyy-mm-dd hh:mm:ss", "2004/05/24 09:05:03"},
        {"YYYY-MM-DD HH:MM:SS", "2004/05/24 09:05:03"},
        {"hh:mm:ss", "9:5:3"},
        {"HH:MM:SS", "9:5:3"},
        {"yyyy-mm-dd", "invalid param!!!"},
        {"", "invalid param!!!"},
    };
    for (const auto& c : cases) {
        char out[20];
        EXPECT_STREQ(kvr_datetime::format(t, c.name, out), c.out) << c.name;
        EXPECT_EQ(kvr_datetime::format(t, c.name), c.out) << c.name;
    }
}

TEST(DateTime, EmptyTimeWritesNothing) {
    std::tm empty{};
    empty.tm_hour = 13;  // only years and day of year decide
    for (const char* name : {"yyyymmdd", "hh:mm:ss", "bogus"})
        EXPECT_EQ(kvr_datetime::format(empty, name), "") << name;
    std::tm jan1_1900_is_empty_but_feb_is_not{};
    jan1_1900_is_empty_but_feb_is_not.tm_yday = 31;
    jan1_1900_is_empty_but_feb_is_not.tm_mon = 1;
    jan1_1900_is_empty_but_feb_is_not.tm_mday = 1;
    EXPECT_EQ(kvr_datetime::format(jan1_1900_is_empty_but_feb_is_not, "yyyymmdd"), "19000201");
}

TEST(DateTime, OutOfRangeFieldsNeverOverrunTheTwentyCharacterBuffer) {
    std::tm t{};
    t.tm_year = INT_MAX - 1900;
    t.tm_mon = INT_MAX - 1;
    t.tm_mday = INT_MIN;
    t.tm_hour = INT_MIN;
    char out[24];
    std::memset(out, '#', sizeof out);
    kvr_datetime::format(t, "yyyy-mm-dd hh:mm:ss", out);
    EXPECT_EQ(std::strlen(out), 19u);
    for (std::size_t i = 20; i < sizeof out; ++i) EXPECT_EQ(out[i], '#');
}

TEST(DateTime, NowIsTheLocalTime) {
    const std::time_t before = std::time(nullptr);
    const std::tm t = kvr_datetime::now();
    std::tm copy = t;
    const std::time_t back = std::mktime(&copy);
    EXPECT_LE(std::abs(static_cast<long>(back - before)), 2L);
    EXPECT_EQ(t.tm_yday, copy.tm_yday);
}
