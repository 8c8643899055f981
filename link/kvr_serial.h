#pragma once
// Terminal control of the serial port through termios2 (programmable baud
// rates with BOTHER). The kernel's <asm/termbits.h> and the C library's
// <termios.h> define the same names differently, so everything that needs
// the kernel's structures stays inside kvr_serial.cpp and callers see plain
// descriptors and errno values.
//
// Every function returns 0 on success or the errno of the call that failed.
//
// The calls the driver makes on an open device go through kvr_serial_io, so
// a test can make them fail (a refused rate, a write the driver never takes)
// on a pseudo-terminal that would otherwise always succeed.

#include <cstddef>
#include <sys/types.h>

struct pollfd;

class kvr_serial_io {
public:
    virtual ~kvr_serial_io() = default;
    // Each returns what the system call returns and leaves errno as it does.
    virtual int ioctl(int fd, unsigned long request, void* arg);
    virtual ssize_t read(int fd, void* buf, std::size_t count);
    virtual ssize_t write(int fd, const void* buf, std::size_t count);
    // Waits for room to write: poll() on one descriptor.
    virtual int poll(pollfd* pfd, int timeout_ms);

    // The real calls.
    static kvr_serial_io& system();
};

namespace kvr_serial {

// open(O_RDWR|O_NOCTTY|O_NONBLOCK|O_CLOEXEC), then TIOCEXCL so no other
// process opens the port while we hold it. On failure nothing stays open.
// A descriptor that is no terminal is returned as opened; probe_terminal
// tells.
int open_exclusive(const char* path, int* fd);

// TIOCNXCL, then close. The exclusive flag belongs to the terminal, not to
// the descriptor: a pseudo-terminal whose master stays open keeps it after
// the last close, and every later open by a user without CAP_SYS_ADMIN fails
// with EBUSY. Safe on a descriptor that is no terminal.
void close_exclusive(int fd);

// Clears the exclusive flag (TIOCNXCL) of every port open_exclusive holds
// open, for a program about to end at once (_Exit) without closing its
// links: the flag would outlive it, the descriptors' close at exit drops
// the modem lines. Lock-free and async-signal-safe; the ports stay open.
void release_held_ports();

// TCGETS2: fails (ENOTTY) on anything that is not a terminal.
int probe_terminal(int fd, kvr_serial_io& io);

// Programs `baud` with BOTHER for both directions and reads it back.
// `accepted` is false when the driver refused the rate or kept one more than
// 2% away from it (a UART rounds to its divisor; the bus tolerates that).
int set_custom_baud(int fd, unsigned baud, bool* accepted, kvr_serial_io& io);

// Device-control settings: raw binary, 8 data bits, no parity, one stop
// bit, receiver on, modem lines ignored. Hardware flow control stays as the
// driver reported it. `failed_write` tells a refused write from a refused read.
int set_raw_8n1(int fd, bool* failed_write, kvr_serial_io& io);

// RTS/CTS hardware flow control on or off (CRTSCTS). The LocoBuffer class
// holds CTS low while its buffer toward the bus is full.
int set_hardware_flow(int fd, bool on, kvr_serial_io& io);

// Raises DTR and RTS (TIOCMBIS). A device without modem lines (a
// pseudo-terminal, some CDC-ACM firmware) refuses with ENOTTY or EINVAL;
// that is no failure, since such a device needs no lines raised.
int raise_dtr_rts(int fd, kvr_serial_io& io);

// The MS100's lines: it is powered from RTS and has no handshake, so RTS
// goes up and DTR down (TIOCMBIS, TIOCMBIC). Refusals by a device without
// modem lines count as success, as above.
int set_ms100_modem_lines(int fd, kvr_serial_io& io);

// The rate and flow control the driver holds now.
int line_settings(int fd, unsigned* baud, bool* rtscts, kvr_serial_io& io);
// Software flow control (IXON or IXOFF) on.
int software_flow(int fd, bool* xonxoff, kvr_serial_io& io);

// Reads never block: VMIN 0, VTIME 0. `failed_write` as above.
int set_nonblocking_reads(int fd, bool* failed_write, kvr_serial_io& io);

// Holds the line in the break state (low) for about `us` microseconds.
// A device without break control (a pseudo-terminal) ignores it.
int send_break(int fd, long us, kvr_serial_io& io);

// Discards bytes received but not yet read.
int flush_input(int fd, kvr_serial_io& io);

// Bytes waiting to be read and bytes waiting to be sent.
int queue_counts(int fd, int* in, int* out, kvr_serial_io& io);

}  // namespace kvr_serial
