#include "link/kvr_ms100.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <system_error>
#include <vector>

#include <netdb.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/resource.h>
#include <unistd.h>

#include "foundation/kvr_exception.h"
#include "foundation/kvr_file.h"
#include "loconet/kvr_hex_text.h"
#include "loconet/kvr_link_words.h"
#include "link/kvr_lntcp_connect.h"
#include "link/kvr_repeat_gate.h"
#include "link/kvr_serial.h"
#include "link/kvr_tx_gate.h"

namespace {

constexpr const char* kvr_source = "kvr_ms100";
using std::chrono::milliseconds;
using kvr_tx_gate::duration;
constexpr duration kvr_poll = milliseconds(10);             // idle poll interval
constexpr duration kvr_poll_after_write = milliseconds(2);  // until the next read
constexpr std::size_t kvr_read_buffer = 2048;
// A write the driver takes only in part is finished within this bound. The
// port lock is held only for each write call, never while waiting for room,
// so store look-ups from other threads never stall behind a stuck write.
constexpr int kvr_write_stalls = 20;
constexpr int kvr_write_stall_ms = 10;

// Report lines of the failures, as the program's users and their logs know
// them; the report names the source and the line.
enum kvr_ms100_line : int {
    line_create_file = 54,
    line_get_properties = 68,
    line_baud_user = 88,
    line_get_state = 99,
    line_set_state = 116,
    line_get_timeouts = 127,
    line_set_timeouts = 141,
    line_create_thread = 160,
    line_status = 193,
    line_read = 210,
    line_purge = 248,
    line_write = 308,
    line_rx_proc = 320,
};

// `plain`: the report's first line in plain words (kvr_link_words.h).
[[noreturn]] void raise(const std::string& where, int code, int line, std::string plain = {}) {
    kvr_exception e(where, static_cast<uint32_t>(code), kvr_source, line);
    e.plain = std::move(plain);
    throw e;
}

std::string port_step(const std::string& port, const char* step) {
    return "(" + port + ") :" + step;
}

// The fix for an open that failed, as a Linux user meets it; "" when the
// code needs no words beyond its own text.
const char* open_hint(int code) {
    switch (code) {
    case EACCES:
    case EPERM:
        return "the user must be in the dialout group: sudo usermod -aG dialout $USER, then log in again";
    case EBUSY: return "another program holds the port";
    case ENOENT:
    case ENODEV:
    case ENXIO: return "unplugged, or the wrong name";
    default: return "";
    }
}

// An adapter pulled out or a pseudo-terminal whose other side closed: the
// descriptor will never work again.
bool device_gone(uint32_t code) {
    return code == EIO || code == ENXIO || code == ENODEV;
}

// The same for a LocoNet-over-TCP connection: refused, reset, closed by the
// server, or timed out. A lost link exactly like a pulled adapter.
bool connection_gone(uint32_t code) {
    switch (code) {
    case ECONNREFUSED: case ECONNRESET: case ECONNABORTED: case EPIPE: case ENOTCONN:
    case ETIMEDOUT: case EHOSTUNREACH: case ENETUNREACH: case ENETDOWN:
        return true;
    default:
        return device_gone(code);
    }
}

// Ends a connection without losing the last lines sent. Closing a socket
// with unread input makes the system reset the connection, and the server
// may then drop what it had not read yet (a SEND written just before). So
// the sending side is shut first and the server's last lines are read away
// until it closes too, for a short bound.
void close_connection(int fd) {
    ::shutdown(fd, SHUT_WR);
    char sink[1024];
    for (int round = 0; round < 20; ++round) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 10) <= 0) continue;
        if (::recv(fd, sink, sizeof sink, MSG_DONTWAIT) <= 0) break;
    }
    ::close(fd);
}

// The socket's calls for write_whole: send() with MSG_NOSIGNAL, since a
// server that went away must fail the call, not raise SIGPIPE, which would
// end the whole program.
class socket_io : public kvr_serial_io {
public:
    ssize_t write(int fd, const void* buf, std::size_t count) override {
        return ::send(fd, buf, count, MSG_NOSIGNAL | MSG_DONTWAIT);
    }
};

// Writes the whole message. A non-blocking descriptor may take only part of
// it when the driver's output buffer is full; half a message on the bus
// would be taken for garbage by every receiver.
int write_whole(kvr_serial_io& io, std::mutex& port_lock, int fd, const uint8_t* p, std::size_t len) {
    int stalls = 0;
    while (len > 0) {
        ssize_t n = 0;
        int err = 0;
        {
            std::lock_guard<std::mutex> lk(port_lock);
            n = io.write(fd, p, len);
            err = errno;
        }
        if (n > 0) {
            p += n;
            len -= static_cast<std::size_t>(n);
            stalls = 0;
            continue;
        }
        if (n < 0 && err == EINTR) continue;
        if (n < 0 && err != EAGAIN && err != EWOULDBLOCK) return err;
        if (++stalls > kvr_write_stalls) return EAGAIN;
        pollfd pf{fd, POLLOUT, 0};
        io.poll(&pf, kvr_write_stall_ms);
    }
    return 0;
}

