#include "apps/cli_test_support.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <deque>
#include <sstream>
#include <stdexcept>

cli_result run_cli(const std::vector<std::string>& args, const std::string& settings_path,
                   const std::string& input) {
    std::istringstream in(input);
    std::ostringstream out, err;
    kvr_cli_context ctx;
    ctx.in = &in;
    ctx.out = &out;
    ctx.err = &err;
    ctx.handle_signals = false;
    ctx.settings_path = settings_path.empty() ? "/nonexistent/busprobe-cli-test.ini" : settings_path;
    auto start = std::chrono::steady_clock::now();
    cli_result r;
    r.status = kvr_cli_run(args, ctx);
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    r.out = out.str();
    r.err = err.str();
    return r;
}

kvr_loconet_msg make_msg(const cli_bytes& without_checksum) {
    kvr_loconet_msg m;
    for (uint8_t b : without_checksum) m.append(b);
    m.append(0xFFFF);
    return m;
}

cli_bytes bytes_of(const kvr_loconet_msg& m) { return cli_bytes(m.data(), m.data() + m.length()); }

kvr_sim_options sim_bus::instant_options() {
    kvr_sim_options o;
    o.instant = true;
    return o;
}

sim_bus::sim_bus(kvr_sim_options options)
    : runner_(options, [this](const kvr_loconet_msg& m) {
          std::lock_guard<std::mutex> hold(mutex_);
          seen_.push_back(bytes_of(m));
      }) {}

std::vector<cli_bytes> sim_bus::seen() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return seen_;
}

namespace {

bool in_order(const std::vector<cli_bytes>& all, const std::vector<cli_bytes>& expected) {
    auto at = all.begin();
    for (const cli_bytes& e : expected) {
        at = std::find(at, all.end(), e);
        if (at == all.end()) return false;
        ++at;
    }
    return true;
}

}  // namespace

bool sim_bus::saw_in_order(const std::vector<cli_bytes>& expected) const {
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    while (!in_order(seen(), expected)) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

void sim_bus::settle() const {
    std::size_t before = seen().size();
    for (int i = 0; i < 40; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        std::size_t now = seen().size();
        if (now == before) return;
        before = now;
    }
}

void sim_bus::clear() {
    std::lock_guard<std::mutex> hold(mutex_);
    seen_.clear();
}

bare_pty::bare_pty() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0)
        throw std::runtime_error("no pseudo-terminal");
    char name[128];
    if (ptsname_r(master_, name, sizeof name) != 0) throw std::runtime_error("ptsname");
    path_ = name;
    slave_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave_ < 0) throw std::runtime_error("pty slave");
    termios t{};
    tcgetattr(slave_, &t);
    cfmakeraw(&t);
    tcsetattr(slave_, TCSANOW, &t);
}

bare_pty::~bare_pty() { hang_up(); }

void bare_pty::write_master(const cli_bytes& bytes) {
    if (master_ >= 0 && ::write(master_, bytes.data(), bytes.size()) < 0) {
        // The test sees the effect (or its absence) in the output.
    }
}

void bare_pty::hang_up() {
    if (master_ >= 0) ::close(master_);
    if (slave_ >= 0) ::close(slave_);
    master_ = slave_ = -1;
}

scripted_station::scripted_station(answer_fn answer)
    : answer_(std::move(answer)), thread_([this] { run(); }) {}

scripted_station::~scripted_station() {
    stop_ = true;
    thread_.join();
}

std::vector<cli_bytes> scripted_station::received() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return received_;
}

void scripted_station::run() {
    std::deque<uint8_t> queue;
    while (!stop_) {
        pollfd p{pty_.master(), POLLIN, 0};
        if (poll(&p, 1, 20) <= 0 || !(p.revents & POLLIN)) continue;
        uint8_t buf[256];
        ssize_t n = ::read(pty_.master(), buf, sizeof buf);
        if (n <= 0) continue;
        queue.insert(queue.end(), buf, buf + n);
        for (;;) {
            kvr_loconet_msg m;
            std::size_t before = queue.size();
            if (m.take_from(queue) == 0) {
                if (queue.size() == before) break;
                continue;
            }
            {
                std::lock_guard<std::mutex> hold(mutex_);
                received_.push_back(bytes_of(m));
            }
            for (const kvr_loconet_msg& reply : answer_(m)) pty_.write_master(bytes_of(reply));
        }
    }
}
