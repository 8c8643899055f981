// Pictures of the window for the README: connected to the simulated layout,
// after a few actions on each panel; then the functions and Slots windows.

#include <QAbstractButton>
#include <QComboBox>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QLineEdit>
#include <QTimer>

#include <cstdio>

#include "ui/kvr_about_dlg.h"
#include "ui/kvr_app.h"
#include "ui/kvr_dialog_template.h"
#include "ui/kvr_log_view.h"
#include "ui/kvr_main_dlg.h"
#include "ui/kvr_slots_view.h"
#include "ui/kvr_speed_slider.h"
#include "ui/kvr_functions_wnd.h"

namespace {

void pump(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

void click(kvr_main_dlg& dlg, int id) {
    if (auto* b = dlg.control_as<QAbstractButton>(id))
        b->click();
    pump(100);
}

void type(kvr_main_dlg& dlg, int id, const QString& text) {
    if (auto* e = dlg.control_as<QLineEdit>(id))
        e->setText(text);
}

bool save(QWidget& w, const QString& path) {
    const bool ok = w.grab().save(path, "PNG");
    std::printf("%s %s\n", ok ? "wrote" : "could not write", qPrintable(path));
    return ok;
}

}  // namespace

int kvr_app::run_screenshot(const QString& dir) {
    if (!QDir().mkpath(dir)) {
        std::fprintf(stderr, "busprobe: cannot create %s\n", qPrintable(dir));
        return 1;
    }
    kvr_main_dlg_env env = dialog_env();
    env.ini_path = QDir(dir).filePath(QStringLiteral("busprobe-screenshot.ini")).toStdString();
    env.list_devices = [] { return std::vector<std::string>{}; };  // no local devices in the picture
    kvr_main_dlg dlg(env);
    dlg.show();
    pump(200);

    auto* port = dlg.control_as<QComboBox>(kvr_idc_port);
    port->setCurrentIndex(port->findText(QStringLiteral("SIM")));
    click(dlg, kvr_idc_connect);
    pump(800);

    click(dlg, kvr_idc_power_on);
    type(dlg, kvr_idc_loco_adr, QStringLiteral("3"));
    click(dlg, kvr_idc_fwd);
    dlg.slider()->setValue(64);
    pump(600);
    click(dlg, kvr_idc_f0);

    type(dlg, kvr_idc_sw_adr, QStringLiteral("10"));
    click(dlg, kvr_idc_closed);
    click(dlg, kvr_idc_req_sw);

    click(dlg, kvr_idc_direct);
    type(dlg, kvr_idc_cv, QStringLiteral("29"));
    click(dlg, kvr_idc_read);
    click(dlg, kvr_idc_fast_clock);
    pump(1500);
    dlg.log_view()->flush();
    pump(100);

    bool ok = save(dlg, QDir(dir).filePath(QStringLiteral("busprobe.png")));
    // The loco's functions with F0 on, and the slots the bus has shown.
    dlg.show_functions();
    pump(300);
    if (QWidget* f = dlg.functions_window())
        ok = save(*f, QDir(dir).filePath(QStringLiteral("busprobe-functions.png"))) && ok;
    dlg.open_slots_view();
    pump(300);
    if (QWidget* v = dlg.slots_view())
        ok = save(*v, QDir(dir).filePath(QStringLiteral("busprobe-slots.png"))) && ok;
    kvr_about_dlg about(&dlg);
    about.show();
    pump(100);
    ok = save(about, QDir(dir).filePath(QStringLiteral("busprobe-about.png"))) && ok;
    about.hide();

    dlg.close();
    QFile::remove(QString::fromStdString(env.ini_path));
    return ok ? 0 : 1;
}
