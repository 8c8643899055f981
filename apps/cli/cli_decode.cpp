#include "apps/cli/cli_decode.h"

#include <deque>
#include <iostream>

#include "apps/cli/cli_command.h"
#include "foundation/kvr_text.h"
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
    "Usage: busprobe-cli decode [--hex] [--extended] [HEX...]\n"
    "Decodes LocoNet bytes into traffic-monitor lines, one line per message.\n"
    "\n"
    "HEX are bytes in hexadecimal, one or two digits each, any case, with an\n"
    "optional 0x prefix, separated by blanks, tabs, commas or line ends.\n"
    "Without HEX the bytes are read from standard input, and each message is\n"
    "printed as soon as its bytes have been read.\n"
    "Bytes that do not form a message with a good checksum are skipped, as\n"
    "the receiver does; a message the monitor does not decode gives an empty line.\n"
    "\n"
    "  --hex       print each message's bytes before its text\n"
    "  --extended  decode every message: a line also for those the monitor\n"
    "              leaves blank\n"
    "  --help      show this help\n";

std::optional<uint8_t> parse_hex_byte(std::string_view token) {
    const bool prefixed = token.size() > 2 && token[0] == '0' && (token[1] == 'x' || token[1] == 'X');
    if (token.size() > (prefixed ? 4u : 2u)) return std::nullopt;
    std::optional<uint64_t> v = kvr_parse_number(token, kvr_number_form::hex, 0xFF);
    if (!v) return std::nullopt;
    return static_cast<uint8_t>(*v);
}

bool is_negative_number(std::string_view token) {
    return token.size() > 1 && token[0] == '-' && parse_hex_byte(token.substr(1)).has_value();
}

void report_bad_token(std::string_view token, std::ostream& err) {
    err << "busprobe-cli decode: " << cli_quoted(token)
        << (is_negative_number(token) ? " is out of range" : " is not a hex byte") << " (expected 00 to FF)\n";
}

// Bytes in, monitor lines out, as the receive path frames them.
class line_printer {
public:
    line_printer(bool show_hex, bool extended, std::ostream& out)
        : show_hex_(show_hex), extended_(extended), out_(out) {}

    void add(uint8_t byte) {
        queue_.push_back(byte);
        kvr_frame_all(queue_, [this](const kvr_loconet_msg& msg) {
            if (show_hex_) out_ << kvr_hex_bytes(msg) << "  ";
            out_ << (extended_ ? kvr_monitor::to_text_extended(msg) : kvr_monitor::to_text(msg)) << '\n';
        });
    }
    // The framer waits for the rest of a message that the input ends in the
    // middle of.
    void finish(std::ostream& err) const {
        if (queue_.empty()) return;
        err << "busprobe-cli decode: input ends inside a message (" << queue_.size()
            << (queue_.size() == 1 ? " byte" : " bytes") << " left over)\n";
    }

private:
    const bool show_hex_;
    const bool extended_;
    std::ostream& out_;
    std::deque<uint8_t> queue_;
};

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
    bool show_hex = false;
    bool extended = false;
    bool have_hex_args = false;
    std::string text;
    for (const std::string& arg : args) {
        if (arg == "--help" || arg == "-h") {
            out << usage_text;
            return 0;
        }
        if (arg == "--hex") {
            show_hex = true;
        } else if (arg == "--extended") {
            extended = true;
        } else if (arg.starts_with("-") && !is_negative_number(arg)) {
            err << "busprobe-cli decode: unknown option " << cli_quoted(arg) << "\n" << usage_text;
            return 2;
        } else {
            have_hex_args = true;
            text += arg;
            text += ' ';
        }
    }

    line_printer printer(show_hex, extended, out);
    if (have_hex_args) {
        // Arguments are checked whole before anything is printed.
        std::string bad_token;
        const std::optional<std::vector<uint8_t>> bytes = kvr_parse_hex_bytes(text, &bad_token);
        if (!bytes) {
            report_bad_token(bad_token, err);
            return 2;
        }
        for (uint8_t b : *bytes) printer.add(b);
        printer.finish(err);
        return 0;
    }

    // Standard input streams: lines before a bad token are already printed.
    token_reader tokens;
    const auto on_token = [&](std::string_view token) {
        const std::optional<uint8_t> byte = parse_hex_byte(token);
        if (!byte) report_bad_token(token, err);
        else printer.add(*byte);
        return byte.has_value();
    };
    // Up to a line end or a full piece, whichever comes first, so a line is
    // decoded as soon as it has been typed or piped in.
    std::string piece(read_piece + 1, '\0');
    bool ok = true;
    while (ok && !in.eof()) {
        in.get(piece.data(), static_cast<std::streamsize>(piece.size()), '\n');
        std::size_t got = static_cast<std::size_t>(in.gcount());
        if (in.fail() && !in.eof()) in.clear();  // an empty line sets failbit
        if (!in.eof() && in.peek() == '\n') piece[got++] = static_cast<char>(in.get());
        if (in.bad()) break;
        ok = tokens.feed(std::string_view(piece.data(), got), on_token);
    }
    ok = ok && tokens.finish(on_token);
    if (!ok) return 2;
    printer.finish(err);
    return 0;
}
