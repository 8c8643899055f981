#pragma once
// A LocoNet-over-TCP server: shares one bus with any number of clients.
//
// One thread owns every socket and waits in poll() on the listening socket,
// the clients and a wake-up descriptor. Bus messages arrive from another
// thread (the link's I/O thread, or the simulated station) through
// bus_message(): a locked queue plus the wake-up, nothing else is shared.
//
//   client                     server                       bus
//   SEND A0 05 3F 65   ->      send handler(msg)     ->     queued on the link
//                              bus_message(echo)     <-     A0 05 3F 65
//   RECEIVE A0 05 3F 65 <-     (to every client)
//   SENT OK             <-     (to the sender, once the echo came back)
//
// A SEND whose echo does not come back within the echo bound, that the
// handler refuses, or that is malformed gets "SENT ERROR <reason>" instead.
//
// Sharing the bus: each client's SENDs wait in a queue of their own (at most
// max_queued unanswered; more are answered "SENT ERROR busy" at once), and
// the server hands them to the bus in turn, one client after the other, with
// at most max_in_flight handed out and not yet echoed. So one client sending
// as fast as it can takes its turn like the others, and nothing piles up
// behind the bus. A SEND answered SENT ERROR is never written later: one
// still waiting in its queue is dropped, one already handed out is taken
// back through the withdraw handler (when there is one and it still can).
//
// Isolation: every client has its own line splitter (lines are bounded, see
// kvr_lntcp_splitter) and its own output buffer. A client whose pending
// output passes the output bound has stopped reading: it is dropped and
// reported, so one stalled reader never holds up the bus or the others.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "loconet/kvr_loconet_msg.h"

// Where to listen or connect. Text forms, as users type them:
//   "127.0.0.1:1234", "[::1]:1234", "localhost", "0.0.0.0:1234", and, where
//   a bare number is a port (--tcp 1234, --listen 1234), "1234".
struct kvr_lntcp_endpoint {
    std::string host = "127.0.0.1";
    uint16_t port = 1234;

    // "host:port", IPv6 hosts in brackets.
    std::string text() const;
};

constexpr uint16_t kvr_lntcp_default_port = 1234;

// Parses `text` over `out` (whose fields are the defaults for what `text`
// leaves out). False with a reason in `error` on an empty host, a port that
// is not 0..65535, or an unclosed bracket. Port 0 lets a server take any
// free port; a client refuses it.
bool kvr_lntcp_parse_endpoint(std::string_view text, bool bare_number_is_port,
                              kvr_lntcp_endpoint& out, std::string& error);

struct kvr_lntcp_server_options {
    kvr_lntcp_endpoint listen;        // 127.0.0.1:1234: loopback unless named
    std::string version = "Busprobe";  // the text after "VERSION "
    std::size_t max_clients = 64;      // more are told "server full" and closed
    std::size_t max_output = 1u << 20;  // pending bytes before a client is dropped
    std::size_t max_line = 1024;        // longer client lines are refused
    unsigned echo_timeout_ms = 2000;    // SEND -> echo bound before SENT ERROR
    std::size_t max_queued = 16;        // unanswered SENDs of one client before "busy"
    std::size_t max_in_flight = 4;      // SENDs handed to the bus and not yet echoed
};

struct kvr_lntcp_report {
    enum class what : uint8_t { connected, disconnected };
    what event = what::connected;
    std::string address;  // the client's "host:port"
    std::string reason;   // why it disconnected; empty for connected

    // "client 127.0.0.1:50312 connected",
    // "client 127.0.0.1:50312 disconnected: closed by client"
    std::string text() const;
};

class kvr_lntcp_server {
public:
    // Called on the server thread with each well-formed SEND. Must not block
    // (queue the message and return). Returns "" when the message was taken,
    // else the reason it was not, which the client gets as SENT ERROR.
    using send_handler = std::function<std::string(const kvr_loconet_msg&)>;
    // Called on the server thread for every connect and disconnect.
    using report_handler = std::function<void(const kvr_lntcp_report&)>;
    // Called on the server thread for a message the send handler took whose
    // echo did not come in time: true when the bus will never write it (it
    // was still queued and is now gone), false when it may have gone out.
    using withdraw_handler = std::function<bool(const kvr_loconet_msg&)>;

    kvr_lntcp_server(kvr_lntcp_server_options options, send_handler on_send,
                     report_handler on_report);
    kvr_lntcp_server(const kvr_lntcp_server&) = delete;
    kvr_lntcp_server& operator=(const kvr_lntcp_server&) = delete;
    ~kvr_lntcp_server();  // stops

    // Before start().
    void set_withdraw_handler(withdraw_handler on_withdraw);

    // Binds, listens and starts the thread; throws kvr_exception when the
    // address cannot be resolved or bound (the report names it).
    void start();
    // Closes every connection (each reported) and joins the thread.
    void stop();

    // The bound port (useful after listening on port 0) and address text.
    uint16_t port() const;
    std::string address() const;

    // Any thread: one message seen on the bus, the echo of a SEND included.
    // Every client gets it as RECEIVE, once and in the order given.
    void bus_message(const kvr_loconet_msg& msg);

    // Clients connected now (any thread).
    std::size_t client_count() const;

private:
    struct impl;
    std::unique_ptr<impl> impl_;
};