// A whole LocoNet-over-TCP line to the server.
int send_line(std::mutex& port_lock, int fd, const std::string& line) {
    static socket_io sockets;
    return write_whole(sockets, port_lock, fd, reinterpret_cast<const uint8_t*>(line.data()), line.size());
}

using tx_clock = std::chrono::steady_clock;

kvr_tx_gate::duration since(tx_clock::time_point then, tx_clock::time_point now) {
    return std::chrono::duration_cast<kvr_tx_gate::duration>(now - then);
}

}  // namespace

struct kvr_ms100::impl {
    impl(kvr_ms100& o, kvr_serial_io& calls) : owner(o), io(calls), buf(kvr_read_buffer) {
        wake_fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    }
    ~impl() {
        if (wake_fd >= 0) ::close(wake_fd);
    }

    kvr_ms100& owner;
    kvr_serial_io& io;
    // Written only by the user-interface thread while no I/O thread runs;
    // for TCP by the I/O thread once it connected (nobody else looks at it
    // while the thread runs).
    int fd = -1;
    std::string name;
    // Written by the owner's thread while no I/O thread runs.
    kvr_adapter chosen = kvr_adapter::automatic;
    const kvr_adapter_info* kind = nullptr;
    kvr_lntcp_endpoint endpoint;
    bool is_tcp() const { return kind != nullptr && kind->kind == kvr_adapter::tcp; }
    std::unique_ptr<kvr_virtual_port> vport;
    std::map<std::string, kvr_virtual_port_factory> virtual_ports;  // the owner's thread only
    std::thread thread;

    // Stop signal: the flag is the truth, the eventfd wakes a waiting poll.
    // send() rings the same eventfd so a queued message starts its cycle at
    // once instead of after the rest of the poll interval. Without an eventfd
    // the poll still ends within one poll interval.
    std::atomic<bool> stop{false};
    int wake_fd = -1;
    void ring() const {
        if (wake_fd < 0) return;
        const uint64_t one = 1;
        [[maybe_unused]] ssize_t w = ::write(wake_fd, &one, sizeof one);
    }

    // Guarded by the port lock. The front message stays queued while it is
    // written (the lock is released meanwhile); `front_in_flight` keeps a
    // withdrawal from taking it then.
    struct queued {
        kvr_loconet_msg msg;
        uint32_t tag;
        int tries = 0;  // MS100: attempts that collided
    };
    std::deque<queued> txq;
    bool front_in_flight = false;
    std::condition_variable tx_empty;  // waits with the port lock

    // I/O thread only.
    std::vector<uint8_t> buf;
    int waiting_in = 0;
    int waiting_out = 0;
    bool lost = false;
    kvr_repeat_gate gate;
    tx_clock::time_point last_rx{};  // when bytes were last read
    duration recheck{0};            // when the transmit gate may open by time alone
    kvr_lntcp_splitter lines;       // TCP: the server's lines
    // TCP: the front message was written as a SEND and its answer is awaited
    // (it stays at the front, in flight, until then); whether its echo came
    // and when; the server's last note, for the report when it closes.
    bool awaiting = false;
    bool echoed = false;
    tx_clock::time_point echo_at{};
    std::string last_note;

    // I/O thread only: the MS100's own bus access (kvr_tx_gate.h). While
    // `echo_due` is set the front message is on the line and its echo is
    // watched; it leaves the queue once it came back whole.
    int priority = kvr_tx_gate::priority_max_bits;
    bool echo_due = false;
    kvr_loconet_msg echo_msg;
    kvr_tx_gate::echo_watch echo;
    tx_clock::time_point echo_deadline{};
    std::atomic<std::size_t> given_up{0};  // messages the bus never carried

    void configure();
    void open_tcp();
    void connect_tcp();
    bool send_tcp();
    void answered(const std::string* failure);
    void server_line(std::string_view line, bool too_long);
    void start_thread();
    void stop_thread();
    void drop_queue();

