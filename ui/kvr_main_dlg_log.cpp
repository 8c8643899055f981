// The main dialog's monitor log: the "Decode every message" and "Record
// capture…" actions, clearing the view, "FileLog" and the log mode. What
// goes into the view, the dated log and the capture file is the consumers'
// (kvr_monitor_feeds.h).

#include <QAction>
#include <QCheckBox>
#include <QFileDialog>

#include "foundation/kvr_file.h"
#include "foundation/kvr_hooks.h"
#include "foundation/kvr_text.h"
#include "ui/kvr_dialog_template.h"
#include "ui/kvr_log_view.h"
#include "ui/kvr_main_dlg.h"
#include "ui/kvr_main_dlg_keys.h"
#include "ui/kvr_monitor_feeds.h"

using kvr_main_dlg_keys::kDecodeAllKey;
using kvr_main_dlg_keys::kSection;

kvr_dated_log& kvr_main_dlg::dated_log() {
    return env_.dated_log ? *env_.dated_log : kvr_global_dated_log();
}

void kvr_main_dlg::build_monitor_actions() {
    decode_all_action_ = new QAction(QStringLiteral("&Decode every message"), this);
    decode_all_action_->setCheckable(true);
    decode_all_action_->setChecked(decode_all_);
    decode_all_action_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_E));
    connect(decode_all_action_, &QAction::toggled, this, [this](bool on) { set_decode_all(on); });
    log_view_->add_menu_action(decode_all_action_);
    record_action_ = new QAction(QStringLiteral("&Record capture…"), this);
    record_action_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_R));
    connect(record_action_, &QAction::triggered, this, [this] { on_record(); });
    log_view_->add_menu_action(record_action_);
}

void kvr_main_dlg::set_decode_all(bool on) {
    if (decode_all_action_)
        decode_all_action_->setChecked(on);
    sink_.set_extended(on);
    if (on == decode_all_)
        return;
    decode_all_ = on;
    ini_.set_int(kSection, kDecodeAllKey, on ? 1 : 0);
}

bool kvr_main_dlg::start_recording(const std::string& path, std::string* error) {
    return recorder_->start(path, error);
}

bool kvr_main_dlg::stop_recording() {
    return recorder_->stop();
}

bool kvr_main_dlg::recording() const {
    return recorder_->recording();
}

void kvr_main_dlg::on_record() {
    if (recording()) {
        if (!stop_recording())
            kvr_message_box("Recording failed: " + recorder_->error(), "Busprobe", kvr_icon::exclamation);
        return;
    }
    const QString path = QFileDialog::getSaveFileName(this, QStringLiteral("Record capture"), QString(),
                                                      QStringLiteral("Capture files (*.txt *.cap);;All files (*)"));
    if (path.isEmpty())
        return;
    std::string error;
    if (!start_recording(path.toStdString(), &error))
        kvr_message_box("Cannot record to " + path.toStdString() + ": " + error, "Busprobe", kvr_icon::exclamation);
}

void kvr_main_dlg::on_clear_screen() {
    log_view_->clear_text();
}

void kvr_main_dlg::on_file_log() {
    update_data(true);
}

void kvr_main_dlg::on_log_mode() {
    update_data(true);
    ini_.set_int(kSection, "LOGDIR", fields_.log_mode);
}
