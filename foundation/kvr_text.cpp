#include "foundation/kvr_text.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <memory>
#include <strings.h>
#include <time.h>

namespace {

// Outputs up to this length are formatted on the stack.
constexpr std::size_t fixed_buffer_size = 512;

// Widest text of one integer conversion: 64-bit octal with its "0" prefix is
// 23 characters, a signed decimal 20; 32 leaves room for any flag.
constexpr std::size_t max_integer_length = 32;
// Widest %e/%g/%a text beyond its precision digits: sign, lead digit, point,
// "e+4932" of a long double, hex prefix; %g may add up to four leading zeros.
constexpr std::size_t max_float_extra = 32;
constexpr int default_float_precision = 6;

enum class size_prefix { none, hh, h, l, ll, L, j, z, t };

struct conversion {
    bool left = false;
    int width = 0;
    int precision = -1;  // -1: none given
    size_prefix size = size_prefix::none;
};

// Reads a run of decimal digits, saturating instead of overflowing.
int read_number(const char*& p) {
    long v = 0;
    while (*p >= '0' && *p <= '9') {
        v = std::min<long>(v * 10 + (*p - '0'), INT_MAX);
        ++p;
    }
    return static_cast<int>(v);
}

// Size prefixes. The "I64", "I32" and "I" forms of other runtimes are not
// among them: the C library here reads 'I' as a flag (and "%I64d" as a
// field of width 64), so parse_conversion leaves such formats to the
// runtime's own count.
size_prefix read_size(const char*& p) {
    switch (*p) {
    case 'h':
        if (p[1] == 'h') { p += 2; return size_prefix::hh; }
        ++p;
        return size_prefix::h;
    case 'l':
        if (p[1] == 'l') { p += 2; return size_prefix::ll; }
        ++p;
        return size_prefix::l;
    case 'q': ++p; return size_prefix::ll;
    case 'L': ++p; return size_prefix::L;
    case 'j': ++p; return size_prefix::j;
    case 'z': ++p; return size_prefix::z;
    case 't': ++p; return size_prefix::t;
    default:
        return size_prefix::none;
    }
}

// Takes one integer argument of the given size off the list; only its
// presence matters for the bound.
void skip_integer(size_prefix size, va_list& ap) {
    switch (size) {
    case size_prefix::l: (void)va_arg(ap, long); break;
    case size_prefix::ll:
    case size_prefix::L: (void)va_arg(ap, long long); break;
    case size_prefix::j: (void)va_arg(ap, intmax_t); break;
    case size_prefix::z: (void)va_arg(ap, size_t); break;
    case size_prefix::t: (void)va_arg(ap, ptrdiff_t); break;
    default: (void)va_arg(ap, int); break;
    }
}

std::size_t string_length(const conversion& c, bool wide, va_list& ap) {
    if (wide) {
        const wchar_t* ws = va_arg(ap, const wchar_t*);
        std::size_t n = ws ? std::wcslen(ws) * MB_LEN_MAX : 6;
        return c.precision >= 0 ? std::min<std::size_t>(n, c.precision) : n;
    }
    const char* s = va_arg(ap, const char*);
    if (!s) return 6;  // "(null)"
    return c.precision >= 0 ? strnlen(s, c.precision) : std::strlen(s);
}

std::size_t float_length(const conversion& c, char kind, va_list& ap) {
    long double v = c.size == size_prefix::L ? va_arg(ap, long double) : va_arg(ap, double);
    const int precision = c.precision >= 0 ? c.precision : default_float_precision;
    if (kind == 'f' || kind == 'F') {
        // Fixed notation grows with the magnitude: measure it.
        int n = std::snprintf(nullptr, 0, "%*.*Lf", c.width, precision, v);
        return n > 0 ? static_cast<std::size_t>(n) + 1 : max_float_extra;
    }
    return static_cast<std::size_t>(precision) + max_float_extra;
}

// Bound of one conversion whose letter `kind` has been read; consumes its
// argument. Returns SIZE_MAX for a conversion this parser does not know.
std::size_t conversion_length(const conversion& c, char kind, va_list& ap) {
    std::size_t n = 0;
    switch (kind) {
    case 'd': case 'i': case 'u': case 'o': case 'x': case 'X':
        skip_integer(c.size, ap);
        n = std::max<std::size_t>(max_integer_length,
                                  static_cast<std::size_t>(std::max(c.precision, 0)) + 3);
        break;
    case 'c':
        if (c.size == size_prefix::l) { (void)va_arg(ap, wint_t); n = MB_LEN_MAX; }
        else { (void)va_arg(ap, int); n = 1; }
        break;
    case 'C': (void)va_arg(ap, wint_t); n = MB_LEN_MAX; break;
    case 's': n = string_length(c, c.size == size_prefix::l, ap); break;
    case 'S': n = string_length(c, true, ap); break;
    case 'p': (void)va_arg(ap, void*); n = max_integer_length; break;
    case 'n': (void)va_arg(ap, void*); n = 0; break;
    case 'f': case 'F': case 'e': case 'E': case 'g': case 'G': case 'a': case 'A':
        n = float_length(c, kind, ap);
        break;
    case 'm': n = 1024; break;  // glibc: strerror(errno), no argument
    default: return SIZE_MAX;
    }
    return std::max<std::size_t>(n, static_cast<std::size_t>(c.width));
}

// Parses the conversion after its '%'; leaves `p` after the conversion letter.
std::size_t parse_conversion(const char*& p, va_list& ap) {
    // The C library reads 'I' among the flags (see read_size).
    if (std::memchr(p, 'I', std::strcspn(p, "diouxXcsSCpnfFeEgGaAm%")) != nullptr)
        return SIZE_MAX;
    conversion c;
    for (;; ++p) {
        if (*p == '-') c.left = true;
        else if (*p != '+' && *p != ' ' && *p != '#' && *p != '0' && *p != '\'') break;
    }
    if (*p == '*') {
        ++p;
        int w = va_arg(ap, int);
        if (w < 0) { c.left = true; w = w == INT_MIN ? INT_MAX : -w; }
        c.width = w;
    } else {
        c.width = read_number(p);
    }
    if (*p == '$') return SIZE_MAX;  // positional arguments: not walked here
    if (*p == '.') {
        ++p;
        if (*p == '*') {
            ++p;
            int prec = va_arg(ap, int);
            c.precision = prec < 0 ? -1 : prec;
        } else {
            c.precision = read_number(p);
        }
    }
    c.size = read_size(p);
    if (*p == '\0') return SIZE_MAX;
    return conversion_length(c, *p++, ap);
}

__attribute__((format(printf, 1, 0))) std::size_t exact_length(const char* fmt, va_list ap) {
    va_list copy;
    va_copy(copy, ap);
    int n = std::vsnprintf(nullptr, 0, fmt, copy);
    va_end(copy);
    return n > 0 ? static_cast<std::size_t>(n) : 0;
}

}  // namespace

