#pragma once
// "Set fast clock": rate, time of day and run/stop for the command station's
// fast-clock slot. A view only: Set hands the setting to its callback.

#include <QWidget>

#include <functional>

#include "station/kvr_dccx_loconet.h"

class QCheckBox;
class QPushButton;
class QSpinBox;
class QTimeEdit;

class kvr_clock_wnd : public QWidget {
public:
    explicit kvr_clock_wnd(QWidget* parent = nullptr);

    std::function<void(const kvr_clock_setting&)> on_set;

    kvr_clock_setting setting() const;
    QSpinBox* rate_box() const { return rate_; }
    QTimeEdit* time_box() const { return time_; }
    QCheckBox* run_box() const { return run_; }
    QPushButton* set_button() const { return set_; }

private:
    QSpinBox* rate_ = nullptr;
    QTimeEdit* time_ = nullptr;
    QCheckBox* run_ = nullptr;
    QPushButton* set_ = nullptr;
};
