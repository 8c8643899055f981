#include "sim/kvr_sim_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "foundation/kvr_exception.h"
#include "foundation/kvr_fd.h"

namespace {

// Bytes the client leaves unread beyond this are dropped rather than kept.
constexpr std::size_t max_unread = 65536;
constexpr auto idle_wait = std::chrono::milliseconds(500);
// How often a runner without a client looks for one.
constexpr auto hangup_wait = std::chrono::milliseconds(10);
// A replay starts this long after the first open at the latest.
constexpr kvr_sim_time replay_settle{2'000'000};

}  // namespace

kvr_sim_runner::kvr_sim_runner(const kvr_sim_options& options, observer on_bus_message,
                               std::unique_ptr<kvr_sim_replay> replay)
    : station_(options, kvr_sim_time{0}), observer_(std::move(on_bus_message)), replay_(std::move(replay)) {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0) KVR_RAISE("kvr_sim_runner::posix_openpt", static_cast<uint32_t>(errno), "kvr_sim_runner");
    char name[128] = {};
    if (::grantpt(master_) != 0 || ::unlockpt(master_) != 0 || ::ptsname_r(master_, name, sizeof name) != 0) {
        const int e = errno;
        kvr_close_fd(master_);
        KVR_RAISE("kvr_sim_runner::unlockpt", static_cast<uint32_t>(e), "kvr_sim_runner");
    }
    path_ = name;
    int slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    wake_fd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (slave < 0 || wake_fd_ < 0) {
        const int e = errno;
        kvr_close_fd(slave);
        kvr_close_fd(wake_fd_);
        kvr_close_fd(master_);
        KVR_RAISE("kvr_sim_runner::open(" + path_ + ")", static_cast<uint32_t>(e), "kvr_sim_runner");
    }
    // Raw bytes both ways: a fresh terminal would echo and edit lines until
    // the client sets its own mode. The setting stays with the pair while
    // the master is open.
    termios tio{};
    if (::tcgetattr(slave, &tio) == 0) {
        ::cfmakeraw(&tio);
        ::tcsetattr(slave, TCSANOW, &tio);
    }
    kvr_close_fd(slave);
    ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
    // Packet mode: each read starts with a status byte (0: data follows),
    // which tells when the client flushes its input.
    int packet = 1;
    packet_ = ::ioctl(master_, TIOCPKT, &packet) == 0;
    ::fcntl(master_, F_SETFD, FD_CLOEXEC);
    thread_ = std::thread([this] { run(); });
}

kvr_sim_runner::~kvr_sim_runner() {
    stop_.store(true);
    wake();
    if (thread_.joinable()) thread_.join();
    kvr_close_fd(wake_fd_);
    kvr_close_fd(master_);
}

void kvr_sim_runner::wake() {
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(wake_fd_, &one, sizeof one);
}

kvr_sim_time kvr_sim_runner::elapsed() const {
    return std::chrono::duration_cast<kvr_sim_time>(std::chrono::steady_clock::now() - epoch_);
}

void kvr_sim_runner::run() {
    uint8_t buffer[4096];
    bool hung_up = false;
    while (!stop_.load()) {
        // What the client wrote first: its message began before anything
        // the station would start now, which must wait behind it.
        if (!hung_up) read_master(buffer, sizeof buffer, hung_up);
        std::vector<uint8_t> out;
        std::optional<kvr_sim_time> due;
        kvr_sim_time now = elapsed();
        if (client_seen_ && now - *client_seen_ >= replay_settle) client_ready();
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (replay_) replay_->take_due(now, [&](const kvr_loconet_msg& msg) { station_.play(msg, now); });
            out = station_.poll(now);
            due = station_.next_due();
        }
        if (replay_) {
            std::optional<kvr_sim_time> next = replay_->next_due();
            if (!replay_->started() && client_seen_) next = *client_seen_ + replay_settle;
            if (next && (!due || *next < *due)) due = next;
        }
        if (!out.empty()) {
            observe(out);
            tx_.insert(tx_.end(), out.begin(), out.end());
            if (tx_.size() > max_unread) tx_.erase(tx_.begin(), tx_.end() - max_unread);
        }
        flush_output();

        auto wait = std::chrono::duration_cast<kvr_sim_time>(idle_wait);
        if (due) wait = std::clamp(*due - now, kvr_sim_time{0}, wait);
        if (hung_up) wait = std::min(wait, std::chrono::duration_cast<kvr_sim_time>(hangup_wait));
        // Without a client the master would report the hang-up at once, again
        // and again: then only the wake-up and the timers are waited for.
        pollfd fds[2] = {{wake_fd_, POLLIN, 0},
                         {master_, static_cast<short>(POLLIN | (tx_.empty() ? 0 : POLLOUT)), 0}};
        const timespec ts{static_cast<time_t>(wait.count() / 1'000'000),
                          static_cast<long>(wait.count() % 1'000'000 * 1000)};
        if (::ppoll(fds, hung_up ? 1 : 2, &ts, nullptr) < 0) continue;
        if (fds[0].revents & POLLIN) {
            uint64_t count;
            [[maybe_unused]] ssize_t n = ::read(wake_fd_, &count, sizeof count);
        }
        if (hung_up) {
            hung_up = false;  // look at the master again
            continue;
        }
        if (fds[1].revents & POLLIN) {
            read_master(buffer, sizeof buffer, hung_up);
        } else if (fds[1].revents & (POLLHUP | POLLERR)) {
            hung_up = true;
        }
        // No hang-up: a client holds the device open.
        if (!hung_up && !client_seen_) client_seen_ = elapsed();
        client_present_.store(!hung_up);
    }
}

void kvr_sim_runner::read_master(uint8_t* buffer, std::size_t size, bool& hung_up) {
    const ssize_t n = ::read(master_, buffer, size);
    if (n < 0) {
        if (errno != EAGAIN && errno != EINTR) hung_up = true;
        return;
    }
    if (n == 0) return;
    // Packet mode: a non-zero status byte comes alone and reports a change
    // on the client's side, TIOCPKT_FLUSHREAD its input flush.
    const std::size_t skip = packet_ ? 1 : 0;
    if (packet_ && buffer[0] != TIOCPKT_DATA) {
        if (buffer[0] & TIOCPKT_FLUSHREAD) client_ready();
        return;
    }
    if (static_cast<std::size_t>(n) == skip) return;
    client_ready();
    std::lock_guard<std::mutex> lock(mutex_);
    station_.receive(buffer + skip, static_cast<std::size_t>(n) - skip, elapsed());
}

void kvr_sim_runner::client_ready() {
    if (!client_seen_) client_seen_ = elapsed();
    if (replay_ && !replay_->started()) replay_->start(elapsed());
}

void kvr_sim_runner::flush_output() {
    while (!tx_.empty()) {
        uint8_t chunk[1024];
        std::size_t n = 0;
        for (auto it = tx_.begin(); it != tx_.end() && n < sizeof chunk; ++it) chunk[n++] = *it;
        const ssize_t written = ::write(master_, chunk, n);
        if (written < 0 && errno != EAGAIN && errno != EINTR) {
            tx_.clear();  // no client to read them
            return;
        }
        if (written <= 0) return;  // full for now: again when it drains
        tx_.erase(tx_.begin(), tx_.begin() + written);
    }
}

void kvr_sim_runner::observe(const std::vector<uint8_t>& bytes) {
    if (!observer_) return;
    for (uint8_t b : bytes) {
        observed_.push_back(b);
        kvr_frame_all(observed_, observer_);
    }
}
