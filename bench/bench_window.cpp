// The whole window, offscreen, as a person runs it on a busy layout.
//
//   window_rss_mb_idle            the process with its window shown, no lines
//   window_rss_mb_at_200k_lines   the same holding a full view: 200,000
//                                 four-byte messages received through the link
//   window_cpu_pct_at_bus_max     processor time of the GUI thread as a share
//                                 of one core while the window shows a
//                                 saturated bus (sensor reports back to back
//                                 at 16457 baud, a simulated command station
//                                 answering) for a few seconds
//   window_cpu_pct_at_bus_max_with_views
//                                 the same with the Slots and the Sensors and
//                                 turnouts windows open (goal: under 5 %)
//
// The memory figures come first, from the fresh process; resident memory is
// read from /proc/self/status.

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QPushButton>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "bench/bench_summary.h"
#include "foundation/kvr_sys_event.h"
#include "link/kvr_link.h"
#include "support/flood_bus.h"
#include "ui/kvr_dialog_template.h"
#include "ui/kvr_log_view.h"
#include "ui/kvr_main_dlg.h"
#include "ui/kvr_qt_hooks.h"
#include "ui/kvr_sensors_view.h"

namespace {

constexpr int held_lines = 200000;
constexpr double flood_seconds = 5.0;

void pump(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

double rss_mb() {
    std::ifstream in("/proc/self/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind("VmRSS:", 0) == 0)
            return std::strtod(line.c_str() + 6, nullptr) / 1024.0;
    return -1.0;
}

kvr_main_dlg_env env_for(kvr_link& link, kvr_sys_event& abort, const QTemporaryDir& dir, std::string device) {
    kvr_main_dlg_env env;
    env.link = &link;
    env.abort_event = &abort;
    env.ini_path = dir.filePath("busprobe.ini").toStdString();
    env.list_devices = [device] { return device.empty() ? std::vector<std::string>{} : std::vector<std::string>{device}; };
    return env;
}

// Sensor reports with changing addresses and states, as the link frames them.
void fill_view(kvr_link& link, kvr_main_dlg& dlg) {
    for (int i = 0; i < held_lines; ++i) {
        const uint8_t in1 = static_cast<uint8_t>(i & 0x7F);
        const uint8_t in2 = static_cast<uint8_t>(0x40 | ((i >> 7) & 0x0F) | ((i & 1) << 4));
        const uint8_t bytes[] = {0xB2, in1, in2, static_cast<uint8_t>(0xFF ^ 0xB2 ^ in1 ^ in2)};
        link.receive_bytes(bytes, sizeof bytes);
        if (i % 5000 == 0)
            QApplication::processEvents();
    }
    QElapsedTimer t;
    t.start();
    while (dlg.log_view()->line_count() < held_lines && t.elapsed() < 60000)
        pump(10);
}

void measure_memory() {
    QTemporaryDir dir;
    kvr_link link;
    kvr_sys_event abort(true, false);
    kvr_main_dlg dlg(env_for(link, abort, dir, {}));
    dlg.show();
    pump(200);
    bench_summary::record("window_rss_mb_idle", rss_mb(), "MB");
    fill_view(link, dlg);
    pump(200);
    if (dlg.log_view()->line_count() != held_lines)
        std::fprintf(stderr, "bench_window: the view holds %d lines\n", dlg.log_view()->line_count());
    bench_summary::record("window_rss_mb_at_200k_lines", rss_mb(), "MB");
}

void measure_cpu(bool with_views) {
    QTemporaryDir dir;
    flood_test::flood_bus bus(1.0);
    kvr_link link;
    kvr_sys_event abort(true, false);
    kvr_main_dlg dlg(env_for(link, abort, dir, bus.path()));
    dlg.show();
    if (with_views) {
        dlg.open_slots_view();
        dlg.open_sensors_view();
    }
    pump(200);
    auto* port = dlg.control_as<QComboBox>(kvr_idc_port);
    port->setCurrentIndex(port->findText(QString::fromStdString(bus.path())));
    dlg.control_as<QPushButton>(kvr_idc_connect)->click();
    pump(500);
    const std::size_t reports0 = bus.reports();
    QElapsedTimer wall;
    wall.start();
    const double cpu0 = bench_summary::thread_seconds();
    pump(static_cast<int>(flood_seconds * 1000));
    const double cpu = bench_summary::thread_seconds() - cpu0;
    const double seconds = static_cast<double>(wall.nsecsElapsed()) / 1e9;
    std::printf("bench_window: %zu reports in %.1f s, the view holds %d lines\n", bus.reports() - reports0,
                seconds, dlg.log_view()->line_count());
    if (with_views)
        std::printf("bench_window: the sensor window shows %d rows\n", dlg.sensors_view()->table()->rowCount());
    bench_summary::record(with_views ? "window_cpu_pct_at_bus_max_with_views" : "window_cpu_pct_at_bus_max",
                          100.0 * cpu / seconds, "%");
    dlg.close();
    link.close();
}

}  // namespace

int main(int argc, char** argv) {
    if (std::getenv("QT_QPA_PLATFORM") == nullptr)
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    kvr_install_qt_hooks();
    measure_memory();
    measure_cpu(false);
    measure_cpu(true);
    return bench_summary::run(argc, argv);
}
