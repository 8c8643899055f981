#pragma once
// The table the Slots and the Sensors and turnouts windows show: read only,
// one whole row selected at a time, cells updated in place.

#include <span>

#include <QString>

class QTableWidget;
class QWidget;

QTableWidget* kvr_make_view_table(QWidget* parent, std::span<const char* const> headers, const QString& tip);

// Sets a cell's text, making the cell when the row is new. An unchanged text
// costs no repaint, which matters when a busy bus updates rows every batch.
void kvr_set_view_cell(QTableWidget* grid, int row, int col, const QString& text, bool right_aligned);
