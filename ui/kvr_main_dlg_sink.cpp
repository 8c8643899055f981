// The dialog's monitor sink: the one channel from the link's I/O thread to
// the window. The I/O thread makes each message's monitor line and queues
// it with the message and its receive time (on_message and the other
// listener calls); one content-free wake-up event tells the GUI thread, which
// takes the whole queue at once (drain_sink) and goes on collecting on its
// own tick while messages keep coming.

#include <QCoreApplication>
#include <QEvent>

#include "loconet/kvr_monitor.h"
#include "ui/kvr_main_dlg.h"

namespace {

// The wake-up that tells the window the sink's queue holds something.
const QEvent::Type kvr_sink_wake = static_cast<QEvent::Type>(QEvent::User + 150);

}  // namespace

void kvr_main_dlg::gui_sink::on_message(const kvr_loconet_msg& msg, const kvr_capture_time& time) {
    // Nothing is formatted for a window that is gone.
    if (!alive_.load())
        return;
    push({.text = kvr_monitor::line(msg), .has_msg = true, .msg = msg, .time = time});
}

void kvr_main_dlg::gui_sink::on_note(const std::string& line) {
    push({.text = line});
}

void kvr_main_dlg::gui_sink::on_link_lost(const std::string& report) {
    push({.lost = true, .text = report});
}

void kvr_main_dlg::gui_sink::on_send_refused(const std::string& report) {
    push({.refused = true, .text = report});
}

void kvr_main_dlg::gui_sink::push(item it) {
    if (!alive_.load())
        return;
    bool wake = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        items_.push_back(std::move(it));
        // One wake-up per batch: a busy bus does not flood the event queue.
        wake = !wake_posted_;
        wake_posted_ = true;
    }
    if (wake)
        QCoreApplication::postEvent(dlg_, new QEvent(kvr_sink_wake));
}

std::vector<kvr_main_dlg::gui_sink::item> kvr_main_dlg::gui_sink::take(bool rearm) {
    std::vector<item> out;
    std::lock_guard<std::mutex> lock(mutex_);
    out.swap(items_);
    if (rearm && out.empty())
        wake_posted_ = false;
    return out;
}

void kvr_main_dlg::customEvent(QEvent* event) {
    if (event->type() != kvr_sink_wake) {
        QDialog::customEvent(event);
        return;
    }
    drain_sink(false);
}

void kvr_main_dlg::drain_sink(bool rearm) {
    std::vector<gui_sink::item> items = sink_.take(rearm);
    // A busy bus delivers a message every few milliseconds; waking for each
    // costs more than showing it. The tick collects them until a tick finds
    // none and the sink posts a wake-up again.
    if (!rearm || !items.empty())
        sink_tick_.start();
    for (gui_sink::item& it : items) {
        if (it.lost)
            link_lost(it.text);
        else if (it.refused)
            send_refused(it.text);
        else {
            const kvr_msg_subject subject = note_message(it);
            receive_item(it, subject);
        }
    }
    if (!items.empty()) {
        follow_loco();
        show_functions_state();
        refresh_views();
    }
}