bool is_dbcs_pair(unsigned char lead, unsigned char trail) {
    const bool lead_ok = (lead >= 0x81 && lead <= 0x9F) || (lead >= 0xE0 && lead <= 0xEF);
    const bool trail_ok = (trail >= 0x40 && trail <= 0x7E) || (trail >= 0x80 && trail <= 0xFC);
    return lead_ok && trail_ok;
}

std::size_t format_length(const char* fmt, va_list ap) {
    va_list args;
    va_copy(args, ap);
    std::size_t total = 0;
    const char* p = fmt;
    while (*p) {
        const auto c0 = static_cast<unsigned char>(p[0]);
        const auto c1 = static_cast<unsigned char>(p[1]);
        if (is_dbcs_pair(c0, c1)) {
            total += 2;
            p += 2;
            continue;
        }
        if (c0 != '%') {
            ++total;
            ++p;
            continue;
        }
        ++p;
        if (*p == '%') {
            ++total;
            ++p;
            continue;
        }
        std::size_t n = parse_conversion(p, args);
        if (n == SIZE_MAX) {
            // A form this parser does not walk: let the runtime measure it.
            va_end(args);
            return exact_length(fmt, ap);
        }
        total += n;
    }
    va_end(args);
    return total;
}

std::string& string_vappendf(std::string& s, const char* fmt, va_list ap) {
    // Nearly every output is short: format straight into the fixed buffer.
    // Measuring first would walk every format twice, which is most of the
    // cost of a monitor line.
    char fixed[fixed_buffer_size + 1];
    va_list args;
    va_copy(args, ap);
    int n = std::vsnprintf(fixed, sizeof fixed, fmt, args);
    va_end(args);
    if (n < 0) return s;  // encoding error: nothing to append
    if (static_cast<std::size_t>(n) < sizeof fixed) {
        s.append(fixed, static_cast<std::size_t>(n));
        return s;
    }
    // A long output (never truncate): format into a heap buffer large
    // enough for the runtime's own count.
    std::size_t size = static_cast<std::size_t>(n) + 1;
    for (;;) {
        auto buf = std::make_unique<char[]>(size);
        va_copy(args, ap);
        n = std::vsnprintf(buf.get(), size, fmt, args);
        va_end(args);
        if (n < 0) return s;
        if (static_cast<std::size_t>(n) < size) {
            s.append(buf.get(), static_cast<std::size_t>(n));
            return s;
        }
        size = static_cast<std::size_t>(n) + 1;
    }
}

std::string& string_appendf(std::string& s, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    string_vappendf(s, fmt, ap);
    va_end(ap);
    return s;
}

std::string& crlf_to_lf(std::string& s) {
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\r' && i + 1 < s.size() && s[i + 1] == '\n') continue;
        out += s[i];
    }
    s.swap(out);
    return s;
}

std::string& replace_bare_lf(std::string& s, const std::string& replacement) {
    // Whether an LF is bare is judged on the original text, so a replacement
    // ending in CR does not shelter the next LF.
    std::string out;
    out.reserve(s.size());
    char prev = '\0';
    for (char c : s) {
        if (c == '\n' && prev != '\r')
            out += replacement;
        else
            out += c;
        prev = c;
    }
    s.swap(out);
    return s;
}

