#pragma once
// The entry for a message typed by hand, under the monitor: hex bytes,
// Enter sends, Escape hides the entry. The dialog decides what sending
// means; this is only the line and its keys.

#include <QLineEdit>

#include <functional>

class kvr_hand_entry : public QLineEdit {
public:
    explicit kvr_hand_entry(QWidget* parent = nullptr);

    std::function<void()> on_send;
    std::function<void()> on_escape;

protected:
    void keyPressEvent(QKeyEvent* event) override;
};
