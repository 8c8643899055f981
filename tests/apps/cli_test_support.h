#pragma once
// Peers for busprobe-cli tests: the simulated station on a pseudo-terminal
// with a record of what reached the bus, and a bare pseudo-terminal whose
// master the test holds.

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "apps/cli/cli_main.h"
#include "apps/cli/cli_output.h"
#include "sim/kvr_sim_runner.h"
#include "support/test_pty.h"

using cli_bytes = std::vector<uint8_t>;

struct cli_result {
    int status = -1;
    std::string out, err;
};

// Runs kvr_cli_run in this process with captured streams (or standard
// output on `out_fd`, when given), no signal handling, and a settings file
// that does not exist unless given, so no stored port can be reached.
inline cli_result run_cli(const std::vector<std::string>& args, const std::string& settings_path = {},
                          int out_fd = -1) {
    std::istringstream in;
    std::ostringstream out, err;
    cli_fd_out fd_out(out_fd);
    std::ostream to_fd(&fd_out);
    kvr_cli_context ctx;
    ctx.in = &in;
    ctx.out = out_fd >= 0 ? &to_fd : &out;
    ctx.err = &err;
    ctx.out_error = [&fd_out] { return fd_out.error(); };
    ctx.handle_signals = false;
    ctx.settings_path = settings_path.empty() ? "/nonexistent/busprobe-cli-test.ini" : settings_path;
    cli_result r;
    r.status = kvr_cli_run(args, ctx);
    r.out = out.str();
    r.err = err.str();
    return r;
}

// The simulated station; it echoes each request first, so the requests that
// reached it are among the messages recorded.
class sim_bus {
public:
    static kvr_sim_options instant() {
        kvr_sim_options o;
        o.instant = true;
        return o;
    }
    explicit sim_bus(kvr_sim_options options = instant())
        : runner_(options, [this](const kvr_loconet_msg& m) {
              cli_bytes b(m.data(), m.data() + m.length());
              if (b == marker) return;  // the test's own, see settle()
              std::lock_guard<std::mutex> hold(mutex_);
              seen_.push_back(std::move(b));
          }) {}

    const std::string& path() const { return runner_.device_path(); }
    std::vector<cli_bytes> seen() const {
        std::lock_guard<std::mutex> hold(mutex_);
        return seen_;
    }
    // True when every message of `expected` was seen, in this order: the
    // tool returns once its bytes are written, the station reads them a
    // moment later. Looks for ten seconds at most (a hang guard).
    bool saw_in_order(const std::vector<cli_bytes>& expected) const {
        for (auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);;) {
            const std::vector<cli_bytes> all = seen();
            auto at = all.begin();
            for (auto e = expected.begin(); e != expected.end() && at != all.end(); ++e) {
                at = std::find(at, all.end(), *e);
                if (at != all.end() && e + 1 == expected.end()) return true;
                if (at != all.end()) ++at;
            }
            if (expected.empty() || std::chrono::steady_clock::now() > end) return expected.empty();
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    // Waits until the station has handled every byte written to the device
    // so far, so the layout shows their effect: a marker written after them
    // comes back as the station's echo only once the bytes before it were
    // read, the device keeping them in order. The marker, OPC_BUSY, changes
    // nothing on the layout and is left out of seen(). Needs the device free
    // (the tool has returned); waits ten seconds at most (a hang guard).
    void settle() const {
        const int fd = ::open(path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (fd < 0) throw std::runtime_error("cannot open " + path());
        termios t{};
        ::tcgetattr(fd, &t);
        ::cfmakeraw(&t);
        ::tcsetattr(fd, TCSANOW, &t);
        cli_bytes back;
        if (::write(fd, marker.data(), marker.size()) == static_cast<ssize_t>(marker.size())) {
            const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
            while (std::search(back.begin(), back.end(), marker.begin(), marker.end()) == back.end() &&
                   std::chrono::steady_clock::now() < end) {
                pollfd p{fd, POLLIN, 0};
                uint8_t buf[256];
                if (::poll(&p, 1, 20) == 1)
                    if (const ssize_t n = ::read(fd, buf, sizeof buf); n > 0) back.insert(back.end(), buf, buf + n);
            }
        }
        ::close(fd);
    }
    template <class F>
    auto with_station(F&& f) {
        settle();
        return runner_.with_station(std::forward<F>(f));
    }

private:
    inline static const cli_bytes marker = {0x81, 0x7E};  // OPC_BUSY (LocoNet PE opcode summary)
    mutable std::mutex mutex_;
    std::vector<cli_bytes> seen_;
    kvr_sim_runner runner_;
};

// A pseudo-terminal whose slave the test keeps open in raw mode too, so the
// line discipline never echoes and the tool closing it is no hang-up.
struct bare_pty : test_pty {
    bare_pty() {
        slave_ = ::open(path_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        termios t{};
        ::tcgetattr(slave_, &t);
        ::cfmakeraw(&t);
        ::tcsetattr(slave_, TCSANOW, &t);
    }
};
