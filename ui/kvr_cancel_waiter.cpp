#include "ui/kvr_cancel_waiter.h"

#include <QApplication>
#include <QDialog>
#include <QEvent>
#include <QEventLoop>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

kvr_cancel_waiter::kvr_cancel_waiter(QWidget* owner, unsigned box_delay_ms)
    : owner_(owner), box_delay_ms_(box_delay_ms) {}

kvr_cancel_waiter::~kvr_cancel_waiter() {
    hold_input(false);
    if (cursor_pushed_)
        QApplication::restoreOverrideCursor();
}

void kvr_cancel_waiter::begin(const QString& what, kvr_sys_event* abort) {
    what_ = what;
    abort_ = abort;
    user_cancelled_ = false;
    since_begin_.start();
}

void kvr_cancel_waiter::end() {
    hide_box();
    hold_input(false);
    since_begin_.invalidate();
    abort_ = nullptr;
    what_.clear();
}

QDialog* kvr_cancel_waiter::box() const {
    return box_ && box_->isVisible() ? box_.data() : nullptr;
}

kvr_wait_result kvr_cancel_waiter::wait(kvr_sys_event* abort, kvr_sys_event* wake, unsigned ms) {
    if (!abort_)
        abort_ = abort;
    if (!since_begin_.isValid())
        since_begin_.start();
    QElapsedTimer waited;
    waited.start();
    for (;;) {
        if (abort && abort->is_set())
            return kvr_wait_result::aborted;
        if (wake && wake->wait(0))
            return kvr_wait_result::woken;
        if (waited.elapsed() >= static_cast<qint64>(ms))
            return kvr_wait_result::timed_out;
        if (!box_ && since_begin_.elapsed() >= static_cast<qint64>(box_delay_ms_))
            show_box();
        // Input is taken while the operation waits, so the stops act at
        // once; the filter keeps everything else from the window.
        hold_input(true);
        QEventLoop slice;
        QTimer::singleShot(slice_ms, &slice, &QEventLoop::quit);
        slice.exec(QEventLoop::AllEvents);
    }
}

void kvr_cancel_waiter::show_box() {
    auto* box = new QDialog(owner_);
    box->setWindowTitle(QStringLiteral("Busprobe"));
    box->setWindowModality(Qt::NonModal);
    box->setAttribute(Qt::WA_DeleteOnClose, false);
    auto* layout = new QVBoxLayout(box);
    layout->addWidget(new QLabel(QStringLiteral("Waiting for the command station: %1").arg(what_), box));
    auto* row = new QHBoxLayout;
    row->addStretch();
    auto* cancel = new QPushButton(QStringLiteral("Cancel"), box);
    row->addWidget(cancel);
    layout->addLayout(row);
    QObject::connect(cancel, &QPushButton::clicked, box, &QDialog::reject);
    // Escape and the close box reject as well.
    kvr_sys_event* const abort = abort_;
    QObject::connect(box, &QDialog::rejected, box, [this, abort] {
        user_cancelled_ = true;
        if (abort)
            abort->set();
    });
    box_ = box;
    box->show();
    cancel->setFocus();
    // The wait cursor belongs to the window; over the box the arrow shows
    // that it can be used.
    QApplication::setOverrideCursor(Qt::ArrowCursor);
    cursor_pushed_ = true;
}

void kvr_cancel_waiter::hold_input(bool on) {
    if (on == holding_)
        return;
    holding_ = on;
    if (on)
        qApp->installEventFilter(this);
    else
        qApp->removeEventFilter(this);
}

bool kvr_cancel_waiter::eventFilter(QObject* watched, QEvent* event) {
    switch (event->type()) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::Wheel:
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
    case QEvent::ShortcutOverride:
    case QEvent::Shortcut:
    case QEvent::ContextMenu:
        break;
    default:
        return false;
    }
    auto* widget = qobject_cast<QWidget*>(watched);
    if (!widget)
        return false;
    // A stop key acts wherever the focus is, on the Cancel button too (a
    // second press of the stop key must never cancel): the override keeps
    // the window's shortcut from running it a second time.
    if (stop_key && (event->type() == QEvent::KeyPress || event->type() == QEvent::ShortcutOverride)) {
        auto* key = static_cast<QKeyEvent*>(event);
        if (stop_key(*key, false)) {
            key->accept();
            if (event->type() == QEvent::KeyPress && !key->isAutoRepeat())
                stop_key(*key, true);
            return true;
        }
    }
    if (event->type() == QEvent::KeyRelease && stop_key && stop_key(*static_cast<QKeyEvent*>(event), false))
        return true;
    const bool mouse = event->type() == QEvent::MouseButtonPress || event->type() == QEvent::MouseButtonRelease ||
                       event->type() == QEvent::MouseButtonDblClick;
    if (mouse && widget->property(stop_control).toBool())
        return false;
    if (box_ && widget->window() == box_.data())
        return false;
    // A click on the window moves the focus there, where the box's keys
    // would no longer reach it: bring the box back to the front as a modal
    // one would come, and let Escape cancel from anywhere in the program.
    if (event->type() == QEvent::MouseButtonPress && box_) {
        box_->raise();
        box_->activateWindow();
    } else if (event->type() == QEvent::KeyPress && static_cast<QKeyEvent*>(event)->key() == Qt::Key_Escape && box_) {
        box_->reject();
    }
    return true;
}

void kvr_cancel_waiter::hide_box() {
    if (box_) {
        box_->hide();
        box_->deleteLater();
        box_ = nullptr;
    }
    if (cursor_pushed_) {
        QApplication::restoreOverrideCursor();
        cursor_pushed_ = false;
    }
}