    void run();
    bool wait_input(duration wait, bool watch_device);
    duration cycle(duration interval, bool hangup);
    duration cycle_tcp();
    bool send_raw(bool input_waiting);
    bool line_quiet_now();
    void watch_line(const uint8_t* bytes, std::size_t n);
    void echo_timed_out();
    void echo_whole();
    void collided();
    void finish_front(bool sent);
    void deliver(const uint8_t* bytes, std::size_t n);
    bool failed(kvr_exception& e, bool from_device);
    void lose(kvr_exception& e);
    static void record(kvr_exception& e);
    template <class F>
    static std::optional<kvr_exception> attempt(F&& f);
};

// Open steps 3 to 7. Each failure closes the port first, then raises.
void kvr_ms100::impl::configure() {
    auto fail = [this](const char* step, int code, int line, kvr_link_step words = kvr_link_step::setup) {
        const std::string where = port_step(name, step);
        std::string plain = kvr_link_words(words, name, code);
        owner.close();
        raise(where, code, line, std::move(plain));
    };
    // ENOTTY is "Inappropriate ioctl for device", which tells a user little:
    // the report names the cause and keeps the code.
    if (int err = kvr_serial::probe_terminal(fd, io))
        fail(err == ENOTTY ? "GetCommProperties (not a serial device)" : "GetCommProperties", err,
             line_get_properties, err == ENOTTY ? kvr_link_step::not_serial : kvr_link_step::setup);

    bool accepted = false;
    if (int err = kvr_serial::set_custom_baud(fd, kind->baud, &accepted, io))
        fail("GetCommProperties", err, line_get_properties);
    if (!accepted) fail("not support BAUD_USER", 0, line_baud_user, kvr_link_step::rate);

    bool on_write = false;
    if (int err = kvr_serial::set_raw_8n1(fd, &on_write, io))
        fail(on_write ? "SetCommState" : "GetCommState", err, on_write ? line_set_state : line_get_state);
    // The LocoBuffer class paces the PC with CTS and wants DTR and RTS up
    // before it talks. The MS100 has no handshake: flow control left on by
    // an earlier LocoBuffer run on the same port would stall its writes
    // (software flow control went with the raw settings above).
    if (int err = kvr_serial::set_hardware_flow(fd, kind->rtscts, io)) fail("SetCommState", err, line_set_state);
    const int lines = kind->rtscts ? kvr_serial::raise_dtr_rts(fd, io) : kvr_serial::set_ms100_modem_lines(fd, io);
    if (lines) fail("EscapeCommFunction", lines, line_set_state);
    if (int err = kvr_serial::set_nonblocking_reads(fd, &on_write, io))
        fail(on_write ? "SetCommTimeouts" : "GetCommTimeouts", err,
             on_write ? line_set_timeouts : line_get_timeouts);
    // Queue sizes: the tty layer sizes its own buffers; nothing to ask for.
}

void kvr_ms100::impl::start_thread() {
    stop.store(false);
    lost = false;
    gate.reset();
    last_rx = {};
    priority = kvr_tx_gate::priority_max_bits;
    echo_due = false;
    try {
        thread = std::thread([this] { run(); });
    } catch (const std::system_error& e) {
        const std::string where = port_step(name, "CreateThread");
        owner.close();
        raise(where, e.code().value(), line_create_thread,
              kvr_link_words(kvr_link_step::setup, name, e.code().value()));
    }
}

void kvr_ms100::impl::stop_thread() {
    if (!thread.joinable()) return;
    stop.store(true);
    ring();
    thread.join();
    if (wake_fd >= 0) {
        uint64_t drained = 0;
        [[maybe_unused]] ssize_t r = ::read(wake_fd, &drained, sizeof drained);
    }
    stop.store(false);
}

void kvr_ms100::impl::drop_queue() {
    std::lock_guard<std::mutex> lk(owner.lock());
    txq.clear();
    front_in_flight = false;
    tx_empty.notify_all();
}

template <class F>
std::optional<kvr_exception> kvr_ms100::impl::attempt(F&& f) {
    try {
        f();
        return std::nullopt;
    } catch (kvr_exception& e) {
        return e;
    } catch (const std::exception& e) {
        return kvr_exception(std::string("kvr_ms100::rx_proc(") + e.what() + ")", 0, kvr_source,
                             line_rx_proc);
    }
}

