#include "link/kvr_tcp_transport.h"

#include <cerrno>
#include <cstring>

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "link/kvr_link_core.h"
#include "loconet/kvr_link_words.h"

using namespace kvr_link_detail;

// The connection is made on the I/O thread, so open() never waits for a
// name server: a refused or unreachable server then ends the link as a
// pulled adapter does (one record, one notice). Messages queued meanwhile
// go out once it is connected.

namespace {

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

// A whole LocoNet-over-TCP line to the server.
int send_line(std::mutex& port_lock, int fd, const std::string& line) {
    static socket_io sockets;
    return write_whole(sockets, port_lock, fd, reinterpret_cast<const uint8_t*>(line.data()), line.size());
}

}  // namespace

kvr_tcp_transport::kvr_tcp_transport(kvr_link_core& core) : core_(core) {}

kvr_tcp_transport::~kvr_tcp_transport() { close(); }

void kvr_tcp_transport::open() {
    std::string why;
    if (!kvr_lntcp_parse_url(core_.name, endpoint_, why)) {
        core_.kind = nullptr;
        raise(port_step(core_.name, "CreateFile") + " (" + why + ")", EINVAL, line_create_file,
              kvr_link_words(kvr_link_step::tcp_address, core_.name, EINVAL, why));
    }
}

void kvr_tcp_transport::connect() {
    kvr_lntcp_connection c = kvr_lntcp_connect(endpoint_, kvr_lntcp_connect_ms, core_.wake_fd, &core_.stop);
    if (c.fd >= 0) {
        fd_ = c.fd;
        return;
    }
    if (c.error == ECANCELED) return;  // closed while connecting
    const std::string& name = core_.name;
    // A name that does not resolve has no system error code: the report
    // carries the resolver's own text and code 0, not a network error.
    if (c.resolve_status != 0)
        raise(port_step(name, "getaddrinfo") + " (" + gai_strerror(c.resolve_status) + ")", 0, line_create_file,
              kvr_link_words(kvr_link_step::tcp_resolve, endpoint_.host, c.resolve_status));
    const char* hint = kvr_lntcp_hint(c.error);
    std::string where = port_step(name, "connect");
    if (*hint) where += std::string(" (") + hint + ")";
    raise(where, c.error, line_create_file, kvr_link_words(kvr_link_step::tcp_connect, endpoint_.text(), c.error));
}

void kvr_tcp_transport::close() {
    if (fd_ < 0) return;
    close_connection(fd_);
    fd_ = -1;
}

// Refused, reset, closed by the server, or timed out: a lost link exactly
// like a pulled adapter.
bool kvr_tcp_transport::gone(uint32_t code) const {
    switch (code) {
    case ECONNREFUSED: case ECONNRESET: case ECONNABORTED: case EPIPE: case ENOTCONN:
    case ETIMEDOUT: case EHOSTUNREACH: case ENETUNREACH: case ENETDOWN:
    case EIO: case ENXIO: case ENODEV:
        return true;
    default:
        return false;
    }
}

duration kvr_tcp_transport::cycle(duration, bool) {
    char data[read_buffer];
    const ssize_t n = ::recv(fd_, data, sizeof data, MSG_DONTWAIT);
    const int err = errno;
    if (n == 0) {
        std::string why = "the server closed the connection";
        if (!last_note_.empty()) why += ": " + last_note_;
        raise("kvr_ms100::rx_proc::recv (" + why + ")", ECONNRESET, line_read,
              kvr_link_words(kvr_link_step::tcp_lost, endpoint_.text(), ECONNRESET));
    }
    if (n < 0 && err != EAGAIN && err != EWOULDBLOCK && err != EINTR)
        raise("kvr_ms100::rx_proc::recv", err, line_read, kvr_link_words(kvr_link_step::tcp_lost, endpoint_.text(), err));
    if (n > 0) {
        core_.last_rx = tx_clock::now();
        lines_.feed(data, static_cast<std::size_t>(n),
                    [this](std::string_view line, bool too_long) { server_line(line, too_long); });
    }
    // A server that echoes but never answers SENT: the bus carried the
    // message, which is all the answer would have said.
    if (awaiting_ && echoed_ && tx_clock::now() - echo_at_ > std::chrono::seconds(1)) answered(nullptr);
    return send_front() ? poll_after_write : poll_idle;
}

