#pragma once
// The window's wait step for command-station operations. Instead of blocking
// the GUI thread it runs the event loop in short slices, so the window keeps
// repainting and monitor lines keep arriving. User input is held back while
// an operation runs; once the operation has waited about 300 ms a small box
// says what is waited for and offers Cancel (Escape and its title-bar button
// too), which sets the abort event so the operation ends with its "CANCEL"
// report.
//
// The box is not modal: a window blocked by a modal one gets no close events
// from the window manager, and closing the owner window must end the wait
// (the owner's close handler sets the abort event). Instead, while the
// operation waits, a filter drops clicks and keys meant for any other window;
// such a click brings the box back to the front, and Escape cancels wherever
// it is pressed.
//
// The stops are not held: a stop key (`stop_key`) acts at once wherever the
// focus is, the box's Cancel button included, and clicks reach the controls
// marked with the `stop_control` property. They must not wait themselves.

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>

#include "station/kvr_waiter.h"

class QDialog;
class QKeyEvent;
class QWidget;

class kvr_cancel_waiter : public kvr_waiter, private QObject {
public:
    static constexpr unsigned default_box_delay_ms = 300;
    static constexpr int slice_ms = 5;
    // The property (true) of a control whose clicks pass while an operation
    // waits: a stop.
    static constexpr const char* stop_control = "kvr_stop_control";

    // True when `key` is a stop key; acts on it when `act`.
    std::function<bool(const QKeyEvent& key, bool act)> stop_key;

    explicit kvr_cancel_waiter(QWidget* owner, unsigned box_delay_ms = default_box_delay_ms);
    ~kvr_cancel_waiter() override;

    // Brackets one user action; `what` completes "Waiting for the command
    // station: ...". The time until the box shows counts from here.
    void begin(const QString& what, kvr_sys_event* abort);
    void end();

    kvr_wait_result wait(kvr_sys_event* abort, kvr_sys_event* wake, unsigned ms) override;

    // The Cancel box while it is shown, otherwise null.
    QDialog* box() const;
    // True when the user cancelled the wait begun last (the box's Cancel,
    // Escape, its close box), not some other setter of the abort event.
    bool user_cancelled() const { return user_cancelled_; }

private:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void show_box();
    void hide_box();
    void hold_input(bool on);

    QWidget* owner_;
    unsigned box_delay_ms_;
    QElapsedTimer since_begin_;
    QString what_;
    kvr_sys_event* abort_ = nullptr;
    QPointer<QDialog> box_;
    bool cursor_pushed_ = false;
    bool holding_ = false;  // the filter is installed
    bool user_cancelled_ = false;
};
