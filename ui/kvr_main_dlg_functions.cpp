// The dialog's operating extras: the functions window (F0..F28 of the
// throttle's loco), the emergency stop of that loco, "stop all" and the
// fast-clock setter. Each action goes through the dialog's one operation
// state and, while the link is closed, sends nothing and says so.

#include <QAction>
#include <QKeyEvent>
#include <QCheckBox>
#include <QKeySequence>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QStringList>

#include <map>

#include "foundation/kvr_exception.h"
#include "foundation/kvr_hooks.h"
#include "ui/kvr_clock_wnd.h"
#include "ui/kvr_dialog_template.h"
#include "ui/kvr_functions_wnd.h"
#include "ui/kvr_main_dlg.h"
#include "ui/kvr_speed_slider.h"

namespace {

constexpr const char* section = "SETTING";
// "Send F9-F28 as": "packet" (DCC packets in OPC_IMM_PACKET, the default)
// or "opcodes" (the A3 / D4 slot messages).
constexpr const char* send_key = "FUNCSEND";
constexpr const char* send_packet = "packet";
constexpr const char* send_opcodes = "opcodes";

// Momentary marks per loco: "ADDRESS:MASK" pairs, the mask in hex (bit n:
// Fn), separated by spaces: "3:2000 1234:5".
constexpr const char* marks_key = "MOMENTARY";

std::map<int, uint32_t> parse_marks(const std::string& text) {
    std::map<int, uint32_t> out;
    for (const QString& pair : QString::fromStdString(text).split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        const QStringList parts = pair.split(QLatin1Char(':'));
        if (parts.size() != 2) continue;
        bool ok_a = false, ok_m = false;
        const int address = parts[0].toInt(&ok_a);
        const uint mask = parts[1].toUInt(&ok_m, 16);
        if (ok_a && ok_m && kvr_proto::is_loco_address(address) && mask != 0)
            out[address] = mask & ((1u << kvr_functions_wnd::count) - 1);
    }
    return out;
}

std::string format_marks(const std::map<int, uint32_t>& marks) {
    QStringList pairs;
    for (const auto& [address, mask] : marks)
        if (address > 0 && mask != 0) pairs << QStringLiteral("%1:%2").arg(address).arg(mask, 0, 16);
    return pairs.join(QLatin1Char(' ')).toStdString();
}

constexpr const char* text_clock_silent =
    "The command station did not answer for its fast clock (slot 123): it may have none.";

constexpr const char* text_no_loco =
    "No loco is driven: enter its address in the throttle first. Nothing was sent.";

// Ctrl+Space and Ctrl+Shift+Space, the keys of the two stops.
bool is_stop_key(const QKeyEvent& key, bool all) {
    const Qt::KeyboardModifiers mods = key.modifiers() & (Qt::ControlModifier | Qt::ShiftModifier | Qt::AltModifier);
    return key.key() == Qt::Key_Space && mods == (all ? (Qt::ControlModifier | Qt::ShiftModifier) : Qt::ControlModifier);
}

}  // namespace

void kvr_main_dlg::build_operating_actions() {
    functions_as_opcodes_ = ini_.get_string(section, send_key, send_packet) == send_opcodes;
    // The questions take a loco from another throttle: No is the default.
    confirm_ = [this](const QString& text) {
        return QMessageBox::question(this, QStringLiteral("Busprobe"), text, QMessageBox::Yes | QMessageBox::No,
                                     QMessageBox::No) == QMessageBox::Yes;
    };
    const auto add = [this](const QString& text, const QKeySequence& key, std::function<void()> run) {
        auto* a = new QAction(text, this);
        a->setShortcut(key);
        connect(a, &QAction::triggered, this, [run = std::move(run)] { run(); });
        addAction(a);  // the shortcut works anywhere in the dialog
        operating_actions_.push_back(a);
        return a;
    };
    add(QStringLiteral("&Functions F0-F28…"), QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_F), [this] { show_functions(); });
    add(QStringLiteral("Set fast &clock…"), QKeySequence(Qt::CTRL | Qt::Key_K), [this] { show_clock_setter(); });
    add(QStringLiteral("&Emergency stop of the loco"), QKeySequence(Qt::CTRL | Qt::Key_Space),
        [this] { on_emergency_stop(); });
    add(QStringLiteral("&Stop all locomotives"), QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Space),
        [this] { on_stop_all(); });
    // The F0..F8 boxes and the window show the same functions.
    for (int i = 0; i < 9; ++i)
        connect(check(kvr_idc_f0 + i), &QCheckBox::toggled, this, [this] { show_functions_state(); });
    // Another address typed: the window shows what is kept for that loco.
    connect(edit(kvr_idc_loco_adr), &QLineEdit::textChanged, this, [this] { show_functions_state(); });
}

