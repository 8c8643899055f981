#include "ui/kvr_sensors_view.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

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
    switch_ = new QPushButton(QStringLiteral("&Switch"), this);
    switch_->setToolTip(QStringLiteral("Send the selected turnout the other position"));
    auto* label = new QLabel(QStringLiteral("&Filter:"), this);
    label->setBuddy(filter_);

    auto* row = new QHBoxLayout;
    row->addWidget(label);
    row->addWidget(filter_, 1);
    row->addWidget(switch_);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(row);
    layout->addWidget(grid_, 1);

    connect(filter_, &QLineEdit::textChanged, this, [this] { apply_filter(); });
    connect(switch_, &QPushButton::clicked, this, [this] {
        const int r = grid_->currentRow();
        if (r >= 0 && grid_->selectionModel()->isRowSelected(r, {})) switch_row(r);
    });
    connect(grid_, &QTableWidget::cellDoubleClicked, this, [this](int r, int) { switch_row(r); });
    resize(520, 400);
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
           QString::fromStdString(kvr_point_state_text(e)).contains(f, Qt::CaseInsensitive);
}

void kvr_sensors_view::fill_row(int row, const kvr_point_entry& e) {
    set_cell(grid_, row, col_kind, QString::fromStdString(kvr_point_kind_text(e.key)));
    set_cell(grid_, row, col_number, QString::number(e.key.number));
    set_cell(grid_, row, col_state, QString::fromStdString(kvr_point_state_text(e)));
    set_cell(grid_, row, col_seen, kvr_seen_text(e.seen, true));
    grid_->setRowHidden(row, !passes(e));
}

void kvr_sensors_view::update_points(const std::vector<kvr_point_key>& keys) {
    for (const kvr_point_key& k : keys)
        if (const kvr_point_entry* e = points_.point(k)) fill_row(row_for(k), *e);
}

void kvr_sensors_view::update_all() {
    for (const auto& [key, e] : points_.points()) fill_row(row_for(key), e);
}

void kvr_sensors_view::clear() {
    grid_->setRowCount(0);
    rows_.clear();
}

void kvr_sensors_view::apply_filter() {
    for (const auto& [key, row] : rows_)
        if (const kvr_point_entry* e = points_.point(key)) grid_->setRowHidden(row, !passes(*e));
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
