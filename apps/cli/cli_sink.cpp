#include "apps/cli/cli_sink.h"

#include <chrono>
#include <ctime>

#include "foundation/kvr_text.h"
#include "loconet/kvr_monitor.h"
#include "loconet/kvr_monitor_ext.h"
#include "loconet/kvr_hex_text.h"

namespace {

// Local time of day with milliseconds: "13:05:09.123".
std::string time_of_day() {
    auto now = std::chrono::system_clock::now();
    std::time_t t = std::chrono::system_clock::to_time_t(now);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    char text[kvr_time_of_day_size];
    return kvr_time_of_day(kvr_local_ms_of_day(t, static_cast<unsigned>(ms)), text);
}

}  // namespace

cli_sink::cli_sink(bool monitoring, bool show_time, bool show_hex, kvr_sys_event& abort)
    : monitoring_(monitoring), show_time_(show_time), show_hex_(show_hex), abort_(abort) {}

void cli_sink::on_message(const kvr_loconet_msg& msg, const kvr_capture_time& time) {
    if (!monitoring_) return;
    if (recording_) {
        {
            std::lock_guard<std::mutex> hold(mutex_);
            if (queued_.messages.size() >= max_queued_lines) {
                queued_.messages.pop_front();
                ++queued_.dropped;
            }
            queued_.messages.push_back({time, msg});
        }
        line_ready_.set();
        return;
    }
    queue_line(kvr_monitor::line(msg), show_hex_ ? kvr_hex_bytes(msg) : std::string(),
               extended_ ? kvr_monitor::to_text_extended(msg) : std::string());
}

void cli_sink::on_note(const std::string& line) {
    if (!monitoring_ || recording_) return;
    queue_line(line, {}, {});
}

void cli_sink::queue_line(std::string text, const std::string& hex, const std::string& extended) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    cli_line line;
    if (show_time_) line.shown = time_of_day() + " ";
    if (show_hex_) line.shown += hex + "  ";
    // With --extended the whole line is the extended reading, as in the window's
    // "Decode every message": it may also reword a line the monitor fills
    // (consist state, interrogation, slot moves). Text that came without a
    // message (a note) has no extended reading and stays as it is.
    line.shown += !extended.empty() ? extended : text;
    line.text = std::move(text);
    {
        std::lock_guard<std::mutex> hold(mutex_);
        if (queued_.lines.size() >= max_queued_lines) {
            queued_.lines.pop_front();
            ++queued_.dropped;
        }
        queued_.lines.push_back(std::move(line));
    }
    line_ready_.set();
}

void cli_sink::on_link_lost(const std::string& report) {
    {
        std::lock_guard<std::mutex> hold(mutex_);
        if (!lost_) lost_ = report;
    }
    abort_.set();
}

void cli_sink::on_send_refused(const std::string& report) {
    if (!refusal_ends_) return;
    {
        std::lock_guard<std::mutex> hold(mutex_);
        if (!refused_) refused_ = report;
    }
    abort_.set();
}

std::optional<std::string> cli_sink::refused_report() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return refused_;
}

cli_lines cli_sink::take_lines() {
    std::lock_guard<std::mutex> hold(mutex_);
    cli_lines out;
    std::swap(out, queued_);
    return out;
}

std::optional<std::string> cli_sink::lost_report() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return lost_;
}
