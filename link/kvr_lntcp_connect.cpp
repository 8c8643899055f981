#include "link/kvr_lntcp_connect.h"

#include <fcntl.h>
#include <ifaddrs.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <thread>
#include <vector>

namespace {

using steady = std::chrono::steady_clock;

constexpr const char* note_prefix = "LocoNet over TCP: ";

// The resolver's answer, shared with its helper thread, which may outlive
// the caller that stopped waiting for it.
struct resolution {
    std::mutex m;
    bool done = false;
    int status = 0;
    addrinfo* list = nullptr;
    int ready_fd = -1;  // written once when done; closed by whoever is last

    ~resolution() {
        if (list) freeaddrinfo(list);
        if (ready_fd >= 0) ::close(ready_fd);
    }
};

std::shared_ptr<resolution> resolve_async(const kvr_lntcp_endpoint& where) {
    auto r = std::make_shared<resolution>();
    r->ready_fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    std::thread([r, host = where.host, port = std::to_string(where.port)] {
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        // No AI_ADDRCONFIG: it ignores loopback, so "localhost" would not
        // resolve on a machine without a network.
        hints.ai_flags = AI_NUMERICSERV;
        addrinfo* list = nullptr;
        const int status = getaddrinfo(host.c_str(), port.c_str(), &hints, &list);
        std::lock_guard<std::mutex> lk(r->m);
        r->done = true;
        r->status = status;
        r->list = status == 0 ? list : nullptr;
        const uint64_t one = 1;
        [[maybe_unused]] ssize_t n = ::write(r->ready_fd, &one, sizeof one);
    }).detach();
    return r;
}

int ms_left(steady::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - steady::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}

// What ends a wait early: the wake-up descriptor, and the flag that tells a
// wake-up for stopping from one for other news (a queued message).
struct stopper {
    int wake_fd;
    const std::atomic<bool>* stop;

    // True when the wait must end; a wake-up that is only news is drained.
    bool stopped() const {
        if (stop == nullptr) return true;
        uint64_t n = 0;
        [[maybe_unused]] ssize_t r = ::read(wake_fd, &n, sizeof n);
        return stop->load();
    }
};

// Waits for `fd` (events) until the deadline. Returns 1 when fd is ready,
// 0 on time-out, -1 when stopped.
int wait_for(int fd, short events, const stopper& st, steady::time_point deadline) {
    for (;;) {
        pollfd fds[2] = {{fd, events, 0}, {st.wake_fd, POLLIN, 0}};
        const int n = ::poll(fds, st.wake_fd >= 0 ? 2 : 1, ms_left(deadline));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return 0;
        if (st.wake_fd >= 0 && (fds[1].revents & POLLIN)) {
            if (st.stopped()) return -1;
            if (!(fds[0].revents & events)) continue;
        }
        return n > 0 ? 1 : 0;
    }
}

// One address: a non-blocking connect, finished within the deadline.
int connect_one(const addrinfo* ai, const stopper& st, steady::time_point deadline, int& error) {
    int fd = ::socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, ai->ai_protocol);
    if (fd < 0) {
        error = errno;
        return -1;
    }
    if (::connect(fd, ai->ai_addr, ai->ai_addrlen) != 0) {
        if (errno != EINPROGRESS) {
            error = errno;
            ::close(fd);
            return -1;
        }
        const int ready = wait_for(fd, POLLOUT, st, deadline);
        int so_error = 0;
        socklen_t len = sizeof so_error;
        if (ready == 1) ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &so_error, &len);
        if (ready != 1 || so_error != 0) {
            error = ready == -1 ? ECANCELED : ready == 0 ? ETIMEDOUT : so_error;
            ::close(fd);
            return -1;
        }
    }
    // Lines are short and each waits for its answer: send them at once.
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return fd;
}

kvr_lntcp_connection failure(const kvr_lntcp_endpoint& where, int error, const std::string& what) {
    kvr_lntcp_connection c;
    c.error = error;
    c.why = "cannot connect to " + where.text() + ": " + what;
    const char* hint = kvr_lntcp_hint(error);
    if (*hint) c.why += std::string(" (") + hint + ")";
    return c;
}

// A server's text shown as it came, but only as printable ASCII: a terminal
// running the command-line monitor must not take control codes from it.
std::string printable(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c < 0x20 || c > 0x7E) c = '?';
    return out;
}

}  // namespace

bool kvr_lntcp_is_url(std::string_view port_name) {
    return port_name.substr(0, kvr_lntcp_scheme.size()) == kvr_lntcp_scheme;
}

bool kvr_lntcp_parse_url(std::string_view port_name, kvr_lntcp_endpoint& out, std::string& error) {
    if (!kvr_lntcp_is_url(port_name)) {
        error = "not a tcp:// address";
        return false;
    }
    kvr_lntcp_endpoint ep;
    ep.port = kvr_lntcp_default_port;
    std::string_view rest = port_name.substr(kvr_lntcp_scheme.size());
    if (!rest.empty() && rest.back() == '/') rest.remove_suffix(1);
    if (!kvr_lntcp_parse_endpoint(rest, false, ep, error)) return false;
    if (ep.port == 0) {
        error = "port 0 is not a server's port";
        return false;
    }
    out = ep;
    return true;
}

