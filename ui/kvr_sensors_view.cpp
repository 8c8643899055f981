#include "ui/kvr_sensors_view.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

#include "ui/kvr_screen_fit.h"
#include "ui/kvr_view_host.h"
#include "ui/kvr_view_table.h"
#include "ui/kvr_view_time.h"

namespace {

constexpr const char* headers[] = {"Kind", "Number", "Last state", "Seen"};
static_assert(std::size(headers) == kvr_sensors_view::col_count);

void set_cell(QTableWidget* grid, int row, int col, const QString& text) {
    kvr_set_view_cell(grid, row, col, text, col == kvr_sensors_view::col_number);
}

}  // namespace

kvr_sensors_view::kvr_sensors_view(const kvr_bus_state& table, kvr_view_host& host, QWidget* parent)
    : QWidget(parent, Qt::Window), points_(table), host_(host) {
    setWindowTitle(QStringLiteral("Busprobe: Sensors and turnouts"));
    setObjectName(QStringLiteral("sensors_view"));
    grid_ = kvr_make_view_table(this, headers, QStringLiteral("Double-click a turnout to send it the other position"));

    filter_ = new QLineEdit(this);
    filter_->setPlaceholderText(QStringLiteral("number or text"));
    filter_->setClearButtonEnabled(true);
    switch_ = new QPushButton(QStringLiteral("&Switch to"), this);
    switch_->setToolTip(QStringLiteral("Send the selected turnout the position beside this button"));
    position_ = new QComboBox(this);
    position_->addItem(QStringLiteral("Closed/Green"));
    position_->addItem(QStringLiteral("Thrown/Red"));
    position_->setToolTip(QStringLiteral("The position Switch sends"));
    auto* label = new QLabel(QStringLiteral("&Filter:"), this);
    label->setBuddy(filter_);

    auto* row = new QHBoxLayout;
    row->addWidget(label);
    row->addWidget(filter_, 1);
    row->addWidget(switch_);
    row->addWidget(position_);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(row);
    layout->addWidget(grid_, 1);

    connect(filter_, &QLineEdit::textChanged, this, [this] { apply_filter(); });
    connect(switch_, &QPushButton::clicked, this, [this] { switch_selected(); });
    connect(grid_, &QTableWidget::itemSelectionChanged, this, [this] { follow_selection(); });
    connect(grid_, &QTableWidget::currentCellChanged, this, [this] { follow_selection(); });
    follow_selection();
    connect(grid_, &QTableWidget::cellDoubleClicked, this, [this](int r, int) { switch_row(r); });
    resize(520, 400);
    kvr_keep_on_screen(this);
}

int kvr_sensors_view::row_of(const kvr_point_key& key) const {
    const auto it = rows_.find(key);
    return it == rows_.end() ? -1 : it->second;
}

int kvr_sensors_view::row_for(const kvr_point_key& key) {
    const auto found = rows_.find(key);
    if (found != rows_.end()) return found->second;
    const auto next = rows_.upper_bound(key);
    const int row = next == rows_.end() ? grid_->rowCount() : next->second;
    grid_->insertRow(row);
    for (auto it = next; it != rows_.end(); ++it) ++it->second;
    rows_[key] = row;
    return row;
}

// A number alone matches that number only: "12" must not show 112 or 120.
bool kvr_sensors_view::passes(const kvr_point_entry& e) const {
    const QString f = filter_->text().trimmed();
    if (f.isEmpty()) return true;
    bool is_number = false;
    const uint number = f.toUInt(&is_number);
    if (is_number) return number == e.key.number;
    return QString::fromStdString(kvr_point_kind_text(e.key)).contains(f, Qt::CaseInsensitive) ||
           state_words(e).contains(f, Qt::CaseInsensitive) ||
           QString::fromStdString(kvr_point_state_text(e)).contains(f, Qt::CaseInsensitive);
}

void kvr_sensors_view::fill_row(int row, const kvr_point_entry& e) {
    set_cell(grid_, row, col_kind, QString::fromStdString(kvr_point_kind_text(e.key)));
    set_cell(grid_, row, col_number, QString::number(e.key.number));
    set_cell(grid_, row, col_state, state_words(e));
    set_cell(grid_, row, col_seen, kvr_seen_text(e.seen, true));
    grid_->setRowHidden(row, !passes(e));
}

// LocoNet PE, OPC_SW_REP: with SN2 bit 6 set the report is of the turnout's
// input, bit 5 its level, bit 4 (I) 1 for the switch input, 0 for the aux
// input; without it, bit 5 is the closed output and bit 4 the thrown one.
QString kvr_sensors_view::state_words(const kvr_point_entry& e) {
    if (e.key.kind == kvr_point_kind::sensor) return e.level ? QStringLiteral("on") : QStringLiteral("off");
    QString s = e.position_known
                    ? (e.closed ? QStringLiteral("closed") : QStringLiteral("thrown")) +
                          (e.output_on ? QStringLiteral(", output on") : QStringLiteral(", output off"))
                    : QStringLiteral("position not seen");
    if (e.input_seen)
        s += (e.input_noaux ? QStringLiteral(", switch input ") : QStringLiteral(", aux input ")) +
             (e.input_level ? QStringLiteral("on") : QStringLiteral("off"));
    return s;
}

const kvr_point_entry* kvr_sensors_view::selected_turnout() const {
    const int r = grid_->currentRow();
    if (r < 0 || !grid_->selectionModel()->isRowSelected(r, {}) || grid_->isRowHidden(r)) return nullptr;
    for (const auto& [key, row] : rows_)
        if (row == r) {
            const kvr_point_entry* e = points_.point(key);
            return e && key.kind == kvr_point_kind::turnout ? e : nullptr;
        }
    return nullptr;
}

// A turnout selected: Switch offers the other position than the one seen.
void kvr_sensors_view::follow_selection() {
    const kvr_point_entry* e = selected_turnout();
    switch_->setEnabled(e != nullptr);
    position_->setEnabled(e != nullptr);
    if (e && e->position_known) position_->setCurrentIndex(e->closed ? 1 : 0);
}

void kvr_sensors_view::switch_selected() {
    const kvr_point_entry* e = selected_turnout();
    if (!e) return;
    host_.set_turnout(e->key.number, position_->currentIndex() == 0);
}

void kvr_sensors_view::update_points(const std::vector<kvr_point_key>& keys) {
    for (const kvr_point_key& k : keys)
        if (const kvr_point_entry* e = points_.point(k)) fill_row(row_for(k), *e);
    switch_->setEnabled(selected_turnout() != nullptr);
    position_->setEnabled(switch_->isEnabled());
}

void kvr_sensors_view::update_all() {
    for (const auto& [key, e] : points_.points()) fill_row(row_for(key), e);
}

void kvr_sensors_view::clear() {
    grid_->setRowCount(0);
    rows_.clear();
    follow_selection();
}

void kvr_sensors_view::apply_filter() {
    for (const auto& [key, row] : rows_)
        if (const kvr_point_entry* e = points_.point(key)) grid_->setRowHidden(row, !passes(*e));
    follow_selection();
}

// A turnout whose position was never seen is sent closed.
void kvr_sensors_view::switch_row(int row) {
    for (const auto& [key, r] : rows_) {
        if (r != row) continue;
        const kvr_point_entry* e = points_.point(key);
        if (!e || key.kind != kvr_point_kind::turnout) return;
        host_.set_turnout(key.number, e->position_known ? !e->closed : true);
        return;
    }
}