// The I/O thread (rx_proc). Every wait is bounded by the poll interval, so
// close() always joins it promptly.
void kvr_ms100::impl::run() {
    // One step above normal; an unprivileged process may not raise it, and
    // the link works the same without.
    const int tid = static_cast<int>(::gettid());
    errno = 0;
    const int nice_now = ::getpriority(PRIO_PROCESS, tid);
    if (errno == 0) ::setpriority(PRIO_PROCESS, tid, nice_now - 1);

    if (is_tcp()) {
        // A link that never connected is lost whatever the reason.
        auto e = attempt([&] { connect_tcp(); });
        if (e) lose(*e);
        if (e || fd < 0) return;
    }
    duration interval = kvr_poll;
    bool watch_device = true;
    while (!stop.load() && !lost) {
        const bool hangup = wait_input(interval, watch_device);
        if (stop.load()) break;
        auto e = attempt([&] { interval = cycle(interval, hangup); });
        if (e) failed(*e, true);
        // After a failure wait the whole interval: a descriptor that keeps
        // reporting an error condition would otherwise wake poll at once,
        // and the thread would spin.
        watch_device = !e;
        if (e) interval = kvr_poll;
    }
    // Stopped or lost while the echo of a message written was still due:
    // the message is on the line, so it counts as sent rather than going
    // again after the next open.
    if (echo_due) {
        echo_due = false;
        finish_front(true);
    }
}

