#include "sim/kvr_sim_log.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>

namespace {

// How long one wait for room lasts before the stop flag is looked at again.
constexpr int room_wait_ms = 50;

}  // namespace

struct kvr_sim_log::state {
    int fd;
    std::size_t max_lines;
    std::function<void()> reader_gone;

    std::mutex m;  // guards everything below
    std::condition_variable changed;
    std::deque<std::string> lines;  // each with its line end
    std::size_t dropped = 0;        // since the last line queued
    bool stopping = false;
    bool finished = false;

    void run();
    // Writes all of `text`; false when stopping came first or the descriptor failed.
    bool write_all(const std::string& text);
    bool stop_requested() {
        std::lock_guard<std::mutex> lock(m);
        return stopping;
    }
};

kvr_sim_log::kvr_sim_log(int fd, std::size_t max_lines) : s_(std::make_shared<state>()) {
    s_->fd = fd;
    s_->max_lines = max_lines;
}

kvr_sim_log::~kvr_sim_log() {
    stop();
}

std::string kvr_sim_log::dropped_text(std::size_t n) {
    return "\u2026 " + std::to_string(n) + (n == 1 ? " line not shown" : " lines not shown");
}

void kvr_sim_log::start() {
    if (writer_.joinable()) return;
    s_->reader_gone = on_reader_gone;
    writer_ = std::thread([s = s_] { s->run(); });
}

void kvr_sim_log::push(std::string line) {
    {
        std::lock_guard<std::mutex> lock(s_->m);
        if (s_->lines.size() >= s_->max_lines) {
            ++s_->dropped;
            return;
        }
        // The count stands where the lines went missing; it may take the
        // queue one line over its bound.
        if (s_->dropped > 0) s_->lines.push_back(dropped_text(s_->dropped) + "\n");
        s_->dropped = 0;
        s_->lines.push_back(std::move(line) + "\n");
    }
    s_->changed.notify_all();  // stop() may wait on the same condition
}

bool kvr_sim_log::stop(unsigned grace_ms) {
    if (!writer_.joinable()) return true;
    std::unique_lock<std::mutex> lock(s_->m);
    s_->stopping = true;
    s_->changed.notify_all();
    const bool ended = s_->changed.wait_for(lock, std::chrono::milliseconds(grace_ms), [&] { return s_->finished; });
    lock.unlock();
    if (ended) {
        writer_.join();
    } else {
        writer_.detach();  // it holds its own reference to the state
    }
    return ended;
}

void kvr_sim_log::state::run() {
    for (;;) {
        std::unique_lock<std::mutex> lock(m);
        changed.wait(lock, [&] { return stopping || !lines.empty() || dropped > 0; });
        if (lines.empty() && dropped > 0) {  // the reader caught up after a gap
            lines.push_back(dropped_text(dropped) + "\n");
            dropped = 0;
        }
        if (lines.empty()) break;  // stopping, and all written
        std::string text = std::move(lines.front());
        lines.pop_front();
        lock.unlock();
        if (!write_all(text)) break;
    }
    std::lock_guard<std::mutex> lock(m);
    finished = true;
    changed.notify_all();
}

bool kvr_sim_log::state::write_all(const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        // Wait for room in short steps: a reader that never reads must not
        // keep the writer from seeing the stop. Once stopping, only what
        // fits at once is still written.
        pollfd p{fd, POLLOUT, 0};
        const int ready = ::poll(&p, 1, stop_requested() ? 0 : room_wait_ms);
        if (ready < 0 && errno != EINTR) return false;
        if (ready <= 0) {
            if (stop_requested()) return false;
            continue;
        }
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else if (n < 0 && errno == EPIPE) {
            if (reader_gone) reader_gone();
            return false;
        } else if (n < 0 && errno != EINTR && errno != EAGAIN) {
            return false;
        }
    }
    return true;
}
