// The dialog as the host of its child windows and consumers
// (kvr_view_host.h): the Slots and Sensors windows' requests go through the
// dialog's one operation guard. Also the keys and menu items that open
// those windows.

#include <QAction>
#include <QCheckBox>
#include <QLineEdit>
#include <QMenu>
#include <QShortcut>

#include "ui/kvr_bus_views.h"
#include "ui/kvr_devices_wnd.h"
#include "ui/kvr_dialog_template.h"
#include "ui/kvr_main_dlg.h"

kvr_slot_choice kvr_main_dlg::slot_choice() const { return throttle_->slot_choice(); }

bool kvr_main_dlg::run_station_op(const QString& what, const std::function<void(kvr_dccx_loconet&)>& op) {
    if (state_ != kvr_dlg_state::idle || !connected_or_say_so())
        return false;
    bool done = false;
    run_op(what, [&] {
        op(*loconet_);
        done = true;
    });
    return done;
}

// As if the user had typed the address and Enter: the throttle reads the
// loco's slot, shows it and drives it.
void kvr_main_dlg::take_loco(int address) {
    if (state_ != kvr_dlg_state::idle) return;
    edit(kvr_idc_loco_adr)->setText(QString::number(address));
    if (!connected_or_say_so() || !save_for({kvr_idc_loco_adr}) || !loco_address_ok()) return;
    acquire_entered();
}

bool kvr_main_dlg::confirm_taking(uint16_t slot, int address, const QString& what) {
    // Closed, the request itself says so; the loco this throttle drives is
    // its own to let go.
    if (!link().is_open() || address == throttle_->loco().address) return true;
    const QString question = QStringLiteral("Slot %1 (loco %2) is in use by another throttle.\n\n%3 it anyway? "
                                            "That throttle can no longer drive the loco.")
                                 .arg(slot)
                                 .arg(address)
                                 .arg(what);
    return confirm_ && confirm_(question);
}

bool kvr_main_dlg::remembered(const char* key, bool fallback) const {
    return ini_.get_int("SETTING", key, fallback ? 1 : 0) != 0;
}

void kvr_main_dlg::remember(const char* key, bool on) { ini_.set_int("SETTING", key, on ? 1 : 0); }

// The switch request (do_sw) of the Sensors and turnouts window: the
// position the user picked there, with the output on, as a turnout is
// thrown; the switch panel's "on" box belongs to the panel's own request.
void kvr_main_dlg::set_turnout(int number, bool closed) {
    if (state_ != kvr_dlg_state::idle || !connected_or_say_so()) return;
    const auto n = static_cast<uint16_t>(number);
    const bool on = true;
    run_op(QStringLiteral("switch %1").arg(number), [&] { station_->do_sw(n, closed ? 1 : 0, on); });
}

void kvr_main_dlg::build_view_actions() {
    auto* slots_key = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_L), this);
    connect(slots_key, &QShortcut::activated, this, [this] { open_slots_view(); });
    // Shift: Ctrl+T is the monitor's time stamps, and two live shortcuts on
    // one key would leave both dead as ambiguous.
    auto* sensors_key = new QShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_T), this);
    connect(sensors_key, &QShortcut::activated, this, [this] { open_sensors_view(); });
}

void kvr_main_dlg::add_view_menu_items(QMenu& menu) {
    QAction* slot_item = menu.addAction(QStringLiteral("&Slots…"), this, [this] { open_slots_view(); });
    slot_item->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_L));
    QAction* point_item =
        menu.addAction(QStringLiteral("Sensors and &turnouts…"), this, [this] { open_sensors_view(); });
    point_item->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_T));
    menu.addAction(QStringLiteral("&Devices…"), this, [this] { open_devices_view(); });
    menu.addSeparator();
}

void kvr_main_dlg::open_slots_view() { views_->open_slots(); }
void kvr_main_dlg::open_sensors_view() { views_->open_sensors(); }
kvr_slots_view* kvr_main_dlg::slots_view() const { return views_->slots_view(); }
kvr_sensors_view* kvr_main_dlg::sensors_view() const { return views_->sensors_view(); }
void kvr_main_dlg::open_devices_view() { devices_->open(); }
kvr_devices_wnd* kvr_main_dlg::devices_view() const { return devices_->window(); }
