#include "ui/kvr_slots_view.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

#include "station/kvr_dccx_loconet.h"
#include "ui/kvr_view_host.h"
#include "ui/kvr_view_table.h"
#include "ui/kvr_view_time.h"

namespace {

constexpr const char* headers[] = {"Slot", "Loco", "Status", "Steps", "Speed", "Direction", "F0-F8", "Seen"};
static_assert(std::size(headers) == kvr_slots_view::col_count);

void set_cell(QTableWidget* grid, int row, int col, const QString& text) {
    const bool words = col == kvr_slots_view::col_status || col == kvr_slots_view::col_direction ||
                       col == kvr_slots_view::col_functions;
    kvr_set_view_cell(grid, row, col, text, !words);
}

}  // namespace

kvr_slots_view::kvr_slots_view(const kvr_bus_state& table, kvr_view_host& host, QWidget* parent)
    : QWidget(parent, Qt::Window), slots_(table), host_(host) {
    setWindowTitle(QStringLiteral("Busprobe: Slots"));
    setObjectName(QStringLiteral("slots_view"));
    grid_ = kvr_make_view_table(this, headers, QStringLiteral("Double-click a slot to drive its loco"));

    read_ = new QPushButton(QStringLiteral("&Read all"), this);
    read_->setToolTip(QStringLiteral("Ask the command station for every loco slot, one at a time"));
    release_ = new QPushButton(QStringLiteral("Re&lease"), this);
    release_->setToolTip(QStringLiteral("Set the selected slot common: no throttle holds it"));
    dispatch_ = new QPushButton(QStringLiteral("&Dispatch"), this);
    dispatch_->setToolTip(QStringLiteral("Hand the selected slot's loco to the next throttle that asks"));
    progress_ = new QProgressBar(this);
    progress_->setRange(kvr_slot_loco_first, kvr_slot_loco_last);
    // %m would be the number of steps (118), not the last slot.
    progress_->setFormat(QStringLiteral("slot %v of ") + QString::number(kvr_slot_loco_last));
    progress_->hide();
    status_ = new QLabel(this);

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(read_);
    buttons->addWidget(release_);
    buttons->addWidget(dispatch_);
    buttons->addWidget(progress_, 1);
    buttons->addWidget(status_, 1);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(grid_, 1);
    layout->addLayout(buttons);

    connect(read_, &QPushButton::clicked, this, [this] { read_all(); });
    connect(release_, &QPushButton::clicked, this, [this] { release_selected(); });
    connect(dispatch_, &QPushButton::clicked, this, [this] { dispatch_selected(); });
    connect(grid_, &QTableWidget::cellDoubleClicked, this, [this](int row, int) { take_row(row); });
    resize(640, 360);
}

int kvr_slots_view::row_for(uint16_t slot) {
    const auto found = rows_.find(slot);
    if (found != rows_.end()) return found->second;
    // A new slot goes in at its place in slot order; the rows below move down.
    const auto next = rows_.upper_bound(slot);
    const int row = next == rows_.end() ? grid_->rowCount() : next->second;
    grid_->insertRow(row);
    for (auto it = next; it != rows_.end(); ++it) ++it->second;
    rows_[slot] = row;
    return row;
}

void kvr_slots_view::fill_row(int row, const kvr_slot_state& e) {
    const int steps = kvr_slot_steps(e.stat);
    set_cell(grid_, row, col_slot, QString::number(e.slot));
    set_cell(grid_, row, col_loco, QString::number(e.address));
    set_cell(grid_, row, col_status, QString::fromUtf8(kvr_slot_usage_name(e.stat)));
    set_cell(grid_, row, col_steps, steps ? QString::number(steps) : QString());
    set_cell(grid_, row, col_speed, QString::number(e.speed));
    set_cell(grid_, row, col_direction, e.forward ? QStringLiteral("fwd") : QStringLiteral("rev"));
    set_cell(grid_, row, col_functions, QString::fromStdString(kvr_slot_functions(e)));
    set_cell(grid_, row, col_seen, kvr_seen_text(e.seen, false));
}

void kvr_slots_view::update_slots(const std::vector<uint16_t>& changed) {
    for (uint16_t s : changed)
        if (const kvr_slot_state* e = slots_.slot(s)) fill_row(row_for(s), *e);
}

void kvr_slots_view::update_all() {
    for (const auto& [slot, e] : slots_.loco_slots()) fill_row(row_for(slot), e);
}

void kvr_slots_view::clear() {
    grid_->setRowCount(0);
    rows_.clear();
}

uint16_t kvr_slots_view::selected_slot() const {
    const int row = grid_->currentRow();
    if (row < 0 || !grid_->selectionModel()->isRowSelected(row, {})) return 0;
    for (const auto& [slot, r] : rows_)
        if (r == row) return slot;
    return 0;
}

void kvr_slots_view::read_all() {
    progress_->setValue(kvr_slot_loco_first);
    progress_->show();
    status_->hide();
    kvr_dccx_loconet::slot_read_result r;
    const bool done = host_.run_station_op(QStringLiteral("reading every slot"), [&](kvr_dccx_loconet& st) {
        r = st.do_read_all_slots(kvr_slot_loco_first, kvr_slot_loco_last,
                                 [this](uint8_t slot, kvr_dccx_loconet::slot_answer) { progress_->setValue(slot); });
    });
    progress_->hide();
    QString said;
    if (done && r.station_silent)
        said = QStringLiteral("No answer from the command station (slots 1 to %1 asked)").arg(r.asked);
    else if (done)
        said = QStringLiteral("%1 of %2 slots answered").arg(r.answered).arg(r.asked);
    if (done && r.refused > 0) said += QStringLiteral(", %1 refused").arg(r.refused);
    status_->setText(said);
    status_->show();
}

// A slot in use belongs to a throttle: releasing or dispatching it takes the
// loco from under that throttle's driver, so the host asks first.
bool kvr_slots_view::may_take(uint16_t slot, const QString& what) {
    const kvr_slot_state* e = slots_.slot(slot);
    if (!e || e->usage() != kvr_proto::usage_in_use) return true;
    return host_.confirm_taking(slot, e->address, what);
}

void kvr_slots_view::release_selected() {
    const uint16_t slot = selected_slot();
    if (slot == 0 || !may_take(slot, QStringLiteral("Release"))) return;
    host_.run_station_op(QStringLiteral("releasing slot %1").arg(slot),
                         [slot](kvr_dccx_loconet& st) { st.do_release_slot(slot); });
}

void kvr_slots_view::dispatch_selected() {
    const uint16_t slot = selected_slot();
    if (slot == 0 || !may_take(slot, QStringLiteral("Dispatch"))) return;
    host_.run_station_op(QStringLiteral("dispatching slot %1").arg(slot),
                         [slot](kvr_dccx_loconet& st) { st.do_dispatch_slot(slot); });
}

void kvr_slots_view::take_row(int row) {
    for (const auto& [slot, r] : rows_)
        if (r == row) {
            if (const kvr_slot_state* e = slots_.slot(slot)) host_.take_loco(e->address);
            return;
        }
}
