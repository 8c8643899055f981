// busprobe-cli and busprobe-sim sharing one bus over LocoNet over TCP, as
// a user runs them: the programs as child processes, all on loopback.

#include <gtest/gtest.h>

#include <signal.h>

#include <filesystem>
#include <string>
#include <vector>

#include "link/lntcp_test_client.h"
#include "support/child_program.h"
#include "support/scripted_server.h"
#include "support/temp_dir.h"

namespace {

// The port after "127.0.0.1:" on the line that holds `prefix`.
std::string port_after(const std::string& out, const std::string& prefix) {
    const std::size_t at = out.find(prefix);
    if (at == std::string::npos) return {};
    const std::size_t begin = at + prefix.size();
    return out.substr(begin, out.find('\n', begin) - begin);
}

const std::string cli = BUSPROBE_CLI_PATH;

// Once the simulator has gone, nothing listens at its address: the link is
// lost at once, with the report and the fix.
TEST(CliTcp, SimulatorSharedOverTcpAnswersTheCommandLineUntilItStops) {
    child_program sim({BUSPROBE_SIM_PATH, "--instant", "--tcp", "127.0.0.1:0"});
    ASSERT_TRUE(sim.read_until("\n127.0.0.1:")) << sim.out;
    while (sim.out.back() != '\n') ASSERT_TRUE(sim.read_until("\n")) << sim.out;
    const std::string port = port_after(sim.out, "\n127.0.0.1:");
    ASSERT_FALSE(port.empty()) << sim.out;
    const std::string url = "tcp://localhost:" + port;

    child_program write({cli, "-p", url, "cv", "write", "3", "12", "--mode", "direct"});
    EXPECT_EQ(write.wait(), 0) << write.out;
    child_program read({cli, "-p", url, "cv", "read", "3", "--mode", "direct"});
    EXPECT_EQ(read.wait(), 0) << read.out;
    EXPECT_EQ(read.out, "CV 3 = 12 (0x0C, 00001100)\n");

    sim.signal(SIGTERM);
    EXPECT_EQ(sim.wait(), 0);
    const std::string gone = "tcp://127.0.0.1:" + port;
    child_program power({cli, "-p", gone, "power", "on"});
    EXPECT_EQ(power.wait(), 1);
    EXPECT_NE(power.out.find("busprobe-cli: the link to " + gone + " was lost\n(" + gone +
                             ") :connect (nothing listens at that address)"),
              std::string::npos)
        << power.out;
    EXPECT_NE(power.out.find("Connection refused"), std::string::npos) << power.out;
}

TEST(CliTcp, ServeSharesThePortUntilSigterm) {
    child_program serve({cli, "-p", "SIM", "serve", "--listen", "127.0.0.1:0", "--log"});
    ASSERT_TRUE(serve.read_until("busprobe-cli: serving SIM on 127.0.0.1:")) << serve.out;
    ASSERT_TRUE(serve.read_until("\n")) << serve.out;
    const std::string port = port_after(serve.out, "on 127.0.0.1:");

    lntcp_test::client watcher(static_cast<uint16_t>(std::stoi(port)));
    EXPECT_EQ(watcher.line().value_or("").rfind("VERSION Busprobe ", 0), 0u);
    child_program read({cli, "-p", "tcp://127.0.0.1:" + port, "cv", "read", "29", "--mode", "direct"});
    EXPECT_EQ(read.wait(), 0) << read.out;
    EXPECT_EQ(read.out, "CV 29 = 6 (0x06, 00000110)\n");
    // The watcher saw the other client's request go by.
    std::optional<std::string> line;
    while ((line = watcher.line()) && line->rfind("RECEIVE EF 0E 7C", 0) != 0) continue;
    EXPECT_TRUE(line);

    ASSERT_TRUE(serve.read_until("disconnected: closed by client")) << serve.out;
    EXPECT_TRUE(serve.read_until("OPC_WR_SL_DATA")) << serve.out;  // --log
    serve.signal(SIGTERM);
    EXPECT_EQ(serve.wait(), 0) << serve.out;
    EXPECT_NE(serve.out.find("disconnected: server stopping"), std::string::npos) << serve.out;
    EXPECT_TRUE(watcher.closed_by_server());
}

// Over TCP a command succeeds once the server confirmed what it sent; the
// server's refusal fails it with the server's words; silence and lines of no
// meaning leave it to the time-out.
TEST(CliTcp, CommandsSucceedOnlyOnceTheServerConfirms) {
    using script = scripted_server::script;
    const struct {
        script how;
        std::vector<std::string> args;
        int status;
        const char* says;
    } cases[] = {
        {script::confirm, {"power", "off"}, 0, ""},
        {script::echo, {"power", "off"}, 0, ""},  // the bus carried it: enough without SENT OK
        {script::refuse, {"power", "off"}, 1, "SEND 82 7D refused by the server: SENT ERROR busy"},
        {script::silent, {"power", "on"}, 3, "cancelled: time-out after 1 s before every message was sent"},
        {script::garbage, {"power", "on"}, 3, "cancelled: time-out after 1 s"},
        {script::refuse, {"throttle", "3", "--speed", "10"}, 1, "refused by the server: SENT ERROR busy"},
        {script::refuse, {"cv", "read", "1", "--mode", "direct"}, 1, "refused by the server: SENT ERROR busy"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args[0] + " " + c.args[1]);
        temp_dir logs;
        scripted_server server(c.how);
        // Only the cases meant to time out are given a short time-out.
        const std::string timeout = c.status == 3 ? "1" : "30";
        std::vector<std::string> argv{cli, "-p", server.url(), "--timeout", timeout, "--log-dir", logs.path.string()};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        child_program run(argv);
        EXPECT_EQ(run.wait(std::chrono::seconds(40)), c.status) << run.out;
        EXPECT_NE(run.out.find(c.says), std::string::npos) << run.out;
        if (c.status == 1) {
            EXPECT_EQ(run.out.find("cancelled"), std::string::npos) << run.out;
        }
    }
}

// Lines the server sends unasked are shown, never copied to the dated log
// without --log, however many come.
TEST(CliTcp, UnaskedServerLinesAreShownNotLogged) {
    temp_dir logs;
    scripted_server server(scripted_server::script::chatter);
    child_program run({cli, "-p", server.url(), "--timeout", "1", "--log-dir", logs.path.string(), "monitor"});
    EXPECT_EQ(run.wait(), 0);
    EXPECT_NE(run.out.find("LocoNet over TCP: SENT ERROR nobody asked"), std::string::npos) << run.out.substr(0, 300);
    EXPECT_TRUE(std::filesystem::is_empty(logs.path));
}

TEST(CliTcp, BadServerAddressesAreUsageErrors) {
    const struct {
        std::vector<std::string> args;
        const char* says;
    } cases[] = {
        {{"-p", "tcp://", "power", "on"}, "no host name"},
        {{"-p", "tcp://h:", "power", "on"}, "no port after :"},
        {{"-p", "tcp://127.0.0.1:99999", "power", "on"}, "port 99999 is not in 0..65535"},
        {{"-p", "tcp://127.0.0.1:21104/x", "power", "on"}, "bad port"},
        {{"-p", "SIM", "serve", "--listen", " 21006"}, "is not a host name or address"},
        {{"-p", "SIM", "serve", "--listen", "-1"}, "is not a host name or address"},
        // Serving itself: each SEND would come back as a client's, for ever.
        {{"-p", "tcp://localhost:21006", "serve", "--listen", "21006"}, "it would serve itself"},
        {{"-p", "tcp://127.0.0.1:21006", "serve", "--listen", "0.0.0.0:21006"}, "it would serve itself"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> argv{cli};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        child_program run(argv);
        EXPECT_EQ(run.wait(), 2) << run.out;
        EXPECT_NE(run.out.find(c.says), std::string::npos) << run.out;
    }
}

}  // namespace
