#pragma once
// Small text and local-time routines. Text is handled as bytes (Shift-JIS
// pairs are recognised where lengths are estimated); nothing here converts
// code pages.

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>

// Appends the printf-formatted output to `s` and returns `s`. No length limit:
// outputs up to 512 characters use a fixed buffer, longer ones a heap buffer
// sized from the formatter's own count.
std::string& string_appendf(std::string& s, const char* fmt, ...)
    __attribute__((format(printf, 2, 3)));
std::string& string_vappendf(std::string& s, const char* fmt, va_list ap)
    __attribute__((format(printf, 2, 0)));

// Upper bound of the formatted length, computed from the format and its
// arguments before formatting (two-pass formatter style).
std::size_t format_length(const char* fmt, va_list ap) __attribute__((format(printf, 1, 0)));

// CR LF -> LF; a lone CR or LF stays. In place.
std::string& crlf_to_lf(std::string& s);
// Every LF not directly after a CR becomes `replacement`; the search resumes
// after the inserted text and after the LF of a CR LF. In place.
std::string& replace_bare_lf(std::string& s, const std::string& replacement);
// Every occurrence of `what` (not empty), left to right, never rescanning an
// inserted replacement. In place.
std::string& replace_all(std::string& s, const std::string& what, const std::string& replacement);
// Shift-JIS double-byte pair: lead 0x81-0x9F or 0xE0-0xEF, trail 0x40-0x7E or 0x80-0xFC.
bool is_dbcs_pair(unsigned char lead, unsigned char trail);
// Keeps only '0' and '1' and reads them as base 2: "11100.000" -> 224; none -> 0.
long parse_bit_text(const std::string& s);

// Local broken-down time and its named text formats.
struct kvr_datetime {
    static std::tm now();
    // Writes into `out` (at least 20 characters) and returns it. Names, any case:
    // "yyyy/mm/dd", "yyyymmdd", "yyyy.mm.dd", "yyyy-mm-dd hh:mm:ss" (prints
    // slashes), "hh:mm:ss" (no leading zeros); any other: "invalid param!!!".
    // An empty time (tm_year and tm_yday both 0) writes nothing.
    static char* format(const std::tm& t, const char* name, char* out);
    static std::string format(const std::tm& t, const char* name);
};

// "HH:MM:SS.mmm", the time of day the monitor stamps its lines with, of
// `local_ms`: milliseconds of local time, counted from the epoch or from
// midnight (whole days are dropped; a count below zero runs back from
// midnight). 13:05:09.123 -> "13:05:09.123". Writes 12 characters and a NUL
// into `out` (kvr_time_of_day_size) and returns it.
constexpr std::size_t kvr_time_of_day_size = 13;
char* kvr_time_of_day(int64_t local_ms, char* out);
// Milliseconds since local midnight of `seconds` since the epoch plus `millis`.
int64_t kvr_local_ms_of_day(std::time_t seconds, unsigned millis);

// Strict unsigned number: the whole text and nothing else, no sign, blank or
// suffix. `decimal_or_hex` reads a 0x or 0X prefix as hexadecimal; `hex`
// reads hexadecimal digits with or without that prefix. Empty when the text
// is not such a number or its value is above `max`.
enum class kvr_number_form { decimal, decimal_or_hex, hex };
std::optional<uint64_t> kvr_parse_number(std::string_view text, kvr_number_form form,
                                         uint64_t max = UINT64_MAX);
