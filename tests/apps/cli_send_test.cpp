// busprobe-cli send: a message typed by hand, against the simulated station.

#include <gtest/gtest.h>

#include <algorithm>

#include "apps/cli_test_support.h"

namespace {

cli_result send_on(const std::string& port, std::vector<std::string> words) {
    words.insert(words.begin(), {"-p", port, "send"});
    return run_cli(words);
}

bool any_switch_request(const std::vector<cli_bytes>& seen) {
    return std::any_of(seen.begin(), seen.end(), [](const cli_bytes& b) { return !b.empty() && b[0] == 0xB0; });
}

TEST(CliSend, BytesOneShortGoOutWithTheirChecksumAndAct) {
    sim_bus bus;
    // LocoNet PE opcode summary: OPC_SW_REQ B0 SW1 SW2 CK; SW1 0B is switch
    // 12, SW2 0x10 thrown with the output on. Checksum worked by hand.
    const cli_result r = send_on(bus.path(), {"B0", "0B", "10"});
    EXPECT_EQ(r.status, kvr_cli_ok) << r.err;
    EXPECT_TRUE(bus.saw_in_order({{0xB0, 0x0B, 0x10, 0x54}}));
    EXPECT_FALSE(bus.with_station([](kvr_sim_station& s) { return s.turnout(12).closed; }));

    // One word holding the whole message, checksum given.
    EXPECT_EQ(send_on(bus.path(), {"b0 0b 30 74"}).status, kvr_cli_ok);
    EXPECT_TRUE(bus.with_station([](kvr_sim_station& s) { return s.turnout(12).closed; }));
}

TEST(CliSend, BadMessageIsAUsageErrorAndNothingIsSent) {
    sim_bus bus;
    const struct {
        std::vector<std::string> words;
        std::string named;
    } cases[] = {
        // The rules themselves are the parser's (hand_message_test.cpp).
        {{"B0", "0B", "30", "00"}, "this message's checksum is 74"},
        {{"B0", "0B", "1FF"}, "'1FF' is not a hex byte"},
        // Control characters are shown escaped: an OSC sequence would retitle the terminal.
        {{"\x1b]0;X\a"}, "'\\e]0;X\\x07' is not a hex byte"},
        {{}, "Nothing to send"},
    };
    for (const auto& c : cases) {
        const cli_result r = send_on(bus.path(), c.words);
        EXPECT_EQ(r.status, kvr_cli_usage) << c.named;
        EXPECT_NE(r.err.find(c.named), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("Nothing was sent"), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find('\x1b'), std::string::npos) << "no raw escape";
        EXPECT_NE(r.err.find("Usage: busprobe-cli [-p PORT] [--timeout SECONDS] send HEX..."), std::string::npos)
            << r.err;
    }
    bus.settle();
    EXPECT_FALSE(any_switch_request(bus.seen()));
}

}  // namespace
