#pragma once
// A LocoNet-over-TCP client for tests: a blocking loopback socket with a
// receive time-out, so a missing line fails the test instead of hanging it.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <optional>
#include <string>

#include "loconet/kvr_lntcp_line.h"

namespace lntcp_test {

class client {
public:
    // `rcvbuf` > 0 shrinks the kernel's receive buffer, for a client that
    // is meant to stop reading.
    explicit client(uint16_t port, int rcvbuf = 0, int timeout_s = 10) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (rcvbuf > 0) ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
        timeval tv{timeout_s, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(port);
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
    }
    client(const client&) = delete;
    client& operator=(const client&) = delete;
    ~client() { close(); }

    bool connected() const { return connected_; }
    int fd() const { return fd_; }
    void close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

    bool write(const std::string& bytes) {
        return ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
    }

    // The next non-empty line, or nothing on time-out or end of stream.
    std::optional<std::string> line() {
        for (;;) {
            std::optional<std::string> found;
            if (!lines_.empty()) {
                found = lines_.front();
                lines_.erase(lines_.begin());
                return found;
            }
            char buf[4096];
            const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
            if (n <= 0) return std::nullopt;
            splitter_.feed(buf, static_cast<std::size_t>(n),
                           [&](std::string_view l, bool) { lines_.emplace_back(l); });
        }
    }

    // True once the server closed the connection (reads to its end).
    bool closed_by_server() {
        char buf[4096];
        for (;;) {
            const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
            if (n == 0) return true;
            if (n < 0) return errno == ECONNRESET;
        }
    }

private:
    int fd_ = -1;
    bool connected_ = false;
    kvr_lntcp_splitter splitter_{1 << 16};
    std::vector<std::string> lines_;
};

}  // namespace lntcp_test
