// busprobe-sim: the simulated command station on a pseudo-terminal, for
// Busprobe or any other LocoNet program.

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "foundation/kvr_exception.h"
#include "foundation/kvr_build.h"
#include "loconet/kvr_capture.h"
#include "loconet/kvr_dcc_packet.h"
#include "loconet/kvr_hex_text.h"
#include "link/kvr_lntcp_server.h"
#include "loconet/kvr_monitor.h"
#include "loconet/kvr_monitor_ext.h"
#include "sim/kvr_sim_args.h"
#include "sim/kvr_sim_log.h"
#include "sim/kvr_sim_replay.h"
#include "sim/kvr_sim_runner.h"

namespace {

std::string log_line(const kvr_loconet_msg& msg) {
    std::string text = kvr_monitor::to_text(msg);
    if (!text.empty()) return text;
    // Messages the monitor leaves blank: the extended line (the DCC packet
    // of OPC_IMM_PACKET, the slot function messages, the newer families),
    // else the bytes.
    text = kvr_monitor::to_text_extended(msg);
    return text.empty() ? kvr_hex_bytes(msg) : text;
}

// The stop signals: every one the program can catch that would otherwise end
// it and leave the --link behind, pointing at a pseudo-terminal number that
// the system soon gives to somebody else's terminal.
constexpr int stop_signals[] = {SIGHUP, SIGINT, SIGQUIT, SIGUSR1, SIGUSR2, SIGPIPE, SIGTERM};

int take_stop(const sigset_t& stops) {
    int sig = 0;
    sigwait(&stops, &sig);
    return sig;
}

int exit_status(int stop_signal) { return stop_signal == SIGINT || stop_signal == SIGTERM ? 0 : 128 + stop_signal; }

// The --link: made beside its final name and renamed over it, so a reader
// never finds it half made; only ever replaces a symbolic link; removed at
// the end only while it still points at our device (another simulator given
// the same path may have taken it over meanwhile).
class device_link {
public:
    device_link(std::string device, std::string path) : device_(std::move(device)), path_(std::move(path)) {}
    device_link(const device_link&) = delete;
    device_link& operator=(const device_link&) = delete;
    ~device_link() {
        if (made_ && points_at_device()) ::unlink(path_.c_str());
    }

