#include "link/kvr_tcp_transport.h"

#include <cerrno>
#include <cstring>

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "link/kvr_link_core.h"

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

// A whole LocoNet-over-TCP line to the server. Only the I/O thread touches
// the socket once connected, so the lock guards nothing shared.
int send_line(int fd, const std::string& line) {
    static socket_io sockets;
    std::mutex unshared;
    return write_whole(sockets, unshared, fd, reinterpret_cast<const uint8_t*>(line.data()), line.size());
}

constexpr const char* tcp_source = "LocoNet over TCP";

}  // namespace

kvr_tcp_transport::kvr_tcp_transport(kvr_transport_host& host) : host_(host) {}

kvr_tcp_transport::~kvr_tcp_transport() { close(); }

std::string kvr_tcp_transport::server() const {
    return "the LocoNet-over-TCP server at " + endpoint_.text();
}

void kvr_tcp_transport::fail(const std::string& what, int code, kvr_link_step step, const std::string& detail) const {
    const std::string& words_port = step == kvr_link_step::tcp_address ? host_.port_name() : endpoint_.text();
    kvr_exception e = kvr_exception::worded(what, static_cast<uint32_t>(code), tcp_source);
    e.plain = kvr_link_words(step, step == kvr_link_step::tcp_resolve ? endpoint_.host : words_port, code, detail);
    throw e;
}

void kvr_tcp_transport::open() {
    std::string why;
    if (!kvr_lntcp_parse_url(host_.port_name(), endpoint_, why))
        fail(host_.port_name() + " is not a server address (" + why + ")", EINVAL, kvr_link_step::tcp_address, why);
}

void kvr_tcp_transport::connect() {
    kvr_lntcp_connection c =
        kvr_lntcp_connect(endpoint_, kvr_lntcp_connect_ms, host_.wake_descriptor(), &host_.stopping());
    if (c.fd >= 0) {
        fd_ = c.fd;
        return;
    }
    if (c.error == ECANCELED) return;  // closed while connecting
    const std::string& name = host_.port_name();
    // A name that does not resolve has no system error code: the report
    // carries the resolver's own text and code 0, not a network error.
    if (c.resolve_status != 0)
        fail(port_step(name, "getaddrinfo") + " (" + gai_strerror(c.resolve_status) + ")", 0,
             kvr_link_step::tcp_resolve, {});
    const char* hint = kvr_lntcp_hint(c.error);
    std::string where = port_step(name, "connect");
    if (*hint) where += std::string(" (") + hint + ")";
    fail(where + " " + std::strerror(c.error), c.error, kvr_link_step::tcp_connect);
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
    // An orderly close: the server ended the connection (its last note, if
    // any, says why). Lost for good, as a reset is.
    if (n == 0) {
        std::string why = server() + " closed the connection";
        if (!last_note_.empty()) why += " (its last line: " + last_note_ + ")";
        fail(why, ECONNRESET, kvr_link_step::tcp_lost);
    }
    if (n < 0 && err != EAGAIN && err != EWOULDBLOCK && err != EINTR)
        fail("reading from " + server() + " failed: " + std::strerror(err), err, kvr_link_step::tcp_lost);
    if (n > 0) {
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
    if (awaiting_) return false;
    const std::optional<kvr_loconet_msg> msg = host_.queue().start_front();
    if (!msg) return false;
    awaiting_ = true;
    echoed_ = false;
    if (int err = send_line(fd_, kvr_lntcp_format_send(*msg) + "\r\n")) {
        // It leaves the queue, so a failing connection cannot wedge it, but
        // as a failure: a message never written must not pass for sent.
        const std::string failure = std::string("not written to the server: ") + std::strerror(err);
        answered(&failure);
        fail("writing to " + server() + " failed: " + std::strerror(err), err, kvr_link_step::tcp_lost);
    }
    return true;
}

// The answer to the SEND at the front: it leaves the queue. A failure
// (the server's refusal, or a write that failed) is told to the listeners
// before the queue can look empty, so a caller that waits for the queue
// finds the failure too, and recorded.
void kvr_tcp_transport::answered(const std::string* failure) {
    if (!awaiting_) return;
    awaiting_ = false;
    kvr_tx_queue& q = host_.queue();
    if (failure != nullptr) {
        const std::optional<kvr_loconet_msg> msg = q.in_flight();
        const std::string sent = msg ? kvr_lntcp_format_send(*msg) : std::string("SEND");
        kvr_exception e = kvr_exception::worded(server() + ": " + sent + " " + *failure, 0, tcp_source);
        e.plain = kvr_link_words(kvr_link_step::tcp_refused, endpoint_.text(), 0, *failure);
        host_.refused(e);
    }
    q.finish_front();
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
        if (awaiting_ && !echoed_ && host_.queue().in_flight() == ev.msg) {
            echoed_ = true;
            echo_at_ = tx_clock::now();
        }
        host_.deliver(ev.msg.data(), static_cast<std::size_t>(ev.msg.length()));
        return;
    }
    if (ev.note.empty()) {  // SENT OK
        answered(nullptr);
        return;
    }
    last_note_ = ev.note;
    host_.note(ev.note);
    if (ev.failed_send && awaiting_) {
        // The server's own words, without the note's "LocoNet over TCP: ".
        const std::size_t sent = ev.note.find("SENT ERROR");
        const std::string reason =
            "refused by the server: " + (sent == std::string::npos ? ev.note : ev.note.substr(sent));
        answered(&reason);
    }
}
