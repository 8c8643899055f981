#pragma once
// Bookkeeping of the soak run: what the simulated station put on the bus
// against what the link delivered to its monitor sink, and the link's own
// requests against their echoes.
//
// The station's runner reports every whole message before it writes it to
// the terminal, so the bus side always leads. A message the link delivers is
// matched against the oldest one still waiting; one found further on means
// the ones skipped were lost; one not waiting at all is a duplicate (when it
// repeats the last delivered) or unexpected.

#include <cstdint>
#include <deque>
#include <mutex>
#include <string>

#include "loconet/kvr_loconet_msg.h"
#include "loconet/kvr_monitor.h"
#include "link/kvr_link.h"
#include "link/kvr_port.h"

struct soak_counts {
    uint64_t bus = 0;          // whole messages the station put on the bus
    uint64_t received = 0;     // of those, delivered by the link in order
    uint64_t lost = 0;
    uint64_t duplicated = 0;
    uint64_t unexpected = 0;
    uint64_t lines = 0;        // monitor lines, each the text of its message
    uint64_t bad_lines = 0;
    uint64_t sent = 0;         // requests the link was given
    uint64_t echoed = 0;       // of those, seen on the bus in order
    uint64_t links_lost = 0;
};

class soak_traffic {
public:
    // The runner's observer (runner thread).
    void on_bus(const kvr_loconet_msg& msg);
    // The link's sink (I/O thread).
    void on_received(const kvr_loconet_msg& msg);
    void on_line(const std::string& text);
    void on_link_lost();
    // The link's send (operation thread).
    void on_sent(const kvr_loconet_msg& msg);

    // Nothing before this call counts: the link is open and listening.
    void start();
    // True once every message put on the bus was delivered and every
    // request echoed, within `ms`.
    bool drain(unsigned ms);
    // Requests not yet seen on the bus.
    std::size_t unechoed() const;
    // The messages still waiting count as lost from here on.
    soak_counts finish();
    soak_counts snapshot() const;

private:
    static constexpr std::size_t lookahead = 64;

    mutable std::mutex m_;
    bool started_ = false;
    std::deque<kvr_loconet_msg> waiting_;  // on the bus, not yet delivered
    std::deque<kvr_loconet_msg> sent_;     // queued, not yet echoed
    kvr_loconet_msg last_;                 // the last message delivered
    kvr_loconet_msg line_of_;              // the message the next line shows
    bool line_due_ = false;
    soak_counts c_;
};

// The monitor sink of the soak's link: each message and the line a monitor
// makes of it.
class soak_sink : public kvr_link_listener {
public:
    explicit soak_sink(soak_traffic& t) : t_(t) {}
    void on_message(const kvr_loconet_msg& msg, const kvr_capture_time&) override {
        t_.on_received(msg);
        t_.on_line(kvr_monitor::line(msg));
    }
    void on_note(const std::string& line) override { t_.on_line(line); }
    void on_link_lost(const std::string&) override { t_.on_link_lost(); }

private:
    soak_traffic& t_;
};

// The serial driver, telling the bookkeeping of every request it is given.
class soak_link : public kvr_link {
public:
    explicit soak_link(soak_traffic& t) : t_(t) {}
    void send(const kvr_loconet_msg& msg, uint32_t tag) override {
        t_.on_sent(msg);
        kvr_link::send(msg, tag);
    }

private:
    soak_traffic& t_;
};
