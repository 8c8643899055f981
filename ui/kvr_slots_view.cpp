#include "ui/kvr_slots_view.h"

#include <QCheckBox>
#include <QFontMetrics>
#include <QHBoxLayout>
#include <QStringList>
#include <QStyle>
#include <QHeaderView>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

#include <algorithm>

#include "station/kvr_dccx_loconet.h"
#include "ui/kvr_screen_fit.h"
#include "ui/kvr_view_host.h"
#include "ui/kvr_view_table.h"
#include "ui/kvr_view_time.h"

namespace {

constexpr const char* headers[] = {"Slot",     "Loco",    "Status",    "Steps", "Speed",
                                   "Direction", "Throttle", "Consist", "Functions", "Seen"};
// What a cell of each column typically holds at its widest.
constexpr const char* samples[] = {"119", "10239", "in use", "128", "E-stop", "Direction", "7F/7F", "sub-member",
                                   "F0 F1 F2 F3 F4", "00:00:00"};
static_assert(std::size(samples) == kvr_slots_view::col_count);

// The functions on, F0 first: "F0 F3 F5"; "" when none.
QString functions_on(const kvr_slot_state& e) {
    QStringList on;
    for (unsigned f = 0; f <= 28; ++f)
        if (e.function(f)) on << QStringLiteral("F%1").arg(f);
    return on.join(QLatin1Char(' '));
}

// STAT1 bits 6 and 3 (LocoNet PE): up-link and down-link of a consist.
QString consist_of(uint8_t stat) {
    switch (stat & 0x48) {
    case 0x48: return QStringLiteral("mid");
    case 0x08: return QStringLiteral("top");
    case 0x40: return QStringLiteral("sub-member");
    default: return QString();
    }
}
static_assert(std::size(headers) == kvr_slots_view::col_count);

void set_cell(QTableWidget* grid, int row, int col, const QString& text) {
    const bool words = col == kvr_slots_view::col_status || col == kvr_slots_view::col_direction ||
                       col == kvr_slots_view::col_functions || col == kvr_slots_view::col_consist ||
                       col == kvr_slots_view::col_speed;
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
    show_free_ = new QCheckBox(QStringLiteral("Show &free slots"), this);
    show_free_->setToolTip(QStringLiteral("List the slots no loco is in, too"));

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(read_);
    buttons->addWidget(release_);
    buttons->addWidget(dispatch_);
    buttons->addWidget(progress_, 1);
    buttons->addWidget(status_, 1);
    buttons->addWidget(show_free_);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(grid_, 1);
    layout->addLayout(buttons);

    connect(read_, &QPushButton::clicked, this, [this] { read_all(); });
    connect(release_, &QPushButton::clicked, this, [this] { release_selected(); });
    connect(dispatch_, &QPushButton::clicked, this, [this] { dispatch_selected(); });
    connect(grid_, &QTableWidget::cellDoubleClicked, this, [this](int row, int) { take_row(row); });
    connect(show_free_, &QCheckBox::toggled, this, [this](bool on) {
        apply_free_filter();
        host_.remember(kvr_view_host::key_show_free_slots, on);
    });
    show_free_->setChecked(host_.remembered(kvr_view_host::key_show_free_slots, false));
    resize(640, 360);
    fit_width();
    kvr_keep_on_screen(this);
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
    // Speed 1 is the emergency stop (LocoNet PE), not a crawl.
    set_cell(grid_, row, col_speed, e.speed == 1 ? QStringLiteral("E-stop") : QString::number(e.speed));
    set_cell(grid_, row, col_direction, e.forward ? QStringLiteral("fwd") : QStringLiteral("rev"));
    // ID1/ID2 in hex, as the monitor's id(..) shows them.
    set_cell(grid_, row, col_throttle,
             e.throttle_id ? QStringLiteral("%1/%2")
                                 .arg(e.throttle_id >> 8, 2, 16, QLatin1Char('0'))
                                 .arg(e.throttle_id & 0xFF, 2, 16, QLatin1Char('0'))
                                 .toUpper()
                           : QString());
    set_cell(grid_, row, col_consist, consist_of(e.stat));
    set_cell(grid_, row, col_functions, functions_on(e));
    set_cell(grid_, row, col_seen, kvr_seen_text(e.seen, false));
    grid_->setRowHidden(row, !show_free_->isChecked() && e.usage() == kvr_proto::usage_free);
}

void kvr_slots_view::update_slots(const std::vector<uint16_t>& changed) {
    for (uint16_t s : changed)
        if (const kvr_slot_state* e = slots_.slot(s)) fill_row(row_for(s), *e);
}

void kvr_slots_view::set_show_free(bool on) { show_free_->setChecked(on); }

void kvr_slots_view::apply_free_filter() {
    const bool all = show_free_->isChecked();
    for (const auto& [slot, row] : rows_) {
        const kvr_slot_state* e = slots_.slot(slot);
        grid_->setRowHidden(row, !all && e && e->usage() == kvr_proto::usage_free);
    }
}

void kvr_slots_view::fit_width() {
    const QFontMetrics fm(grid_->font());
    const QFontMetrics head(grid_->horizontalHeader()->font());
    const int pad = 3 * fm.averageCharWidth();
    int total = 0;
    for (int c = 0; c < col_count; ++c) {
        const int w = std::max(fm.horizontalAdvance(QString::fromUtf8(samples[c])),
                               head.horizontalAdvance(QString::fromUtf8(headers[c]))) + pad;
        grid_->setColumnWidth(c, w);
        total += w;
    }
    const int bar = grid_->style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, grid_);
    const QMargins m = layout()->contentsMargins();
    const int width = total + bar + 2 * grid_->frameWidth() + m.left() + m.right() + 4;
    resize(std::max(width, sizeHint().width()), height());
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
    kvr_dccx_loconet::loco_slots_read_result r;
    const auto show = [this](uint16_t slot, kvr_dccx_loconet::slot_answer) { progress_->setValue(slot); };
    // A station offering expanded slots is read a second time as one, up to
    // its last expanded loco slot: the bar follows that reach then.
    const auto show_expanded = [this](uint16_t slot, kvr_dccx_loconet::slot_answer) {
        if (progress_->maximum() != kvr_slot_expanded_last) {
            progress_->setRange(kvr_slot_loco_first, kvr_slot_expanded_last);
            progress_->setFormat(QStringLiteral("expanded slot %v of ") + QString::number(kvr_slot_expanded_last));
        }
        progress_->setValue(slot);
    };
    const kvr_slot_choice choice = host_.slot_choice();
    const bool done = host_.run_station_op(QStringLiteral("reading every slot"), [&](kvr_dccx_loconet& st) {
        r = st.do_read_loco_slots(choice, show, show_expanded);
    });
    progress_->setRange(kvr_slot_loco_first, kvr_slot_loco_last);
    progress_->setFormat(QStringLiteral("slot %v of ") + QString::number(kvr_slot_loco_last));
    progress_->hide();
    QString said;
    if (done && r.classic.station_silent)
        said = QStringLiteral("No answer from the command station (slots 1 to %1 asked)").arg(r.classic.asked);
    else if (done)
        said = QStringLiteral("%1 of %2 slots answered").arg(r.classic.answered).arg(r.classic.asked);
    if (done && r.classic.refused > 0) said += QStringLiteral(", %1 refused").arg(r.classic.refused);
    if (done && r.expanded_read)
        said += QStringLiteral("; expanded slots: %1 of %2 answered").arg(r.expanded.answered).arg(r.expanded.asked);
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
