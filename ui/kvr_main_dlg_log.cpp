// The main dialog's monitor log: the "Decode every message" and "Record
// capture…" actions, the capture recording, the copy of monitor lines into
// the dated log ("FileLog"), clearing the view and its log mode.

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
    if (on == decode_all_)
        return;
    decode_all_ = on;
    ini_.set_int(kSection, kDecodeAllKey, on ? 1 : 0);
}

bool kvr_main_dlg::start_recording(const std::string& path, std::string* error) {
    stop_recording();
    if (!recorder_.open(path)) {
        if (error)
            *error = recorder_.error();
        return false;
    }
    if (record_action_)
        record_action_->setText(QStringLiteral("Stop &recording"));
    return true;
}

bool kvr_main_dlg::stop_recording() {
    if (!recorder_.is_open())
        return true;
    if (record_action_)
        record_action_->setText(QStringLiteral("&Record capture…"));
    return recorder_.close();
}

void kvr_main_dlg::on_record() {
    if (recording()) {
        if (!stop_recording())
            kvr_message_box("Recording failed: " + recorder_.error(), "Busprobe", kvr_icon::exclamation);
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

void kvr_main_dlg::write_file_log(std::string text) {
    file_line_ += crlf_to_lf(text);
    if (file_line_.empty() || file_line_.back() != '\n')
        return;  // the line goes on in a later text
    file_line_.pop_back();
    std::string line;
    line.swap(file_line_);
    try {
        dated_log().write_line(line);
    } catch (const kvr_exception& e) {
        // Stop copying before telling, so lines arriving while the box is
        // open do not raise the same report again.
        fields_.file_log = 0;
        check(kvr_idc_file_log)->setChecked(false);
        report([e] { e.show(); });
    }
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
