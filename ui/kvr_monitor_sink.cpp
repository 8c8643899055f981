#include "ui/kvr_monitor_sink.h"

#include <QCoreApplication>

#include "loconet/kvr_monitor.h"
#include "loconet/kvr_monitor_ext.h"

const QEvent::Type kvr_monitor_sink::wake_event = static_cast<QEvent::Type>(QEvent::User + 150);

void kvr_monitor_sink::on_message(const kvr_loconet_msg& msg, const kvr_capture_time& time) {
    // Nothing is formatted for a window that is gone.
    if (!alive_.load())
        return;
    kvr_drained item{.kind = kvr_drained::what::message, .line = kvr_monitor::line(msg), .msg = msg, .time = time};
    const bool own = item.line == "\r\n" && own_echo(msg);
    if (own || extended_.load())
        item.extended = kvr_monitor::cut_line(kvr_monitor::to_text_extended(msg) + "\r\n");
    // The window's own message shows a line where the monitor has none, and
    // the dated log keeps the same line as the view.
    if (own)
        item.line = item.extended;
    push(std::move(item));
}

void kvr_monitor_sink::expect_own(const kvr_loconet_msg& msg) {
    if (!kvr_monitor::to_text(msg).empty())
        return;
    std::lock_guard<std::mutex> lock(own_mutex_);
    own_.push_back(msg);
    if (own_.size() > own_limit)
        own_.pop_front();
}

bool kvr_monitor_sink::own_echo(const kvr_loconet_msg& msg) {
    std::lock_guard<std::mutex> lock(own_mutex_);
    for (auto it = own_.begin(); it != own_.end(); ++it) {
        if (*it == msg) {
            own_.erase(it);
            return true;
        }
    }
    return false;
}

void kvr_monitor_sink::on_open() {
    // Another open may be another bus: nothing queued on the last one is
    // awaited there.
    std::lock_guard<std::mutex> lock(own_mutex_);
    own_.clear();
}

void kvr_monitor_sink::on_note(const std::string& line) {
    push({.kind = kvr_drained::what::note, .line = line});
}

void kvr_monitor_sink::on_link_lost(const std::string& report) {
    push({.kind = kvr_drained::what::lost, .line = report});
}

void kvr_monitor_sink::on_send_refused(const std::string& report) {
    push({.kind = kvr_drained::what::refused, .line = report});
}

void kvr_monitor_sink::push(kvr_drained item) {
    if (!alive_.load())
        return;
    bool wake = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        items_.push_back(std::move(item));
        // One wake-up per batch: a busy bus does not flood the event queue.
        wake = !wake_posted_;
        wake_posted_ = true;
    }
    if (wake)
        QCoreApplication::postEvent(target_, new QEvent(wake_event));
}

std::vector<kvr_drained> kvr_monitor_sink::take(bool rearm) {
    std::vector<kvr_drained> out;
    std::lock_guard<std::mutex> lock(mutex_);
    out.swap(items_);
    if (rearm && out.empty())
        wake_posted_ = false;
    return out;
}
