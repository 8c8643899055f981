// busprobe-cli record and replay: capture files written from the bus and
// played back onto it, against the simulated station and bare
// pseudo-terminals.

#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <future>

#include "apps/cli_test_support.h"
#include "loconet/kvr_capture.h"
#include "support/temp_dir.h"

namespace {

using namespace std::chrono_literals;

const cli_bytes sw11_req = {0xB0, 0x0A, 0x30, 0x75};
const cli_bytes power_on = {0x83, 0x7C};
const cli_bytes power_off = {0x82, 0x7D};

TEST(CliRecord, WritesEachMessageWithItsReceiveTimeUntilTheCount) {
    bare_pty pty;
    const temp_dir dir;
    const std::string file = (dir.path / "x.cap").string();
    const kvr_capture_time before = kvr_capture_time::now();
    auto record = std::async(std::launch::async, [&] {
        return run_cli({"-p", pty.path(), "record", file, "--count", "3"});
    });
    // Fed for half a minute at most: a hang guard.
    for (int i = 0; i < 1500 && record.wait_for(20ms) != std::future_status::ready; ++i) pty.write(sw11_req);
    const cli_result r = record.get();
    const kvr_capture_time after = kvr_capture_time::now();
    EXPECT_EQ(r.status, kvr_cli_ok) << r.err;
    EXPECT_EQ(r.out, "3 messages recorded in " + file + "\n");

    kvr_capture_reader reader;
    ASSERT_TRUE(reader.open(file));
    kvr_capture_entry e;
    const char* reason = nullptr;
    int messages = 0;
    while (reader.next(e, reason) == kvr_capture_reader::item::message) {
        ++messages;
        EXPECT_EQ(cli_bytes(e.msg.data(), e.msg.data() + e.msg.length()), sw11_req);
        EXPECT_GE(e.time.total_micros(), before.total_micros());
        EXPECT_LE(e.time.total_micros(), after.total_micros());
    }
    EXPECT_EQ(messages, 3);
    EXPECT_EQ(read_all(file).substr(0, 1), "#");
}

TEST(CliRecord, AFileThatCannotBeWrittenFailsAndATimeoutBeforeTheCountIsCancelled) {
    bare_pty pty;
    cli_result r = run_cli({"-p", pty.path(), "record", "/nonexistent-dir/x.cap"});
    EXPECT_EQ(r.status, kvr_cli_failed);
    EXPECT_NE(r.err.find("/nonexistent-dir/x.cap"), std::string::npos) << r.err;

    r = run_cli({"-p", pty.path(), "record", "/dev/full", "--count", "1"});
    // The header and every line fail to reach the full device at the first
    // flush, before any message arrives.
    EXPECT_EQ(r.status, kvr_cli_failed) << r.err;

    const temp_dir dir;
    const std::string file = (dir.path / "x.cap").string();
    r = run_cli({"-p", pty.path(), "--timeout", "0.3", "record", file, "--count", "1"});
    EXPECT_EQ(r.status, kvr_cli_cancelled) << r.err;
    EXPECT_EQ(r.out, "0 messages recorded in " + file + "\n");
}

TEST(CliReplay, OntoARealPortNeedsLiveAndSendsNothingWithoutIt) {
    bare_pty pty;
    const temp_dir dir;
    const std::string file = (dir.path / "x.cap").string();
    write_file(file, "(1.000000) 83 7C\n");
    const cli_result r = run_cli({"-p", pty.path(), "replay", file});
    EXPECT_EQ(r.status, kvr_cli_usage);
    EXPECT_NE(r.err.find("--live"), std::string::npos) << r.err;
    // The refusal comes before the port is opened: nothing waits at the master.
    ::fcntl(pty.master(), F_SETFL, ::fcntl(pty.master(), F_GETFL) | O_NONBLOCK);
    uint8_t b;
    EXPECT_EQ(::read(pty.master(), &b, 1), -1);
}

TEST(CliReplay, SendsTheCaptureInOrderAndReportsDamagedLinesByNumber) {
    sim_bus bus;
    const temp_dir dir;
    const std::string file = (dir.path / "x.cap").string();
    write_file(file,
              "# three messages, two damaged lines\n"
              "(100.000000) 83 7C\n"
              "(100.010000) B0 0A 30 76\n"
              "(100.020000) B0 0A 30 75\n"
              "83 7C\n"
              "(100.030000) 82 7D\n");
    const cli_result r = run_cli({"-p", bus.path(), "replay", file, "--live", "--speed", "10"});
    EXPECT_EQ(r.status, kvr_cli_failed);
    EXPECT_EQ(r.err, file + ":3: bad checksum\n" + file + ":5: missing time stamp\n");
    EXPECT_TRUE(bus.saw_in_order({power_on, sw11_req, power_off}));

    // SIM needs no --live; a clean file succeeds.
    write_file(file, "(5.000000) 83 7C\n(5.000001) 82 7D\n");
    const cli_result sim = run_cli({"-p", "SIM", "replay", file});
    EXPECT_EQ(sim.status, kvr_cli_ok) << sim.err;
}

TEST(CliReplay, ATimeoutInALongGapCancelsWithStatus3AfterTheMessagesBeforeIt) {
    sim_bus bus;
    const temp_dir dir;
    const std::string file = (dir.path / "x.cap").string();
    write_file(file, "(10.000000) 83 7C\n(3610.000000) 82 7D\n");  // an hour apart
    const cli_result r = run_cli({"-p", bus.path(), "--timeout", "0.3", "replay", file, "--live"});
    EXPECT_EQ(r.status, kvr_cli_cancelled) << r.err;
    EXPECT_NE(r.err.find("time-out"), std::string::npos) << r.err;
    EXPECT_TRUE(bus.saw_in_order({power_on}));
}

}  // namespace
