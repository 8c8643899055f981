#include "apps/cli/cli_decode.h"

#include <ctime>
#include <deque>
#include <iostream>

#include "apps/cli/cli_command.h"
#include "foundation/kvr_text.h"
#include "loconet/kvr_capture.h"
#include "loconet/kvr_hex_text.h"
#include "loconet/kvr_loconet_msg.h"
#include "loconet/kvr_monitor.h"
#include "loconet/kvr_monitor_ext.h"

namespace {

constexpr std::string_view separators = " \t,\r\n";

// Input is read in pieces of at most this size; only the token cut at a
// piece's end is carried over, so memory stays bounded whatever the size of
// the input or of its lines.
constexpr std::size_t read_piece = 64 * 1024;
// A byte token is at most "0xFF"; a longer one is bad, and only enough of it
// to show in the message is kept.
constexpr std::size_t token_keep = 80;

constexpr const char* usage_text =
    "Usage: busprobe-cli decode [--hex] [--extended] [--time] [HEX...]\n"
    "       busprobe-cli decode --binary [--hex] [--extended] < FILE\n"
    "Decodes LocoNet bytes into traffic-monitor lines, one line per message.\n"
    "\n"
    "HEX are bytes in hexadecimal, one or two digits each, any case, with an\n"
    "optional 0x prefix, separated by blanks, tabs, commas or line ends.\n"
    "Without HEX the bytes are read from standard input, and each message is\n"
    "printed as soon as its bytes have been read. Standard input may also be\n"
    "a capture file (busprobe-cli record): lines such as\n"
    "  (1733500000.123456) B0 0A 30 75\n"
    "give one message each, lines starting with # are comments, and a damaged\n"
    "line is reported with its number while the others are still decoded\n"
    "(exit status 2).\n"
    "Bytes that do not form a message with a good checksum are skipped, as\n"
    "the receiver does; a message the monitor does not decode gives an empty line.\n"
    "A message given as HEX with a wrong checksum is named with the checksum it\n"
    "needs, and nothing is printed (exit status 2).\n"
    "\n"
    "  --hex       print each message's bytes before its text\n"
    "  --extended  decode every message: a line also for those the monitor\n"
    "              leaves blank\n"
    "  --time      print the receive time of capture lines before the text,\n"
    "              as local time HH:MM:SS.mmm (as monitor --time shows it)\n"
    "  --binary    standard input is the raw byte stream of the bus\n"
    "  --help      show this help\n";

// Read size of --binary input.
constexpr std::size_t binary_piece = 64 * 1024;

std::optional<uint8_t> parse_hex_byte(std::string_view token) {
    return kvr_parse_hex_byte(token, kvr_hex_byte_form::prefix_allowed);
}

bool is_negative_number(std::string_view token) {
    return token.size() > 1 && token[0] == '-' && parse_hex_byte(token.substr(1)).has_value();
}

// line_no 0: a token of the arguments.
void report_bad_token(std::string_view token, std::ostream& err, long line_no = 0) {
    err << "busprobe-cli decode: ";
    if (line_no > 0) err << "line " << line_no << ": ";
    err << cli_quoted(token)
        << (is_negative_number(token) ? " is out of range" : " is not a hex byte") << " (expected 00 to FF)\n";
}

// Bytes in, monitor lines out, as the receive path frames them.
class line_printer {
public:
    line_printer(bool show_hex, bool extended, bool show_time, std::ostream& out)
        : show_hex_(show_hex), extended_(extended), show_time_(show_time), out_(out) {}

