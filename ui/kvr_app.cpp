#include "ui/kvr_app.h"

#include <cstdlib>
#include <cstring>

#include "foundation/kvr_exception.h"
#include "sim/kvr_sim_port.h"
#include "ui/kvr_main_dlg.h"
#include "ui/kvr_qt_hooks.h"

kvr_app::kvr_app() : link_(std::make_unique<kvr_link>()) {
    kvr_install_qt_hooks();
    kvr_sim_options sim;
    sim.demo = true;  // fast clock, sensor and turnout traffic to watch
    kvr_sim_register_port(*link_, sim);
}

kvr_app::~kvr_app() {
    // The dialog closed the link; closing again is harmless and makes sure
    // no I/O thread outlives the link object.
    try {
        link_->close();
    } catch (const kvr_exception&) {
    }
    link_.reset();
}

kvr_main_dlg_env kvr_app::dialog_env() {
    kvr_main_dlg_env env;
    env.link = link_.get();
    env.abort_event = &abort_;
    return env;
}

int kvr_app::run() {
    kvr_main_dlg dlg(dialog_env());
    dlg.exec();
    return 0;
}

bool kvr_has_display(int argc, char** argv) {
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
        const char* value = std::getenv(name);
        if (value && *value)
            return true;
    }
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "-platform") == 0)
            return true;
    return false;
}