// Writes the front message as a SEND when no answer is awaited. It stays
// queued until the server answers, so an empty queue means every message was
// confirmed, and a refused one is known as refused; with one SEND at a time
// every answer belongs to the message at the front.
bool kvr_tcp_transport::send_front() {
    std::unique_lock<std::mutex> lk(core_.lock());
    if (awaiting_ || core_.txq.empty()) return false;
    const kvr_loconet_msg msg = core_.txq.front().msg;
    core_.front_in_flight = true;
    awaiting_ = true;
    echoed_ = false;
    lk.unlock();
    if (int err = send_line(core_.lock(), fd_, kvr_lntcp_format_send(msg) + "\r\n")) {
        // It leaves the queue, so a failing connection cannot wedge it, but
        // as a failure: a message never written must not pass for sent.
        const std::string failure = std::string("not written to the server: ") + std::strerror(err);
        answered(&failure);
        raise("kvr_ms100::send_raw", err, line_write, kvr_link_words(kvr_link_step::tcp_lost, endpoint_.text(), err));
    }
    return true;
}

// The answer to the SEND at the front: it leaves the queue. A failure
// (the server's refusal, or a write that failed) is told to the listeners
// before the queue can look empty, so a caller that waits for the queue
// finds the failure too, and recorded.
void kvr_tcp_transport::answered(const std::string* failure) {
    std::unique_lock<std::mutex> lk(core_.lock());
    if (!awaiting_) return;
    if (failure != nullptr) {
        const std::string sent =
            core_.txq.empty() ? std::string("SEND") : kvr_lntcp_format_send(core_.txq.front().msg);
        lk.unlock();
        kvr_exception e(port_step(core_.name, "send") + " " + sent + " " + *failure, 0, source, line_write);
        e.plain = kvr_link_words(kvr_link_step::tcp_refused, endpoint_.text(), 0, *failure);
        core_.send_refused(e.report());
        core_.failed(e, false);
        lk.lock();
    }
    awaiting_ = false;
    core_.front_in_flight = false;
    if (!core_.txq.empty()) core_.txq.pop_front();
    if (core_.txq.empty()) core_.tx_empty.notify_all();
}

// RECEIVE lines take the receive path as bytes from a device would; the
// others are notes in the monitor. A SENT ERROR answering our SEND fails
// that message: it is recorded in the dated log (at most one a minute, as
// other failures of the link) and the listeners are told, so the operation
// that sent it fails with the server's reason. Lines nobody asked for (a
// SENT without a SEND) are only shown.
void kvr_tcp_transport::server_line(std::string_view line, bool too_long) {
    const kvr_lntcp_client_event ev = kvr_lntcp_client_line(line, too_long);
    if (ev.is_message) {
        {
            std::lock_guard<std::mutex> lk(core_.lock());
            if (awaiting_ && !echoed_ && !core_.txq.empty() && core_.txq.front().msg == ev.msg) {
                echoed_ = true;
                echo_at_ = tx_clock::now();
            }
        }
        core_.deliver(ev.msg.data(), static_cast<std::size_t>(ev.msg.length()));
        return;
    }
    if (ev.note.empty()) {  // SENT OK
        answered(nullptr);
        return;
    }
    last_note_ = ev.note;
    core_.note(ev.note);
    if (ev.failed_send && awaiting_) {
        // The server's own words, without the note's "LocoNet over TCP: ".
        const std::size_t sent = ev.note.find("SENT ERROR");
        const std::string reason =
            "refused by the server: " + (sent == std::string::npos ? ev.note : ev.note.substr(sent));
        answered(&reason);
    }
}
