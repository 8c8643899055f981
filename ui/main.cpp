// busprobe: the window program.
//   busprobe                 the main window
//   busprobe --log-dir DIR   the same, with the dated logs in DIR (made when
//                            missing) instead of the current folder; the
//                            desktop entry passes the user's state folder
//   busprobe --screenshot D  pictures of the window connected to "SIM" into D
//   busprobe --version       the release version, without a display

#include <QApplication>
#include <QFile>

#include <cstdio>
#include <cstring>

#include "foundation/kvr_build.h"
#include "foundation/kvr_file.h"
#include "ui/kvr_app.h"

namespace {

constexpr const char* usage = "usage: busprobe [--log-dir DIR] [--screenshot DIR] [--version]\n";

// Answered before any display is needed, as for the other programs.
int early_answer(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--version") == 0) {
            std::puts("busprobe " BUSPROBE_VERSION);
            return 0;
        }
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(usage, stdout);
            return 0;
        }
    }
    return -1;
}

}  // namespace

int main(int argc, char** argv) {
    if (const int status = early_answer(argc, argv); status >= 0) return status;
    if (!kvr_has_display(argc, argv)) {
        std::fprintf(stderr,
                     "busprobe: needs a graphical display (X11 or Wayland); "
                     "for terminal use run busprobe-cli\n");
        return 1;
    }
    QApplication qt(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Busprobe"));
    QApplication::setApplicationVersion(QStringLiteral(BUSPROBE_VERSION));
    QApplication::setDesktopFileName(QStringLiteral("busprobe"));

    QString screenshot_dir;
    const QStringList args = QApplication::arguments();
    for (qsizetype i = 1; i < args.size(); ++i) {
        if (args[i] == QStringLiteral("--screenshot") && i + 1 < args.size()) {
            screenshot_dir = args[++i];
        } else if (args[i] == QStringLiteral("--log-dir") && i + 1 < args.size() && !args[i + 1].isEmpty()) {
            kvr_global_dated_log().set_directory(QFile::encodeName(args[++i]).toStdString());
        } else {
            std::fputs(usage, stderr);
            return 2;
        }
    }

    kvr_app app;
    return screenshot_dir.isEmpty() ? app.run() : app.run_screenshot(screenshot_dir);
}
