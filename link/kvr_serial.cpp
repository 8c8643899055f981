#include "link/kvr_serial.h"

// Only kernel headers for the terminal structures: <termios.h> must not be
// included in this unit.
#include <asm/termbits.h>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

int kvr_serial_io::ioctl(int fd, unsigned long request, void* arg) {
    return ::ioctl(fd, request, arg);
}

ssize_t kvr_serial_io::read(int fd, void* buf, std::size_t count) {
    return ::read(fd, buf, count);
}

ssize_t kvr_serial_io::write(int fd, const void* buf, std::size_t count) {
    return ::write(fd, buf, count);
}

int kvr_serial_io::poll(pollfd* pfd, int timeout_ms) {
    return ::poll(pfd, 1, timeout_ms);
}

kvr_serial_io& kvr_serial_io::system() {
    static kvr_serial_io real;
    return real;
}

namespace kvr_serial {

namespace {

int get(kvr_serial_io& io, int fd, termios2* t) {
    return io.ioctl(fd, TCGETS2, t) < 0 ? errno : 0;
}

int put(kvr_serial_io& io, int fd, termios2& t) {
    return io.ioctl(fd, TCSETS2, &t) < 0 ? errno : 0;
}

// Descriptors held exclusively, each stored plus one so that the zeroed
// array (ready before any constructor runs) is all free places. Plain
// atomics so that release_held_ports may run anywhere, a signal handler
// included. A program holds one or two ports; any beyond the places are
// still released by close.
constexpr std::size_t max_held = 16;
std::atomic<int> held[max_held];
static_assert(std::atomic<int>::is_always_lock_free);

void hold(int fd) {
    for (std::atomic<int>& h : held) {
        int free_place = 0;
        if (h.compare_exchange_strong(free_place, fd + 1)) return;
    }
}

void unhold(int fd) {
    for (std::atomic<int>& h : held) {
        int mine = fd + 1;
        if (h.compare_exchange_strong(mine, 0)) return;
    }
}

bool near_rate(unsigned actual, unsigned wanted) {
    const unsigned diff = actual > wanted ? actual - wanted : wanted - actual;
    return diff * 50 <= wanted;
}

}  // namespace

int open_exclusive(const char* path, int* fd) {
    *fd = -1;
    const int f = ::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (f < 0) return errno;
    // Not a terminal at all (ENOTTY): the properties step refuses it with
    // its own report.
    if (ioctl(f, TIOCEXCL) < 0 && errno != ENOTTY) {
        const int err = errno;
        ::close(f);
        return err;
    }
    hold(f);
    *fd = f;
    return 0;
}

void close_exclusive(int fd) {
    if (fd < 0) return;
    unhold(fd);
    ioctl(fd, TIOCNXCL);
    ::close(fd);
}

void release_held_ports() {
    for (std::atomic<int>& h : held)
        if (const int stored = h.load(); stored > 0) ioctl(stored - 1, TIOCNXCL);
}

int probe_terminal(int fd, kvr_serial_io& io) {
    termios2 t{};
    return get(io, fd, &t);
}

int set_custom_baud(int fd, unsigned baud, bool* accepted, kvr_serial_io& io) {
    *accepted = false;
    termios2 t{};
    if (int err = get(io, fd, &t)) return err;
    t.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
    t.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    t.c_ispeed = baud;
    t.c_ospeed = baud;
    // A driver without programmable rates answers EINVAL or silently keeps
    // another rate; both mean it cannot run the bus.
    if (put(io, fd, t) != 0) return 0;
    termios2 back{};
    if (int err = get(io, fd, &back)) return err;
    *accepted = near_rate(back.c_ospeed, baud) && near_rate(back.c_ispeed, baud);
    return 0;
}

int set_raw_8n1(int fd, bool* failed_write, kvr_serial_io& io) {
    *failed_write = false;
    termios2 t{};
    if (int err = get(io, fd, &t)) return err;
    // Raw binary: no character translation, no echo, no signals. Software
    // flow control goes too, since 0x11 and 0x13 are ordinary data bytes on
    // the bus; hardware flow control (CRTSCTS) is left as the driver has it.
    t.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY);
    t.c_oflag &= ~OPOST;
    t.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    t.c_cflag &= ~(CSIZE | PARENB | CSTOPB);
    t.c_cflag |= CS8 | CREAD | CLOCAL;
    if (int err = put(io, fd, t)) {
        *failed_write = true;
        return err;
    }
    return 0;
}

int set_hardware_flow(int fd, bool on, kvr_serial_io& io) {
    termios2 t{};
    if (int err = get(io, fd, &t)) return err;
    if (on)
        t.c_cflag |= CRTSCTS;
    else
        t.c_cflag &= ~CRTSCTS;
    return put(io, fd, t);
}

int raise_dtr_rts(int fd, kvr_serial_io& io) {
    int lines = TIOCM_DTR | TIOCM_RTS;
    if (io.ioctl(fd, TIOCMBIS, &lines) == 0) return 0;
    return errno == ENOTTY || errno == EINVAL ? 0 : errno;
}

int set_ms100_modem_lines(int fd, kvr_serial_io& io) {
    int rts = TIOCM_RTS;
    if (io.ioctl(fd, TIOCMBIS, &rts) != 0 && errno != ENOTTY && errno != EINVAL) return errno;
    int dtr = TIOCM_DTR;
    if (io.ioctl(fd, TIOCMBIC, &dtr) != 0 && errno != ENOTTY && errno != EINVAL) return errno;
    return 0;
}

int software_flow(int fd, bool* xonxoff, kvr_serial_io& io) {
    termios2 t{};
    if (int err = get(io, fd, &t)) return err;
    *xonxoff = (t.c_iflag & (IXON | IXOFF)) != 0;
    return 0;
}

int line_settings(int fd, unsigned* baud, bool* rtscts, kvr_serial_io& io) {
    termios2 t{};
    if (int err = get(io, fd, &t)) return err;
    *baud = t.c_ospeed;
    *rtscts = (t.c_cflag & CRTSCTS) != 0;
    return 0;
}

int set_nonblocking_reads(int fd, bool* failed_write, kvr_serial_io& io) {
    *failed_write = false;
    termios2 t{};
    if (int err = get(io, fd, &t)) return err;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    if (int err = put(io, fd, t)) {
        *failed_write = true;
        return err;
    }
    return 0;
}

int send_break(int fd, long us, kvr_serial_io& io) {
    if (io.ioctl(fd, TIOCSBRK, nullptr) < 0) return errno;
    const timespec ts{us / 1000000, us % 1000000 * 1000};
    ::nanosleep(&ts, nullptr);
    return io.ioctl(fd, TIOCCBRK, nullptr) < 0 ? errno : 0;
}

int flush_input(int fd, kvr_serial_io& io) {
    // TCFLSH takes its argument by value, not through a pointer.
    return io.ioctl(fd, TCFLSH, reinterpret_cast<void*>(static_cast<uintptr_t>(TCIFLUSH))) < 0 ? errno : 0;
}

int queue_counts(int fd, int* in, int* out, kvr_serial_io& io) {
    *in = 0;
    *out = 0;
    if (io.ioctl(fd, FIONREAD, in) < 0) return errno;
    if (io.ioctl(fd, TIOCOUTQ, out) < 0) return errno;
    return 0;
}

}  // namespace kvr_serial
