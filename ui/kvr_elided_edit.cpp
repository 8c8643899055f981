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

// The part every port of its kind shares goes first ("/dev/", "tcp://"):
// in a narrow box "/dev/pts/3" shows "pts/3", not "/de…s/3". What is left
// keeps its end (the pty number, the TCP port) when it still does not fit; a
// /dev/serial/by-id name keeps both ends, the serial number being inside.
QString kvr_elided_edit::shown_text() const {
    const QString whole = text();
    const int room = text_rect().width();
    if (hasFocus() || fontMetrics().horizontalAdvance(whole) <= room)
        return whole;
    static const char* const shared[] = {"/dev/serial/by-id/", "/dev/", "tcp://"};
    for (const char* prefix : shared) {
        const QString p = QString::fromLatin1(prefix);
        if (whole.startsWith(p) && whole.size() > p.size()) {
            const QString rest = whole.mid(p.size());
            const Qt::TextElideMode mode = p == QLatin1String(shared[0]) ? Qt::ElideMiddle : Qt::ElideLeft;
            return fontMetrics().elidedText(rest, mode, room);
        }
    }
    return fontMetrics().elidedText(whole, Qt::ElideMiddle, room);
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
