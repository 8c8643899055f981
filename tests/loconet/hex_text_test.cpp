// One hex byte per token, in the three forms the program reads: capture
// files (two digits), LocoNet over TCP (one or two) and bytes a person types
// (also with 0x).

#include <gtest/gtest.h>

#include <cstdio>
#include <optional>

#include "loconet/kvr_hex_text.h"

namespace {

using form = kvr_hex_byte_form;

TEST(HexText, ByteTokensInEachForm) {
    const struct {
        const char* token;
        std::optional<uint8_t> two, one_or_two, prefixed;
    } cases[] = {
        {"7C", 0x7C, 0x7C, 0x7C},
        {"ff", 0xFF, 0xFF, 0xFF},
        {"f", std::nullopt, 0x0F, 0x0F},
        {"0x7C", std::nullopt, std::nullopt, 0x7C},
        {"0Xf", std::nullopt, std::nullopt, 0x0F},
        {"0x", std::nullopt, std::nullopt, std::nullopt},
        {"0x123", std::nullopt, std::nullopt, std::nullopt},
        {"100", std::nullopt, std::nullopt, std::nullopt},
        {"", std::nullopt, std::nullopt, std::nullopt},
        {"-1", std::nullopt, std::nullopt, std::nullopt},
        {"G0", std::nullopt, std::nullopt, std::nullopt},
        {" 7", std::nullopt, std::nullopt, std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(kvr_parse_hex_byte(c.token, form::two_digits), c.two) << '"' << c.token << '"';
        EXPECT_EQ(kvr_parse_hex_byte(c.token, form::one_or_two_digits), c.one_or_two) << '"' << c.token << '"';
        EXPECT_EQ(kvr_parse_hex_byte(c.token, form::prefix_allowed), c.prefixed) << '"' << c.token << '"';
    }
}

TEST(HexText, EveryByteReadsBackFromItsText) {
    for (unsigned b = 0; b < 256; ++b) {
        char text[3];
        std::snprintf(text, sizeof text, "%02X", b);
        EXPECT_EQ(kvr_parse_hex_byte(text, form::two_digits), static_cast<uint8_t>(b)) << text;
    }
}

}  // namespace
