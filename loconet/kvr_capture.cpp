#include "loconet/kvr_capture.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>

#include "loconet/kvr_hex_text.h"

namespace {

constexpr char hex_digits[] = "0123456789ABCDEF";
// Twelve digits (beyond the year 30000) keep seconds * 1000000 inside
// int64_t, so time differences in microseconds cannot overflow.
constexpr int max_second_digits = 12;
constexpr int micro_digits = 6;

constexpr const char* header =
    "# Busprobe capture: (receive time, seconds.microseconds since the epoch) message bytes\n";

bool is_blank(char c) { return c == ' ' || c == '\t'; }

void append_decimal(std::string& out, uint64_t value, int min_digits) {
    char digits[24];
    int n = 0;
    do {
        digits[n++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (n < min_digits) digits[n++] = '0';
    while (n > 0) out.push_back(digits[--n]);
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && (is_blank(s.front()))) s.remove_prefix(1);
    while (!s.empty() && (is_blank(s.back()) || s.back() == '\r')) s.remove_suffix(1);
    return s;
}

// "(<digits>.<1-6 digits>)" at the front of `s`; consumes it. Null or a reason.
const char* parse_stamp(std::string_view& s, kvr_capture_time& time) {
    if (s.empty() || s.front() != '(') return "missing time stamp";
    std::size_t i = 1;
    uint64_t seconds = 0;
    int digits = 0;
    for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i, ++digits) {
        if (digits == max_second_digits) return "bad time stamp";
        seconds = seconds * 10 + static_cast<uint64_t>(s[i] - '0');
    }
    if (digits == 0 || i >= s.size() || s[i] != '.') return "bad time stamp";
    ++i;
    uint32_t micros = 0;
    int frac = 0;
    for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i, ++frac) {
        if (frac == micro_digits) return "bad time stamp";
        micros = micros * 10 + static_cast<uint32_t>(s[i] - '0');
    }
    if (frac == 0 || i >= s.size() || s[i] != ')') return "bad time stamp";
    for (int k = frac; k < micro_digits; ++k) micros *= 10;
    time.seconds = static_cast<int64_t>(seconds);
    time.micros = micros;
    s.remove_prefix(i + 1);
    return nullptr;
}

// Blank-separated hex pairs up to the end of `s`. Null or a reason.
const char* parse_bytes(std::string_view s, kvr_loconet_msg& msg) {
    if (!s.empty() && !is_blank(s.front())) return "bad time stamp";
    std::size_t i = 0;
    for (;;) {
        while (i < s.size() && is_blank(s[i])) ++i;
        if (i == s.size()) break;
        const std::optional<uint8_t> byte = kvr_parse_hex_byte(s.substr(i, 2), kvr_hex_byte_form::two_digits);
        if (!byte || (i + 2 < s.size() && !is_blank(s[i + 2]))) return "bad hex";
        if (msg.length() == kvr_loconet_msg::capacity) return "too many bytes";
        msg.append(*byte);
        i += 2;
    }
    return nullptr;
}

// The rules the framer applies to bus bytes, so a capture line stands for
// a message that could have been received.
const char* check_message(const kvr_loconet_msg& msg) {
    if (msg.length() == 0) return "no message bytes";
    if (!(msg[0] & 0x80)) return "first byte is not an opcode";
    const int count = msg.length() > 1 ? msg[1] : -1;
    if (kvr_expected_length(msg[0], count) != msg.length()) return "wrong length for the opcode";
    for (int i = 1; i < msg.length(); ++i)
        if (msg[i] & 0x80) return "data byte with bit 7 set";
    if (!msg.checksum_ok()) return "bad checksum";
    return nullptr;
}

}  // namespace

kvr_capture_time kvr_capture_time::now() {
    using namespace std::chrono;
    const int64_t us =
        duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
    return {us / 1000000, static_cast<uint32_t>(us % 1000000)};
}

void kvr_capture_append_line(std::string& out, const kvr_capture_time& time,
                             const kvr_loconet_msg& msg) {
    out.push_back('(');
    // Times before the epoch do not occur on a receiving machine; they are
    // written as 0 so every written line reads back.
    append_decimal(out, time.seconds < 0 ? 0 : static_cast<uint64_t>(time.seconds), 1);
    out.push_back('.');
    append_decimal(out, time.micros % 1000000, micro_digits);
    out.push_back(')');
    for (int i = 0; i < msg.length(); ++i) {
        out.push_back(' ');
        out.push_back(hex_digits[msg[i] >> 4]);
        out.push_back(hex_digits[msg[i] & 0x0F]);
    }
    out.push_back('\n');
}

std::string kvr_capture_line(const kvr_capture_time& time, const kvr_loconet_msg& msg) {
    std::string s;
    kvr_capture_append_line(s, time, msg);
    s.pop_back();
    return s;
}

