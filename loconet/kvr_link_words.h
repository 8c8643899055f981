#pragma once
// The first line of every failure report of the link, in plain words: what
// happened, to which port, and what to do. The rest of the report (the
// operation, the time, the system's code and the source line) follows it
// unchanged, for whoever needs the details.
//
// Examples:
//   lost, "/dev/ttyUSB0", EIO
//     "The adapter /dev/ttyUSB0 was unplugged. Plug it in and press Connect."
//   tcp_connect, "127.0.0.1:24000", ECONNREFUSED
//     "Nothing listens at 127.0.0.1:24000 (connection refused). ..."
//   tcp_resolve, "layout.local", EAI_NONAME
//     "Unknown host layout.local. ..."

#include <string>

enum class kvr_link_step {
    open,         // opening the device; err: errno
    not_serial,   // the device is no terminal
    rate,         // the device refuses the adapter's rate
    setup,        // setting up the line failed; err: errno
    lost,         // the device failed while in use; err: errno
    tcp_address,  // the tcp:// name is malformed; detail: why
    tcp_resolve,  // the host name did not resolve; err: getaddrinfo status
    tcp_connect,  // connecting failed; err: errno
    tcp_lost,     // the connection failed while in use; err: errno
    tcp_refused,  // the server did not put a message on the bus; detail: why
};

// `port` is the port as the user named it, or for the TCP steps the server
// as HOST:PORT (the host alone for tcp_resolve). One line, no line feed.
std::string kvr_link_words(kvr_link_step step, const std::string& port, int err,
                           const std::string& detail = {});
