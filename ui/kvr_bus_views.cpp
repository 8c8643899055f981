#include "ui/kvr_bus_views.h"

#include <QTableWidget>

#include "station/kvr_bus_state.h"
#include "ui/kvr_sensors_view.h"
#include "ui/kvr_slots_view.h"

namespace {

// Raised and active, the first row ready for the keyboard (Release, Switch).
template <class View>
void bring_up(View* view, bool made) {
    if (made && view->table()->rowCount() > 0)
        view->table()->setCurrentCell(0, 0);
    view->show();
    view->raise();
    view->activateWindow();
}

}  // namespace

kvr_slots_view* kvr_bus_views::slots_view() const { return slots_view_; }
kvr_sensors_view* kvr_bus_views::sensors_view() const { return sensors_view_; }

void kvr_bus_views::open_slots() {
    const bool made = !slots_view_;
    if (made) {
        slots_view_ = new kvr_slots_view(bus_, host_, parent_);
        slots_view_->update_all();
    }
    bring_up(slots_view_.data(), made);
}

void kvr_bus_views::open_sensors() {
    const bool made = !sensors_view_;
    if (made) {
        sensors_view_ = new kvr_sensors_view(bus_, host_, parent_);
        sensors_view_->update_all();
    }
    bring_up(sensors_view_.data(), made);
}

// The changed lists are taken even while no window shows them, so a window
// opened later does not redraw rows it filled itself.
void kvr_bus_views::on_batch(std::span<const kvr_drained>) {
    const std::vector<uint16_t> changed_slots = bus_.take_changed_slots();
    const std::vector<kvr_point_key> changed_points = bus_.take_changed_points();
    if (slots_view_ && !changed_slots.empty()) slots_view_->update_slots(changed_slots);
    if (sensors_view_ && !changed_points.empty()) sensors_view_->update_points(changed_points);
}

void kvr_bus_views::forget() {
    if (slots_view_) slots_view_->clear();
    if (sensors_view_) sensors_view_->clear();
}