namespace {

// An address without its port, comparable: family and raw bytes.
using host_address = std::pair<int, std::string>;

std::optional<host_address> address_of(const sockaddr* sa) {
    if (sa == nullptr) return std::nullopt;
    if (sa->sa_family == AF_INET) {
        const auto* in = reinterpret_cast<const sockaddr_in*>(sa);
        return host_address{AF_INET, std::string(reinterpret_cast<const char*>(&in->sin_addr), sizeof in->sin_addr)};
    }
    if (sa->sa_family == AF_INET6) {
        const auto* in6 = reinterpret_cast<const sockaddr_in6*>(sa);
        return host_address{AF_INET6,
                            std::string(reinterpret_cast<const char*>(&in6->sin6_addr), sizeof in6->sin6_addr)};
    }
    return std::nullopt;
}

std::vector<host_address> resolve_now(const std::string& host, bool passive) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = passive ? AI_PASSIVE : 0;
    addrinfo* list = nullptr;
    std::vector<host_address> out;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &list) != 0) return out;
    for (const addrinfo* ai = list; ai != nullptr; ai = ai->ai_next)
        if (auto a = address_of(ai->ai_addr)) out.push_back(*a);
    freeaddrinfo(list);
    return out;
}

bool is_any(const host_address& a) {
    return std::all_of(a.second.begin(), a.second.end(), [](char c) { return c == 0; });
}

bool is_loopback(const host_address& a) {
    if (a.first == AF_INET) return static_cast<unsigned char>(a.second[0]) == 127;
    return a.second == std::string(15, '\0') + '\1';
}

bool is_own(const host_address& a) {
    if (is_loopback(a) || is_any(a)) return true;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return false;
    bool own = false;
    for (const ifaddrs* i = list; i != nullptr && !own; i = i->ifa_next)
        if (auto mine = address_of(i->ifa_addr)) own = *mine == a;
    freeifaddrs(list);
    return own;
}

}  // namespace

bool kvr_lntcp_reaches_listener(const kvr_lntcp_endpoint& target, const kvr_lntcp_endpoint& listen) {
    if (target.port != listen.port) return false;
    const std::vector<host_address> to = resolve_now(target.host, false);
    for (const host_address& l : resolve_now(listen.host, true))
        for (const host_address& t : to)
            // A server on "::" takes IPv4 connections too; one on
            // "0.0.0.0" takes none over IPv6.
            if (t == l || (is_any(l) && is_own(t) && (t.first == l.first || l.first == AF_INET6))) return true;
    return false;
}

const char* kvr_lntcp_hint(int error) {
    switch (error) {
    case ECONNREFUSED: return "nothing listens at that address";
    case ETIMEDOUT: return "no answer within 3 s: is the address right and the server reachable?";
    case EHOSTUNREACH: return "the host name is unknown or unreachable";
    case ENETUNREACH: return "no network route to that address";
    default: return "";
    }
}

kvr_lntcp_connection kvr_lntcp_connect(const kvr_lntcp_endpoint& where, unsigned timeout_ms, int wake_fd,
                                       const std::atomic<bool>* stop) {
    const stopper st{wake_fd, stop};
    const auto deadline = steady::now() + std::chrono::milliseconds(timeout_ms);
    std::shared_ptr<resolution> r = resolve_async(where);
    if (r->ready_fd < 0) return failure(where, errno, std::strerror(errno));
    const int ready = wait_for(r->ready_fd, POLLIN, st, deadline);
    if (ready == -1) return failure(where, ECANCELED, "cancelled");
    if (ready == 0) return failure(where, ETIMEDOUT, "the name did not resolve in time");

    std::lock_guard<std::mutex> lk(r->m);
    if (r->status != 0) {
        kvr_lntcp_connection c = failure(where, EHOSTUNREACH, gai_strerror(r->status));
        c.resolve_status = r->status;
        return c;
    }
    int error = ECONNREFUSED;
    for (const addrinfo* ai = r->list; ai != nullptr; ai = ai->ai_next) {
        const int fd = connect_one(ai, st, deadline, error);
        if (fd >= 0) {
            kvr_lntcp_connection c;
            c.fd = fd;
            return c;
        }
        if (error == ECANCELED || error == ETIMEDOUT) break;
    }
    return failure(where, error, std::strerror(error));
}

kvr_lntcp_client_event kvr_lntcp_client_line(std::string_view line, bool too_long) {
    kvr_lntcp_client_event ev;
    if (too_long) {
        ev.note = std::string(note_prefix) + "line too long, left out";
        return ev;
    }
    kvr_lntcp_line p = kvr_lntcp_parse(line);
    switch (p.kind) {
    case kvr_lntcp_kind::receive:
        ev.is_message = true;
        ev.msg = p.msg;
        return ev;
    case kvr_lntcp_kind::sent_ok:
        return ev;
    case kvr_lntcp_kind::sent_error:
        ev.failed_send = true;
        break;
    case kvr_lntcp_kind::malformed:
        ev.note = std::string(note_prefix) + "bad line (" + kvr_lntcp_fault_text(p.fault) + "): ";
        ev.note += printable(line);
        return ev;
    default:
        break;
    }
    ev.note = std::string(note_prefix);
    ev.note += printable(line);
    return ev;
}
