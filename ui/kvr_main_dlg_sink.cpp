// The dialog's drain: the monitor sink's queue taken on the GUI thread, each
// message fed to the bus state, and the batch handed to the list of
// consumers in order. While messages keep coming the dialog collects them on
// its own tick rather than waking once per message.

#include <QAction>
#include <QCheckBox>

#include "foundation/kvr_file.h"
#include "foundation/kvr_hooks.h"
#include "ui/kvr_bus_views.h"
#include "ui/kvr_devices_wnd.h"
#include "ui/kvr_dialog_template.h"
#include "ui/kvr_main_dlg.h"
#include "ui/kvr_monitor_feeds.h"

// The order is the order of effects the user sees: a message is recorded
// before it is shown, shown before it is logged, and the windows and panels
// show the state after the whole batch.
void kvr_main_dlg::build_consumers() {
    kvr_view_host& host = *this;
    recorder_ = std::make_unique<kvr_capture_recorder>(host);
    recorder_->on_changed = [this] {
        if (record_action_)
            record_action_->setText(recording() ? QStringLiteral("Stop &recording") : QStringLiteral("&Record capture…"));
    };
    monitor_feed_ = std::make_unique<kvr_monitor_feed>(*log_view_);
    file_log_ = std::make_unique<kvr_file_log_feed>(dated_log(), host);
    file_log_->on_failed = [this] {
        fields_.file_log = 0;
        check(kvr_idc_file_log)->setChecked(false);
    };
    views_ = std::make_unique<kvr_bus_views>(bus_, host, this);
    devices_ = std::make_unique<kvr_devices_feed>(host, this);
    panels_ = std::make_unique<panel_feed>(*this);
    consumers_ = {recorder_.get(), monitor_feed_.get(), file_log_.get(), views_.get(), devices_.get(), panels_.get()};
}

void kvr_main_dlg::sync_feeds() {
    if (monitor_feed_)
        monitor_feed_->set_log_mode(fields_.log_mode);
    if (file_log_)
        file_log_->set_on(fields_.file_log != 0);
}

void kvr_main_dlg::customEvent(QEvent* event) {
    if (event->type() != kvr_monitor_sink::wake_event) {
        QDialog::customEvent(event);
        return;
    }
    drain_sink(false);
}

void kvr_main_dlg::drain_sink(bool rearm) {
    std::vector<kvr_drained> items = sink_.take(rearm);
    // A busy bus delivers a message every few milliseconds; waking for each
    // costs more than showing it. The tick collects them until a tick finds
    // none and the sink posts a wake-up again.
    if (!rearm || !items.empty())
        sink_tick_.start();
    hand_on(items);
}

void kvr_main_dlg::drain_closed_link() {
    std::vector<kvr_drained> items = sink_.take(false);
    hand_on(items);
}

void kvr_main_dlg::hand_on(std::vector<kvr_drained>& items) {
    if (items.empty())
        return;
    // A box opened here would run the event loop inside the loop below, and
    // the tick would show newer lines before the rest of this batch.
    const bool outer = !draining_;
    draining_ = true;
    auto run = items.begin();
    for (auto it = items.begin();; ++it) {
        if (it != items.end() && it->is_line()) {
            feed_bus(*it);
            continue;
        }
        if (it != run) {
            const std::span<const kvr_drained> batch(&*run, static_cast<std::size_t>(it - run));
            for (kvr_batch_consumer* c : consumers_)
                c->on_batch(batch);
        }
        if (it == items.end())
            break;
        if (it->kind == kvr_drained::what::lost)
            link_lost(it->line);
        else
            send_refused(it->line);
        run = it + 1;
    }
    if (!outer)
        return;
    draining_ = false;
    if (busy())
        return;  // shown when the operation is over
    std::vector<std::function<void()>> reports;
    reports.swap(deferred_reports_);
    for (const auto& show : reports)
        show();
}

void kvr_main_dlg::receive_text(std::string text) {
    std::vector<kvr_drained> one(1);
    one.front().line = std::move(text);
    hand_on(one);
}
