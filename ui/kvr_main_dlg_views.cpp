// The dialog's side of the Slots and the Sensors and turnouts windows: they
// read the dialog's bus state, fed from the monitor sink on the GUI thread; the windows' requests
// through the dialog's one operation guard, and the keys and menu items
// that open them.

#include <QAction>
#include <QCheckBox>
#include <QLineEdit>
#include <QMenu>
#include <QPointer>
#include <QShortcut>
#include <QTableWidget>

#include "ui/kvr_dialog_template.h"
#include "ui/kvr_log_view.h"
#include "ui/kvr_main_dlg.h"
#include "ui/kvr_sensors_view.h"
#include "ui/kvr_slots_view.h"
#include "ui/kvr_view_host.h"

struct kvr_main_dlg::bus_views : kvr_view_host {
    explicit bus_views(kvr_main_dlg& dlg) : dlg_(dlg) {}

    bool run_station_op(const QString& what, const std::function<void(kvr_dccx_loconet&)>& op) override {
        if (dlg_.state_ != kvr_dlg_state::idle || !dlg_.connected_or_say_so())
            return false;
        bool done = false;
        dlg_.run_op(what, [&] {
            op(*dlg_.loconet_);
            done = true;
        });
        return done;
    }

    // As if the user had typed the address and Enter: the throttle reads the
    // loco's slot, shows it and drives it.
    void take_loco(int address) override {
        if (dlg_.state_ != kvr_dlg_state::idle) return;
        dlg_.edit(kvr_idc_loco_adr)->setText(QString::number(address));
        if (!dlg_.connected_or_say_so() || !dlg_.save_for({kvr_idc_loco_adr}) || !dlg_.loco_address_ok()) return;
        dlg_.acquire_entered();
    }

    bool confirm_taking(uint8_t slot, int address, const QString& what) override {
        // Closed, the request itself says so; the loco this throttle drives
        // is its own to let go.
        if (!dlg_.link().is_open() || address == dlg_.throttle_->loco().address) return true;
        const QString question = QStringLiteral("Slot %1 (loco %2) is in use by another throttle.\n\n%3 it anyway? "
                                                "That throttle can no longer drive the loco.")
                                     .arg(slot)
                                     .arg(address)
                                     .arg(what);
        return dlg_.confirm_ && dlg_.confirm_(question);
    }

    // The switch panel's request (do_sw), with its "on" box.
    void set_turnout(int number, bool closed) override {
        if (dlg_.state_ != kvr_dlg_state::idle || !dlg_.connected_or_say_so()) return;
        const auto n = static_cast<uint16_t>(number);
        const bool on = dlg_.check(kvr_idc_sw_on)->isChecked();
        dlg_.run_op(QStringLiteral("switch %1").arg(number),
                    [&] { dlg_.station_->do_sw(n, closed ? 1 : 0, on); });
    }

    kvr_main_dlg& dlg_;
    QPointer<kvr_slots_view> slots_view;
    QPointer<kvr_sensors_view> sensors_view;
    QShortcut* sensors_key = nullptr;
};

void kvr_main_dlg::bus_views_deleter::operator()(bus_views* v) const { delete v; }

void kvr_main_dlg::build_view_actions() {
    views_.reset(new bus_views(*this));
    auto* slots_key = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_L), this);
    connect(slots_key, &QShortcut::activated, this, [this] { open_slots_view(); });
    // Shift: Ctrl+T is the monitor's time stamps, and two live shortcuts on
    // one key would leave both dead as ambiguous.
    views_->sensors_key = new QShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_T), this);
    connect(views_->sensors_key, &QShortcut::activated, this, [this] { open_sensors_view(); });
}

void kvr_main_dlg::add_view_menu_items(QMenu& menu) {
    QAction* slot_item = menu.addAction(QStringLiteral("&Slots…"), this, [this] { open_slots_view(); });
    slot_item->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_L));
    QAction* point_item =
        menu.addAction(QStringLiteral("Sensors and &turnouts…"), this, [this] { open_sensors_view(); });
    point_item->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_T));
    menu.addSeparator();
}

// Once per batch: only the rows the batch changed are touched.
void kvr_main_dlg::refresh_views() {
    const std::vector<uint8_t> changed_slots = bus_.take_changed_slots();
    const std::vector<kvr_point_key> changed_points = bus_.take_changed_points();
    if (views_->slots_view && !changed_slots.empty()) views_->slots_view->update_slots(changed_slots);
    if (views_->sensors_view && !changed_points.empty()) views_->sensors_view->update_points(changed_points);
}

void kvr_main_dlg::clear_views() {
    if (views_->slots_view) views_->slots_view->clear();
    if (views_->sensors_view) views_->sensors_view->clear();
}

void kvr_main_dlg::open_slots_view() {
    if (!views_->slots_view) {
        views_->slots_view = new kvr_slots_view(bus_, *views_, this);
        views_->slots_view->update_all();
        // The first row ready for the keyboard (Release, Switch).
        if (views_->slots_view->table()->rowCount() > 0) views_->slots_view->table()->setCurrentCell(0, 0);
    }
    views_->slots_view->show();
    views_->slots_view->raise();
    views_->slots_view->activateWindow();
}

void kvr_main_dlg::open_sensors_view() {
    if (!views_->sensors_view) {
        views_->sensors_view = new kvr_sensors_view(bus_, *views_, this);
        views_->sensors_view->update_all();
        // The first row ready for the keyboard (Release, Switch).
        if (views_->sensors_view->table()->rowCount() > 0) views_->sensors_view->table()->setCurrentCell(0, 0);
    }
    views_->sensors_view->show();
    views_->sensors_view->raise();
    views_->sensors_view->activateWindow();
}

kvr_slots_view* kvr_main_dlg::slots_view() const { return views_->slots_view; }
kvr_sensors_view* kvr_main_dlg::sensors_view() const { return views_->sensors_view; }
