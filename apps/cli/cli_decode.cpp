#include "apps/cli/cli_decode.h"

#include <deque>
#include <iostream>
#include <iterator>

#include "foundation/kvr_text.h"
#include "loconet/kvr_loconet_msg.h"
#include "loconet/kvr_monitor.h"
#include "loconet/kvr_monitor_ext.h"

namespace {

constexpr std::string_view separators = " \t,\r\n";

constexpr const char* usage_text =
    "Usage: busprobe-cli decode [--hex] [HEX...]\n"
    "Decodes LocoNet bytes into traffic-monitor lines, one line per message.\n"
    "\n"
    "HEX are bytes in hexadecimal, one or two digits each, any case, with an\n"
    "optional 0x prefix, separated by blanks, tabs, commas or line ends.\n"
    "Without HEX the bytes are read from standard input.\n"
    "Bytes that do not form a message with a good checksum are skipped, as\n"
    "the receiver does; a message the monitor does not decode gives an empty line.\n"
    "\n"
    "  --hex       print each message's bytes before its text\n"
    "  --extended  decode every message: a line also for those the monitor\n"
    "              leaves blank\n"
    "  --help      show this help\n";

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::optional<uint8_t> parse_hex_byte(std::string_view token) {
    if (token.size() > 2 && token[0] == '0' && (token[1] == 'x' || token[1] == 'X')) {
        token.remove_prefix(2);
    }
    if (token.empty() || token.size() > 2) return std::nullopt;
    int value = 0;
    for (char c : token) {
        const int d = hex_digit(c);
        if (d < 0) return std::nullopt;
        value = value * 16 + d;
    }
    return static_cast<uint8_t>(value);
}

}  // namespace

std::string cli_hex_bytes(const kvr_loconet_msg& msg) {
    std::string s;
    for (int i = 0; i < msg.length(); ++i) string_appendf(s, i ? " %02X" : "%02X", msg[i]);
    return s;
}

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
        } else if (arg.starts_with("-")) {
            err << "busprobe-cli decode: unknown option '" << arg << "'\n" << usage_text;
            return 2;
        } else {
            have_hex_args = true;
            text += arg;
            text += ' ';
        }
    }
    if (!have_hex_args) text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());

    // Everything is parsed before anything is printed, so bad input prints
    // no partial output.
    std::string bad_token;
    const std::optional<std::vector<uint8_t>> bytes = kvr_parse_hex_bytes(text, &bad_token);
    if (!bytes) {
        err << "busprobe-cli decode: '" << bad_token << "' is not a hex byte (expected 00 to FF)\n";
        return 2;
    }

    std::deque<uint8_t> queue(bytes->begin(), bytes->end());
    kvr_loconet_msg msg;
    while (!queue.empty()) {
        const std::size_t before = queue.size();
        if (msg.take_from(queue) != 0) {
            if (show_hex) out << cli_hex_bytes(msg) << "  ";
            out << (extended ? kvr_monitor::to_text_extended(msg) : kvr_monitor::to_text(msg)) << '\n';
        } else if (queue.size() == before) {
            // The framer waits for the rest of a message that the input ends
            // in the middle of.
            err << "busprobe-cli decode: input ends inside a message (" << queue.size()
                << (queue.size() == 1 ? " byte" : " bytes") << " left over)\n";
            break;
        }
    }
    return 0;
}