    void add(uint8_t byte) {
        queue_.push_back(byte);
        kvr_frame_all(queue_, [this](const kvr_loconet_msg& msg) { print(msg, nullptr); });
    }
    // A message of a capture line, with its receive time.
    void print(const kvr_loconet_msg& msg, const kvr_capture_time* time) {
        line_.clear();
        if (show_time_ && time) append_time_of_day(*time);
        if (show_hex_) {
            line_ += kvr_hex_bytes(msg);
            line_ += "  ";
        }
        line_ += extended_ ? kvr_monitor::to_text_extended(msg) : kvr_monitor::to_text(msg);
        line_ += '\n';
        out_.write(line_.data(), static_cast<std::streamsize>(line_.size()));
    }
    // The framer waits for the rest of a message that the input ends in the
    // middle of.
    void finish(std::ostream& err) const {
        if (queue_.empty()) return;
        err << "busprobe-cli decode: input ends inside a message (" << queue_.size()
            << (queue_.size() == 1 ? " byte" : " bytes") << " left over)\n";
    }

private:
    // Local time of day "13:05:09.123 ", as the monitor's --time shows it;
    // the local time is worked out once per second of the capture.
    void append_time_of_day(const kvr_capture_time& t) {
        if (t.seconds != tm_second_) {
            tm_second_ = t.seconds;
            second_of_day_ms_ = kvr_local_ms_of_day(static_cast<std::time_t>(t.seconds), 0);
        }
        char text[kvr_time_of_day_size];
        line_ += kvr_time_of_day(second_of_day_ms_ + t.micros / 1000, text);
        line_ += ' ';
    }

