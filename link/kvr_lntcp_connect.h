#pragma once
// The client side of a LocoNet-over-TCP connection: the port name, the
// connect with its bound, and what the link makes of the server's lines.
//
// Port names: "tcp://HOST[:PORT]", port 1234 when none is given, an IPv6
// address in brackets: "tcp://localhost", "tcp://192.168.1.5:1234",
// "tcp://[::1]:1234".

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

#include "loconet/kvr_lntcp_line.h"
#include "link/kvr_lntcp_server.h"

constexpr std::string_view kvr_lntcp_scheme = "tcp://";
constexpr unsigned kvr_lntcp_connect_ms = 3000;

// True for a port name that starts with "tcp://".
bool kvr_lntcp_is_url(std::string_view port_name);

// "tcp://HOST[:PORT]" -> endpoint. False with the reason in `error` when the
// name is not of that form or its port is 0.
bool kvr_lntcp_parse_url(std::string_view port_name, kvr_lntcp_endpoint& out, std::string& error);

struct kvr_lntcp_connection {
    int fd = -1;     // connected, non-blocking, close-on-exec; -1 on failure
    int error = 0;   // errno of the failure (ETIMEDOUT, ECONNREFUSED, ...);
                     // EHOSTUNREACH when the name did not resolve
    int resolve_status = 0;  // getaddrinfo's status when the name did not resolve
    std::string why;  // failure in words, with the fix where there is one
};

// Resolves `where` and connects to each of its addresses in turn, all within
// `timeout_ms`. Name resolution runs on a helper thread of its own (the C
// library's resolver cannot be interrupted), so the caller waits no longer
// than the bound. When the eventfd `wake_fd` (-1: none) becomes readable the
// wait ends with ECANCELED if `stop` is null or set; otherwise the wake-up is
// drained and the wait goes on (a link rings it for queued messages too).
// Meant for an I/O thread: it blocks for up to `timeout_ms`.
kvr_lntcp_connection kvr_lntcp_connect(const kvr_lntcp_endpoint& where, unsigned timeout_ms, int wake_fd,
                                       const std::atomic<bool>* stop = nullptr);

// Whether connecting to `target` would reach a server of this machine that
// listens on `listen`: the same port, and the target's address is the one
// listened on, or the server listens on every address ("0.0.0.0", "::") and
// the target is one of this machine's. Both names are looked up (blocking);
// false when either does not resolve.
bool kvr_lntcp_reaches_listener(const kvr_lntcp_endpoint& target, const kvr_lntcp_endpoint& listen);

// The fix for a failure a user meets, or "" when there is none to give:
// ECONNREFUSED -> "nothing listens at that address".
const char* kvr_lntcp_hint(int error);

// What one line from the server means to the link: a bus message, a note for
// the monitor (SENT ERROR, the version-2 lines, unknown tokens), or nothing
// (SENT OK; an empty note). A note is never taken for a bus message.
struct kvr_lntcp_client_event {
    bool is_message = false;
    kvr_loconet_msg msg;
    bool failed_send = false;  // SENT ERROR: a refusal when it answers our SEND
    std::string note;          // "LocoNet over TCP: SENT ERROR no echo"
};
kvr_lntcp_client_event kvr_lntcp_client_line(std::string_view line, bool too_long);
