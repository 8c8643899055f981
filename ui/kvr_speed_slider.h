#pragma once
// The speed slider. The throttle follows the slider through its drawing, not
// through its scroll signals: every time the slider is drawn (dragged, moved
// by keys, or set by the program) `drawn` is emitted, and the dialog compares
// the position with the speed it last knew. A position the dialog set itself
// matches and sends nothing; any other sends the new speed.

#include <QSlider>

class kvr_speed_slider : public QSlider {
    Q_OBJECT
public:
    explicit kvr_speed_slider(QWidget* parent = nullptr);

signals:
    void drawn();

protected:
    void paintEvent(QPaintEvent* event) override;
};