kvr_capture_parsed kvr_capture_parse_line(std::string_view line) {
    kvr_capture_parsed out;
    line = trim(line);
    if (line.empty() || line.front() == '#') return out;
    const char* reason = parse_stamp(line, out.entry.time);
    if (!reason) reason = parse_bytes(line, out.entry.msg);
    if (!reason) reason = check_message(out.entry.msg);
    if (reason) {
        out.kind = kvr_capture_kind::damaged;
        out.reason = reason;
        out.entry = {};
        return out;
    }
    out.kind = kvr_capture_kind::message;
    return out;
}

// --- writer -------------------------------------------------------------------

kvr_capture_writer::~kvr_capture_writer() { close(); }

bool kvr_capture_writer::open(const std::string& path) {
    close();
    path_ = path;
    failed_ = false;
    count_ = 0;
    error_.clear();
    stream_ = std::fopen(path.c_str(), "w");
    if (!stream_) return fail("cannot create");
    owns_ = true;
    return write_header();
}

bool kvr_capture_writer::attach(std::FILE* stream) {
    close();
    path_ = "standard output";
    failed_ = false;
    count_ = 0;
    error_.clear();
    stream_ = stream;
    owns_ = false;
    return write_header();
}

bool kvr_capture_writer::write_header() {
    if (std::fputs(header, stream_) == EOF) return fail("cannot write");
    return true;
}

bool kvr_capture_writer::write(const kvr_capture_time& time, const kvr_loconet_msg& msg) {
    if (!stream_) return false;
    line_.clear();
    kvr_capture_append_line(line_, time, msg);
    if (std::fwrite(line_.data(), 1, line_.size(), stream_) != line_.size())
        return fail("cannot write");
    ++count_;
    return !failed_;
}

bool kvr_capture_writer::comment(std::string_view text) {
    if (!stream_) return false;
    line_ = "# ";
    for (char c : text) line_.push_back(c == '\n' || c == '\r' ? ' ' : c);
    line_.push_back('\n');
    if (std::fwrite(line_.data(), 1, line_.size(), stream_) != line_.size()) return fail("cannot write");
    return !failed_;
}

bool kvr_capture_writer::flush() {
    if (!stream_) return false;
    if (std::fflush(stream_) != 0) return fail("cannot write");
    return !failed_;
}

bool kvr_capture_writer::close() {
    if (!stream_) return !failed_;
    flush();
    if (owns_ && std::fclose(stream_) != 0) fail("cannot close");
    stream_ = nullptr;
    owns_ = false;
    return !failed_;
}

bool kvr_capture_writer::fail(const char* op) {
    const int err = errno;
    if (!failed_) {
        error_ = std::string(op) + " " + path_;
        if (err != 0) error_ += std::string(": ") + std::strerror(err);
    }
    failed_ = true;
    return false;
}

// --- reader -------------------------------------------------------------------

kvr_capture_reader::~kvr_capture_reader() {
    if (owns_ && stream_) std::fclose(stream_);
}

bool kvr_capture_reader::open(const std::string& path) {
    if (owns_ && stream_) std::fclose(stream_);
    stream_ = std::fopen(path.c_str(), "r");
    owns_ = stream_ != nullptr;
    line_no_ = 0;
    cancelled_ = false;
    error_.clear();
    if (!stream_) error_ = "cannot open " + path + ": " + std::strerror(errno);
    return stream_ != nullptr;
}

bool kvr_capture_reader::read_line() {
    line_.clear();
    too_long_ = false;
    if (!stream_) return false;
    bool any = false;
    for (;;) {
        // Counted across lines: a run of blank lines is as long as one line.
        if (++unchecked_ == cancel_stride) {
            unchecked_ = 0;
            if (cancel_ && cancel_()) {
                cancelled_ = true;
                return false;
            }
        }
        const int c = getc_unlocked(stream_);
        if (c == EOF) {
            if (std::ferror(stream_)) error_ = std::string("read error: ") + std::strerror(errno);
            return any;
        }
        any = true;
        if (c == '\n') return true;
        if (line_.size() < max_line)
            line_.push_back(static_cast<char>(c));
        else
            too_long_ = true;
    }
}

kvr_capture_reader::item kvr_capture_reader::next(kvr_capture_entry& entry, const char*& reason) {
    while (!cancelled_ && read_line()) {
        ++line_no_;
        if (too_long_) {
            reason = "line too long";
            return item::damaged;
        }
        const kvr_capture_parsed p = kvr_capture_parse_line(line_);
        if (p.kind == kvr_capture_kind::skip) continue;
        if (p.kind == kvr_capture_kind::damaged) {
            reason = p.reason;
            return item::damaged;
        }
        entry = p.entry;
        return item::message;
    }
    return item::end;
}
