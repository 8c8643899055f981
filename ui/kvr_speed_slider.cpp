#include "ui/kvr_speed_slider.h"

kvr_speed_slider::kvr_speed_slider(QWidget* parent) : QSlider(Qt::Horizontal, parent) {
    setTickPosition(QSlider::TicksBothSides);
}

void kvr_speed_slider::paintEvent(QPaintEvent* event) {
    QSlider::paintEvent(event);
    emit drawn();
}
