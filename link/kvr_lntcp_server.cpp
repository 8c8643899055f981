#include "link/kvr_lntcp_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "foundation/kvr_exception.h"
#include "foundation/kvr_fd.h"
#include "loconet/kvr_lntcp_line.h"

namespace {

using steady = std::chrono::steady_clock;

// One poll round reads at most this much from a client, so a client that
// floods the server cannot starve the others of their turn.
constexpr std::size_t read_chunk = 4096;
constexpr int reads_per_round = 16;

bool all_digits(std::string_view s) {
    if (s.empty()) return false;
    for (char c : s)
        if (c < '0' || c > '9') return false;
    return true;
}

bool parse_port(std::string_view s, uint16_t& port, std::string& error) {
    if (!all_digits(s) || s.size() > 5) {
        error = "bad port \"" + std::string(s) + "\"";
        return false;
    }
    const unsigned long v = std::stoul(std::string(s));
    if (v > 65535) {
        error = "port " + std::string(s) + " is not in 0..65535";
        return false;
    }
    port = static_cast<uint16_t>(v);
    return true;
}

// A host name or address as the resolver takes it. Spaces, control
// characters and a leading '-' (an option typed in the wrong place: "-1")
// never name a host; refusing them here gives a usage error instead of a
// failing look-up later.
bool valid_host(std::string_view host) {
    if (host.empty() || host.front() == '-' || host.front() == '.') return false;
    const bool v6 = host.find(':') != std::string_view::npos;
    for (char c : host) {
        const bool ok = std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.' || c == '_' ||
                        (v6 && (c == ':' || c == '%'));
        if (!ok) return false;
    }
    return true;
}

std::string sockaddr_text(const sockaddr* sa, socklen_t len) {
    char host[NI_MAXHOST];
    char serv[NI_MAXSERV];
    if (getnameinfo(sa, len, host, sizeof host, serv, sizeof serv, NI_NUMERICHOST | NI_NUMERICSERV) != 0)
        return "?";
    kvr_lntcp_endpoint ep;
    ep.host = host;
    ep.port = static_cast<uint16_t>(std::atoi(serv));
    return ep.text();
}

}  // namespace

