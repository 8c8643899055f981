#include "apps/cli/cli_output.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

bool cli_fd_out::write_out() {
    const char* p = pbase();
    const char* end = pptr();
    while (error_ == 0 && p < end) {
        const ssize_t n = ::write(fd_, p, static_cast<std::size_t>(end - p));
        if (n > 0) p += n;
        else if (n < 0 && errno == EINTR) continue;
        else error_ = n < 0 ? errno : EIO;
    }
    setp(buf_, buf_ + sizeof buf_);
    return error_ == 0;
}

cli_fd_out::int_type cli_fd_out::overflow(int_type c) {
    if (!write_out()) return traits_type::eof();
    if (!traits_type::eq_int_type(c, traits_type::eof())) {
        *pptr() = traits_type::to_char_type(c);
        pbump(1);
    }
    return traits_type::not_eof(c);
}

int cli_fd_out::sync() { return write_out() ? 0 : -1; }

void cli_hold_standard_fds() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
        // The lowest free number is taken, and every lower one is open.
        const int held = ::open("/dev/null", O_RDONLY);
        if (held >= 0 && held != fd) ::close(held);
    }
}
