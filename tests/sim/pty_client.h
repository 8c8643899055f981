#pragma once
// Bus bytes framed as a receiver frames them, and a client of the
// simulator's pseudo-terminal, opened raw as a serial program opens it.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <deque>
#include <string>
#include <vector>

#include "loconet/kvr_loconet_msg.h"

using bytes = std::vector<uint8_t>;
using msgs = std::vector<bytes>;

// Takes the whole, valid messages out of `queue`; a partial one stays.
inline msgs frame(std::deque<uint8_t>& queue) {
    msgs out;
    for (kvr_loconet_msg m; !queue.empty();) {
        const std::size_t before = queue.size();
        if (m.take_from(queue) != 0)
            out.emplace_back(m.data(), m.data() + m.length());
        else if (queue.size() == before)
            break;
    }
    return out;
}

class pty_client {
public:
    explicit pty_client(const std::string& path) : fd_(::open(path.c_str(), O_RDWR | O_NOCTTY)) {
        termios t{};
        if (fd_ >= 0 && ::tcgetattr(fd_, &t) == 0) {
            ::cfmakeraw(&t);
            ::tcsetattr(fd_, TCSANOW, &t);
        }
    }
    ~pty_client() {
        if (fd_ >= 0) ::close(fd_);
    }
    bool is_open() const { return fd_ >= 0; }
    // Throws away unread input, as a serial program does after opening.
    void flush_input() { ::tcflush(fd_, TCIFLUSH); }

    void write(const bytes& b) { ASSERT_EQ(::write(fd_, b.data(), b.size()), ssize_t(b.size())); }

    // Whole messages read, at most `count` of them; ten seconds at most (a
    // hang guard).
    msgs read(std::size_t count) {
        msgs out;
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (out.size() < count && std::chrono::steady_clock::now() < end) {
            pollfd p{fd_, POLLIN, 0};
            uint8_t buf[256];
            const ssize_t n = ::poll(&p, 1, 20) > 0 ? ::read(fd_, buf, sizeof buf) : 0;
            if (n > 0) queue_.insert(queue_.end(), buf, buf + n);
            for (bytes& m : frame(queue_)) out.push_back(std::move(m));
        }
        return out;
    }

private:
    int fd_;
    std::deque<uint8_t> queue_;
};
