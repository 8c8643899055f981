#pragma once
// A LocoNet-over-TCP server as the link's transport (kvr_transport.h). The
// I/O thread first connects (within 3 s), then sends each message as a SEND
// line and takes RECEIVE lines as bus bytes. One SEND at a time: a message
// leaves the transmit queue when the server answers it (SENT OK, or its
// echo), so an empty queue means every message was confirmed; a SENT ERROR
// is told to the listeners (on_send_refused). Reports name the server:
// "the LocoNet-over-TCP server at 127.0.0.1:1234 closed the connection".

#include <string>
#include <string_view>

#include "link/kvr_lntcp_connect.h"
#include "link/kvr_transport.h"
#include "loconet/kvr_link_words.h"
#include "loconet/kvr_lntcp_line.h"

class kvr_tcp_transport : public kvr_transport {
public:
    explicit kvr_tcp_transport(kvr_transport_host& host);
    ~kvr_tcp_transport() override;

    void open() override;
    void connect() override;
    int descriptor() const override { return fd_; }
    duration cycle(duration interval, bool hangup) override;
    bool gone(uint32_t code) const override;
    void close() override;

private:
    bool send_front();
    void answered(const std::string* failure);
    void server_line(std::string_view line, bool too_long);
    // Reports of this path, in words: they name the server, never a call of
    // another system or a source line.
    [[noreturn]] void fail(const std::string& what, int code, kvr_link_step step, const std::string& detail = {}) const;
    std::string server() const;

    kvr_transport_host& host_;
    kvr_lntcp_endpoint endpoint_;
    // Written by the I/O thread once it connected; nobody else looks at it
    // while the thread runs.
    int fd_ = -1;

    // I/O thread only.
    kvr_lntcp_splitter lines_;  // the server's lines
    // The front message was written as a SEND and its answer is awaited (it
    // stays at the front, in flight, until then); whether its echo came and
    // when; the server's last note, for the report when it closes.
    bool awaiting_ = false;
    bool echoed_ = false;
    std::chrono::steady_clock::time_point echo_at_{};
    std::string last_note_;
};
