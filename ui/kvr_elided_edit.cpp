#include "ui/kvr_elided_edit.h"

#include <QPainter>
#include <QStyle>
#include <QStyleOptionFrame>

kvr_elided_edit::kvr_elided_edit(QWidget* parent) : QLineEdit(parent) {}

QRect kvr_elided_edit::text_rect() const {
    QStyleOptionFrame opt;
    initStyleOption(&opt);
    QRect r = style()->subElementRect(QStyle::SE_LineEditContents, &opt, this);
    const QMargins m = textMargins();
    // QLineEdit keeps a small horizontal margin inside its contents.
    return r.marginsRemoved(m).adjusted(2, 0, -2, 0);
}

QString kvr_elided_edit::shown_text() const {
    if (hasFocus())
        return text();
    return fontMetrics().elidedText(text(), Qt::ElideMiddle, text_rect().width());
}

void kvr_elided_edit::paintEvent(QPaintEvent* event) {
    const QString shown = shown_text();
    if (shown == text()) {
        QLineEdit::paintEvent(event);
        return;
    }
    QPainter p(this);
    QStyleOptionFrame opt;
    initStyleOption(&opt);
    style()->drawPrimitive(QStyle::PE_PanelLineEdit, &opt, &p, this);
    p.setPen(palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled, QPalette::Text));
    p.drawText(text_rect(), Qt::AlignLeft | Qt::AlignVCenter, shown);
}
