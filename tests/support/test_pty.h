#pragma once
// A pseudo-terminal whose master side the test holds and plays the bus on;
// the program under test opens the slave (`path()`) as it opens an adapter.

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

class test_pty {
public:
    test_pty() {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        char name[128];
        if (master_ < 0 || ::grantpt(master_) || ::unlockpt(master_) || ::ptsname_r(master_, name, sizeof name))
            throw std::runtime_error("no pseudo-terminal");
        path_ = name;
    }
    ~test_pty() { hang_up(); }
    test_pty(const test_pty&) = delete;
    test_pty& operator=(const test_pty&) = delete;

    const std::string& path() const { return path_; }
    int master() const { return master_; }

    // Puts all of `bytes` on the line; nothing once hung up.
    void write(const std::vector<uint8_t>& bytes) {
        for (std::size_t done = 0; master_ >= 0 && done < bytes.size();) {
            const ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
            if (n <= 0) return;  // the test sees the effect (or its absence) in the outcome
            done += static_cast<std::size_t>(n);
        }
    }
    // What the program wrote: until `count` bytes came or `ms` passed.
    std::vector<uint8_t> read(std::size_t count, unsigned ms = 5000) {
        std::vector<uint8_t> out;
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (out.size() < count) {  // looks at least once
            pollfd p{master_, POLLIN, 0};
            uint8_t buf[256];
            const ssize_t n = ::poll(&p, 1, 5) == 1 ? ::read(master_, buf, std::min(sizeof buf, count - out.size())) : 0;
            if (n > 0) out.insert(out.end(), buf, buf + n);
            else if (std::chrono::steady_clock::now() >= until) break;
        }
        return out;
    }
    // Closes the sides the test holds: the adapter is pulled out.
    void hang_up() {
        if (master_ >= 0) ::close(master_);
        if (slave_ >= 0) ::close(slave_);
        master_ = slave_ = -1;
    }

protected:
    std::string path_;
    int master_ = -1;
    int slave_ = -1;  // a side of the slave the test holds, if any
};