// Waits until input arrives (when `watch_device`), the stop signal comes or
// `wait` passes, to the microsecond: the bus's backoff is counted in bit
// times. True when the device reports a hang-up.
bool kvr_ms100::impl::wait_input(duration wait, bool watch_device) {
    pollfd p[2] = {{wake_fd, POLLIN, 0}, {watch_device ? fd : -1, POLLIN, 0}};
    const auto us = std::max<duration::rep>(wait.count(), 0);
    const timespec ts{static_cast<time_t>(us / 1000000), static_cast<long>(us % 1000000) * 1000};
    if (::ppoll(p, 2, &ts, nullptr) <= 0) return false;
    if (p[0].revents & POLLIN) {
        // Drain the ring so the next poll sleeps again; a stop is still seen
        // through its flag.
        uint64_t drained = 0;
        [[maybe_unused]] ssize_t r = ::read(wake_fd, &drained, sizeof drained);
    }
    return (p[1].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

// One poll cycle: read and dispatch what waits, then write at most one
// queued message when the transmit gate allows. Returns the next poll
// interval: shorter while a message waits for the gate or its echo.
duration kvr_ms100::impl::cycle(duration interval, bool hangup) {
    if (is_tcp()) return cycle_tcp();
    std::unique_lock<std::mutex> lk(owner.lock());
    if (int err = kvr_serial::queue_counts(fd, &waiting_in, &waiting_out, io)) {
        lk.unlock();
        raise("kvr_ms100::rx_proc::ClearCommError", err, line_status, kvr_link_words(kvr_link_step::lost, name, err));
    }
    const bool input = waiting_in > 0;
    if (input) {
        const std::size_t want = std::min(static_cast<std::size_t>(waiting_in), buf.size());
        const ssize_t n = io.read(fd, buf.data(), want);
        const int err = errno;
        lk.unlock();
        interval = kvr_poll;
        if (n < 0 && err != EAGAIN && err != EINTR)
            raise("kvr_ms100::rx_proc::ReadFile", err, line_read, kvr_link_words(kvr_link_step::lost, name, err));
        if (n > 0) {
            last_rx = tx_clock::now();
            watch_line(buf.data(), static_cast<std::size_t>(n));
            deliver(buf.data(), static_cast<std::size_t>(n));
        }
    } else {
        lk.unlock();
        // Hung up with nothing left to read: the device has gone away.
        if (hangup)
            raise("kvr_ms100::rx_proc::ReadFile", EIO, line_read, kvr_link_words(kvr_link_step::lost, name, EIO));
    }
    if (echo_due && tx_clock::now() >= echo_deadline) echo_timed_out();
    recheck = duration{0};
    if (send_raw(input)) interval = kvr_poll_after_write;
    else if (recheck > duration{0}) interval = std::min(interval, recheck);
    if (echo_due) interval = std::min(interval, std::max(since(tx_clock::now(), echo_deadline), duration{1}));
    return interval;
}

// The MS100 watches its own echo and the other nodes' starts in every byte
// read (kvr_tx_gate.h).
void kvr_ms100::impl::watch_line(const uint8_t* bytes, std::size_t n) {
    if (!kind->pc_accesses_bus) return;
    std::size_t used = 0;
    if (echo_due) {
        const auto r = echo.feed(echo_msg.data(), static_cast<std::size_t>(echo_msg.length()), bytes, n);
        if (r.state == kvr_tx_gate::echo_state::pending) return;
        if (r.state == kvr_tx_gate::echo_state::differs) {
            collided();
            return;  // the rest is the wreck of both messages
        }
        echo_whole();
        used = r.used;
    }
    std::lock_guard<std::mutex> lk(owner.lock());
    if (!txq.empty()) priority = kvr_tx_gate::after_losses(priority, kvr_tx_gate::message_starts(bytes + used, n - used));
}

// Our whole message did not come back in time. Nothing at all: a line
// without echo, the message counts as sent. Anything else: it was cut short
// or never got onto the line.
void kvr_ms100::impl::echo_timed_out() {
    if (!echo.seen_anything()) {
        echo_due = false;
        finish_front(true);
        return;
    }
    collided();
}

void kvr_ms100::impl::echo_whole() {
    echo_due = false;
    priority = kvr_tx_gate::priority_max_bits;
    finish_front(true);
}

// Another node started with us. Both messages are lost: a break tells the
// other node so, and ours goes again after the backoff, or is given up
// after the last try.
void kvr_ms100::impl::collided() {
    echo_due = false;
    kvr_serial::send_break(fd, kvr_tx_gate::bits(kvr_tx_gate::break_bits).count(), io);
    last_rx = tx_clock::now();
    std::unique_lock<std::mutex> lk(owner.lock());
    front_in_flight = false;
    if (txq.empty()) return;
    if (++txq.front().tries < kvr_tx_gate::max_tries) return;
    lk.unlock();
    finish_front(false);
}

// The front message leaves the queue: sent, or given up with a report in
// the monitor and the dated log.
void kvr_ms100::impl::finish_front(bool sent) {
    std::unique_lock<std::mutex> lk(owner.lock());
    front_in_flight = false;
    if (txq.empty()) return;
    const kvr_loconet_msg msg = txq.front().msg;
    txq.pop_front();
    if (!sent) given_up.fetch_add(1);
    if (txq.empty()) tx_empty.notify_all();
    lk.unlock();
    if (sent) return;
    const std::string note = "MS100: not sent, " + std::to_string(kvr_tx_gate::max_tries) +
                             " collisions on the bus: " + kvr_hex_bytes(msg);
    owner.post_text("%s\r\n", note.c_str());
    kvr_exception e("kvr_ms100::send_raw(" + name + ") " + note, 0, kvr_source, line_write);
    record(e);
}

// A last look at the driver right before a write: a byte that arrived since
// the cycle's read is another node's start.
bool kvr_ms100::impl::line_quiet_now() {
    int in = 0, out = 0;
    std::lock_guard<std::mutex> lk(owner.lock());
    return kvr_serial::queue_counts(fd, &in, &out, io) != 0 || in == 0;
}

// Writes the oldest queued message when the transmit gate allows. Other
// adapter kinds take it off the queue at once, whether or not the write
// succeeds, so a failing port cannot wedge it; the MS100 keeps it until its
// echo came back. The port lock is not held while the write waits for room
// in the driver.
bool kvr_ms100::impl::send_raw(bool input_waiting) {
    if (echo_due) return false;
    std::unique_lock<std::mutex> lk(owner.lock());
    if (txq.empty()) return false;
    const auto now = tx_clock::now();
    const kvr_tx_gate::line_state line{input_waiting, owner.receive_pending(), since(last_rx, now), priority, false};
    // Only the MS100 leaves bus access to the PC; the other kinds wait for
    // a free bus themselves.
    const bool own_access = kind->pc_accesses_bus;
    if (own_access && !kvr_tx_gate::may_write(line)) {
        recheck = std::max(kvr_tx_gate::recheck_after(line), duration{1});
        return false;
    }
    const kvr_loconet_msg msg = txq.front().msg;
    front_in_flight = true;
    lk.unlock();
    if (own_access && !line_quiet_now()) {
        lk.lock();
        front_in_flight = false;
        recheck = duration{1};
        return false;
    }
    const int err = write_whole(io, owner.lock(), fd, msg.data(), static_cast<std::size_t>(std::max(msg.length(), 0)));
    if (own_access && !err) {
        int in = 0, out = 0;
        {
            std::lock_guard<std::mutex> hold(owner.lock());
            kvr_serial::queue_counts(fd, &in, &out, io);
        }
        echo_due = true;
        echo_msg = msg;
        echo.start();
        echo_deadline = tx_clock::now() +
                        kvr_tx_gate::echo_window(static_cast<std::size_t>(msg.length()), static_cast<std::size_t>(out));
        return true;
    }
    lk.lock();
    txq.pop_front();
    front_in_flight = false;
    if (txq.empty()) tx_empty.notify_all();
    lk.unlock();
    if (err) raise("kvr_ms100::send_raw", err, line_write, kvr_link_words(kvr_link_step::lost, name, err));
    return true;
}

// ---- LocoNet over TCP ----
//
// The connection is made on the I/O thread, so open() never waits for a
// name server: a refused or unreachable server then ends the link as a
// pulled adapter does (one record, one notice). Messages queued meanwhile
// go out once it is connected.

void kvr_ms100::impl::open_tcp() {
    std::string why;
    if (!kvr_lntcp_parse_url(name, endpoint, why)) {
        kind = nullptr;
        raise(port_step(name, "CreateFile") + " (" + why + ")", EINVAL, line_create_file,
              kvr_link_words(kvr_link_step::tcp_address, name, EINVAL, why));
    }
    lines = kvr_lntcp_splitter{};
    {
        std::lock_guard<std::mutex> lk(owner.lock());
        front_in_flight = false;
        awaiting = false;
    }
    last_note.clear();
    owner.set_open(true);
    start_thread();
}

void kvr_ms100::impl::connect_tcp() {
    kvr_lntcp_connection c = kvr_lntcp_connect(endpoint, kvr_lntcp_connect_ms, wake_fd, &stop);
    if (c.fd >= 0) {
        fd = c.fd;
        return;
    }
    if (c.error == ECANCELED) return;  // closed while connecting
    // A name that does not resolve has no system error code: the report
    // carries the resolver's own text and code 0, not a network error.
    if (c.resolve_status != 0)
        raise(port_step(name, "getaddrinfo") + " (" + gai_strerror(c.resolve_status) + ")", 0, line_create_file,
              kvr_link_words(kvr_link_step::tcp_resolve, endpoint.host, c.resolve_status));
    const char* hint = kvr_lntcp_hint(c.error);
    std::string where = port_step(name, "connect");
    if (*hint) where += std::string(" (") + hint + ")";
    raise(where, c.error, line_create_file, kvr_link_words(kvr_link_step::tcp_connect, endpoint.text(), c.error));
}

duration kvr_ms100::impl::cycle_tcp() {
    char data[kvr_read_buffer];
    const ssize_t n = ::recv(fd, data, sizeof data, MSG_DONTWAIT);
    const int err = errno;
    if (n == 0) {
        std::string why = "the server closed the connection";
        if (!last_note.empty()) why += ": " + last_note;
        raise("kvr_ms100::rx_proc::recv (" + why + ")", ECONNRESET, line_read,
              kvr_link_words(kvr_link_step::tcp_lost, endpoint.text(), ECONNRESET));
    }
    if (n < 0 && err != EAGAIN && err != EWOULDBLOCK && err != EINTR)
        raise("kvr_ms100::rx_proc::recv", err, line_read, kvr_link_words(kvr_link_step::tcp_lost, endpoint.text(), err));
    if (n > 0) {
        last_rx = tx_clock::now();
        lines.feed(data, static_cast<std::size_t>(n),
                   [this](std::string_view line, bool too_long) { server_line(line, too_long); });
    }
    // A server that echoes but never answers SENT: the bus carried the
    // message, which is all the answer would have said.
    if (awaiting && echoed && tx_clock::now() - echo_at > std::chrono::seconds(1)) answered(nullptr);
    return send_tcp() ? kvr_poll_after_write : kvr_poll;
}

// Writes the front message as a SEND when no answer is awaited. It stays
// queued until the server answers, so an empty queue means every message was
// confirmed, and a refused one is known as refused; with one SEND at a time
// every answer belongs to the message at the front.
bool kvr_ms100::impl::send_tcp() {
    std::unique_lock<std::mutex> lk(owner.lock());
    if (awaiting || txq.empty()) return false;
    const kvr_loconet_msg msg = txq.front().msg;
    front_in_flight = true;
    awaiting = true;
    echoed = false;
    lk.unlock();
    if (int err = send_line(owner.lock(), fd, kvr_lntcp_format_send(msg) + "\r\n")) {
        // It leaves the queue, so a failing connection cannot wedge it, but
        // as a failure: a message never written must not pass for sent.
        const std::string failure = std::string("not written to the server: ") + std::strerror(err);
        answered(&failure);
        raise("kvr_ms100::send_raw", err, line_write, kvr_link_words(kvr_link_step::tcp_lost, endpoint.text(), err));
    }
    return true;
}

// The answer to the SEND at the front: it leaves the queue. A failure
// (the server's refusal, or a write that failed) is told to the sink before
// the queue can look empty, so a caller that waits for the queue finds the
// failure too, and recorded.
void kvr_ms100::impl::answered(const std::string* failure) {
    std::unique_lock<std::mutex> lk(owner.lock());
    if (!awaiting) return;
    if (failure != nullptr) {
        const std::string sent = txq.empty() ? std::string("SEND") : kvr_lntcp_format_send(txq.front().msg);
        lk.unlock();
        kvr_exception e(port_step(name, "send") + " " + sent + " " + *failure, 0, kvr_source, line_write);
        e.plain = kvr_link_words(kvr_link_step::tcp_refused, endpoint.text(), 0, *failure);
        owner.notify_send_failed(e.report());
        failed(e, false);
        lk.lock();
    }
    awaiting = false;
    front_in_flight = false;
    if (!txq.empty()) txq.pop_front();
    if (txq.empty()) tx_empty.notify_all();
}

// RECEIVE lines take the receive path as bytes from a device would; the
// others are notes in the monitor. A SENT ERROR answering our SEND fails
// that message: it is recorded in the dated log (at most one a minute, as
// other failures of the link) and the sink is told, so the operation that
// sent it fails with the server's reason. Lines nobody asked for (a SENT
// without a SEND) are only shown.
void kvr_ms100::impl::server_line(std::string_view line, bool too_long) {
    const kvr_lntcp_client_event ev = kvr_lntcp_client_line(line, too_long);
    if (ev.is_message) {
        {
            std::lock_guard<std::mutex> lk(owner.lock());
            if (awaiting && !echoed && !txq.empty() && txq.front().msg == ev.msg) {
                echoed = true;
                echo_at = tx_clock::now();
            }
        }
        deliver(ev.msg.data(), static_cast<std::size_t>(ev.msg.length()));
        return;
    }
    if (ev.note.empty()) {  // SENT OK
        answered(nullptr);
        return;
    }
    last_note = ev.note;
    owner.post_text("%s\r\n", ev.note.c_str());
    if (ev.failed_send && awaiting) {
        // The server's own words, without the note's "LocoNet over TCP: ".
        const std::size_t sent = ev.note.find("SENT ERROR");
        const std::string reason =
            "refused by the server: " + (sent == std::string::npos ? ev.note : ev.note.substr(sent));
        answered(&reason);
    }
}

// Hands the bytes read to the receive path. A consumer that fails on one
// message must not strand the complete messages behind it until more bytes
// arrive, so dispatch goes on after a recorded failure.
void kvr_ms100::impl::deliver(const uint8_t* bytes, std::size_t n) {
    bool more = true;
    auto e = attempt([&] {
        owner.receive_bytes(bytes, n);
        more = false;
    });
    while (more) {
        if (e) failed(*e, false);
        e = attempt([&] { more = owner.process_one(); });
    }
}

// Records a failure of the I/O thread. The first one is always written, then
// at most one a minute with the count left out. A device that has gone away
// ends the link: recorded once, the open flag cleared, the sink told once.
// Only failures of calls on the device can mean that; a consumer's failure
// never does. Returns true when the link is lost.
bool kvr_ms100::impl::failed(kvr_exception& e, bool from_device) {
    if (from_device && (is_tcp() ? connection_gone(e.code) : device_gone(e.code))) {
        lose(e);
        return true;
    }
    unsigned left_out = 0;
    if (!gate.pass(kvr_repeat_gate::clock::now(), left_out)) return false;
    if (left_out > 0) e.where += " (" + std::to_string(left_out) + " more since the last record)";
    record(e);
    return false;
}

void kvr_ms100::impl::lose(kvr_exception& e) {
    const std::string report = e.report();
    lost = true;
    // Settled before the loss is told: whoever sees it may send at once.
    if (echo_due) {
        echo_due = false;
        finish_front(true);
    }
    // The record names the port and the reason, as the window's report does.
    e.where += " (link to " + name + " lost: " + (e.code != 0 ? std::strerror(static_cast<int>(e.code)) : e.plain) + ")";
    record(e);
    owner.set_open(false);
    owner.notify_link_lost(report);
}

// The dated log can fail itself (disk full, directory gone); the I/O thread
// must outlive that, so the failure is dropped here.
void kvr_ms100::impl::record(kvr_exception& e) {
    try {
        kvr_global_dated_log().write_exception(e);
    } catch (...) {
    }
}

kvr_ms100::kvr_ms100() : kvr_ms100(kvr_serial_io::system()) {}

kvr_ms100::kvr_ms100(kvr_serial_io& io) : impl_(std::make_unique<impl>(*this, io)) {}

kvr_ms100::~kvr_ms100() {
    close();
}

void kvr_ms100::open(const std::string& port_name) {
    impl& m = *impl_;
    if (m.thread.joinable() || m.fd >= 0 || m.vport) close();
    // Another open may be another bus: nothing learned or asked for on the
    // last one carries over (no I/O thread runs here).
    start_afresh();
    m.drop_queue();
    m.name = port_name;
    m.kind = kvr_adapter_find(kvr_adapter_resolve(m.chosen, port_name));
    if (m.is_tcp()) {
        m.open_tcp();
        return;
    }

    std::string path;
    if (auto it = m.virtual_ports.find(port_name); it != m.virtual_ports.end()) {
        m.vport = it->second();
        if (m.vport) path = m.vport->device_path();
    } else {
        path = device_path_for(port_name);
    }
    int fd = -1;
    const int err = path.empty() ? ENOENT : kvr_serial::open_exclusive(path.c_str(), &fd);
    if (err) {
        m.vport.reset();
        std::string where = port_step(port_name, "CreateFile");
        if (*open_hint(err)) where += std::string(" (") + open_hint(err) + ")";
        raise(where, err, line_create_file, kvr_link_words(kvr_link_step::open, port_name, err));
    }
    m.fd = fd;
    m.configure();
    // A failed purge leaves the port held, without thread and not open,
    // until the next open or close.
    purge();
    // Open before the thread runs: a device lost at once must leave the
    // link closed, not be overwritten here.
    set_open(true);
    m.start_thread();
}

void kvr_ms100::set_adapter(kvr_adapter kind) { impl_->chosen = kind; }

kvr_adapter kvr_ms100::adapter() const {
    return impl_->kind ? impl_->kind->kind : kvr_adapter_resolve(impl_->chosen, impl_->name);
}

void kvr_ms100::close() {
    impl& m = *impl_;
    set_open(false);
    m.stop_thread();
    // What the thread did not write goes with the link: written after the
    // next open it would reach the bus minutes later, maybe another layout.
    m.drop_queue();
    if (m.fd >= 0) {
        if (m.is_tcp())
            close_connection(m.fd);
        else
            kvr_serial::close_exclusive(m.fd);
        m.fd = -1;
    }
    // After the descriptor: a virtual port's peer closing first would look
    // like a pulled adapter.
    m.vport.reset();
}

void kvr_ms100::purge() {
    // A connection has no device queue; its fd belongs to the I/O thread.
    if (impl_->is_tcp() || impl_->fd < 0) return;
    if (int err = kvr_serial::flush_input(impl_->fd, impl_->io)) raise("kvr_ms100::purge", err, line_purge, kvr_link_words(kvr_link_step::setup, impl_->name, err));
}

void kvr_ms100::send(const kvr_loconet_msg& msg, uint8_t key) {
    {
        std::lock_guard<std::mutex> lk(lock());
        impl_->txq.push_back({msg, tx_tag()});
    }
    impl_->ring();
    event(key).signal(0);
}

std::size_t kvr_ms100::withdraw(uint32_t tag) {
    if (tag == 0) return 0;
    std::lock_guard<std::mutex> lk(lock());
    impl& m = *impl_;
    const auto first = m.txq.begin() + (m.front_in_flight ? 1 : 0);
    const auto kept = std::remove_if(first, m.txq.end(), [tag](const impl::queued& q) { return q.tag == tag; });
    const auto gone = static_cast<std::size_t>(m.txq.end() - kept);
    m.txq.erase(kept, m.txq.end());
    if (m.txq.empty()) m.tx_empty.notify_all();
    return gone;
}

std::size_t kvr_ms100::not_sent() const { return impl_->given_up.load(); }

std::size_t kvr_ms100::tx_pending() const {
    std::lock_guard<std::mutex> lk(lock());
    return impl_->txq.size();
}

bool kvr_ms100::wait_tx_empty(unsigned ms) const {
    std::unique_lock<std::mutex> lk(lock());
    return impl_->tx_empty.wait_for(lk, std::chrono::milliseconds(ms), [this] { return impl_->txq.empty(); });
}

void kvr_ms100::add_virtual_port(const std::string& name, kvr_virtual_port_factory factory) {
    impl_->virtual_ports[name] = std::move(factory);
}

bool kvr_ms100::is_virtual_port(const std::string& name) const {
    return impl_->virtual_ports.count(name) != 0;
}

std::string kvr_ms100::device_path_for(const std::string& port_name) {
    // "./bus" and "../bus" are paths as much as "/dev/pts/3"; a bare word
    // is a port name.
    if (port_name.rfind('/', 0) == 0 || port_name.rfind("./", 0) == 0 || port_name.rfind("../", 0) == 0)
        return port_name;
    if (port_name.size() == 4 && port_name[3] >= '1' && port_name[3] <= '4') {
        std::string head = port_name.substr(0, 3);
        std::transform(head.begin(), head.end(), head.begin(), [](unsigned char c) { return std::toupper(c); });
        if (head == "COM") return "/dev/ttyS" + std::to_string(port_name[3] - '1');
    }
    return {};
}
