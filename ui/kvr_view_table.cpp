#include "ui/kvr_view_table.h"

#include <QHeaderView>
#include <QStringList>
#include <QTableWidget>

QTableWidget* kvr_make_view_table(QWidget* parent, std::span<const char* const> headers, const QString& tip) {
    auto* grid = new QTableWidget(0, static_cast<int>(headers.size()), parent);
    QStringList names;
    for (const char* h : headers) names << QString::fromUtf8(h);
    grid->setHorizontalHeaderLabels(names);
    grid->verticalHeader()->hide();
    grid->setSelectionBehavior(QAbstractItemView::SelectRows);
    grid->setSelectionMode(QAbstractItemView::SingleSelection);
    grid->setEditTriggers(QAbstractItemView::NoEditTriggers);
    grid->horizontalHeader()->setStretchLastSection(true);
    grid->setToolTip(tip);
    return grid;
}

void kvr_set_view_cell(QTableWidget* grid, int row, int col, const QString& text, bool right_aligned) {
    QTableWidgetItem* item = grid->item(row, col);
    if (!item) {
        item = new QTableWidgetItem;
        item->setFlags(Qt::ItemIsSelectable | Qt::ItemIsEnabled);
        if (right_aligned) item->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
        grid->setItem(row, col, item);
    }
    if (item->text() != text) item->setText(text);
}
