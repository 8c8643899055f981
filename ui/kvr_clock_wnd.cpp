#include "ui/kvr_clock_wnd.h"

#include <QCheckBox>
#include <QFormLayout>
#include <QPushButton>
#include <QSpinBox>
#include <QTime>
#include <QTimeEdit>

kvr_clock_wnd::kvr_clock_wnd(QWidget* parent) : QWidget(parent, Qt::Window) {
    setWindowTitle(QStringLiteral("Set fast clock"));
    auto* form = new QFormLayout(this);
    time_ = new QTimeEdit(QTime(12, 0), this);
    time_->setDisplayFormat(QStringLiteral("HH:mm"));
    form->addRow(QStringLiteral("&Time"), time_);
    // The slot's CLK_RATE is seven bits; 0 is the stopped clock (Run off).
    rate_ = new QSpinBox(this);
    rate_->setRange(1, 127);
    rate_->setValue(1);
    rate_->setSuffix(QStringLiteral(":1"));
    form->addRow(QStringLiteral("&Rate"), rate_);
    run_ = new QCheckBox(QStringLiteral("R&un"), this);
    run_->setChecked(true);
    form->addRow(QString(), run_);
    set_ = new QPushButton(QStringLiteral("&Set"), this);
    form->addRow(QString(), set_);
    connect(set_, &QPushButton::clicked, this, [this] {
        if (on_set) on_set(setting());
    });
}

kvr_clock_setting kvr_clock_wnd::setting() const {
    kvr_clock_setting s;
    s.hour = static_cast<uint8_t>(time_->time().hour());
    s.minute = static_cast<uint8_t>(time_->time().minute());
    s.rate = static_cast<uint8_t>(rate_->value());
    s.run = run_->isChecked();
    return s;
}
