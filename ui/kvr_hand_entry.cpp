#include "ui/kvr_hand_entry.h"

#include <QKeyEvent>

kvr_hand_entry::kvr_hand_entry(QWidget* parent) : QLineEdit(parent) {
    setObjectName(QStringLiteral("hand_entry"));
    setPlaceholderText(QStringLiteral("Message in hex, e.g. B0 0B 30: Enter sends (checksum added when left out), "
                                      "Escape hides"));
    setToolTip(QStringLiteral("A LocoNet message in hex bytes; when one byte short of the opcode's length the "
                              "checksum is added"));
    hide();
}

void kvr_hand_entry::keyPressEvent(QKeyEvent* event) {
    // Enter and Escape stay here: the dialog must not see them (it would
    // look for a default button, or try to close).
    switch (event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
        if (on_send)
            on_send();
        return;
    case Qt::Key_Escape:
        if (on_escape)
            on_escape();
        return;
    default:
        QLineEdit::keyPressEvent(event);
    }
}