    // Empty on success, else why the link was not made.
    std::string make() {
        struct stat st {};
        if (::lstat(path_.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) return "it exists and is not a symbolic link";
        const std::string temp = path_ + ".busprobe-sim." + std::to_string(::getpid());
        if (::lstat(temp.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) ::unlink(temp.c_str());  // an old run's
        if (::symlink(device_.c_str(), temp.c_str()) != 0) return std::strerror(errno);
        if (::rename(temp.c_str(), path_.c_str()) != 0) {
            const int e = errno;
            ::unlink(temp.c_str());
            return std::strerror(e);
        }
        made_ = true;
        return {};
    }

private:
    bool points_at_device() const {
        char target[4096];
        const ssize_t n = ::readlink(path_.c_str(), target, sizeof target);
        return n > 0 && std::string(target, static_cast<std::size_t>(n)) == device_;
    }

    std::string device_, path_;
    bool made_ = false;
};

// The LocoNet-over-TCP server beside the pseudo-terminal: clients see every
// message of the simulated bus, and their SENDs go on the bus as from a node
// that keeps the bus's rules: on a busy line it waits for its turn and sends
// again after a collision, so its echo comes back as on any LocoNet.
std::unique_ptr<kvr_lntcp_server> make_server(const kvr_lntcp_endpoint& where, kvr_sim_runner** runner) {
    kvr_lntcp_server_options opt;
    opt.listen = where;
    opt.version = "Busprobe " BUSPROBE_VERSION " busprobe-sim";
    return std::make_unique<kvr_lntcp_server>(
        opt,
        [runner](const kvr_loconet_msg& msg) -> std::string {
            (*runner)->send_from_node(msg);
            return {};
        },
        [](const kvr_lntcp_report& r) { std::fprintf(stderr, "busprobe-sim: %s\n", r.text().c_str()); });
}

// A stop signal waits, blocked, to be taken.
bool stop_pending() {
    sigset_t pending;
    sigpending(&pending);
    for (int sig : stop_signals)
        if (sigismember(&pending, sig) == 1) return true;
    return false;
}

// Reads the capture once through, reporting damaged lines by number, so
// the user hears of them before anything plays; then opens it for playing.
// A stop signal ends the reading (`stopped`): a file may be endless.
std::unique_ptr<kvr_sim_replay> checked_replay(const kvr_sim_args& args, bool& stopped) {
    kvr_capture_reader reader;
    if (!reader.open(args.replay)) {
        std::fprintf(stderr, "busprobe-sim: %s\n", reader.error().c_str());
        return nullptr;
    }
    reader.set_cancel(stop_pending);
    kvr_capture_entry entry;
    const char* reason = nullptr;
    for (;;) {
        const kvr_capture_reader::item it = reader.next(entry, reason);
        if (it == kvr_capture_reader::item::end) break;
        if (it == kvr_capture_reader::item::damaged)
            std::fprintf(stderr, "busprobe-sim: %s:%ld: %s\n", args.replay.c_str(), reader.line_number(), reason);
    }
    stopped = reader.cancelled() || stop_pending();
    if (stopped) return nullptr;
    auto replay = std::make_unique<kvr_sim_replay>(args.replay, args.replay_speed, args.replay_loop);
    if (!reader.error().empty() || !replay->open()) {
        std::fprintf(stderr, "busprobe-sim: %s\n",
                     (reader.error().empty() ? replay->error() : reader.error()).c_str());
        return nullptr;
    }
    return replay;
}

}  // namespace

int main(int argc, char** argv) {
    const kvr_sim_args args = kvr_sim_parse_args(std::vector<std::string>(argv + 1, argv + argc));
    if (args.help) {
        std::fputs(kvr_sim_usage().c_str(), stdout);
        return 0;
    }
    if (args.version && args.error.empty()) {
        std::puts("busprobe-sim " BUSPROBE_VERSION);
        return 0;
    }
    if (!args.error.empty()) {
        std::fprintf(stderr, "busprobe-sim: %s\n\n%s", args.error.c_str(), kvr_sim_usage().c_str());
        return 2;
    }

    // Block the stop signals before any thread starts, so that every thread
    // inherits the mask and only sigwait below receives them. A write to a
    // closed pipe raises SIGPIPE in the writing thread, where it stays
    // pending: the log's writer passes the news on to the process.
    sigset_t stops;
    sigemptyset(&stops);
    for (int sig : stop_signals) sigaddset(&stops, sig);
    pthread_sigmask(SIG_BLOCK, &stops, nullptr);

    std::unique_ptr<kvr_sim_log> log;
    if (args.log) {
        log = std::make_unique<kvr_sim_log>(STDOUT_FILENO);
        log->on_reader_gone = [] { ::kill(::getpid(), SIGPIPE); };
    }
    kvr_sim_runner* runner_ptr = nullptr;
    std::unique_ptr<kvr_lntcp_server> server;
    if (args.tcp) server = make_server(*args.tcp, &runner_ptr);
    kvr_sim_runner::observer observe;
    if (log || server) {
        observe = [&log, &server](const kvr_loconet_msg& msg) {
            if (server) server->bus_message(msg);
            if (log) log->push(log_line(msg));
        };
    }

    std::unique_ptr<kvr_sim_replay> replay;
    if (!args.replay.empty()) {
        bool stopped = false;
        replay = checked_replay(args, stopped);
        if (stopped) return exit_status(take_stop(stops));
        if (!replay) return 1;
    }

    int status = 0;
    try {
        kvr_sim_runner runner(args.options, observe, std::move(replay));
        // The link exists by the time a reader of the first line looks for it.
        std::optional<device_link> link;
        if (!args.link.empty()) {
            link.emplace(runner.device_path(), args.link);
            const std::string why = link->make();
            if (!why.empty()) {
                std::fprintf(stderr, "busprobe-sim: cannot link %s: %s\n", args.link.c_str(), why.c_str());
                return 1;
            }
        }
        runner_ptr = &runner;
        if (server) server->start();
        std::printf("%s\n", runner.device_path().c_str());
        if (server) std::printf("%s\n", server->address().c_str());
        std::fflush(stdout);
        if (log) log->start();  // after the device path: it is the first line
        status = exit_status(take_stop(stops));
        // Its SENDs go to the runner: it stops first.
        if (server) server->stop();
    } catch (const kvr_exception& e) {
        std::fprintf(stderr, "busprobe-sim: %s\n", e.message.c_str());
        return 1;
    }
    if (log && !log->stop()) std::_Exit(status);  // its writer is stuck in a write: leave it
    return status;
}
