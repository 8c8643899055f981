#pragma once
// Shares an open link with LocoNet-over-TCP clients (busprobe-cli serve).
//
//   client SEND -> server -> link.send() -> adapter -> bus
//   bus -> adapter -> link's receive path -> on_message() -> every client
//
// It is one of the link's listeners: every message the link frames, the
// echo of a client's own SEND included, goes to the server as RECEIVE, and
// the server's SENT OK follows that echo. Whoever shows monitor lines (the
// --log output) listens to the link on its own.

#include <atomic>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <utility>

#include "link/kvr_lntcp_server.h"
#include "link/kvr_loconet_port.h"

class kvr_lntcp_share : public kvr_link_listener {
public:
    // Add it to the link's listeners before the link opens, and remove it
    // before it goes.
    kvr_lntcp_share(kvr_loconet_port& link, kvr_lntcp_server_options options,
                    kvr_lntcp_server::report_handler on_report);

    // Starts serving; throws kvr_exception when the address cannot be bound.
    void start() { server_.start(); }
    void stop() { server_.stop(); }
    kvr_lntcp_server& server() { return server_; }
    bool lost() const { return lost_.load(); }

    // kvr_link_listener, on the link's I/O thread.
    void on_message(const kvr_loconet_msg& msg, const kvr_capture_time& time) override;
    void on_link_lost(const std::string& report) override;

private:
    std::string send(const kvr_loconet_msg& msg);
    bool withdraw(const kvr_loconet_msg& msg);

    kvr_loconet_port& link_;
    std::atomic<bool> lost_{false};
    // The server's thread only: the transmit tag of each message handed to
    // the link lately, newest last, so an expired SEND can be taken back.
    std::deque<std::pair<kvr_loconet_msg, uint32_t>> handed_;
    kvr_lntcp_server server_;
};
