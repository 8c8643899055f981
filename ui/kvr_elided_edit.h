#pragma once
// The port box's entry. A port name is often far longer than the box
// ("/dev/serial/by-id/usb-RR-CirKits_LocoBuffer-USB_0123456789-if00-port0",
// "tcp://layout-server.local:1234"), and its start and its end both tell
// ports apart. While the entry is not being edited and the name is wider
// than the entry, it shows the part that tells ports apart: the name without
// "/dev/" or "tcp://", its end kept ("pts/3", "…0.0.1:24999"), a
// /dev/serial/by-id name with its middle left out; with the focus it shows
// and edits the whole name.

#include <QLineEdit>

class kvr_elided_edit : public QLineEdit {
public:
    explicit kvr_elided_edit(QWidget* parent = nullptr);

    // What the entry shows now: the whole text, or with the focus elsewhere
    // and the text wider than the entry, the text elided in the middle.
    QString shown_text() const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QRect text_rect() const;
};
