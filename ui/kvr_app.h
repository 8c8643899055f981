#pragma once
// The application object: owns the abort event and the serial link, which
// outlive the main dialog, and runs the dialog until it closes.

#include <QString>

#include <memory>

#include "foundation/kvr_sys_event.h"
#include "link/kvr_link.h"

struct kvr_main_dlg_env;

class kvr_app {
public:
    // Installs the window's message-box and tone hooks and makes the
    // simulated layout "SIM" openable. Needs a QApplication.
    kvr_app();
    ~kvr_app();
    kvr_app(const kvr_app&) = delete;
    kvr_app& operator=(const kvr_app&) = delete;

    kvr_sys_event& abort_event() { return abort_; }
    kvr_link& link() { return *link_; }

    // Runs the main dialog modally; returns the process exit status.
    int run();
    // Connects to "SIM", drives a few panels and saves pictures of the
    // window into `dir`; returns the exit status.
    int run_screenshot(const QString& dir);

private:
    // The link and the abort event for the dialog.
    kvr_main_dlg_env dialog_env();

    // Manual reset, not signalled: set by Cancel, reset before each action.
    kvr_sys_event abort_{true, false};
    std::unique_ptr<kvr_link> link_;
};

// True when a window system can be reached (X11, Wayland, or a platform
// chosen through QT_QPA_PLATFORM or -platform).
bool kvr_has_display(int argc, char** argv);