void kvr_main_dlg::show_functions() {
    if (!functions_wnd_) {
        functions_wnd_ = new kvr_functions_wnd(this);
        functions_wnd_->on_function = [this](unsigned n, bool on) { on_window_function(n, on); };
        functions_wnd_->on_emergency_stop = [this] { on_emergency_stop(); };
        functions_wnd_->on_send_mode = [this](bool opcodes) { set_functions_as_opcodes(opcodes); };
        functions_wnd_->set_send_mode(functions_as_opcodes_);
        functions_wnd_->set_all_marks(parse_marks(ini_.get_string(section, marks_key, "")));
        functions_wnd_->on_marks = [this](int, uint32_t) {
            ini_.set_string(section, marks_key, format_marks(functions_wnd_->all_marks()));
        };
        // The stops keep their keys while the window has the focus.
        for (QAction* a : operating_actions_)
            functions_wnd_->addAction(a);
        // A stop acts while an operation waits: its clicks pass the wait.
        functions_wnd_->stop_button()->setProperty(kvr_cancel_waiter::stop_control, true);
    }
    show_functions_state();
    functions_wnd_->show();
    functions_wnd_->raise();
    functions_wnd_->activateWindow();
}

void kvr_main_dlg::show_clock_setter() {
    if (!clock_wnd_) {
        clock_wnd_ = new kvr_clock_wnd(this);
        clock_wnd_->on_set = [this](const kvr_clock_setting& s) { on_set_clock(s); };
    }
    clock_wnd_->show();
    clock_wnd_->raise();
    clock_wnd_->activateWindow();
}

void kvr_main_dlg::set_functions_as_opcodes(bool opcodes) {
    functions_as_opcodes_ = opcodes;
    ini_.set_string(section, send_key, opcodes ? send_opcodes : send_packet);
}

// F0..F8 as the dialog's boxes show them, F9..F28 as the throttle knows them
// for the loco it drives, else as kept for the loco the address box names.
void kvr_main_dlg::show_functions_state() {
    if (!functions_wnd_)
        return;
    int shown = 0;
    const bool known = kvr_parse_int(edit(kvr_idc_loco_adr)->text(), shown) && kvr_proto::is_loco_address(shown);
    uint32_t on = 0;
    for (int i = 0; i < 9; ++i)
        if (check(kvr_idc_f0 + i)->isChecked())
            on |= 1u << i;
    const kvr_loco_state loco = throttle_->loco();
    if (known && loco.address == shown)
        on |= loco.functions & ~0x1FFu;
    else if (known)
        on |= bus_.functions(static_cast<uint16_t>(shown)) & ~0x1FFu;
    functions_wnd_->show_loco(known ? shown : 0);
    functions_wnd_->set_states(on);
}

void kvr_main_dlg::on_window_function(unsigned n, bool on) {
    if (state_ != kvr_dlg_state::idle) {
        show_functions_state();
        return;
    }
    if (n <= kvr_proto::slot_function_max) {
        // The dialog's own box and its handler: one way for F0..F8.
        check(kvr_idc_f0 + static_cast<int>(n))->setChecked(on);
        on_function_box(n);
        show_functions_state();
        return;
    }
    if (!connected_or_say_so() || !driving_entered()) {
        show_functions_state();
        return;
    }
    throttle_->set_function_send(functions_as_opcodes_ ? kvr_function_send::opcodes : kvr_function_send::packet);
    run_op(QStringLiteral("F%1 of loco %2").arg(n).arg(fields_.loco_address), [&] { throttle_->set_function(n, on); });
    show_functions_state();
}

void kvr_main_dlg::send_now(const std::function<void()>& send) {
    try {
        send();
    } catch (const kvr_exception& e) {
        report([e] { e.show(); });
    }
}

// The loco driven, never an address typed but not entered; the stop never
// waits for anything, so it acts while another operation waits.
void kvr_main_dlg::on_emergency_stop() {
    if (!connected_or_say_so())
        return;
    bool stopped = false;
    send_now([&] { stopped = throttle_->emergency_stop(); });
    if (!stopped) {
        report([] { kvr_message_box(text_no_loco, "Busprobe", kvr_icon::information); });
        return;
    }
    // The loco stands: the speed shown is 0, and the next move of the slider
    // starts it from there.
    if (state_ == kvr_dlg_state::idle)
        show_loco();
}

// It stops trains, so it is its own confirmation; the monitor line of
// OPC_IDLE is the record.
void kvr_main_dlg::on_stop_all() {
    if (!connected_or_say_so())
        return;
    send_now([&] { throttle_->stop_all(); });
}

bool kvr_main_dlg::stop_key(const QKeyEvent& key, bool act) {
    const bool all = is_stop_key(key, true);
    if (!all && !is_stop_key(key, false))
        return false;
    if (act) {
        if (all)
            on_stop_all();
        else
            on_emergency_stop();
    }
    return true;
}

void kvr_main_dlg::on_set_clock(const kvr_clock_setting& setting) {
    if (state_ != kvr_dlg_state::idle || !connected_or_say_so())
        return;
    // A station without a fast clock leaves slot 123 unanswered: the wait
    // ends after its tries with this, not with the station's code.
    bool silent = false;
    const QString what = setting.keep_time ? (setting.run ? QStringLiteral("starting the fast clock")
                                                          : QStringLiteral("stopping the fast clock"))
                                           : QStringLiteral("setting the fast clock");
    run_op(what, [&] {
        try {
            loconet_->do_set_fast_clock(setting);
        } catch (const kvr_exception& e) {
            silent = e.report().find(kvr_dccx_loconet::text_clock_silent) != std::string::npos;
            if (!silent)
                throw;
        }
    });
    if (silent)
        report([] {
            kvr_message_box(text_clock_silent, "Busprobe", kvr_icon::information);
        });
}
