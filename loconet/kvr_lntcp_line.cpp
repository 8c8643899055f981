#include "loconet/kvr_lntcp_line.h"

#include <array>
#include <optional>

#include "loconet/kvr_hex_text.h"

namespace {

// Tokens as they appear at the start of a line. Two-word tokens carry their
// second word here, so that "SENT OK" and "SENT ERROR" are looked up whole.
struct token_entry {
    std::string_view token;
    kvr_lntcp_kind kind;
};
constexpr std::array<token_entry, 10> tokens = {{
    {"SEND", kvr_lntcp_kind::send},
    {"RECEIVE", kvr_lntcp_kind::receive},
    {"VERSION", kvr_lntcp_kind::version},
    {"SENT OK", kvr_lntcp_kind::sent_ok},
    {"SENT ERROR", kvr_lntcp_kind::sent_error},
    {"TIMESTAMP", kvr_lntcp_kind::timestamp},
    {"BREAK", kvr_lntcp_kind::line_break},
    {"ERROR CHECKSUM", kvr_lntcp_kind::error_checksum},
    {"ERROR LINE", kvr_lntcp_kind::error_line},
    {"ERROR MESSAGE", kvr_lntcp_kind::error_message},
}};

bool is_blank(char c) { return c == ' ' || c == '\t'; }

// The token `t` starts `line` and is followed by its end or one space;
// `param` is what follows that space.
bool match_token(std::string_view line, std::string_view t, std::string_view& param) {
    if (line.substr(0, t.size()) != t) return false;
    if (line.size() == t.size()) {
        param = {};
        return true;
    }
    if (line[t.size()] != ' ') return false;
    param = line.substr(t.size() + 1);
    return true;
}

void parse_message(std::string_view param, kvr_lntcp_line& out) {
    std::vector<uint8_t> bytes;
    out.fault = kvr_lntcp_parse_hex(param, bytes) ? kvr_lntcp_check_message(bytes)
                                                  : kvr_lntcp_fault::bad_hex;
    if (out.fault != kvr_lntcp_fault::none) {
        out.kind = kvr_lntcp_kind::malformed;
        out.text = std::string(param);
        return;
    }
    for (uint8_t b : bytes) out.msg.append(b);
}

std::string with_param(std::string_view token, std::string_view param) {
    std::string line(token);
    if (!param.empty()) {
        line += ' ';
        line += param;
    }
    return line;
}

}  // namespace

const char* kvr_lntcp_fault_text(kvr_lntcp_fault fault) {
    switch (fault) {
    case kvr_lntcp_fault::none: return "";
    case kvr_lntcp_fault::bad_hex: return "bad hex";
    case kvr_lntcp_fault::bad_opcode: return "bad opcode";
    case kvr_lntcp_fault::bad_data: return "bad data byte";
    case kvr_lntcp_fault::wrong_length: return "wrong length";
    case kvr_lntcp_fault::bad_checksum: return "bad checksum";
    }
    return "";
}

bool kvr_lntcp_parse_hex(std::string_view text, std::vector<uint8_t>& out) {
    out.clear();
    std::size_t i = 0;
    while (i < text.size()) {
        if (is_blank(text[i])) {
            ++i;
            continue;
        }
        const std::size_t start = i;
        while (i < text.size() && !is_blank(text[i])) ++i;
        const std::optional<uint8_t> byte =
            kvr_parse_hex_byte(text.substr(start, i - start), kvr_hex_byte_form::one_or_two_digits);
        if (!byte) return false;
        out.push_back(*byte);
    }
    return true;
}

kvr_lntcp_fault kvr_lntcp_check_message(const std::vector<uint8_t>& bytes) {
    if (bytes.empty()) return kvr_lntcp_fault::wrong_length;
    if ((bytes[0] & 0x80) == 0) return kvr_lntcp_fault::bad_opcode;
    for (std::size_t i = 1; i < bytes.size(); ++i)
        if (bytes[i] & 0x80) return kvr_lntcp_fault::bad_data;
    const int count_byte = bytes.size() > 1 ? bytes[1] : -1;
    const int expected = kvr_expected_length(bytes[0], count_byte);
    // A count byte of 0 or 1 frames as two bytes, but names no real message.
    const bool counted = bytes[0] >= 0xE0;
    if (static_cast<std::size_t>(expected) != bytes.size() || (counted && count_byte < 2) ||
        bytes.size() > static_cast<std::size_t>(kvr_loconet_msg::capacity))
        return kvr_lntcp_fault::wrong_length;
    uint8_t x = 0;
    for (uint8_t b : bytes) x ^= b;
    return x == 0xFF ? kvr_lntcp_fault::none : kvr_lntcp_fault::bad_checksum;
}

kvr_lntcp_line kvr_lntcp_parse(std::string_view line) {
    kvr_lntcp_line out;
    const token_entry* entry = nullptr;
    std::string_view param;
    for (const token_entry& t : tokens)
        if (match_token(line, t.token, param)) {
            entry = &t;
            break;
        }
    if (entry == nullptr) {
        out.text = std::string(line);
        return out;
    }
    out.kind = entry->kind;
    switch (entry->kind) {
    case kvr_lntcp_kind::send:
    case kvr_lntcp_kind::receive:
        parse_message(param, out);
        break;
    case kvr_lntcp_kind::error_checksum:
        if (!kvr_lntcp_parse_hex(param, out.raw)) {
            out.kind = kvr_lntcp_kind::malformed;
            out.fault = kvr_lntcp_fault::bad_hex;
        }
        out.text = std::string(param);
        break;
    default:
        out.text = std::string(param);
        break;
    }
    return out;
}

std::string kvr_lntcp_hex(const uint8_t* bytes, std::size_t count) {
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(count * 3);
    for (std::size_t i = 0; i < count; ++i) {
        if (i != 0) text += ' ';
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 0x0F];
    }
    return text;
}

std::string kvr_lntcp_format_send(const kvr_loconet_msg& msg) {
    return with_param("SEND", kvr_lntcp_hex(msg.data(), static_cast<std::size_t>(msg.length())));
}

std::string kvr_lntcp_format_receive(const kvr_loconet_msg& msg) {
    return with_param("RECEIVE", kvr_lntcp_hex(msg.data(), static_cast<std::size_t>(msg.length())));
}

std::string kvr_lntcp_format_version(std::string_view text) { return with_param("VERSION", text); }
std::string kvr_lntcp_format_sent_ok(std::string_view comment) { return with_param("SENT OK", comment); }
std::string kvr_lntcp_format_sent_error(std::string_view comment) { return with_param("SENT ERROR", comment); }
std::string kvr_lntcp_format_timestamp(std::string_view value) { return with_param("TIMESTAMP", value); }
std::string kvr_lntcp_format_break() { return "BREAK"; }

std::string kvr_lntcp_format_error_checksum(const std::vector<uint8_t>& bytes) {
    return with_param("ERROR CHECKSUM", kvr_lntcp_hex(bytes.data(), bytes.size()));
}

std::string kvr_lntcp_format_error_line(std::string_view text) { return with_param("ERROR LINE", text); }
std::string kvr_lntcp_format_error_message(std::string_view text) { return with_param("ERROR MESSAGE", text); }
