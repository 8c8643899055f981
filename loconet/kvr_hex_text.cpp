#include "loconet/kvr_hex_text.h"

#include "foundation/kvr_text.h"
#include "loconet/kvr_loconet_msg.h"

std::string kvr_hex_bytes(const kvr_loconet_msg& msg) {
    std::string s;
    for (int i = 0; i < msg.length(); ++i) string_appendf(s, i ? " %02X" : "%02X", msg[i]);
    return s;
}

int kvr_hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

std::optional<uint8_t> kvr_parse_hex_byte(std::string_view token, kvr_hex_byte_form form) {
    if (form == kvr_hex_byte_form::prefix_allowed && token.size() > 2 && token[0] == '0' &&
        (token[1] == 'x' || token[1] == 'X'))
        token.remove_prefix(2);
    const std::size_t min_digits = form == kvr_hex_byte_form::two_digits ? 2 : 1;
    if (token.size() < min_digits || token.size() > 2) return std::nullopt;
    unsigned value = 0;
    for (char c : token) {
        const int d = kvr_hex_digit(c);
        if (d < 0) return std::nullopt;
        value = value * 16 + static_cast<unsigned>(d);
    }
    return static_cast<uint8_t>(value);
}
