#pragma once
// Shares an open link with LocoNet-over-TCP clients (busprobe-cli serve).
//
//   client SEND -> server -> link.send() -> adapter -> bus
//   bus -> adapter -> link's receive path -> post_message() -> every client
//
// It is the link's monitor sink: every message the link frames, the echo of
// a client's own SEND included, goes to the server as RECEIVE, and the
// server's SENT OK follows that echo. Monitor lines and the lost-link notice
// are passed on to another sink when one is given (the --log output).

#include <atomic>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <utility>

#include "link/kvr_lntcp_server.h"
#include "link/kvr_loconet_port.h"

class kvr_lntcp_share : public kvr_monitor_sink {
public:
    // `inner` (may be null) gets the monitor lines; it must outlive this.
    kvr_lntcp_share(kvr_loconet_port& link, kvr_lntcp_server_options options,
                    kvr_lntcp_server::report_handler on_report, kvr_monitor_sink* inner = nullptr);

    // Starts serving; throws kvr_exception when the address cannot be bound.
    void start() { server_.start(); }
    void stop() { server_.stop(); }
    kvr_lntcp_server& server() { return server_; }
    bool lost() const { return lost_.load(); }

    // kvr_monitor_sink, on the link's I/O thread.
    bool has_window() const override { return true; }
    void post_message(const kvr_loconet_msg& msg) override;
    void post_text(std::string text) override;
    void link_lost(std::string report) override;

private:
    std::string send(const kvr_loconet_msg& msg);
    bool withdraw(const kvr_loconet_msg& msg);

    kvr_loconet_port& link_;
    kvr_monitor_sink* inner_;
    std::atomic<bool> lost_{false};
    // The server's thread only: the transmit tag of each message handed to
    // the link lately, newest last, so an expired SEND can be taken back.
    std::deque<std::pair<kvr_loconet_msg, uint32_t>> handed_;
    kvr_lntcp_server server_;
};