std::string kvr_lntcp_endpoint::text() const {
    const bool v6 = host.find(':') != std::string::npos;
    return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

bool kvr_lntcp_parse_endpoint(std::string_view text, bool bare_number_is_port,
                              kvr_lntcp_endpoint& out, std::string& error) {
    if (bare_number_is_port && all_digits(text)) return parse_port(text, out.port, error);
    std::string_view host = text;
    std::string_view port;
    if (!text.empty() && text.front() == '[') {
        const std::size_t close = text.find(']');
        if (close == std::string_view::npos) {
            error = "no ] after the IPv6 address";
            return false;
        }
        host = text.substr(1, close - 1);
        const std::string_view rest = text.substr(close + 1);
        if (!rest.empty()) {
            if (rest.front() != ':') {
                error = "expected :PORT after ]";
                return false;
            }
            port = rest.substr(1);
            if (port.empty()) {
                error = "no port after :";
                return false;
            }
        }
    } else {
        const std::size_t colon = text.rfind(':');
        // More than one colon without brackets is a bare IPv6 address.
        if (colon != std::string_view::npos && text.find(':') == colon) {
            host = text.substr(0, colon);
            port = text.substr(colon + 1);
            if (port.empty()) {
                error = "no port after :";
                return false;
            }
        }
    }
    if (host.empty()) {
        error = "no host name";
        return false;
    }
    if (!valid_host(host)) {
        // Appended piece by piece: "\"" + std::string(...) trips a false
        // -Wrestrict warning of g++ 12 at -O3.
        error.assign(1, '"');
        error.append(host);
        error += "\" is not a host name or address";
        return false;
    }
    if (!port.empty() && !parse_port(port, out.port, error)) return false;
    out.host = std::string(host);
    return true;
}

std::string kvr_lntcp_report::text() const {
    std::string line = "client " + address + (event == what::connected ? " connected" : " disconnected");
    if (!reason.empty()) line += ": " + reason;
    return line;
}

struct kvr_lntcp_server::impl {
    // A SEND not yet answered. Its deadline runs from its arrival, so the
    // client hears within the echo bound whether it is waiting in its queue
    // or already on its way to the bus.
    struct pending_send {
        kvr_loconet_msg msg;
        steady::time_point deadline;
    };

    struct client {
        uint64_t id = 0;
        int fd = -1;
        std::string address;
        kvr_lntcp_splitter splitter;
        std::string out;      // bytes not yet written, from out_pos on
        std::size_t out_pos = 0;
        std::string gone;     // set once: the disconnect reason
        std::deque<pending_send> queued;  // not yet handed to the bus, oldest first
        std::size_t in_flight = 0;        // handed to the bus, echo awaited
        // The client ended its input (half-closed or gone): it is closed once
        // its SENDs are answered and the answers written, or at `linger`.
        bool input_ended = false;
        steady::time_point linger{};

        explicit client(std::size_t max_line) : splitter(max_line) {}
        std::size_t pending() const { return out.size() - out_pos; }
        std::size_t unanswered() const { return queued.size() + in_flight; }
    };

    struct flight {
        uint64_t client_id;
        kvr_loconet_msg msg;
        steady::time_point deadline;
    };

    kvr_lntcp_server_options opt;
    send_handler on_send;
    report_handler on_report;
    withdraw_handler on_withdraw;

    int listen_fd = -1;
    int wake_fd = -1;
    uint16_t bound_port = 0;
    std::string bound_text;
    std::thread thread;
    std::atomic<bool> stopping{false};
    std::atomic<bool> running{false};
    std::atomic<std::size_t> count{0};

    std::mutex inbox_mutex;
    std::vector<kvr_loconet_msg> inbox;  // guarded by inbox_mutex

    // Server thread only from here on.
    std::vector<std::unique_ptr<client>> clients;  // in id order
    std::deque<flight> flights;  // oldest first: echoes match in order
    uint64_t next_id = 1;
    uint64_t last_served = 0;  // the client whose SEND went to the bus last

    void bind_listen();
    void run();
    void wake() const {
        const uint64_t one = 1;
        [[maybe_unused]] ssize_t n = ::write(wake_fd, &one, sizeof one);
    }
    int poll_timeout() const;
    void drain_inbox();
    void accept_clients();
    void refuse_full(int fd);
    void read_client(client& c);
    void on_line(client& c, std::string_view line, bool too_long, steady::time_point arrived);
    void queue_line(client& c, const std::string& line);
    void flush(client& c);
    client* next_in_turn();
    void dispatch();
    void expire_sends();
    void finish_ended();
    void reap();
    void drop(client& c, std::string reason) {
        if (c.gone.empty()) c.gone = std::move(reason);
    }
    client* find(uint64_t id) {
        for (auto& c : clients)
            if (c->id == id && c->gone.empty()) return c.get();
        return nullptr;
    }
};

void kvr_lntcp_server::impl::bind_listen() {
    const std::string where = "kvr_lntcp_server::start(" + opt.listen.text() + ")";
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(opt.listen.port);
    if (getaddrinfo(opt.listen.host.c_str(), service.c_str(), &hints, &found) != 0 || found == nullptr)
        KVR_RAISE(where + " cannot resolve the address", EADDRNOTAVAIL, "kvr_lntcp_server");
    int error = 0;
    for (addrinfo* ai = found; ai != nullptr && listen_fd < 0; ai = ai->ai_next) {
        int fd = ::socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, ai->ai_protocol);
        if (fd < 0) {
            error = errno;
            continue;
        }
        const int on = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (::bind(fd, ai->ai_addr, ai->ai_addrlen) != 0 || ::listen(fd, 64) != 0) {
            error = errno;
            kvr_close_fd(fd);
            continue;
        }
        listen_fd = fd;
    }
    freeaddrinfo(found);
    if (listen_fd < 0) KVR_RAISE(where, static_cast<uint32_t>(error), "kvr_lntcp_server");

    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    ::getsockname(listen_fd, reinterpret_cast<sockaddr*>(&ss), &len);
    bound_text = sockaddr_text(reinterpret_cast<sockaddr*>(&ss), len);
    bound_port = ntohs(ss.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port
                                                : reinterpret_cast<sockaddr_in*>(&ss)->sin_port);
}

int kvr_lntcp_server::impl::poll_timeout() const {
    std::optional<steady::time_point> next;
    const auto consider = [&next](steady::time_point t) {
        if (!next || t < *next) next = t;
    };
    for (const flight& f : flights) consider(f.deadline);
    for (const auto& c : clients) {
        if (!c->queued.empty()) consider(c->queued.front().deadline);
        if (c->input_ended) consider(c->linger);
    }
    if (!next) return -1;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(*next - steady::now());
    return left.count() < 0 ? 0 : static_cast<int>(std::min<std::chrono::milliseconds::rep>(left.count(), 60000));
}