std::string& replace_all(std::string& s, const std::string& what, const std::string& replacement) {
    if (what.empty()) return s;
    std::size_t pos = 0;
    while ((pos = s.find(what, pos)) != std::string::npos) {
        s.replace(pos, what.size(), replacement);
        pos += replacement.size();
    }
    return s;
}

long parse_bit_text(const std::string& s) {
    std::string bits;
    for (char c : s)
        if (c == '0' || c == '1') bits += c;
    return std::strtol(bits.c_str(), nullptr, 2);
}

std::tm kvr_datetime::now() {
    std::time_t t = std::time(nullptr);
    std::tm out{};
    localtime_r(&t, &out);
    return out;
}

char* kvr_datetime::format(const std::tm& t, const char* name, char* out) {
    // The caller's buffer is only promised 20 characters: format in a local
    // buffer wide enough for any field values and copy at most 19 of them.
    constexpr std::size_t out_size = 20;
    out[0] = '\0';
    if (t.tm_year == 0 && t.tm_yday == 0) return out;  // an empty time
    const int year = t.tm_year + 1900;
    const int month = t.tm_mon + 1;
    if (!name) name = "";
    char buf[96];
    if (strcasecmp(name, "yyyy/mm/dd") == 0)
        std::snprintf(buf, sizeof buf, "%04d/%02d/%02d", year, month, t.tm_mday);
    else if (strcasecmp(name, "yyyymmdd") == 0)
        std::snprintf(buf, sizeof buf, "%04d%02d%02d", year, month, t.tm_mday);
    else if (strcasecmp(name, "yyyy.mm.dd") == 0)
        std::snprintf(buf, sizeof buf, "%04d.%02d.%02d", year, month, t.tm_mday);
    else if (strcasecmp(name, "yyyy-mm-dd hh:mm:ss") == 0)
        std::snprintf(buf, sizeof buf, "%04d/%02d/%02d %02d:%02d:%02d", year, month, t.tm_mday,
                      t.tm_hour, t.tm_min, t.tm_sec);
    else if (strcasecmp(name, "hh:mm:ss") == 0)
        std::snprintf(buf, sizeof buf, "%d:%d:%d", t.tm_hour, t.tm_min, t.tm_sec);
    else
        std::snprintf(buf, sizeof buf, "%s", "invalid param!!!");
    const std::size_t n = std::min(std::strlen(buf), out_size - 1);
    std::memcpy(out, buf, n);
    out[n] = '\0';
    return out;
}

char* kvr_time_of_day(int64_t local_ms, char* out) {
    constexpr int64_t ms_per_day = 24 * 3600 * 1000;
    int64_t day_ms = local_ms % ms_per_day;
    if (day_ms < 0) day_ms += ms_per_day;
    const auto ms = static_cast<int>(day_ms % 1000);
    const auto s = static_cast<int>(day_ms / 1000 % 60);
    const auto m = static_cast<int>(day_ms / 60000 % 60);
    const auto h = static_cast<int>(day_ms / 3600000);
    const char text[] = {static_cast<char>('0' + h / 10),  static_cast<char>('0' + h % 10),
                         ':',
                         static_cast<char>('0' + m / 10),  static_cast<char>('0' + m % 10),
                         ':',
                         static_cast<char>('0' + s / 10),  static_cast<char>('0' + s % 10),
                         '.',
                         static_cast<char>('0' + ms / 100), static_cast<char>('0' + ms / 10 % 10),
                         static_cast<char>('0' + ms % 10),  '\0'};
    static_assert(sizeof text == kvr_time_of_day_size);
    std::memcpy(out, text, sizeof text);
    return out;
}

int64_t kvr_local_ms_of_day(std::time_t seconds, unsigned millis) {
    std::tm local{};
    localtime_r(&seconds, &local);
    return ((local.tm_hour * 60 + local.tm_min) * 60 + local.tm_sec) * int64_t{1000} + millis;
}

std::string kvr_datetime::format(const std::tm& t, const char* name) {
    char buf[20];
    return format(t, name, buf);
}

std::optional<uint64_t> kvr_parse_number(std::string_view text, kvr_number_form form, uint64_t max) {
    unsigned base = form == kvr_number_form::hex ? 16 : 10;
    if (form != kvr_number_form::decimal && text.size() > 2 && text[0] == '0' &&
        (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    if (text.empty()) return std::nullopt;
    uint64_t n = 0;
    for (char ch : text) {
        unsigned d;
        if (ch >= '0' && ch <= '9') d = static_cast<unsigned>(ch - '0');
        else if (base == 16 && ch >= 'a' && ch <= 'f') d = static_cast<unsigned>(ch - 'a' + 10);
        else if (base == 16 && ch >= 'A' && ch <= 'F') d = static_cast<unsigned>(ch - 'A' + 10);
        else return std::nullopt;
        if (d > max || n > (max - d) / base) return std::nullopt;  // above max; never wraps
        n = n * base + d;
    }
    return n;
}
