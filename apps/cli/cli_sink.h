#pragma once
// The monitor sink of busprobe-cli. The link's I/O thread hands it monitor
// lines and the lost-link notice; it must not block there, so lines go into
// a locked queue and the command's thread prints them (writing to a pipe
// that nobody reads could block for ever). While the printing thread is
// stuck, the queue keeps the newest `max_queued_lines` lines and counts the
// older ones it drops, so memory stays bounded and the gap is shown.

#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>

#include "foundation/kvr_sys_event.h"
#include "loconet/kvr_capture.h"
#include "link/kvr_port.h"

struct cli_line {
    std::string shown;  // with the time and bytes asked for
    std::string text;   // the monitor line alone (for the dated log)
};

// The lines queued since the last take, and how many lines were dropped
// before them.
// In recording mode the messages themselves come instead of lines.
struct cli_lines {
    std::uint64_t dropped = 0;
    std::deque<cli_line> lines;
    std::deque<kvr_capture_entry> messages;
};

class cli_sink : public kvr_monitor_sink {
public:
    // monitoring false: lines are dropped; only a lost link is noticed. A
    // lost link sets `abort`, so that a waiting operation ends.
    cli_sink(bool monitoring, bool show_time, bool show_hex, kvr_sys_event& abort);

    // Always a receiver: the port tells a lost link only to a sink that has one.
    bool has_window() const override { return true; }
    void post_message(const kvr_loconet_msg& msg) override;
    void post_text(std::string text) override;
    void link_lost(std::string report) override;
    // A refused message sets `abort` as a lost link does: the command fails.
    void send_failed(std::string report) override;

    static constexpr std::size_t max_queued_lines = 10000;

    // Shows the extended line for messages the monitor leaves blank; set
    // before the link opens.
    void set_extended(bool on) { extended_ = on; }
    // Queues each message with its receive time instead of its line (record);
    // set before the link opens.
    void set_recording(bool on) { recording_ = on; }

    cli_lines take_lines();
    // Set whenever a line is queued.
    kvr_sys_event& line_ready() { return line_ready_; }
    std::optional<std::string> lost_report() const;
    // The first refused message's report.
    std::optional<std::string> refused_report() const;

private:
    const bool monitoring_;
    const bool show_time_;
    const bool show_hex_;
    kvr_sys_event& abort_;
    kvr_sys_event line_ready_{false};
    bool extended_ = false;
    bool recording_ = false;
    std::string pending_hex_;  // I/O thread only: bytes of the coming line
    std::string pending_extended_;  // I/O thread only: its extended line
    mutable std::mutex mutex_;
    cli_lines queued_;
    std::optional<std::string> lost_;
    std::optional<std::string> refused_;
};