    const bool show_hex_;
    const bool extended_;
    const bool show_time_;
    std::ostream& out_;
    std::deque<uint8_t> queue_;
    std::string line_;
    int64_t tm_second_ = -1;
    int64_t second_of_day_ms_ = 0;
};

// Raw bus bytes, framed as the receiver frames them.
void decode_binary(std::istream& in, line_printer& printer) {
    std::vector<char> piece(binary_piece);
    while (in) {
        in.read(piece.data(), static_cast<std::streamsize>(piece.size()));
        const std::streamsize got = in.gcount();
        for (std::streamsize i = 0; i < got; ++i) printer.add(static_cast<uint8_t>(piece[static_cast<std::size_t>(i)]));
    }
}

// The first character of a line that is not blank.
char first_visible(std::string_view piece) {
    const std::size_t at = piece.find_first_not_of(" \t");
    return at == std::string_view::npos ? '\0' : piece[at];
}

// Splits streamed text into tokens, one character at a time.
class token_reader {
public:
    // Hands a token to `on_token` when a separator ends it; false when
    // `on_token` refused it.
    template <class F>
    bool feed(std::string_view piece, F&& on_token) {
        for (char c : piece) {
            if (separators.find(c) == std::string_view::npos) {
                if (token_.size() < token_keep) token_ += c;
            } else if (!token_.empty() && !finish(on_token)) {
                return false;
            }
        }
        return true;
    }
    // The token the input ends with, if any.
    template <class F>
    bool finish(F&& on_token) {
        std::string token;
        token.swap(token_);
        return token.empty() || on_token(std::string_view(token));
    }

private:
    std::string token_;
};

struct decode_options {
    bool show_hex = false;
    bool extended = false;
    bool show_time = false;
    bool binary = false;
    bool have_hex_args = false;
    std::string text;  // the HEX words, each followed by a blank
};

// The words after "decode". Empty to go on; otherwise the status to end
// with (help shown, or a usage error told).
std::optional<int> parse_decode_args(const std::vector<std::string>& args, decode_options& o, std::ostream& out,
                                     std::ostream& err) {
    for (const std::string& arg : args) {
        if (arg == "--help" || arg == "-h") {
            out << usage_text;
            return 0;
        }
        if (arg == "--hex") {
            o.show_hex = true;
        } else if (arg == "--extended") {
            o.extended = true;
        } else if (arg == "--time") {
            o.show_time = true;
        } else if (arg == "--binary") {
            o.binary = true;
        } else if (arg.starts_with("-") && !is_negative_number(arg)) {
            err << "busprobe-cli decode: unknown option " << cli_quoted(arg) << "\n" << usage_text;
            return 2;
        } else {
            o.have_hex_args = true;
            o.text += arg;
            o.text += ' ';
        }
    }
    if (o.binary && o.have_hex_args) {
        err << "busprobe-cli decode: --binary reads standard input, not HEX arguments\n" << usage_text;
        return 2;
    }
    return std::nullopt;
}

// Messages among `bytes` whose checksum is wrong: an opcode, its count of
// data bytes (all with bit 7 clear) and a last byte that does not close it.
// The framer drops such a message as line noise; typed as arguments it is a
// mistake, so each one is named with the checksum it needs. False when there
// is none.
bool report_bad_checksums(const std::vector<uint8_t>& bytes, std::ostream& err) {
    bool any = false;
    std::size_t i = 0;
    while (i < bytes.size()) {
        const int count_byte = i + 1 < bytes.size() ? bytes[i + 1] : -1;
        const std::size_t length =
            (bytes[i] & 0x80) ? static_cast<std::size_t>(kvr_expected_length(bytes[i], count_byte)) : 0;
        if (length < 2 || i + length > bytes.size()) {
            ++i;
            continue;
        }
        uint8_t x = bytes[i];
        bool data_ok = true;
        for (std::size_t k = i + 1; k < i + length; ++k) {
            data_ok = data_ok && !(bytes[k] & 0x80);
            x ^= bytes[k];
        }
        if (!data_ok || x == 0xFF) {
            i += data_ok ? length : 1;
            continue;
        }
        const uint8_t right = static_cast<uint8_t>(~(x ^ bytes[i + length - 1]));
        std::string shown;
        for (std::size_t k = i; k < i + length; ++k) string_appendf(shown, k > i ? " %02X" : "%02X", bytes[k]);
        string_appendf(shown, ": bad checksum %02X (the right checksum is %02X)", bytes[i + length - 1], right);
        err << "busprobe-cli decode: " << shown << "\n";
        any = true;
        i += length;
    }
    return any;
}

// HEX words: checked whole before anything is printed.
int decode_hex_args(const std::string& text, line_printer& printer, std::ostream& err) {
    std::string bad_token;
    const std::optional<std::vector<uint8_t>> bytes = kvr_parse_hex_bytes(text, &bad_token);
    if (!bytes) {
        report_bad_token(bad_token, err);
        return 2;
    }
    if (report_bad_checksums(*bytes, err)) return 2;
    for (uint8_t b : *bytes) printer.add(b);
    printer.finish(err);
    return 0;
}

// Standard input as text, fed a piece at a time (a line, or a part of a
// line longer than a piece). Capture lines ('(' or '#' first) are read
// whole; other lines are hex tokens. A bad line is named by its number and
// skipped, and decoding goes on with the next: one damaged line of a
// capture costs only itself.
class text_decoder {
public:
    text_decoder(line_printer& printer, std::ostream& err) : printer_(printer), err_(err) {}

    // `begins`: the piece starts a line; `ends`: the line ends with it, its
    // line feed (`has_lf`) included.
    void piece(std::string_view text, bool begins, bool ends, bool has_lf) {
        if (begins) {
            ++line_no_;
            skip_line_ = false;
        }
        if (skip_line_) return;
        const char first = begins ? first_visible(text) : '\0';
        if (first == '#' || first == '(') {
            capture_piece(text, first, ends, has_lf);
        } else if (begins && ends) {
            hex_line(text);
        } else if (!tokens_.feed(text, [this](std::string_view t) { return token(t); })) {
            // A line longer than a piece: token by token.
            damaged_ = true;
            skip_line_ = true;
        }
    }

