// busprobe-sim: the simulated command station on a pseudo-terminal, for
// Busprobe or any other LocoNet program.

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "foundation/kvr_exception.h"
#include "loconet/kvr_hex_text.h"
#include "loconet/kvr_monitor.h"
#include "sim/kvr_sim_args.h"
#include "sim/kvr_sim_runner.h"

namespace {

std::string log_line(const kvr_loconet_msg& msg) {
    std::string text = kvr_monitor::to_text(msg);
    // Opcodes the monitor does not decode: show the bytes.
    return text.empty() ? kvr_hex_bytes(msg) : text;
}

// Replaces a symbolic link left by an earlier run, never any other file.
bool make_link(const std::string& device, const std::string& link) {
    char target[256];
    if (::readlink(link.c_str(), target, sizeof target) >= 0) ::unlink(link.c_str());
    return ::symlink(device.c_str(), link.c_str()) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    const kvr_sim_args args = kvr_sim_parse_args(std::vector<std::string>(argv + 1, argv + argc));
    if (args.help) {
        std::fputs(kvr_sim_usage().c_str(), stdout);
        return 0;
    }
    if (!args.error.empty()) {
        std::fprintf(stderr, "busprobe-sim: %s\n\n%s", args.error.c_str(), kvr_sim_usage().c_str());
        return 2;
    }

    // Block the stop signals before the runner's thread starts, so that it
    // inherits the mask and only sigwait below receives them.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    // Held until the device path is out, so that no log line comes first.
    std::mutex out_mutex;
    std::unique_lock<std::mutex> first_line(out_mutex);
    kvr_sim_runner::observer log;
    if (args.log) {
        log = [&out_mutex](const kvr_loconet_msg& msg) {
            std::lock_guard<std::mutex> lock(out_mutex);
            std::printf("%s\n", log_line(msg).c_str());
            std::fflush(stdout);
        };
    }

    bool linked = false;
    try {
        kvr_sim_runner runner(args.options, log);
        // The link exists by the time a reader of the first line looks for it.
        if (!args.link.empty()) {
            linked = make_link(runner.device_path(), args.link);
            if (!linked) {
                std::fprintf(stderr, "busprobe-sim: cannot link %s: %s\n", args.link.c_str(), std::strerror(errno));
            }
        }
        std::printf("%s\n", runner.device_path().c_str());
        std::fflush(stdout);
        first_line.unlock();
        int sig = 0;
        sigwait(&stop_signals, &sig);
    } catch (const kvr_exception& e) {
        std::fprintf(stderr, "busprobe-sim: %s\n", e.message.c_str());
        return 1;
    }
    if (linked) ::unlink(args.link.c_str());
    return 0;
}
