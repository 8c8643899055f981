#pragma once
// The monitor sink of busprobe-cli, one of the link's listeners. The link's
// I/O thread hands it each message, the link's notes and the lost-link
// notice; it makes the monitor lines itself, only while monitoring. It must
// not block there, so lines go into
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
#include "link/kvr_link_listener.h"

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

class cli_sink : public kvr_link_listener {
public:
    // monitoring false: lines are dropped; only a lost link is noticed. A
    // lost link sets `abort`, so that a waiting operation ends.
    cli_sink(bool monitoring, bool show_time, bool show_hex, kvr_sys_event& abort);

    // kvr_link_listener, on the link's I/O thread.
    void on_message(const kvr_loconet_msg& msg, const kvr_capture_time& time) override;
    void on_note(const std::string& line) override;
    void on_link_lost(const std::string& report) override;
    // A refused message sets `abort` as a lost link does: the command fails.
    void on_send_refused(const std::string& report) override;

    static constexpr std::size_t max_queued_lines = 10000;

    // Shows the extended line for messages the monitor leaves blank; set
    // before the link opens.
    void set_extended(bool on) { extended_ = on; }
    // Queues each message with its receive time instead of its line (record);
    // set before the link opens.
    void set_recording(bool on) { recording_ = on; }

    // Off: a refused message is left to whoever sent it (serve: the client
    // that sent it hears of it from the server); set before the link opens.
    void set_refusal_ends(bool on) { refusal_ends_ = on; }

    cli_lines take_lines();
    // Set whenever a line is queued.
    kvr_sys_event& line_ready() { return line_ready_; }
    std::optional<std::string> lost_report() const;
    // The first refused message's report.
    std::optional<std::string> refused_report() const;

private:
    // Queues one line: `text` the monitor line (with its line end), `hex`
    // and `extended` the message's bytes and extended reading ("" for none).
    void queue_line(std::string text, const std::string& hex, const std::string& extended);

    const bool monitoring_;
    const bool show_time_;
    const bool show_hex_;
    kvr_sys_event& abort_;
    kvr_sys_event line_ready_{false};
    bool extended_ = false;
    bool recording_ = false;
    bool refusal_ends_ = true;
    mutable std::mutex mutex_;
    cli_lines queued_;
    std::optional<std::string> lost_;
    std::optional<std::string> refused_;
};