void kvr_lntcp_server::impl::run() {
    std::vector<pollfd> fds;
    while (!stopping.load()) {
        fds.clear();
        fds.push_back({wake_fd, POLLIN, 0});
        fds.push_back({listen_fd, POLLIN, 0});
        // A client whose input ended is not read again: its end of stream
        // would wake poll at once, round after round.
        for (auto& c : clients)
            fds.push_back({c->fd, static_cast<short>((c->input_ended ? 0 : POLLIN) | (c->pending() ? POLLOUT : 0)),
                           0});
        if (::poll(fds.data(), fds.size(), poll_timeout()) < 0 && errno != EINTR) break;

        if (fds[0].revents & POLLIN) {
            uint64_t n = 0;
            [[maybe_unused]] ssize_t r = ::read(wake_fd, &n, sizeof n);
        }
        // Clients first, by the index they had when polled; accepting
        // appends behind them.
        const std::size_t polled = fds.size() - 2;
        for (std::size_t i = 0; i < polled; ++i) {
            client& c = *clients[i];
            const short ev = fds[i + 2].revents;
            // A client that ended its input and then closed (or reset) the
            // connection has left in order: it is reported as closed, as one
            // that closed without a SEND outstanding is.
            if (c.input_ended && (ev & (POLLHUP | POLLERR))) drop(c, "closed by client");
            else if (ev & (POLLIN | POLLHUP | POLLERR)) read_client(c);
            if ((ev & POLLOUT) && c.gone.empty()) flush(c);
        }
        if (fds[1].revents & POLLIN) accept_clients();
        drain_inbox();
        expire_sends();
        dispatch();
        finish_ended();
        reap();
    }
    for (auto& c : clients) drop(*c, "server stopping");
    reap();
}

void kvr_lntcp_server::impl::accept_clients() {
    for (;;) {
        sockaddr_storage ss{};
        socklen_t len = sizeof ss;
        const int fd = ::accept4(listen_fd, reinterpret_cast<sockaddr*>(&ss), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) return;  // EAGAIN, or a connection that died while queued
        const std::string address = sockaddr_text(reinterpret_cast<sockaddr*>(&ss), len);
        if (clients.size() >= opt.max_clients) {
            refuse_full(fd);
            if (on_report)
                on_report({kvr_lntcp_report::what::disconnected, address,
                           "refused: " + std::to_string(opt.max_clients) + " clients already connected"});
            continue;
        }
        // Lines are short and latency matters more than packet count.
        const int on = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        auto c = std::make_unique<client>(opt.max_line);
        c->id = next_id++;
        c->fd = fd;
        c->address = address;
        clients.push_back(std::move(c));
        count.store(clients.size());
        if (on_report) on_report({kvr_lntcp_report::what::connected, address, {}});
        queue_line(*clients.back(), kvr_lntcp_format_version(opt.version));
        flush(*clients.back());
    }
}

// One line says why, so the user of a client that is turned away learns
// more than "connection closed". What the client sent meanwhile is read
// away first: closing with unread input resets the connection, and the
// reset could destroy the line before the client reads it.
void kvr_lntcp_server::impl::refuse_full(int fd) {
    const std::string line =
        kvr_lntcp_format_error_message("server full: " + std::to_string(opt.max_clients) +
                                       " clients already connected") + "\r\n";
    [[maybe_unused]] ssize_t n = ::send(fd, line.data(), line.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    ::shutdown(fd, SHUT_WR);
    char sink[read_chunk];
    for (int round = 0; round < reads_per_round; ++round)
        if (::recv(fd, sink, sizeof sink, MSG_DONTWAIT) <= 0) break;
    ::close(fd);
}

void kvr_lntcp_server::impl::read_client(client& c) {
    char buf[read_chunk];
    for (int round = 0; round < reads_per_round && c.gone.empty() && !c.input_ended; ++round) {
        const ssize_t n = ::recv(c.fd, buf, sizeof buf, 0);
        if (n == 0) {
            // Maybe only half-closed (SEND, then end of input): its SENDs
            // still go out and are answered before the connection closes.
            c.input_ended = true;
            c.linger = steady::now() + std::chrono::milliseconds(opt.echo_timeout_ms) + std::chrono::seconds(1);
        } else if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return;
            drop(c, errno == ECONNRESET ? "connection reset" : std::strerror(errno));
        } else {
            // The lines of one read arrived together: one arrival time, so a
            // burst's deadlines do not depend on how long parsing it took.
            const steady::time_point arrived = steady::now();
            c.splitter.feed(buf, static_cast<std::size_t>(n),
                            [&](std::string_view line, bool too_long) { on_line(c, line, too_long, arrived); });
        }
    }
}

