// The main dialog's view of the bus beyond the monitor lines: the bus state
// the drain feeds, the track power shown on the power buttons, and the entry
// for a message typed by hand. The buttons and the entry sit inside the
// window as designed: the buttons keep their places, and the entry is hidden
// until asked for (it then takes its room from the monitor).

#include <QAction>
#include <QIcon>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>

#include <algorithm>

#include "foundation/kvr_hooks.h"
#include "loconet/kvr_hand_message.h"
#include "ui/kvr_dialog_template.h"
#include "ui/kvr_hand_entry.h"
#include "ui/kvr_log_view.h"
#include "ui/kvr_main_dlg.h"

namespace {

// Settings keys of the monitor's columns, 0 or 1 (0: not shown, as before
// they were remembered).
const char* const kSection = "SETTING";
const char* const kShowTimeKey = "SHOWTIME";
const char* const kShowHexKey = "SHOWHEX";

}  // namespace

void kvr_main_dlg::build_bus_extras() {
    // The power buttons show the track power as last seen: the one that
    // matches is checked, so it looks pressed. A click must not change the
    // look by itself; only the bus does.
    for (int id : {kvr_idc_power_on, kvr_idc_power_off}) {
        QPushButton* b = button(id);
        b->setCheckable(true);
        connect(b, &QAbstractButton::toggled, this, [this] { show_power(); });
    }
    show_power();

    hand_entry_ = new kvr_hand_entry(page_);
    hand_entry_->on_send = [this] { enter(&kvr_main_dlg::on_send_by_hand); };
    hand_entry_->on_escape = [this] { set_hand_entry_shown(false); };
    hand_action_ = new QAction(QStringLiteral("Send a &message by hand"), this);
    hand_action_->setCheckable(true);
    hand_action_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_M));
    connect(hand_action_, &QAction::toggled, this, [this](bool on) { set_hand_entry_shown(on); });
    log_view_->add_menu_action(hand_action_);
    // Everywhere in the window, not only in the monitor.
    hand_action_->setShortcutContext(Qt::WindowShortcut);
    addAction(hand_action_);

    log_view_->set_show_time(ini_.get_int(kSection, kShowTimeKey, 0) != 0);
    log_view_->set_show_hex(ini_.get_int(kSection, kShowHexKey, 0) != 0);
    log_view_->on_columns_changed = [this] {
        ini_.set_int(kSection, kShowTimeKey, log_view_->show_time() ? 1 : 0);
        ini_.set_int(kSection, kShowHexKey, log_view_->show_hex() ? 1 : 0);
    };
}

void kvr_main_dlg::feed_bus(kvr_drained& it) {
    if (!it.has_msg())
        return;
    const kvr_msg_reading reading = kvr_read_message(it.msg);
    // Lines of a link already closed may still be waiting here; they tell
    // nothing about the layout connected next.
    if (link().is_open())
        bus_.on_reading(reading, it.time);
    it.subject = bus_.subject(reading);
}

void kvr_main_dlg::forget_bus() {
    bus_.forget();
    for (kvr_batch_consumer* c : consumers_)
        c->forget();
}

// The track's state as a lamp on the buttons: green on Power On while the
// track is on, red on Power Off while it is off, amber on both while idle
// (OPC_IDLE: power on, every loco stopped), a hollow ring on both while no
// message has told it. The button that matches stays pressed; the word is
// in the tooltip.
void kvr_main_dlg::show_power() {
    const kvr_power_state s = bus_.power();
    const QString tip = QStringLiteral("Track power: %1").arg(QString::fromUtf8(kvr_power_state_name(s)));
    const auto mark = [&](int id, bool on, kvr_lamp lamp) {
        QPushButton* b = button(id);
        b->setToolTip(tip);
        b->setIcon(kvr_lamp_icon(lamp, b->iconSize().height()));
        b->setProperty("lamp", static_cast<int>(lamp));
        if (b->isChecked() != on)
            b->setChecked(on);  // its toggled comes back here and finds nothing to do
    };
    const bool known = s != kvr_power_state::unknown;
    const bool idle = s == kvr_power_state::idle;
    mark(kvr_idc_power_on, s == kvr_power_state::on,
         !known ? kvr_lamp::unknown : idle ? kvr_lamp::amber : s == kvr_power_state::on ? kvr_lamp::green : kvr_lamp::dark);
    mark(kvr_idc_power_off, s == kvr_power_state::off,
         !known ? kvr_lamp::unknown : idle ? kvr_lamp::amber : s == kvr_power_state::off ? kvr_lamp::red : kvr_lamp::dark);
}

QIcon kvr_lamp_icon(kvr_lamp lamp, int size) {
    size = std::max(size, 8);
    QPixmap px(size * 2, size * 2);  // sharp at a scale of 2
    px.setDevicePixelRatio(2.0);
    px.fill(Qt::transparent);
    QPainter p(&px);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF r(1.0, 1.0, size - 2.0, size - 2.0);
    QColor fill;
    switch (lamp) {
    case kvr_lamp::green: fill = QColor(0x1e, 0xb4, 0x28); break;
    case kvr_lamp::red: fill = QColor(0xdc, 0x1e, 0x1e); break;
    case kvr_lamp::amber: fill = QColor(0xf0, 0xa8, 0x00); break;
    case kvr_lamp::dark: fill = QColor(0x50, 0x50, 0x50); break;
    case kvr_lamp::unknown: break;
    }
    p.setPen(QPen(QColor(0x30, 0x30, 0x30), 1.0));
    if (fill.isValid())
        p.setBrush(fill);
    else
        p.setPen(QPen(QColor(0x90, 0x90, 0x90), 1.5));
    p.drawEllipse(r);
    p.end();
    return QIcon(px);
}

// ---- a message by hand ----

void kvr_main_dlg::set_hand_entry_shown(bool on) {
    if (hand_action_ && hand_action_->isChecked() != on)
        hand_action_->setChecked(on);  // comes back here through toggled
    if (on == hand_entry_->isVisibleTo(page_))
        return;
    hand_entry_->setVisible(on);
    layout_page();
    if (on) {
        hand_entry_->setFocus(Qt::ShortcutFocusReason);
        hand_entry_->selectAll();
    } else {
        log_view_->setFocus(Qt::OtherFocusReason);
    }
}

bool kvr_main_dlg::hand_entry_shown() const {
    return hand_entry_ && hand_entry_->isVisibleTo(page_);
}

QRect kvr_main_dlg::place_hand_entry(QRect log) {
    if (!hand_entry_shown())
        return log;
    constexpr int gap = 2;
    const int h = hand_entry_->sizeHint().height();
    // The monitor keeps a line or two at the least.
    const int room = std::min(h + gap, std::max(0, log.height() - 2 * h));
    log.setBottom(log.bottom() - room);
    hand_entry_->setGeometry(log.left(), log.bottom() + 1 + gap, log.width(), room - gap);
    return log;
}

void kvr_main_dlg::on_send_by_hand() {
    const kvr_hand_message m = kvr_parse_hand_message(hand_entry_->text().toStdString());
    if (!m.ok) {
        const std::string notice = m.notice + " Nothing was sent.";
        report([notice] { kvr_message_box(notice, "Busprobe", kvr_icon::exclamation); });
        return;
    }
    if (!connected_or_say_so())
        return;
    run_op(QStringLiteral("sending a message"), [&] { loconet_->send_message(m.msg); });
    // Ready for the next one, or Enter again to repeat it.
    hand_entry_->selectAll();
}
