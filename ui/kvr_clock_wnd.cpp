#include "ui/kvr_clock_wnd.h"

#include <QCheckBox>
#include <QFontMetrics>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QRegularExpressionValidator>
#include <QSpinBox>

#include "ui/kvr_screen_fit.h"

namespace {

// Hours 0-23, an optional separator, minutes 00-59.
const QRegularExpression& time_pattern() {
    static const QRegularExpression re(QStringLiteral("^\\s*([01]?\\d|2[0-3])\\s*[:.h]?\\s*([0-5]\\d)\\s*$"));
    return re;
}

}  // namespace

std::optional<std::pair<int, int>> kvr_clock_wnd::parse_time(const QString& text) {
    const QRegularExpressionMatch m = time_pattern().match(text);
    if (!m.hasMatch())
        return std::nullopt;
    return std::make_pair(m.captured(1).toInt(), m.captured(2).toInt());
}

kvr_clock_wnd::kvr_clock_wnd(QWidget* parent) : QWidget(parent, Qt::Window) {
    setWindowTitle(QStringLiteral("Fast clock"));
    auto* form = new QFormLayout(this);
    // A plain entry: Ctrl+A and "06:30" gives 06:30, as typed. A spin-box
    // time edit would put each digit into whichever section it is in.
    time_ = new QLineEdit(QStringLiteral("12:00"), this);
    time_->setValidator(new QRegularExpressionValidator(
        QRegularExpression(QStringLiteral("^\\s*\\d{0,2}\\s*[:.h]?\\s*\\d{0,2}\\s*$")), time_));
    time_->setToolTip(QStringLiteral("Time of day, 24 hours: 06:30, 6:30 or 0630"));
    form->addRow(QStringLiteral("&Time"), time_);
    // The slot's CLK_RATE is seven bits; 0 is the stopped clock.
    rate_ = new QSpinBox(this);
    rate_->setRange(1, 127);
    rate_->setValue(1);
    rate_->setSuffix(QStringLiteral(":1"));
    form->addRow(QStringLiteral("&Rate"), rate_);
    run_ = new QCheckBox(QStringLiteral("R&un after setting"), this);
    run_->setChecked(true);
    form->addRow(QString(), run_);

    set_ = new QPushButton(QStringLiteral("&Set"), this);
    set_->setToolTip(QStringLiteral("Write the time and the rate"));
    start_ = new QPushButton(QStringLiteral("Ru&n"), this);
    start_->setToolTip(QStringLiteral("Start the clock where it stands, at the rate above; the time is kept"));
    stop_ = new QPushButton(QStringLiteral("St&op"), this);
    stop_->setToolTip(QStringLiteral("Stop the clock where it stands; the time is kept"));
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(set_);
    buttons->addWidget(start_);
    buttons->addWidget(stop_);
    form->addRow(buttons);

    connect(set_, &QPushButton::clicked, this, [this] {
        const std::optional<kvr_clock_setting> s = setting();
        if (!s) {
            time_->setFocus(Qt::OtherFocusReason);
            time_->selectAll();
            return;
        }
        if (on_set)
            on_set(*s);
    });
    connect(time_, &QLineEdit::returnPressed, set_, &QPushButton::click);
    connect(start_, &QPushButton::clicked, this, [this] { run_or_stop(true); });
    connect(stop_, &QPushButton::clicked, this, [this] { run_or_stop(false); });
    // Wide enough for the whole title in a window manager's title bar
    // beside its buttons.
    const QFontMetrics fm(font());
    setMinimumWidth(fm.horizontalAdvance(windowTitle()) + 12 * fm.averageCharWidth() + 90);
    kvr_keep_on_screen(this);
}

std::optional<kvr_clock_setting> kvr_clock_wnd::setting() const {
    const auto t = parse_time(time_->text());
    if (!t)
        return std::nullopt;
    kvr_clock_setting s;
    s.hour = static_cast<uint8_t>(t->first);
    s.minute = static_cast<uint8_t>(t->second);
    s.rate = static_cast<uint8_t>(rate_->value());
    s.run = run_->isChecked();
    return s;
}

void kvr_clock_wnd::run_or_stop(bool run) {
    kvr_clock_setting s;
    s.keep_time = true;
    s.run = run;
    s.rate = static_cast<uint8_t>(rate_->value());
    if (on_set)
        on_set(s);
}
