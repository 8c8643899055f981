#pragma once
// "Fast clock": time of day, rate, and run/stop for the command station's
// fast-clock slot. A view only: its buttons hand the setting to its callback.
//
// "Set" writes the time typed and the rate (the clock runs afterwards when
// "Run after setting" is ticked); "Run" and "Stop" start and stop the clock
// where it stands: the time the station shows is written back unchanged.

#include <QWidget>

#include <functional>
#include <optional>

#include "station/kvr_dccx_loconet.h"

class QCheckBox;
class QLineEdit;
class QPushButton;
class QSpinBox;

class kvr_clock_wnd : public QWidget {
public:
    explicit kvr_clock_wnd(QWidget* parent = nullptr);

    std::function<void(const kvr_clock_setting&)> on_set;

    // The time typed as people write it: "6:30", "06:30", "0630", "6.30";
    // nothing when it is not a time of day.
    static std::optional<std::pair<int, int>> parse_time(const QString& text);

    // What Set writes; nothing while the time box holds no time.
    std::optional<kvr_clock_setting> setting() const;
    QSpinBox* rate_box() const { return rate_; }
    QLineEdit* time_box() const { return time_; }
    QCheckBox* run_box() const { return run_; }
    QPushButton* set_button() const { return set_; }
    QPushButton* start_button() const { return start_; }
    QPushButton* stop_button() const { return stop_; }

private:
    void run_or_stop(bool run);

    QSpinBox* rate_ = nullptr;
    QLineEdit* time_ = nullptr;
    QCheckBox* run_ = nullptr;
    QPushButton* set_ = nullptr;
    QPushButton* start_ = nullptr;
    QPushButton* stop_ = nullptr;
};
