#pragma once
// The Slots window: every loco slot the bus has shown, one row each, kept
// current from the bus state. Rows change once per batch of messages (the
// dialog calls `update_slots` with the slots a batch changed), never by a
// rebuild of the whole table. "Read all" asks the command station for every
// slot, paced one request at a time, with a progress bar; the dialog's
// Cancel box stops it. "Release" and "Dispatch" act on the selected slot;
// a double-click takes its loco to the throttle.

#include <QWidget>

#include <cstdint>
#include <map>
#include <vector>

#include "station/kvr_bus_state.h"

class QCheckBox;
class QLabel;
class QProgressBar;
class QPushButton;
class QTableWidget;
class kvr_view_host;

class kvr_slots_view : public QWidget {
public:
    enum column {
        col_slot,
        col_loco,
        col_status,
        col_steps,
        col_speed,
        col_direction,
        col_throttle,
        col_consist,
        col_functions,
        col_seen,
        col_count
    };

    kvr_slots_view(const kvr_bus_state& table, kvr_view_host& host, QWidget* parent);

    // Shows what the table now holds for `slots`.
    void update_slots(const std::vector<uint16_t>& changed);
    // Every slot of the table (when the window opens).
    void update_all();
    void clear();

    QTableWidget* table() const { return grid_; }
    QPushButton* read_button() const { return read_; }
    QPushButton* release_button() const { return release_; }
    QPushButton* dispatch_button() const { return dispatch_; }
    QLabel* status_label() const { return status_; }
    QProgressBar* progress() const { return progress_; }
    // "Show free slots": off, the rows of free slots are hidden (a station
    // has over a hundred of them). The host remembers the choice.
    QCheckBox* show_free_box() const { return show_free_; }
    void set_show_free(bool on);
    // The slot of the selected row, 0 when none.
    uint16_t selected_slot() const;

    void read_all();
    bool may_take(uint16_t slot, const QString& what);
    void release_selected();
    void dispatch_selected();

private:
    int row_for(uint16_t slot);
    void fill_row(int row, const kvr_slot_state& e);
    void take_row(int row);
    void apply_free_filter();
    // Wide enough for every column with typical contents.
    void fit_width();

    const kvr_bus_state& slots_;
    kvr_view_host& host_;
    QTableWidget* grid_ = nullptr;
    QPushButton* read_ = nullptr;
    QPushButton* release_ = nullptr;
    QPushButton* dispatch_ = nullptr;
    QProgressBar* progress_ = nullptr;
    QLabel* status_ = nullptr;
    QCheckBox* show_free_ = nullptr;
    std::map<uint16_t, int> rows_;  // slot -> row; rows stay in slot order
};
