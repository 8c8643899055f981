#include "ui/kvr_qt_hooks.h"

#include <QApplication>
#include <QMessageBox>
#include <QPointer>
#include <QThread>

#include "foundation/kvr_hooks.h"

namespace {

QMessageBox::Icon qt_icon(kvr_icon icon) {
    switch (icon) {
    case kvr_icon::information:
        return QMessageBox::Information;
    case kvr_icon::exclamation:
    case kvr_icon::warning:
        break;
    }
    return QMessageBox::Warning;
}

QPointer<QWidget>& report_owner() {
    static QPointer<QWidget> owner;
    return owner;
}

int show_box(const QString& text, const QString& caption, QMessageBox::Icon icon) {
    QWidget* owner = report_owner().data();
    // A report from the same place again (a link that keeps failing) takes
    // over the open box and brings it forward instead of piling up copies;
    // the texts differ by their time stamps.
    if (owner) {
        for (QMessageBox* open : owner->findChildren<QMessageBox*>(QString(), Qt::FindDirectChildrenOnly)) {
            if (open->isVisible() && open->windowTitle() == caption) {
                open->setText(text);
                open->setIcon(icon);
                open->raise();
                open->activateWindow();
                return 1;
            }
        }
    }
    // Not exec() or a local loop: a box that held the caller's stack would
    // keep the program alive after the main window closed, until someone
    // found and confirmed it.
    auto* box = new QMessageBox(icon, caption, text, QMessageBox::Ok, owner);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::NonModal);
    box->show();
    box->raise();
    box->activateWindow();
    return 1;  // OK is the only button
}

bool on_gui_thread() {
    return qApp && QThread::currentThread() == qApp->thread();
}

}  // namespace

void kvr_install_qt_hooks() {
    kvr_set_message_box_hook([](const std::string& text, const std::string& caption, kvr_icon icon) {
        const QString t = QString::fromUtf8(text);
        const QString c = QString::fromUtf8(caption);
        const QMessageBox::Icon i = qt_icon(icon);
        if (on_gui_thread())
            return show_box(t, c, i);
        if (qApp)
            QMetaObject::invokeMethod(qApp, [t, c, i] { show_box(t, c, i); }, Qt::QueuedConnection);
        return 1;
    });
    kvr_set_tone_hook([](unsigned, unsigned) {
        if (on_gui_thread())
            QApplication::beep();
        else if (qApp)
            QMetaObject::invokeMethod(qApp, [] { QApplication::beep(); }, Qt::QueuedConnection);
    });
}

void kvr_set_report_owner(QWidget* owner) {
    report_owner() = owner;
}
