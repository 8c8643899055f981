#include "ui/kvr_qt_hooks.h"

#include <QApplication>
#include <QEventLoop>
#include <QMessageBox>
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

int show_box(const QString& text, const QString& caption, QMessageBox::Icon icon) {
    QMessageBox box(icon, caption, text, QMessageBox::Ok);
    box.setWindowModality(Qt::NonModal);
    // A local loop instead of exec(): exec() would make the box block every
    // other window, and a box without owner leaves the main window usable.
    QEventLoop loop;
    QObject::connect(&box, &QMessageBox::finished, &loop, &QEventLoop::quit);
    box.show();
    loop.exec();
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
