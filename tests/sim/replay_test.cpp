#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/kvr_sim_replay.h"
#include "support/temp_dir.h"

namespace {

using us = kvr_sim_time;

// A capture file holding `text`, in a folder removed when the test ends.
std::string capture_file(const std::string& text) {
    static const temp_dir dir;
    static int n = 0;
    const std::string path = (dir.path / std::to_string(++n)).string();
    write_file(path, text);
    return path;
}

// (due time, opcode) of every message played up to `until`, stepping the
// clock by 1 ms.
std::vector<std::pair<int64_t, int>> play(kvr_sim_replay& r, int64_t until_us) {
    std::vector<std::pair<int64_t, int>> out;
    for (int64_t t = 0; t <= until_us; t += 1000)
        r.take_due(us{t}, [&](const kvr_loconet_msg& m) { out.emplace_back(t, m.opcode()); });
    return out;
}

const char* const three =
    "# gaps of 100 ms and 200 ms\n"
    "(1000.000000) 83 7C\n"
    "(1000.100000) 82 7D\n"
    "bad\n"
    "(1000.300000) 85 7A\n";

TEST(SimReplay, PlaysFromTheStartWithTheRecordedGapsDividedByTheSpeed) {
    const std::string path = capture_file(three);
    kvr_sim_replay r(path, 2.0, false);
    ASSERT_TRUE(r.open()) << r.error();
    EXPECT_FALSE(r.next_due());  // nothing before a client is ready
    r.start(us{10'000});
    const std::vector<std::pair<int64_t, int>> want = {{10'000, 0x83}, {60'000, 0x82}, {160'000, 0x85}};
    EXPECT_EQ(play(r, 1'000'000), want);
    EXPECT_FALSE(r.next_due());
    EXPECT_EQ(r.played(), 3u);
}

TEST(SimReplay, LoopsAndKeepsTheOrderWhenTheRecordedClockWentBack) {
    const std::string path = capture_file(
        "(50.000000) 83 7C\n"
        "(49.000000) 82 7D\n"   // the recording machine's clock was set back
        "(50.010000) 85 7A\n");
    kvr_sim_replay r(path, 1.0, true);
    ASSERT_TRUE(r.open());
    r.start(us{0});
    // Two-byte messages take 1216 us on the bus; the next round starts after
    // the last message of the round before has left it.
    const std::vector<std::pair<int64_t, int>> want = {
        {0, 0x83}, {2'000, 0x82}, {10'000, 0x85}, {12'000, 0x83}, {13'000, 0x82}};
    EXPECT_EQ(play(r, 20'000), want);
}

// A looped capture whose messages share one time stamp plays at the bus
// rate instead of falling due all at once for ever.
TEST(SimReplay, ALoopOfMessagesWithOneTimeStampPlaysAtTheBusRate) {
    const std::string path = capture_file("(7.000000) 83 7C\n(7.000000) 82 7D\n");
    kvr_sim_replay r(path, 1.0, true);
    ASSERT_TRUE(r.open());
    r.start(us{0});
    struct spinning {};
    uint64_t played = 0;
    try {
        r.take_due(us{1'000'000}, [&](const kvr_loconet_msg&) {
            if (++played > 10'000) throw spinning{};
        });
    } catch (spinning) {
    }
    // One second of the bus holds 822 two-byte messages (1216 us each).
    EXPECT_EQ(played, 823u);  // the one at 0 s and those due by 1 s
}

TEST(SimReplay, AFileWithoutMessagesOrUnreadableIsRefused) {
    const std::string empty = capture_file("# nothing\n\nbad line\n");
    kvr_sim_replay a(empty, 1.0, true);
    EXPECT_FALSE(a.open());
    EXPECT_NE(a.error().find("holds no message"), std::string::npos) << a.error();
    kvr_sim_replay b("/nonexistent-dir/x.cap", 1.0, false);
    EXPECT_FALSE(b.open());
    EXPECT_NE(b.error().find("/nonexistent-dir/x.cap"), std::string::npos) << b.error();
}

}  // namespace
