#include "ui/kvr_functions_wnd.h"

#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "ui/kvr_screen_fit.h"

namespace {

constexpr int columns = 8;  // F0-F7, F8-F15, F16-F23, F24-F28

QString label_of(unsigned n, bool momentary) {
    // A momentary function is marked where the eye reads first.
    return (momentary ? QStringLiteral("•F%1") : QStringLiteral("F%1")).arg(n);
}

}  // namespace

kvr_functions_wnd::kvr_functions_wnd(QWidget* parent) : QWidget(parent, Qt::Window) {
    setWindowTitle(QStringLiteral("Functions"));
    auto* top = new QVBoxLayout(this);
    loco_ = new QLabel(this);
    top->addWidget(loco_);

    auto* grid = new QGridLayout;
    grid->setSpacing(2);
    for (unsigned n = 0; n < count; ++n) {
        auto* b = new QPushButton(label_of(n, false), this);
        b->setCheckable(true);
        b->setFocusPolicy(Qt::TabFocus);
        b->setContextMenuPolicy(Qt::CustomContextMenu);
        b->setToolTip(QStringLiteral("Click: on/off. Right-click: momentary (on while held)."));
        b->setMinimumWidth(b->fontMetrics().horizontalAdvance(QStringLiteral("•F28")) + 12);
        connect(b, &QPushButton::clicked, this, [this, n] { clicked(n); });
        connect(b, &QPushButton::pressed, this, [this, n] { pressed(n); });
        connect(b, &QPushButton::released, this, [this, n] { released(n); });
        connect(b, &QWidget::customContextMenuRequested, this, [this, n] { set_momentary(n, !momentary(n)); });
        b->setObjectName(QStringLiteral("function"));
        grid->addWidget(b, static_cast<int>(n) / columns, static_cast<int>(n) % columns);
        buttons_[n] = b;
    }
    top->addLayout(grid);
    // On: pressed in and filled. Amber with near-black text keeps its
    // contrast on a light and on a dark palette; off keeps the style's look.
    setStyleSheet(QStringLiteral("QPushButton#function:checked { background-color: #f0a800; color: #101010; "
                                 "border: 2px inset #6b4a00; border-radius: 3px; font-weight: bold; }"));

    auto* row = new QHBoxLayout;
    row->addWidget(new QLabel(QStringLiteral("Send F9-F28 as"), this));
    send_mode_ = new QComboBox(this);
    send_mode_->addItem(QStringLiteral("DCC packets"));
    send_mode_->addItem(QStringLiteral("A3/D4 messages"));
    send_mode_->setToolTip(QStringLiteral("DCC packets (OPC_IMM_PACKET) for command stations with immediate-packet "
                                          "support; A3/D4 for those that keep F9-F28 in their slots"));
    connect(send_mode_, &QComboBox::currentIndexChanged, this, [this](int i) {
        if (!showing_ && on_send_mode) on_send_mode(i == 1);
    });
    row->addWidget(send_mode_);
    row->addStretch(1);
    stop_ = new QPushButton(QStringLiteral("Emergency stop"), this);
    stop_->setToolTip(QStringLiteral("Stops this locomotive at once (Ctrl+Space)"));
    connect(stop_, &QPushButton::clicked, this, [this] {
        if (on_emergency_stop) on_emergency_stop();
    });
    row->addWidget(stop_);
    top->addLayout(row);
    show_loco(0);
    kvr_keep_on_screen(this);
}

void kvr_functions_wnd::show_loco(int address) {
    if (address != address_) {
        address_ = address;
        show_marks();
    }
    loco_->setText(address > 0 ? QStringLiteral("Loco %1").arg(address) : QStringLiteral("No loco"));
    setWindowTitle(address > 0 ? QStringLiteral("Functions of loco %1").arg(address) : QStringLiteral("Functions"));
}

void kvr_functions_wnd::set_states(uint32_t on) {
    shown_ = on;
    showing_ = true;
    for (unsigned n = 0; n < count; ++n) {
        // A held momentary button keeps showing the user's hand.
        if (!buttons_[n]->isDown()) buttons_[n]->setChecked((on >> n) & 1);
    }
    showing_ = false;
}

uint32_t kvr_functions_wnd::states() const {
    uint32_t on = 0;
    for (unsigned n = 0; n < count; ++n)
        if (buttons_[n]->isChecked()) on |= 1u << n;
    return on;
}

void kvr_functions_wnd::set_send_mode(bool opcodes) {
    showing_ = true;
    send_mode_->setCurrentIndex(opcodes ? 1 : 0);
    showing_ = false;
}

bool kvr_functions_wnd::send_mode_opcodes() const { return send_mode_->currentIndex() == 1; }

void kvr_functions_wnd::set_momentary(unsigned n, bool on) {
    if (n >= count) return;
    uint32_t& m = marks_[address_];
    m = on ? (m | 1u << n) : (m & ~(1u << n));
    const uint32_t now = m;
    if (now == 0) marks_.erase(address_);
    buttons_[n]->setText(label_of(n, on));
    if (on_marks) on_marks(address_, now);
}

void kvr_functions_wnd::set_all_marks(const std::map<int, uint32_t>& marks) {
    marks_ = marks;
    show_marks();
}

void kvr_functions_wnd::show_marks() {
    for (unsigned n = 0; n < count; ++n) buttons_[n]->setText(label_of(n, momentary(n)));
}

// A click toggles the button before this runs: it shows the wish; the
// dialog tells the window back what was sent.
void kvr_functions_wnd::clicked(unsigned n) {
    if (showing_) return;
    if (momentary(n)) {
        // The click that ends a press toggled the button after its release
        // was sent: it shows what was told, not the toggle.
        showing_ = true;
        buttons_[n]->setChecked((shown_ >> n) & 1);
        showing_ = false;
        return;
    }
    if (on_function) on_function(n, buttons_[n]->isChecked());
}

void kvr_functions_wnd::pressed(unsigned n) {
    if (showing_ || !momentary(n)) return;
    if (on_function) on_function(n, true);
}

void kvr_functions_wnd::released(unsigned n) {
    if (showing_ || !momentary(n)) return;
    if (on_function) on_function(n, false);
}
