#pragma once
// The Sensors and turnouts window: every sensor and turnout the bus has
// shown, with its last state and when it was seen, numbered as the monitor
// numbers them. Rows change once per batch of messages (`update_points`),
// never by a rebuild. The filter keeps rows whose number is the one typed,
// or whose kind or state contains the text typed. A double-click on a
// turnout sends it the other position; "Switch" sends the selected turnout
// the position chosen beside it (offered: the other one). Both act on
// turnout rows only.

#include <QWidget>

#include <map>
#include <vector>

#include "station/kvr_bus_state.h"

class QComboBox;
class QLineEdit;
class QPushButton;
class QTableWidget;
class kvr_view_host;

class kvr_sensors_view : public QWidget {
public:
    enum column { col_kind, col_number, col_state, col_seen, col_count };

    kvr_sensors_view(const kvr_bus_state& table, kvr_view_host& host, QWidget* parent);

    void update_points(const std::vector<kvr_point_key>& keys);
    void update_all();
    void clear();

    QTableWidget* table() const { return grid_; }
    QLineEdit* filter() const { return filter_; }
    QPushButton* switch_button() const { return switch_; }
    QComboBox* position_box() const { return position_; }  // 0 closed, 1 thrown
    // The row of `key`, -1 when it has none.
    int row_of(const kvr_point_key& key) const;

    // Sends the turnout of `row` its other position; rows of sensors send nothing.
    void switch_row(int row);
    // Sends the selected turnout the position chosen in the box.
    void switch_selected();

    // The Last state cell in words: "closed", "thrown, output off",
    // "position not seen, switch input on" (a turnout's input reported
    // with OPC_SW_REP, SN2 bit 6).
    static QString state_words(const kvr_point_entry& e);

private:
    int row_for(const kvr_point_key& key);
    void fill_row(int row, const kvr_point_entry& e);
    bool passes(const kvr_point_entry& e) const;
    void apply_filter();
    // The selected row's entry, when it is a turnout.
    const kvr_point_entry* selected_turnout() const;
    void follow_selection();

    const kvr_bus_state& points_;
    kvr_view_host& host_;
    QTableWidget* grid_ = nullptr;
    QLineEdit* filter_ = nullptr;
    QPushButton* switch_ = nullptr;
    QComboBox* position_ = nullptr;
    std::map<kvr_point_key, int> rows_;  // rows stay in key order
};