    // Status 2 when any line was bad.
    int finish() {
        if (!tokens_.finish([this](std::string_view t) { return token(t); })) damaged_ = true;
        printer_.finish(err_);
        return damaged_ ? 2 : 0;
    }

private:
    void capture_piece(std::string_view text, char first, bool ends, bool has_lf) {
        if (!ends) {
            // A capture line longer than a piece holds no message.
            skip_line_ = true;
            if (first == '#') return;
        }
        const kvr_capture_parsed p =
            ends ? kvr_capture_parse_line(has_lf ? text.substr(0, text.size() - 1) : text) : kvr_capture_parsed{};
        if (!ends || p.kind == kvr_capture_kind::damaged) {
            err_ << "busprobe-cli decode: line " << line_no_ << ": " << (ends ? p.reason : "line too long") << "\n";
            damaged_ = true;
        } else if (p.kind == kvr_capture_kind::message) {
            printer_.print(p.entry.msg, &p.entry.time);
        }
    }

    // A whole line: checked before any of its bytes reach the framer, so a
    // bad line leaves no half message behind.
    void hex_line(std::string_view text) {
        std::string bad_token;
        const std::optional<std::vector<uint8_t>> bytes = kvr_parse_hex_bytes(text, &bad_token);
        if (!bytes) {
            report_bad_token(bad_token.substr(0, token_keep), err_, line_no_);
            damaged_ = true;
            return;
        }
        for (uint8_t b : *bytes) printer_.add(b);
    }

    bool token(std::string_view t) {
        const std::optional<uint8_t> byte = parse_hex_byte(t);
        if (!byte) report_bad_token(t, err_, line_no_);
        else printer_.add(*byte);
        return byte.has_value();
    }

    line_printer& printer_;
    std::ostream& err_;
    token_reader tokens_;
    long line_no_ = 0;
    bool damaged_ = false;
    bool skip_line_ = false;  // the rest of a too long capture line or comment, or of a bad line
};

int decode_text(std::istream& in, line_printer& printer, std::ostream& err) {
    text_decoder decoder(printer, err);
    // Up to a line end or a full piece, whichever comes first, so a line is
    // decoded as soon as it has been typed or piped in.
    std::string piece(read_piece + 1, '\0');
    bool line_start = true;  // the piece begins a line
    while (!in.eof()) {
        in.get(piece.data(), static_cast<std::streamsize>(piece.size()), '\n');
        std::size_t got = static_cast<std::size_t>(in.gcount());
        if (in.fail() && !in.eof()) in.clear();  // an empty line sets failbit
        const bool line_end = !in.eof() && in.peek() == '\n';
        if (line_end) piece[got++] = static_cast<char>(in.get());
        if (in.bad()) break;
        const bool begins = line_start;
        line_start = line_end || in.eof();
        decoder.piece(std::string_view(piece.data(), got), begins, line_start, line_end);
    }
    return decoder.finish();
}

}  // namespace

std::optional<std::vector<uint8_t>> kvr_parse_hex_bytes(std::string_view text, std::string* bad_token) {
    std::vector<uint8_t> bytes;
    std::size_t pos = 0;
    while (true) {
        pos = text.find_first_not_of(separators, pos);
        if (pos == std::string_view::npos) break;
        std::size_t end = text.find_first_of(separators, pos);
        if (end == std::string_view::npos) end = text.size();
        const std::string_view token = text.substr(pos, end - pos);
        const std::optional<uint8_t> byte = parse_hex_byte(token);
        if (!byte) {
            if (bad_token) *bad_token = std::string(token);
            return std::nullopt;
        }
        bytes.push_back(*byte);
        pos = end;
    }
    return bytes;
}

int kvr_cli_decode(const std::vector<std::string>& args, std::istream& in, std::ostream& out,
                   std::ostream& err) {
    decode_options o;
    if (const std::optional<int> status = parse_decode_args(args, o, out, err)) return *status;
    line_printer printer(o.show_hex, o.extended, o.show_time, out);
    if (o.have_hex_args) return decode_hex_args(o.text, printer, err);
    if (o.binary) {
        decode_binary(in, printer);
        printer.finish(err);
        return 0;
    }
    return decode_text(in, printer, err);
}
