// The real busprobe-cli program as a child process: Ctrl-C, standard output
// that cannot be written, and busprobe-sim on its pseudo-terminal.

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>

#include "apps/cli/cli_decode.h"
#include "apps/cli_test_support.h"
#include "bench/traffic_mix.h"
#include "loconet/kvr_capture.h"
#include "support/child_program.h"
#include "support/temp_dir.h"

namespace {

using namespace std::chrono_literals;
const std::string cli_path = BUSPROBE_CLI_PATH;

TEST(CliProgram, CtrlCCancelsAWaitingReadWithStatus3) {
    bare_pty silent;
    // No time-out: only the signal can end the read.
    child_program c({cli_path, "-p", silent.path(), "--timeout", "0", "cv", "read", "29"});
    // The read is waiting once its request is on the bus (a programmer task
    // is 14 bytes); the stop signals are caught from before the port opens.
    ASSERT_EQ(silent.read(14, 10000).size(), 14u) << c.out;
    c.signal(SIGINT);
    EXPECT_EQ(c.wait(10s), 3) << c.out;
    EXPECT_NE(c.out.find("cancelled by signal"), std::string::npos) << c.out;
    EXPECT_NE(c.out.find("CANCEL"), std::string::npos) << c.out;
}

// The value read must not be lost without a word: standard output on a full
// disk, or closed (then the port must not take its number either).
TEST(CliProgram, AValueThatCannotBeWrittenIsAFailure) {
    for (const bool closed : {false, true}) {
        child_program c({cli_path, "-p", "SIM", "cv", "read", "29", "--mode", "direct"},
                        {.stdout_to = closed ? "" : "/dev/full"});
        EXPECT_EQ(c.wait(10s), 1) << c.out;
        EXPECT_NE(c.out.find("busprobe-cli: the output could not be written: "), std::string::npos) << c.out;
        EXPECT_EQ(c.out.find("CV 29 ="), std::string::npos) << c.out;
    }
}

// The device path busprobe-sim prints on its own line (reports of damaged
// capture lines on standard error may come first).
std::string sim_device(child_program& sim) {
    for (auto line = sim.read_line(); line; line = sim.read_line())
        if (line->rfind("/dev/", 0) == 0) return *line;
    return sim.out;
}

std::string decoded(const std::string& capture) {
    std::istringstream in(capture);
    std::ostringstream out, err;
    EXPECT_EQ(kvr_cli_decode({}, in, out, err), 0) << err.str();
    return out.str();
}

// The whole path a user takes: a capture played by one simulator is
// recorded, the recording played by a second simulator reaches the monitor,
// and every step shows the same lines, the first message included (the
// replay waits for the client to be ready).
TEST(CaptureProgram, ARecordingFromSimReplaysIntoTheMonitorWithTheSameLines) {
    const std::vector<kvr_loconet_msg> mix = traffic_mix::messages();
    std::string text = "# a round of busy-layout traffic\n";
    for (std::size_t i = 0; i < mix.size(); ++i)
        kvr_capture_append_line(text, {1733500000, static_cast<uint32_t>(i * 2000)}, mix[i]);
    const temp_dir dir;
    const std::string source = (dir.path / "source.cap").string(), recorded = (dir.path / "recorded.cap").string();
    write_file(source, text);
    const std::string count = std::to_string(mix.size());

    child_program sim1({BUSPROBE_SIM_PATH, "--instant", "--replay", source});
    const std::string dev1 = sim_device(sim1);
    ASSERT_EQ(dev1.rfind("/dev/", 0), 0u) << sim1.out;
    child_program record({cli_path, "-p", dev1, "--timeout", "30", "record", recorded, "--count", count});
    ASSERT_EQ(record.wait(30s), 0) << record.out;

    child_program sim2({BUSPROBE_SIM_PATH, "--instant", "--replay", recorded, "--speed", "4"});
    const std::string dev2 = sim_device(sim2);
    ASSERT_EQ(dev2.rfind("/dev/", 0), 0u) << sim2.out;
    child_program monitor({cli_path, "-p", dev2, "--timeout", "30", "monitor", "--count", count});
    ASSERT_EQ(monitor.wait(30s), 0) << monitor.out;

    const std::string expected = decoded(text);
    EXPECT_EQ(std::count(expected.begin(), expected.end(), '\n'), static_cast<long>(mix.size()));
    EXPECT_EQ(decoded(read_all(recorded)), expected);
    EXPECT_EQ(monitor.out, expected);
}

TEST(CaptureProgram, SimRefusesAMissingCaptureAndNamesDamagedLines) {
    child_program missing({BUSPROBE_SIM_PATH, "--replay", "/nonexistent-dir/x.cap"});
    EXPECT_EQ(missing.wait(10s), 1);
    EXPECT_NE(missing.out.find("/nonexistent-dir/x.cap"), std::string::npos) << missing.out;

    const temp_dir dir;
    const std::string path = (dir.path / "damaged.cap").string();
    write_file(path, "(1.0) 83 7C\n(1.1) 83 7D\n");
    child_program sim({BUSPROBE_SIM_PATH, "--instant", "--replay", path});
    const std::string device = sim_device(sim);
    EXPECT_TRUE(sim.read_until(path + ":2: bad checksum")) << sim.out;
    child_program monitor({cli_path, "-p", device, "--timeout", "30", "monitor", "--count", "1"});
    EXPECT_EQ(monitor.wait(30s), 0) << monitor.out;
    EXPECT_EQ(monitor.out, "OPC_GPON:\n");
}

}  // namespace
