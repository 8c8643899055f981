#pragma once
// Standard output of busprobe-cli: a stream buffer on a file descriptor that
// keeps the errno of a failed write. A value read from the decoder that
// could not be written is a failure, and only the errno tells a full disk
// (ENOSPC) or a closed descriptor (EBADF) from a reader that went away
// (EPIPE, as with `monitor | head`).

#include <streambuf>

class cli_fd_out : public std::streambuf {
public:
    explicit cli_fd_out(int fd) : fd_(fd) { setp(buf_, buf_ + sizeof buf_); }
    cli_fd_out(const cli_fd_out&) = delete;
    cli_fd_out& operator=(const cli_fd_out&) = delete;
    ~cli_fd_out() override { sync(); }

    // errno of the first failed write; 0 while every write succeeded. After
    // a failure nothing more is written.
    int error() const { return error_; }

protected:
    int_type overflow(int_type c) override;
    int sync() override;

private:
    bool write_out();

    int fd_;
    int error_ = 0;
    char buf_[8192];
};

// A closed standard stream would give its number to the next file opened,
// the serial port among them, and the tool's output would go to the bus.
// Holds each closed number of 0, 1 and 2 with /dev/null opened for reading,
// so writes to it fail (EBADF) and are reported.
void cli_hold_standard_fds();