// Only SEND asks for an answer; other tokens from a client carry nothing
// for the bus and are ignored, as the protocol leaves them undefined. Any
// line that starts with SEND gets one, so a client never waits for an
// answer to a line that was not understood.
void kvr_lntcp_server::impl::on_line(client& c, std::string_view line, bool too_long,
                                     steady::time_point arrived) {
    // "SEND" followed by anything but a letter or digit: "SEND\t83 7C",
    // "SEND\0..." are SENDs gone wrong; "SENDER" is another token.
    const bool looks_like_send =
        line.substr(0, 4) == "SEND" && (line.size() == 4 || !std::isalnum(static_cast<unsigned char>(line[4])));
    if (too_long) {
        if (looks_like_send) queue_line(c, kvr_lntcp_format_sent_error("line too long"));
        return;
    }
    const kvr_lntcp_line parsed = kvr_lntcp_parse(line);
    if (parsed.kind != kvr_lntcp_kind::send) {
        if (parsed.kind == kvr_lntcp_kind::malformed && looks_like_send)
            queue_line(c, kvr_lntcp_format_sent_error(kvr_lntcp_fault_text(parsed.fault)));
        else if (looks_like_send)
            queue_line(c, kvr_lntcp_format_sent_error("bad line: SEND, one space, then hex bytes"));
        return;
    }
    if (c.unanswered() >= opt.max_queued) {
        queue_line(c, kvr_lntcp_format_sent_error("busy"));
        return;
    }
    c.queued.push_back({parsed.msg, arrived + std::chrono::milliseconds(opt.echo_timeout_ms)});
}

void kvr_lntcp_server::impl::queue_line(client& c, const std::string& line) {
    if (!c.gone.empty()) return;
    if (c.pending() + line.size() + 2 > opt.max_output) {
        drop(c, "dropped: more than " + std::to_string(opt.max_output) +
                    " bytes of output pending (client not reading)");
        return;
    }
    c.out += line;
    c.out += "\r\n";
}

void kvr_lntcp_server::impl::flush(client& c) {
    while (c.pending() > 0 && c.gone.empty()) {
        const ssize_t n = ::send(c.fd, c.out.data() + c.out_pos, c.pending(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) break;
            if (errno == EINTR) continue;
            if (c.input_ended) drop(c, "closed by client");
            else drop(c, errno == EPIPE || errno == ECONNRESET ? "connection reset" : std::strerror(errno));
            return;
        }
        c.out_pos += static_cast<std::size_t>(n);
    }
    // Keep the buffer from creeping: discard what was written once it is
    // the larger part.
    if (c.out_pos == c.out.size()) {
        c.out.clear();
        c.out_pos = 0;
    } else if (c.out_pos > c.out.size() / 2) {
        c.out.erase(0, c.out_pos);
        c.out_pos = 0;
    }
}

// The next client after the one served last (by id, wrapping round) that
// has a SEND waiting.
kvr_lntcp_server::impl::client* kvr_lntcp_server::impl::next_in_turn() {
    client* first = nullptr;
    for (auto& c : clients) {
        if (!c->gone.empty() || c->queued.empty()) continue;
        if (c->id > last_served) return c.get();
        if (first == nullptr) first = c.get();
    }
    return first;
}

void kvr_lntcp_server::impl::dispatch() {
    while (flights.size() < opt.max_in_flight) {
        client* c = next_in_turn();
        if (c == nullptr) break;
        last_served = c->id;
        pending_send s = c->queued.front();
        c->queued.pop_front();
        const std::string refused = on_send ? on_send(s.msg) : std::string("no bus");
        if (!refused.empty()) {
            queue_line(*c, kvr_lntcp_format_sent_error(refused));
            continue;
        }
        ++c->in_flight;
        flights.push_back({c->id, s.msg, s.deadline});
    }
    for (auto& c : clients)
        if (c->pending()) flush(*c);
}

void kvr_lntcp_server::impl::drain_inbox() {
    std::vector<kvr_loconet_msg> batch;
    {
        std::lock_guard<std::mutex> lk(inbox_mutex);
        batch.swap(inbox);
    }
    if (batch.empty()) return;
    for (const kvr_loconet_msg& msg : batch) {
        const std::string line = kvr_lntcp_format_receive(msg);
        for (auto& c : clients) queue_line(*c, line);
        // The oldest SEND of these bytes on its way is the one the bus echoed.
        for (auto it = flights.begin(); it != flights.end(); ++it) {
            if (!(it->msg == msg)) continue;
            if (client* c = find(it->client_id)) {
                --c->in_flight;
                queue_line(*c, kvr_lntcp_format_sent_ok());
            }
            flights.erase(it);
            break;
        }
    }
    for (auto& c : clients) flush(*c);
}

