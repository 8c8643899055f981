// busprobe: the window program.
//   busprobe                 the main window
//   busprobe --screenshot D  pictures of the window connected to "SIM" into D

#include <QApplication>

#include <cstdio>
#include <cstring>

#include "ui/kvr_app.h"

int main(int argc, char** argv) {
    if (!kvr_has_display(argc, argv)) {
        std::fprintf(stderr,
                     "busprobe: needs a graphical display (X11 or Wayland); "
                     "for terminal use run busprobe-cli\n");
        return 1;
    }
    QApplication qt(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Busprobe"));
    QApplication::setDesktopFileName(QStringLiteral("busprobe"));

    QString screenshot_dir;
    const QStringList args = QApplication::arguments();
    for (qsizetype i = 1; i < args.size(); ++i) {
        if (args[i] == QStringLiteral("--screenshot") && i + 1 < args.size()) {
            screenshot_dir = args[++i];
        } else {
            std::fprintf(stderr, "usage: busprobe [--screenshot DIR]\n");
            return 2;
        }
    }

    kvr_app app;
    return screenshot_dir.isEmpty() ? app.run() : app.run_screenshot(screenshot_dir);
}