// SENDs past their deadline. One still in its client's queue never reached
// the bus and never will. One handed out is taken back if the bus has not
// written it yet; either way it is answered once and forgotten.
void kvr_lntcp_server::impl::expire_sends() {
    const auto now = steady::now();
    const std::string bound = std::to_string(opt.echo_timeout_ms) + " ms";
    for (auto it = flights.begin(); it != flights.end();) {
        if (it->deadline > now) {
            ++it;
            continue;
        }
        const bool withdrawn = on_withdraw && on_withdraw(it->msg);
        if (client* c = find(it->client_id)) {
            --c->in_flight;
            queue_line(*c, kvr_lntcp_format_sent_error(withdrawn ? "not sent: the bus was busy for " + bound
                                                                 : "no echo from the bus within " + bound));
        }
        it = flights.erase(it);
    }
    for (auto& c : clients)
        while (!c->queued.empty() && c->queued.front().deadline <= now) {
            c->queued.pop_front();
            queue_line(*c, kvr_lntcp_format_sent_error("not sent: the bus was busy for " + bound));
        }
}

// A client whose input ended leaves once everything it asked for is
// answered and written, or at its linger bound when it does not read.
void kvr_lntcp_server::impl::finish_ended() {
    const auto now = steady::now();
    for (auto& c : clients) {
        if (!c->input_ended || !c->gone.empty()) continue;
        if (c->unanswered() == 0 && c->pending()) flush(*c);
        if ((c->unanswered() == 0 && c->pending() == 0) || now >= c->linger) drop(*c, "closed by client");
    }
}

void kvr_lntcp_server::impl::reap() {
    for (auto it = clients.begin(); it != clients.end();) {
        client& c = **it;
        if (c.gone.empty()) {
            ++it;
            continue;
        }
        // Lines already queued for a client that is leaving in good order
        // (the server stopping) still go out if the socket takes them.
        if (c.gone == "server stopping") flush(c);
        ::close(c.fd);
        kvr_lntcp_report report{kvr_lntcp_report::what::disconnected, c.address, c.gone};
        it = clients.erase(it);
        count.store(clients.size());
        if (on_report) on_report(report);
    }
}

kvr_lntcp_server::kvr_lntcp_server(kvr_lntcp_server_options options, send_handler on_send,
                                   report_handler on_report)
    : impl_(std::make_unique<impl>()) {
    impl_->opt = std::move(options);
    impl_->on_send = std::move(on_send);
    impl_->on_report = std::move(on_report);
    // Made once and kept for the server's life, so bus_message() on another
    // thread never sees it change.
    impl_->wake_fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
}

kvr_lntcp_server::~kvr_lntcp_server() {
    stop();
    kvr_close_fd(impl_->wake_fd);
}

void kvr_lntcp_server::start() {
    if (impl_->thread.joinable()) return;
    if (impl_->wake_fd < 0) KVR_RAISE("kvr_lntcp_server::start()", EMFILE, "kvr_lntcp_server");
    impl_->bind_listen();
    impl_->stopping.store(false);
    impl_->running.store(true);
    impl_->thread = std::thread([this] { impl_->run(); });
}

void kvr_lntcp_server::stop() {
    if (!impl_->thread.joinable()) return;
    impl_->running.store(false);
    impl_->stopping.store(true);
    impl_->wake();
    impl_->thread.join();
    kvr_close_fd(impl_->listen_fd);
    std::lock_guard<std::mutex> lk(impl_->inbox_mutex);
    impl_->inbox.clear();
}

void kvr_lntcp_server::set_withdraw_handler(withdraw_handler on_withdraw) {
    impl_->on_withdraw = std::move(on_withdraw);
}

uint16_t kvr_lntcp_server::port() const { return impl_->bound_port; }
std::string kvr_lntcp_server::address() const { return impl_->bound_text; }
std::size_t kvr_lntcp_server::client_count() const { return impl_->count.load(); }

void kvr_lntcp_server::bus_message(const kvr_loconet_msg& msg) {
    // Nobody drains the queue while the server is not running.
    if (!impl_->running.load()) return;
    {
        std::lock_guard<std::mutex> lk(impl_->inbox_mutex);
        impl_->inbox.push_back(msg);
    }
    impl_->wake();
}
