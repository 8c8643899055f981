// The window program under a real X server (Xvfb) with a window manager
// (openbox), driven as a person drives it: xdotool clicks and keys, wmctrl
// closes windows through their title-bar button. The station is
// busprobe-sim on a pseudo-terminal, logging every message on the bus, so
// the tests see what reached the wire.
//
// The window always gets its port from a settings file written here beside
// a copy of the program (the settings file lives beside the executable), so
// it never falls back to a real serial port.

#include <QApplication>
#include <QTemporaryDir>

#include <array>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "loconet/kvr_monitor.h"
#include "support/child_program.h"
#include "support/eventually.h"
#include "support/shared_sim.h"
#include "ui/kvr_dialog_template.h"

namespace {

using namespace std::chrono_literals;

// Liveness bounds: a step that has not happened by then has failed (the
// test ends its processes instead of hanging). They are not speed checks.
constexpr auto kStepBound = 20s;

bool have_program(const char* name) {
    const std::string cmd = std::string("command -v ") + name + " >/dev/null 2>&1";
    return std::system(cmd.c_str()) == 0;
}

// Runs a command and returns its standard output.
std::string run(const std::string& cmd) {
    std::string out;
    FILE* f = ::popen(cmd.c_str(), "r");
    if (!f)
        return out;
    char buf[512];
    while (std::fgets(buf, sizeof buf, f))
        out += buf;
    ::pclose(f);
    return out;
}

bool poll_until(const std::function<bool()>& done, std::chrono::milliseconds bound = kStepBound) {
    return eventually(done, bound, 50ms);  // each look may run xdotool
}

// An X server with a window manager: one for the whole suite, and one per
// screen size where the size matters.
class x_session {
public:
    static x_session& get() {
        static x_session s("1280x1024x24");
        return s;
    }
    // `screen`: WIDTHxHEIGHTxDEPTH.
    explicit x_session(const std::string& screen) {
        if (!have_program("Xvfb")) {
            why_not_ = "no X server can start here: Xvfb is not installed (Debian package xvfb)";
            return;
        }
        // -displayfd: the server picks a free display and writes its number.
        xvfb_ = std::make_unique<child_program>(
            std::vector<std::string>{"Xvfb", "-displayfd", "3", "-screen", "0", screen, "-nolisten", "tcp"},
            child_options{.stderr_to_pipe = false, .also_fd = 3, .own_group = true});
        const auto number = xvfb_->read_line(kStepBound);
        if (!number || number->empty()) {
            why_not_ = "no X server can start here: Xvfb did not report a display";
            xvfb_.reset();
            return;
        }
        display_ = ":" + *number;
        wm_ = std::make_unique<child_program>(std::vector<std::string>{"openbox"},
                                              child_options{.env = {"DISPLAY=" + display_}, .stderr_to_pipe = false, .own_group = true});
        // Ready when the manager answers through the window-manager hints.
        if (!poll_until([&] { return run("DISPLAY=" + display_ + " wmctrl -m 2>/dev/null").find("Openbox") != std::string::npos; }))
            why_wm_ = "openbox did not come up on " + display_;
    }
    bool up() const { return !display_.empty(); }
    const std::string& why_not() const { return why_not_; }
    const std::string& display() const { return display_; }

private:
    std::unique_ptr<child_program> xvfb_;
    std::unique_ptr<child_program> wm_;
    std::string display_;
    std::string why_not_;

public:
    std::string why_wm_;
};

// Pixel centres of the dialog's controls, from the same template and font
// the program uses.
QPoint centre_of(int id) {
    const kvr_dialog_units du(kvr_dialog_font());
    for (const kvr_ctl_def& def : kvr_main_dlg_controls())
        if (def.id == id)
            return du.rect(def.x, def.y, def.w, def.h).center();
    return {};
}

class RealX : public ::testing::Test {
public:  // the screen-size test drives one window per screen and scale
    void SetUp() override { use(x_session::get()); }
    void use(x_session& x) {
        if (!x.up())
            GTEST_SKIP() << x.why_not();
        ASSERT_TRUE(x.why_wm_.empty()) << x.why_wm_;
        for (const char* tool : {"xdotool", "wmctrl"})
            ASSERT_TRUE(have_program(tool)) << tool << " is missing (make test installs it)";
        ASSERT_TRUE(dir_.isValid());
        display_ = "DISPLAY=" + x.display();
    }
    void TearDown() override {
        // What the screen showed when a check failed, for the person reading the log.
        if (HasFailure()) {
            const std::string shot = std::filesystem::temp_directory_path().string() + "/busprobe-realx-" +
                                     ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".png";
            run(display_ + " import -window root " + shot + " 2>/dev/null");
            std::printf("screen: %s\n", shot.c_str());
        }
        window_.reset();
        stop_sim();
    }

    // busprobe-sim on a pty with its bus log read on a thread.
    std::string start_sim(const std::vector<std::string>& options) {
        std::vector<std::string> argv = {BUSPROBE_SIM_BIN, "--log"};
        argv.insert(argv.end(), options.begin(), options.end());
        sim_ = std::make_unique<child_program>(argv, child_options{.stderr_to_pipe = false, .own_group = true});
        const auto device = sim_->read_line(kStepBound);
        if (!device || device->rfind("/dev/pts/", 0) != 0)
            return {};
        reader_ = std::thread([this] {
            while (auto line = sim_->read_line(std::chrono::hours(1))) {
                std::lock_guard<std::mutex> lock(bus_mutex_);
                bus_.push_back(*line);
            }
        });
        return *device;
    }
    void stop_sim() {
        if (sim_)
            sim_->end();
        if (reader_.joinable())
            reader_.join();
        sim_.reset();
    }
    std::vector<std::string> bus() {
        std::lock_guard<std::mutex> lock(bus_mutex_);
        return bus_;
    }
    bool bus_has(const std::string& text) {
        for (const std::string& line : bus())
            if (line.find(text) != std::string::npos)
                return true;
        return false;
    }

    // The program, copied beside a settings file naming `port`; returns the
    // main window's id.
    std::string start_window(const std::string& port, const std::string& scale = "1") {
        const std::string exe = dir_.filePath("busprobe").toStdString();
        std::filesystem::copy_file(BUSPROBE_BIN, exe, std::filesystem::copy_options::overwrite_existing);
        std::ofstream(dir_.filePath("busprobe.ini").toStdString()) << "[SETTING]\nCOMMPORT=" << port << "\n";
        window_ = std::make_unique<child_program>(
            std::vector<std::string>{exe},
            child_options{.env = {display_, "QT_QPA_PLATFORM=xcb", "QT_SCALE_FACTOR=" + scale},
                          .dir = dir_.path().toStdString(), .stderr_to_pipe = false, .own_group = true});
        std::string id;
        poll_until([&] {
            id = first_word(xdo("search --all --onlyvisible --pid " + std::to_string(window_->pid()) +
                                " --name '^Busprobe \\(v2\\.1\\)$'"));
            return !id.empty();
        });
        if (!id.empty()) {
            xdo("windowactivate --sync " + id);
        } else if (const int status = window_->wait(0ms); status >= 0) {
            ADD_FAILURE() << "busprobe ended with status " << status << " before its window showed";
        }
        return id;
    }

    std::string xdo(const std::string& args) { return run(display_ + " xdotool " + args + " 2>/dev/null"); }
    void wm_close(const std::string& id) { run(display_ + " wmctrl -i -c " + id); }
    static std::string first_word(const std::string& s) {
        std::istringstream in(s);
        std::string w;
        in >> w;
        return w;
    }
    // Visible windows of the program other than the main window.
    std::vector<std::string> boxes(const std::string& main_id) {
        std::vector<std::string> out;
        std::istringstream in(xdo("search --all --onlyvisible --pid " + std::to_string(window_->pid()) + " --name ."));
        for (std::string id; in >> id;)
            if (id != main_id && !xdo("getwindowname " + id).empty())
                out.push_back(id);
        return out;
    }
    std::string active() { return first_word(xdo("getactivewindow")); }
    std::string title(const std::string& id) {
        std::string t = xdo("getwindowname " + id);
        while (!t.empty() && (t.back() == '\n' || t.back() == '\r'))
            t.pop_back();
        return t;
    }
    void click(const std::string& win, int control) {
        // The window in front first: a click that only activates it would be lost.
        const QPoint p = centre_of(control);
        xdo("windowactivate --sync " + win + " mousemove --window " + win + " " + std::to_string(p.x()) + " " +
            std::to_string(p.y()) + " click 1");
    }
    // The one box besides the main window, once it is there.
    std::string wait_box(const std::string& main_id) {
        std::vector<std::string> b;
        poll_until([&] { return (b = boxes(main_id)).size() == 1; });
        return b.size() == 1 ? b[0] : std::string{};
    }
    bool no_boxes(const std::string& main_id) {
        return poll_until([&] { return boxes(main_id).empty(); });
    }

    QTemporaryDir dir_;
    std::string display_;
    std::unique_ptr<child_program> sim_;
    std::unique_ptr<child_program> window_;
    std::thread reader_;
    std::mutex bus_mutex_;
    std::vector<std::string> bus_;
};

// A report box opens in front of the main window, closes with Escape or its
// title-bar button, a repeated report does not pile up, and a box left open
// does not keep the program alive once the main window is closed.
TEST_F(RealX, ReportBoxesComeToTheFrontCloseAndDoNotOutliveTheWindow) {
    const std::string missing = dir_.filePath("no-such-port").toStdString();
    const std::string main_id = start_window(missing);
    ASSERT_FALSE(main_id.empty());
    for (const char* way : {"Escape", "title bar"}) {
        click(main_id, kvr_idc_connect);
        const std::string box = wait_box(main_id);
        ASSERT_FALSE(box.empty()) << way;
        EXPECT_TRUE(poll_until([&] { return active() == box; })) << way << ": the box is not in front";
        click(main_id, kvr_idc_connect);  // the same failure again: still one box
        xdo("windowactivate --sync " + box);
        EXPECT_EQ(boxes(main_id).size(), 1u) << way;
        if (std::string(way) == "Escape")
            xdo("key --clearmodifiers Escape");
        else
            wm_close(box);
        EXPECT_TRUE(no_boxes(main_id)) << way << " left the box open";
    }
    click(main_id, kvr_idc_connect);
    ASSERT_FALSE(wait_box(main_id).empty());
    xdo("windowactivate --sync " + main_id);
    wm_close(main_id);
    EXPECT_EQ(window_->wait(kStepBound), 0) << "the program stayed alive behind its box";
}

// A read against a station that never answers: the Cancel box's title-bar
// button ends it with no report box; closing the main window while the Cancel
// box shows ends the read, closes the link and ends the program, with no
// report of the cancel.
TEST_F(RealX, ClosingTheWindowWhileTheCancelBoxShowsEndsTheProgram) {
    const std::string device = start_sim({"--drop", "1000"});
    ASSERT_FALSE(device.empty());
    const std::string main_id = start_window(device);
    ASSERT_FALSE(main_id.empty());
    click(main_id, kvr_idc_connect);

    click(main_id, kvr_idc_read);
    const std::string cancel = wait_box(main_id);
    ASSERT_FALSE(cancel.empty());
    EXPECT_EQ(title(cancel), "Busprobe");
    wm_close(cancel);
    ASSERT_TRUE(no_boxes(main_id)) << "the Cancel box's title-bar button did not end the wait";
    // The cancel the user asked for opens no report box (the monitor notes it).
    std::this_thread::sleep_for(500ms);
    EXPECT_TRUE(boxes(main_id).empty()) << "a report box followed the cancel";

    click(main_id, kvr_idc_read);
    const std::string second_cancel = wait_box(main_id);
    ASSERT_FALSE(second_cancel.empty());
    wm_close(main_id);
    std::vector<std::string> reports;  // titles of boxes other than the Cancel box
    int status = -1;
    poll_until([&] {
        for (const std::string& b : boxes(main_id))
            if (b != second_cancel)
                reports.push_back(title(b));
        return (status = window_->wait(0ms)) >= 0;
    });
    EXPECT_EQ(status, 0) << "the program did not end";
    EXPECT_TRUE(reports.empty()) << "a report box showed while closing: " << reports.front();
}

// With the loco address emptied, dragging the slider drives nothing (no loco
// request reaches the bus before a later Power On does) and the entry stays
// empty (Power On's exchange prompts for it).
TEST_F(RealX, SliderDrivesNothingWithoutALocoAddress) {
    const std::string device = start_sim({});
    ASSERT_FALSE(device.empty());
    const std::string main_id = start_window(device);
    ASSERT_FALSE(main_id.empty());
    click(main_id, kvr_idc_connect);
    // Connect reads the loco the box names; only what follows the cleared
    // box counts.
    ASSERT_TRUE(poll_until([&] { return bus_has("REQ LOCO#[3]"); }));
    const std::size_t after_read = bus().size();
    click(main_id, kvr_idc_loco_adr);
    xdo("key --clearmodifiers ctrl+a BackSpace");
    const QPoint slider = centre_of(kvr_idc_slider);
    const kvr_dialog_units du(kvr_dialog_font());
    const int left = du.x(172) + 6;
    const std::string y = std::to_string(slider.y());
    xdo("mousemove --window " + main_id + " " + std::to_string(left) + " " + y + " mousedown 1");
    for (int dx = 10; dx <= 60; dx += 10)
        xdo("mousemove --window " + main_id + " " + std::to_string(left + dx) + " " + y);
    xdo("mouseup 1");
    // Power On exchanges too: the empty entry gets its prompt, and the
    // request goes once the prompt is confirmed.
    click(main_id, kvr_idc_power_on);
    ASSERT_TRUE(poll_until([&] {
        for (const std::string& box : boxes(main_id))
            xdo("windowactivate --sync " + box + " key --clearmodifiers Escape");
        return bus_has("OPC_GPON");
    }));
    const std::vector<std::string> lines = bus();
    for (std::size_t i = after_read; i < lines.size(); ++i) {
        if (lines[i].find("OPC_GPON") != std::string::npos)
            break;
        EXPECT_EQ(lines[i].find("REQ LOCO#"), std::string::npos) << lines[i];
    }
    // Closing exchanges as well and stays open on a bad entry.
    click(main_id, kvr_idc_loco_adr);
    xdo("key --clearmodifiers ctrl+a 3");
    wm_close(main_id);
    EXPECT_EQ(window_->wait(kStepBound), 0);
}

// The window's frame, title bar included, in root coordinates; empty when
// the window manager has not framed it yet.
QRect frame_of(const std::function<std::string(const std::string&)>& xdo, const std::string& display,
               const std::string& id) {
    // The client's place in root coordinates as the X server has it
    // (xdotool's getwindowgeometry adds the frame's extents to it, which
    // once hid a title bar above the screen).
    (void)xdo;
    std::istringstream info(run(display + " xwininfo -id " + id + " 2>/dev/null"));
    int x = 0, y = 0, w = 0, h = 0;
    for (std::string line; std::getline(info, line);) {
        const auto colon = line.find(':');
        if (colon == std::string::npos)
            continue;
        const int value = std::atoi(line.c_str() + colon + 1);
        if (line.find("Absolute upper-left X") != std::string::npos) x = value;
        if (line.find("Absolute upper-left Y") != std::string::npos) y = value;
        if (line.find("  Width") == 0) w = value;
        if (line.find("  Height") == 0) h = value;
    }
    // "_NET_FRAME_EXTENTS(CARDINAL) = left, right, top, bottom"
    const std::string extents = run(display + " xprop -id " + id + " _NET_FRAME_EXTENTS 2>/dev/null");
    int l = 0, r = 0, t = 0, b = 0;
    const auto eq = extents.find('=');
    if (w <= 0 || eq == std::string::npos ||
        std::sscanf(extents.c_str() + eq + 1, " %d, %d, %d, %d", &l, &r, &t, &b) != 4 || t <= 0)
        return {};
    return QRect(x - l, y - t, w + l + r, h + t + b);
}

// A window's frame once it has settled: the same for half a second (the
// manager frames it, the program may resize it once the frame is known).
QRect settled_frame(const std::function<std::string(const std::string&)>& xdo, const std::string& display,
                    const std::string& id) {
    QRect last;
    int same = 0;
    poll_until([&] {
        const QRect now = frame_of(xdo, display, id);
        same = !now.isEmpty() && now == last ? same + 1 : 0;
        last = now;
        return same >= 5;
    }, kStepBound);
    return last;
}

// The program's windows besides the main one: how each opens (xdotool
// arguments; WIN is the main window, X Y a free place on its page, where a
// right-click opens the window's menu) and its title. A window added to the
// program gets its line here.
struct child_window {
    const char* open;   // xdotool arguments
    const char* title;  // a regular expression for xdotool search --name
};
const std::vector<child_window>& child_windows() {
    static const std::vector<child_window> all = {
        {"key --clearmodifiers ctrl+l", "^Busprobe: Slots$"},
        {"key --clearmodifiers ctrl+shift+t", "^Busprobe: Sensors and turnouts$"},
        {"key --clearmodifiers ctrl+k", "^Fast clock$"},
        {"key --clearmodifiers ctrl+shift+f", "^Functions"},
        {"mousemove --window WIN X Y click 3 sleep 0.3 key d", "^Busprobe: Devices$"},
    };
    return all;
}

std::string replace_words(std::string s, const std::vector<std::pair<std::string, std::string>>& words) {
    for (const auto& [from, to] : words)
        for (std::size_t at; (at = s.find(from)) != std::string::npos;)
            s.replace(at, from.size(), to);
    return s;
}

std::string text_of(const QRect& r) {
    return std::to_string(r.x()) + "," + std::to_string(r.y()) + " " + std::to_string(r.width()) + "x" +
           std::to_string(r.height());
}

// On 1280 x 800 and 1600 x 1000 screens at scale 1, 1.5 and 2, connected to
// a layout: the main window and each child window settle with the whole
// frame, title bar included, inside the screen; the main window keeps its
// designed size where the screen has room. The title bar once settled above
// the top at scale 2, and the Slots and Sensors windows below the bottom.
class RealXScreens : public ::testing::TestWithParam<QSize> {};

TEST_P(RealXScreens, EveryWindowSettlesInsideTheScreenAtEveryScale) {
    const QSize sc = GetParam();
    x_session x(std::to_string(sc.width()) + "x" + std::to_string(sc.height()) + "x24");
    if (!x.up())
        GTEST_SKIP() << x.why_not();
    ASSERT_TRUE(x.why_wm_.empty()) << x.why_wm_;
    const QRect root(QPoint(0, 0), sc);
    for (const char* scale : {"1", "1.5", "2"}) {
        SCOPED_TRACE(std::to_string(sc.width()) + "x" + std::to_string(sc.height()) + " at scale " + scale);
        struct one_window : RealX {
            void TestBody() override {}
            ~one_window() override { TearDown(); }  // also when a check ends the scale early
        } t;
        t.use(x);
        const std::string device = t.start_sim({});
        ASSERT_FALSE(device.empty());
        const std::string id = t.start_window(device, scale);
        ASSERT_FALSE(id.empty());
        const auto xdo = [&](const std::string& a) { return t.xdo(a); };
        const QRect frame = settled_frame(xdo, t.display_, id);
        EXPECT_TRUE(root.contains(frame)) << "main window " << text_of(frame);
        const double f = std::atof(scale);
        const kvr_dialog_units du(kvr_dialog_font());
        const QSize designed(static_cast<int>(du.x(kvr_main_dlg_w) * f), static_cast<int>(du.y(kvr_main_dlg_h) * f));
        if (designed.width() + 40 < sc.width() && designed.height() + 80 < sc.height()) {
            EXPECT_GE(frame.height(), designed.height()) << "shrunk though the screen has room";
        }
        // Connect, at the button's place as the scale puts it.
        const QPoint connect = centre_of(kvr_idc_connect) * f;
        t.xdo("windowactivate --sync " + id + " mousemove --window " + id + " " + std::to_string(connect.x()) + " " +
              std::to_string(connect.y()) + " click 1");
        EXPECT_TRUE(poll_until([&] { return t.title(id).find(device) != std::string::npos; }))
            << "connected, the title names the port: " << t.title(id);
        // Between "log stack" and the rights notice, where no control is:
        // the page's own menu.
        const QPoint free_place = QPoint(du.x(150), du.y(173)) * f;
        for (const child_window& c : child_windows()) {
            t.xdo("windowactivate --sync " + id + " " +
                  replace_words(c.open, {{"WIN", id},
                                         {"X", std::to_string(free_place.x())},
                                         {"Y", std::to_string(free_place.y())}}));
            std::string child;
            poll_until([&] {
                child = t.first_word(t.xdo("search --all --onlyvisible --pid " + std::to_string(t.window_->pid()) +
                                           " --name '" + c.title + "'"));
                return !child.empty();
            });
            ASSERT_FALSE(child.empty()) << c.open << " opened no window";
            const QRect cf = settled_frame(xdo, t.display_, child);
            EXPECT_TRUE(root.contains(cf)) << t.title(child) << " " << text_of(cf);
        }
        t.wm_close(id);
        EXPECT_EQ(t.window_->wait(kStepBound), 0);
        t.TearDown();
    }
}

INSTANTIATE_TEST_SUITE_P(Screens, RealXScreens, ::testing::Values(QSize(1280, 800), QSize(1600, 1000)),
                         [](const ::testing::TestParamInfo<QSize>& i) {
                             return std::to_string(i.param.width()) + "x" + std::to_string(i.param.height());
                         });

// A second layout, shared over LocoNet over TCP from this process, with
// every message on its bus as a monitor line.
struct second_layout {
    std::vector<std::string> lines() {
        std::lock_guard<std::mutex> lock(mutex);
        return seen;
    }
    bool has(const std::string& text) {
        for (const std::string& line : lines())
            if (line.find(text) != std::string::npos)
                return true;
        return false;
    }
    std::array<uint8_t, 10> slot(uint8_t n) {
        return runner.with_station([n](kvr_sim_station& st) { return st.slot(n); });
    }

    std::mutex mutex;
    std::vector<std::string> seen;
    kvr_sim_runner runner{kvr_sim_options{.instant = true}, [this](const kvr_loconet_msg& msg) {
                              std::lock_guard<std::mutex> lock(mutex);
                              seen.push_back(kvr_monitor::to_text(msg));
                          }};
    shared_port port{runner.device_path()};
};

// The direction and function parts of the OPC_LOCO_DIRF lines, in order.
std::vector<std::string> dirf_parts(const std::vector<std::string>& lines) {
    std::vector<std::string> out;
    for (const std::string& line : lines)
        if (line.rfind("OPC_LOCO_DIRF", 0) == 0)
            out.push_back(line.substr(line.find("DIR(")));
    return out;
}

class Throttle : public RealX {
protected:
    void drag_slider(const std::string& win, int to_dx) {
        const QPoint slider = centre_of(kvr_idc_slider);
        const kvr_dialog_units du(kvr_dialog_font());
        const int left = du.x(172) + 6;
        const std::string y = std::to_string(slider.y());
        xdo("windowactivate --sync " + win + " mousemove --window " + win + " " + std::to_string(left) + " " + y +
            " mousedown 1");
        for (int dx = 10; dx <= to_dx; dx += 10)
            xdo("mousemove --window " + win + " " + std::to_string(left + dx) + " " + y);
        xdo("mouseup 1");
    }
    // Enter in the loco address box: the throttle reads the loco and takes
    // it, and shows it before anything can be sent. Waits until `done`.
    bool enter_loco(const std::string& win, const std::function<bool()>& done) {
        click(win, kvr_idc_loco_adr);
        xdo("key --clearmodifiers Return");
        return poll_until(done);
    }
    // Clicks and waits until the bus shows `line`.
    bool click_until(const std::string& win, int control, const std::string& line) {
        // The last operation's Cancel box takes the clicks meant for the window
        // while it shows.
        no_boxes(win);
        click(win, control);
        if (poll_until([&] { return bus_has(line); }))
            return true;
        for (const std::string& l : bus())
            std::printf("bus: %s\n", l.c_str());
        return false;
    }
};

// With F0 and F1 ticked and the loco running, a tick on F2 or a click on a
// direction changes only what it names: it once reversed a running loco
// (DIR(rev) F0-4(11100)) or switched the headlight off (F0-4(00000)).
TEST_F(Throttle, ClicksChangeOnlyWhatTheyNameOnTheBus) {
    const std::string device = start_sim({});
    ASSERT_FALSE(device.empty());
    const std::string main_id = start_window(device);
    ASSERT_FALSE(main_id.empty());
    click(main_id, kvr_idc_connect);
    ASSERT_TRUE(enter_loco(main_id, [&] { return bus_has("OPC_MOVE_SLOTS  :SLOT#[1] to [1]"); }));
    ASSERT_TRUE(click_until(main_id, kvr_idc_f0, "F0-4(10000)"));
    ASSERT_TRUE(click_until(main_id, kvr_idc_f0 + 1, "F0-4(11000)"));
    drag_slider(main_id, 60);
    ASSERT_TRUE(poll_until([&] { return bus_has("OPC_LOCO_SPD"); }));
    ASSERT_TRUE(click_until(main_id, kvr_idc_rev, "DIR(rev)"));
    ASSERT_TRUE(click_until(main_id, kvr_idc_f0 + 2, "F0-4(11100)"));
    ASSERT_TRUE(click_until(main_id, kvr_idc_fwd, "DIR(fwd) F0-4(11100)"));
    EXPECT_EQ(dirf_parts(bus()), (std::vector<std::string>{"DIR(fwd) F0-4(10000)", "DIR(fwd) F0-4(11000)",
                                                           "DIR(rev) F0-4(11000)", "DIR(rev) F0-4(11100)",
                                                           "DIR(fwd) F0-4(11100)"}));
    // The slot was taken before it was driven: the NULL move came first.
    EXPECT_TRUE(bus_has("OPC_MOVE_SLOTS  :SLOT#[1] to [1]")) << "no NULL move";
    wm_close(main_id);
    EXPECT_EQ(window_->wait(kStepBound), 0);
}

// Close, then Connect to another layout (typed into the port box) whose slot
// 1 holds loco 5: the first function for loco 3 asks for its address on that
// bus, and loco 5 is neither given functions nor a speed.
TEST_F(Throttle, AnotherLayoutAfterCloseAndConnectAsksForTheLocoAgain) {
    const std::string device = start_sim({});
    ASSERT_FALSE(device.empty());
    second_layout other;
    other.runner.with_station([](kvr_sim_station& st) {
        st.receive(kvr_loconet_msg::with_checksum({0xBF, 0x00, 0x05}), kvr_sim_time{0});
        st.receive(kvr_loconet_msg::with_checksum({0xBA, 0x01, 0x01}), kvr_sim_time{0});
    });
    ASSERT_EQ(other.slot(1)[1], 5);
    const std::string main_id = start_window(device);
    ASSERT_FALSE(main_id.empty());
    click(main_id, kvr_idc_connect);
    ASSERT_TRUE(enter_loco(main_id, [&] { return bus_has("OPC_MOVE_SLOTS  :SLOT#[1] to [1]"); }));
    ASSERT_TRUE(click_until(main_id, kvr_idc_f0, "SLOT#[1] DIR(fwd) F0-4(10000)"));
    click(main_id, kvr_idc_connect);  // Close

    click(main_id, kvr_idc_port);
    xdo("key --clearmodifiers ctrl+a BackSpace");
    xdo("type --delay 10 '" + other.port.url() + "'");
    click(main_id, kvr_idc_connect);
    // Loco 3 is read on this bus before anything goes to it.
    ASSERT_TRUE(enter_loco(main_id, [&] { return other.has("REQ LOCO#[3]") && other.has("OPC_MOVE_SLOTS"); }));
    click(main_id, kvr_idc_f0 + 1);
    // F1 alone: F0 ticked for loco 3 on the first layout stays there.
    ASSERT_TRUE(poll_until([&] { return other.has("F0-4(01000)"); })) << "no function message on the second layout";
    EXPECT_FALSE(other.has("F0-4(11000)"));
    drag_slider(main_id, 50);
    ASSERT_TRUE(poll_until([&] { return other.has("OPC_LOCO_SPD"); }));
    EXPECT_TRUE(other.has("REQ LOCO#[3]"));
    EXPECT_FALSE(other.has("SLOT#[1] DIR")) << "loco 5's slot got functions";
    for (const std::string& line : other.lines())
        EXPECT_FALSE(line.rfind("OPC_LOCO_SPD", 0) == 0 && line.find("SLOT#[1]") != std::string::npos) << line;
    const auto five = other.slot(1);
    EXPECT_EQ(five[3], 0x00);  // DIRF
    EXPECT_EQ(five[2], 0);     // SPD
    click(main_id, kvr_idc_connect);  // Close, before the layout goes
    wm_close(main_id);
    EXPECT_EQ(window_->wait(kStepBound), 0);
}

// --- devices window ------------------------------------------------------------
// The Devices window from the page's menu, driven by its keys as a user
// would: Discover finds the simulator's SV2 module (PROTOCOL-FACTS SV
// discover 07, reply 47) and LNCV module (PROTOCOL-MODERN §2: start, reply,
// end); the first device's variables are read (SV2 read four 06/46); SV 2
// written 77 goes out once and is read back (01/41, then 02/42).
TEST_F(RealX, DevicesWindowDiscoversReadsAndWritesWithReadBack) {
    const std::string device = start_sim({});
    ASSERT_FALSE(device.empty());
    const std::string main_id = start_window(device);
    ASSERT_FALSE(main_id.empty());
    click(main_id, kvr_idc_connect);
    ASSERT_TRUE(poll_until([&] { return bus_has("REQ LOCO#[3]"); }));
    const kvr_dialog_units du(kvr_dialog_font());
    const QPoint free_place(du.x(150), du.y(173));
    xdo("windowactivate --sync " + main_id + " mousemove --window " + main_id + " " + std::to_string(free_place.x()) +
        " " + std::to_string(free_place.y()) + " click 3 sleep 0.3 key d");
    std::string devices;
    ASSERT_TRUE(poll_until([&] {
        devices = first_word(xdo("search --all --onlyvisible --pid " + std::to_string(window_->pid()) +
                                 " --name '^Busprobe: Devices$'"));
        return !devices.empty();
    }));
    xdo("windowactivate --sync " + devices + " key --clearmodifiers alt+i");
    ASSERT_TRUE(poll_until([&] { return bus_has("discover reply SRC(1) DST(3) manufacturer(13)"); }));
    EXPECT_TRUE(poll_until([&] { return bus_has("LNCV end article(6861) module(1)"); }))
        << "the module that answered the discover is taken out of programming mode";
    // The devices table's first row (the SV2 module at 3), then Read: at
    // their places in the window's layout at scale 1.
    const auto click_at = [&](int x, int y) {
        xdo("windowactivate --sync " + devices + " mousemove --window " + devices + " " + std::to_string(x) + " " +
            std::to_string(y) + " click 1 sleep 0.3");
    };
    click_at(73, 72);
    xdo("windowactivate --sync " + devices + " key --clearmodifiers alt+r");
    ASSERT_TRUE(poll_until([&] { return bus_has("read four reply SRC(1) DST(3) SV#[4]"); }));
    // The variables table's SV 1, one down to SV 2; the value box: 77, Write.
    click_at(87, 330);
    xdo("windowactivate --sync " + devices + " key --clearmodifiers Down");
    click_at(57, 378);
    xdo("windowactivate --sync " + devices + " key --clearmodifiers ctrl+a 7 7");
    click_at(155, 378);  // Write
    EXPECT_TRUE(poll_until([&] { return bus_has("read reply SRC(1) DST(3) SV#[2] value(77)"); }));
    int writes = 0;
    for (const std::string& line : bus())
        if (line.find("SV programming write SRC(1) DST(3)") != std::string::npos) {
            ++writes;
            EXPECT_NE(line.find("SV#[2] value(77)"), std::string::npos) << line;
        }
    EXPECT_EQ(writes, 1);
    EXPECT_TRUE(boxes(main_id).size() <= 1u) << "no report box besides the Devices window";
    wm_close(main_id);
}

// While disconnected, Power Off, FastClock and a function each say so in one
// notice naming Connect and send nothing, then or after the next Connect: a
// Power Off clicked while disconnected once reached the bus on connecting.
TEST_F(Throttle, ButtonsWhileDisconnectedSendNothingThenOrLater) {
    const std::string device = start_sim({});
    ASSERT_FALSE(device.empty());
    const std::string main_id = start_window(device);
    ASSERT_FALSE(main_id.empty());
    for (int id : {kvr_idc_power_off, kvr_idc_fast_clock, kvr_idc_f0}) {
        click(main_id, id);
        const std::string box = wait_box(main_id);
        ASSERT_FALSE(box.empty()) << id;
        EXPECT_EQ(boxes(main_id).size(), 1u) << id;
        xdo("windowactivate --sync " + box + " key --clearmodifiers Escape");
        ASSERT_TRUE(no_boxes(main_id)) << id;
    }
    click(main_id, kvr_idc_connect);
    ASSERT_TRUE(click_until(main_id, kvr_idc_power_on, "OPC_GPON"));
    // Written in order: a message queued before Connect would show before OPC_GPON.
    for (const std::string& line : bus()) {
        EXPECT_EQ(line.find("OPC_GPOFF"), std::string::npos) << line;
        EXPECT_EQ(line.find("OPC_LOCO_DIRF"), std::string::npos) << line;
        EXPECT_EQ(line.find("SLOT#[123]"), std::string::npos) << line;
    }
    EXPECT_TRUE(boxes(main_id).empty());
    wm_close(main_id);
    EXPECT_EQ(window_->wait(kStepBound), 0);
}

// --- functions window ----------------------------------------------------------
// Ctrl+Shift+F opens the functions window over the main window; F12 switched on
// there reaches the bus as its DCC packet (NMRA S-9.2.1 1010 F12..F9 for
// loco 3: 03 A8) inside OPC_IMM_PACKET, as the simulator's log decodes it.
TEST_F(RealX, FunctionWindowF12OnReachesTheBusAsItsDccPacket) {
    const std::string device = start_sim({});
    ASSERT_FALSE(device.empty());
    const std::string main_id = start_window(device);
    ASSERT_FALSE(main_id.empty());
    click(main_id, kvr_idc_connect);
    // Loco 3 entered: read and taken before anything goes to it.
    click(main_id, kvr_idc_loco_adr);
    xdo("key --clearmodifiers Return");
    ASSERT_TRUE(poll_until([&] { return bus_has("OPC_MOVE_SLOTS  :SLOT#[1] to [1]"); }));
    xdo("windowactivate --sync " + main_id + " key --clearmodifiers ctrl+shift+f");
    std::string functions;
    ASSERT_TRUE(poll_until([&] {
        functions = first_word(xdo("search --all --onlyvisible --pid " + std::to_string(window_->pid()) +
                                   " --name '^Functions of loco 3$'"));
        return !functions.empty();
    })) << "Ctrl+Shift+F opened no functions window";
    // The window opens with F0 in the focus: twelve tabs on is F12.
    std::string keys;
    for (int i = 0; i < 12; ++i)
        keys += " Tab";
    xdo("windowactivate --sync " + functions + " key --clearmodifiers" + keys + " space");
    EXPECT_TRUE(poll_until([&] { return bus_has("OPC_IMM_PACKET  :DCC LOCO#[3] F9-12(0001)"); }));
    EXPECT_TRUE(boxes(main_id).size() == 1u) << "only the functions window besides the main window";
    wm_close(main_id);
    EXPECT_EQ(window_->wait(kStepBound), 0) << "the functions window kept the program alive";
}

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    // Font metrics for the control places, without a display of our own.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}

// --- the Slots and the Sensors and turnouts windows ---------------------------
namespace {

class BusViews : public Throttle {
protected:
    // The program's window titled `title`, once it shows.
    std::string window_titled(const std::string& title) {
        std::string id;
        poll_until([&] {
            id = first_word(xdo("search --all --onlyvisible --pid " + std::to_string(window_->pid()) + " --name '^" +
                                title + "$'"));
            return !id.empty();
        });
        return id;
    }
    bool bus_line_has(const std::string& a, const std::string& b) {
        return poll_until([&] {
            for (const std::string& line : bus())
                if (line.find(a) != std::string::npos && line.find(b) != std::string::npos) return true;
            return false;
        });
    }
};

// Release in the Slots window (Ctrl+L) sets the throttle's slot common on
// the bus; Switch in the Sensors and turnouts window (Ctrl+Shift+T) sends the
// turnout the other position.
TEST_F(BusViews, SlotReleaseAndTurnoutSwitchReachTheBus) {
    const std::string device = start_sim({});
    ASSERT_FALSE(device.empty());
    const std::string main_id = start_window(device);
    ASSERT_FALSE(main_id.empty());
    click(main_id, kvr_idc_connect);
    ASSERT_TRUE(enter_loco(main_id, [&] { return bus_has("OPC_MOVE_SLOTS  :SLOT#[1] to [1]"); }));
    ASSERT_TRUE(click_until(main_id, kvr_idc_f0, "F0-4(10000)"));  // loco 3 in slot 1, in use
    ASSERT_TRUE(click_until(main_id, kvr_idc_req_sw, "REQ SW#[1 (0:1)] for Thrown/Red(on)"));
    no_boxes(main_id);

    xdo("windowactivate --sync " + main_id + " key --clearmodifiers ctrl+l");
    const std::string slots_id = window_titled("Busprobe: Slots");
    ASSERT_FALSE(slots_id.empty());
    xdo("windowactivate --sync " + slots_id + " key --clearmodifiers alt+l");  // Release, slot 1 selected
    EXPECT_TRUE(bus_line_has("OPC_SLOT_STAT1  :SLOT#[1]", "COMMON"));

    // The switch panel's on/off box is the panel's: the window's Switch
    // sends the output on whatever it holds.
    click(main_id, kvr_idc_sw_on);
    xdo("windowactivate --sync " + main_id + " key --clearmodifiers ctrl+shift+t");
    const std::string points_id = window_titled("Busprobe: Sensors and turnouts");
    ASSERT_FALSE(points_id.empty());
    // Switch, turnout 1 selected: the other position is offered.
    xdo("windowactivate --sync " + points_id + " key --clearmodifiers alt+s");
    EXPECT_TRUE(bus_line_has("REQ SW#[1 (0:1)]", "Closed/Green(on)"));
    wm_close(main_id);
    EXPECT_EQ(window_->wait(kStepBound), 0);
}

}  // namespace

// ---- the monitor scrolled up on a busy bus ---------------------------------
// The lines in sight are read back as pixels of the window (Xlib), since the
// view's state lives in another process.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace {

// The pixels of `r` in the window `id` on the X server of `display_env`
// ("DISPLAY=:n"); empty when they cannot be read.
std::vector<char> window_pixels(const std::string& display_env, const std::string& id, const QRect& r) {
    Display* d = XOpenDisplay(display_env.substr(display_env.find('=') + 1).c_str());
    if (!d)
        return {};
    std::vector<char> out;
    if (XImage* img = XGetImage(d, std::stoul(id), r.x(), r.y(), static_cast<unsigned>(r.width()),
                                static_cast<unsigned>(r.height()), AllPlanes, ZPixmap)) {
        out.assign(img->data, img->data + static_cast<size_t>(img->bytes_per_line) * img->height);
        XDestroyImage(img);
    }
    XCloseDisplay(d);
    return out;
}

class MonitorScroll : public RealX {
protected:
    // The monitor's place in the window as designed.
    static QRect monitor() {
        const kvr_dialog_units du(kvr_dialog_font());
        return du.rect(7, 179, 454, 151);
    }
    std::vector<char> pixels(const std::string& id, const QRect& r) { return window_pixels(display_, id, r); }
    // Waits until the bus log has `n` more lines than now.
    bool more_traffic(size_t n) {
        const size_t from = bus().size();
        return poll_until([&] { return bus().size() >= from + n; });
    }
};

// Scrolled up on a busy bus, the lines in sight stay while a bar over the
// bottom counts the new ones; a click on the bar follows the newest again.
TEST_F(MonitorScroll, ScrolledUpTheViewStaysAndTheNewLinesBarFollowsAgain) {
    const std::string device = start_sim({"--traffic", "100"});
    ASSERT_FALSE(device.empty());
    const std::string main_id = start_window(device);
    ASSERT_FALSE(main_id.empty());
    click(main_id, kvr_idc_connect);
    ASSERT_TRUE(more_traffic(60));  // more lines than the monitor shows
    const QRect m = monitor();
    // The first rows of lines, and the middle of the bottom where the bar shows.
    const QRect top(m.left() + 4, m.top() + 4, m.width() / 2, 36);
    const QRect bar(m.center().x() - 20, m.bottom() - 40, 40, 22);
    const QPoint inside = m.center();
    xdo("windowactivate --sync " + main_id + " mousemove --window " + main_id + " " + std::to_string(inside.x()) +
        " " + std::to_string(inside.y()) + " click --repeat 5 4");
    ASSERT_TRUE(more_traffic(30));
    const std::vector<char> held = pixels(main_id, top);
    const std::vector<char> counted = pixels(main_id, bar);
    ASSERT_FALSE(held.empty());
    ASSERT_TRUE(more_traffic(60));
    EXPECT_EQ(pixels(main_id, top), held) << "the lines in sight moved while scrolled up";
    EXPECT_NE(pixels(main_id, bar), counted) << "no count of new lines over the bottom";

    // The bar's middle: a click there follows the newest line again.
    xdo("mousemove --window " + main_id + " " + std::to_string(m.center().x()) + " " +
        std::to_string(m.bottom() - 27) + " click 1");
    EXPECT_TRUE(poll_until([&] { return pixels(main_id, top) != held; })) << "still held after the click";
    const std::vector<char> following = pixels(main_id, top);
    ASSERT_TRUE(more_traffic(30));
    EXPECT_TRUE(poll_until([&] { return pixels(main_id, top) != following; })) << "not following the newest";
    click(main_id, kvr_idc_connect);  // Close
    wm_close(main_id);
    EXPECT_EQ(window_->wait(kStepBound), 0);
}

}  // namespace

// ---- the loco driven, as the bus and the screen show it ----------------------
// Speed 1 is the emergency stop of one loco, OPC_IDLE (0x85) stops every loco;
// the move of a slot to itself (NULL move) takes it: LocoNet PE opcode summary.
namespace {

class DrivenLoco : public Throttle {
protected:
    // The round part of a radio button, at its left end.
    std::vector<char> indicator(const std::string& win, int control) {
        const kvr_dialog_units du(kvr_dialog_font());
        for (const kvr_ctl_def& def : kvr_main_dlg_controls())
            if (def.id == control) {
                const QRect r = du.rect(def.x, def.y, def.w, def.h);
                return window_pixels(display_, win, QRect(r.left(), r.top(), r.height(), r.height()));
            }
        return {};
    }
    // Types into a box over what it held, selected.
    void type_into(const std::string& win, int control, const std::string& text, bool enter) {
        click(win, control);
        xdo("key --clearmodifiers ctrl+a");
        xdo("type --delay 10 '" + text + "'");
        if (enter)
            xdo("key --clearmodifiers Return");
    }
    // One step right on the slider, reached from the speed box by Tab: a
    // click on the groove would jump a page.
    void nudge(const std::string& win) {
        click(win, kvr_idc_speed);
        xdo("key --clearmodifiers Tab Right");
    }
    static size_t count(const std::vector<std::string>& lines, const std::string& text) {
        size_t n = 0;
        for (const std::string& line : lines)
            n += line.find(text) != std::string::npos;
        return n;
    }
    // What went to slot `n`: speed, direction and function messages and slot writes.
    static std::vector<std::string> driving(const std::vector<std::string>& lines, int n) {
        const std::string slot = "SLOT#[" + std::to_string(n) + "]";
        std::vector<std::string> out;
        for (const std::string& line : lines)
            for (const char* op : {"OPC_LOCO_SPD", "OPC_LOCO_DIRF", "OPC_LOCO_SND", "OPC_WR_SL_DATA"})
                if (line.rfind(op, 0) == 0 && line.find(slot) != std::string::npos)
                    out.push_back(line);
        return out;
    }
};

// Loco 3 driven forward on one layout; Close, Connect to another where
// another throttle has loco 5 running in reverse at step 30 (speed 31 on
// the wire). Typing 5 and Enter reads it and shows Rev before anything is
// sent; one step of the slider sends step 31 alone. It once wrote the slot
// with speed 0 and forward (the previous loco's direction) and the train
// stopped dead and drove off the other way.
TEST_F(DrivenLoco, ALocoRunningElsewhereIsShownAsReadAndOneStepSendsTheSpeedAlone) {
    const std::string device = start_sim({});
    ASSERT_FALSE(device.empty());
    second_layout other;
    other.runner.with_station([](kvr_sim_station& st) {
        st.receive(kvr_loconet_msg::with_checksum({0xBF, 0x00, 0x05}), kvr_sim_time{0});
        st.receive(kvr_loconet_msg::with_checksum({0xBA, 0x01, 0x01}), kvr_sim_time{0});
        st.receive(kvr_loconet_msg::with_checksum({0xA0, 0x01, 31}), kvr_sim_time{0});
        st.receive(kvr_loconet_msg::with_checksum({0xA1, 0x01, 0x20}), kvr_sim_time{0});
    });
    ASSERT_EQ(other.slot(1)[1], 5);
    ASSERT_EQ(other.slot(1)[2], 31);
    ASSERT_EQ(other.slot(1)[3], 0x20);
    // What the window sends on that bus, after the other throttle's messages.
    ASSERT_TRUE(poll_until([&] { return other.has("OPC_LOCO_DIRF   :SLOT#[1] DIR(rev)"); }));
    const size_t others = other.lines().size();
    const auto sent = [&] {
        const auto lines = other.lines();
        return driving({lines.begin() + static_cast<std::ptrdiff_t>(others), lines.end()}, 1);
    };
    const std::string main_id = start_window(device);
    ASSERT_FALSE(main_id.empty());
    xdo("mousemove --window " + main_id + " 2 2");  // no hover light on a radio button
    // The window opens on Rev: the looks of a chosen and a free radio button.
    std::vector<char> chosen, free;
    ASSERT_TRUE(poll_until([&] {
        chosen = indicator(main_id, kvr_idc_rev);
        free = indicator(main_id, kvr_idc_fwd);
        return !chosen.empty() && chosen != free;
    }));

    click(main_id, kvr_idc_connect);
    ASSERT_TRUE(enter_loco(main_id, [&] { return bus_has("OPC_MOVE_SLOTS  :SLOT#[1] to [1]"); }));
    type_into(main_id, kvr_idc_speed, "10", true);
    ASSERT_TRUE(poll_until([&] { return bus_has("OPC_LOCO_SPD    :SLOT#[1] spd(11)"); }));
    ASSERT_TRUE(poll_until([&] { return indicator(main_id, kvr_idc_fwd) == chosen; })) << "loco 3 not shown Fwd";
    click(main_id, kvr_idc_connect);  // Close
    type_into(main_id, kvr_idc_port, other.port.url(), false);
    click(main_id, kvr_idc_connect);

    type_into(main_id, kvr_idc_loco_adr, "5", true);
    EXPECT_TRUE(poll_until([&] {
        return indicator(main_id, kvr_idc_rev) == chosen && indicator(main_id, kvr_idc_fwd) == free;
    })) << "loco 5 not shown in reverse";
    ASSERT_TRUE(other.has("REQ LOCO#[5]"));
    EXPECT_TRUE(sent().empty()) << sent().front();

    // One step from the 30 shown: 31, which is 32 on the wire.
    nudge(main_id);
    ASSERT_TRUE(poll_until([&] { return !sent().empty(); }));
    std::this_thread::sleep_for(300ms);  // room for a write that would follow
    EXPECT_EQ(sent(), std::vector<std::string>{"OPC_LOCO_SPD    :SLOT#[1] spd(32)"});
    const auto five = other.slot(1);
    EXPECT_EQ(five[2], 32);
    EXPECT_EQ(five[3], 0x20) << "loco 5 turned forward";
    click(main_id, kvr_idc_connect);  // Close, before the layout goes
    wm_close(main_id);
    EXPECT_EQ(window_->wait(kStepBound), 0);
}

// Loco 34 driven at step 25; 5 typed in the address box without Enter. The
// stop key stops 34 in its slot and asks nothing about 5: it once requested
// loco 5 and stopped it instead, and 34 kept running.
TEST_F(DrivenLoco, TheStopKeyStopsTheLocoDrivenNotTheAddressTyped) {
    const std::string device = start_sim({});
    ASSERT_FALSE(device.empty());
    const std::string main_id = start_window(device);
    ASSERT_FALSE(main_id.empty());
    click(main_id, kvr_idc_connect);
    // Connect reads the loco the box names (3): the station gives it slot 1.
    ASSERT_TRUE(poll_until([&] { return bus_has("REQ LOCO#[3]"); }));
    type_into(main_id, kvr_idc_loco_adr, "34", true);
    ASSERT_TRUE(poll_until([&] { return bus_has("OPC_MOVE_SLOTS  :SLOT#[2] to [2]"); }));
    ASSERT_TRUE(bus_has("REQ LOCO#[34]"));
    type_into(main_id, kvr_idc_speed, "25", true);
    ASSERT_TRUE(poll_until([&] { return bus_has("OPC_LOCO_SPD    :SLOT#[2] spd(26)"); }));

    type_into(main_id, kvr_idc_loco_adr, "5", false);
    xdo("key --clearmodifiers ctrl+space");
    EXPECT_TRUE(poll_until([&] { return bus_has("OPC_LOCO_SPD    :SLOT#[2] spd(1)"); })) << "loco 34 not stopped";
    EXPECT_FALSE(bus_has("REQ LOCO#[5]"));
    EXPECT_TRUE(boxes(main_id).empty()) << title(boxes(main_id).front());
    wm_close(main_id);
    EXPECT_EQ(window_->wait(kStepBound), 0);
}

// A CV read waits for a station that answers after a minute. Meanwhile the
// stop key twice, stop all and Power Off reach the bus at once and the wait
// goes on: they were once thrown away, and the second press of the stop key
// pressed Cancel in the box that had the focus.
TEST_F(DrivenLoco, StopsGoOutWhileACvReadWaits) {
    const std::string device = start_sim({"--read-ms", "60000"});
    ASSERT_FALSE(device.empty());
    const std::string main_id = start_window(device);
    ASSERT_FALSE(main_id.empty());
    click(main_id, kvr_idc_connect);
    ASSERT_TRUE(enter_loco(main_id, [&] { return bus_has("OPC_MOVE_SLOTS  :SLOT#[1] to [1]"); }));
    click(main_id, kvr_idc_read);
    const std::string cancel = wait_box(main_id);
    ASSERT_FALSE(cancel.empty());
    ASSERT_TRUE(poll_until([&] { return active() == cancel; }));
    xdo("key --clearmodifiers ctrl+space ctrl+space ctrl+shift+space");
    click(main_id, kvr_idc_power_off);
    EXPECT_TRUE(poll_until([&] {
        const auto lines = bus();
        return count(lines, "OPC_LOCO_SPD    :SLOT#[1] spd(1)") == 2 && count(lines, "OPC_IDLE:") == 1 &&
               count(lines, "OPC_GPOFF:") == 1;
    })) << "a stop did not reach the bus while the read waited";
    EXPECT_EQ(boxes(main_id), std::vector<std::string>{cancel}) << "the wait ended";
    wm_close(main_id);
    EXPECT_EQ(window_->wait(kStepBound), 0);
}

}  // namespace

namespace {

// Power On lights a green lamp on its button (read back as pixels); the
// fast clock set to 06:30 typed over the box, then Stop with 09:00 in the
// box, stops it at 06:30 (or the minute after), not at the box's time.
TEST_F(BusViews, PowerLampAndTheFastClockStopsWhereItStands) {
    const std::string device = start_sim({});
    ASSERT_FALSE(device.empty());
    const std::string main_id = start_window(device);
    ASSERT_FALSE(main_id.empty());
    click(main_id, kvr_idc_connect);
    ASSERT_TRUE(click_until(main_id, kvr_idc_power_on, "OPC_GPON"));
    const kvr_dialog_units du(kvr_dialog_font());
    QRect button;
    for (const kvr_ctl_def& def : kvr_main_dlg_controls())
        if (def.id == kvr_idc_power_on) button = du.rect(def.x, def.y, def.w, def.h);
    const auto green = [&] {
        Display* d = XOpenDisplay(display_.substr(display_.find('=') + 1).c_str());
        if (!d) return false;
        bool found = false;
        if (XImage* img = XGetImage(d, std::stoul(main_id), button.x(), button.y(), static_cast<unsigned>(button.width()),
                                    static_cast<unsigned>(button.height()), AllPlanes, ZPixmap)) {
            for (int y = 0; y < img->height && !found; ++y)
                for (int x = 0; x < img->width && !found; ++x) {
                    const unsigned long p = XGetPixel(img, x, y);
                    const int r = static_cast<int>((p >> 16) & 0xFF), g = static_cast<int>((p >> 8) & 0xFF),
                              b = static_cast<int>(p & 0xFF);
                    found = g > 140 && r < 90 && b < 90;
                }
            XDestroyImage(img);
        }
        XCloseDisplay(d);
        return found;
    };
    EXPECT_TRUE(poll_until(green)) << "no green lamp on Power On";

    xdo("windowactivate --sync " + main_id + " key --clearmodifiers ctrl+k");
    const std::string clock_id = window_titled("Fast clock");
    ASSERT_FALSE(clock_id.empty());
    xdo("windowactivate --sync " + clock_id + " key --clearmodifiers alt+t ctrl+a");
    xdo("type --delay 20 '06:30'");
    xdo("key --clearmodifiers Return");
    ASSERT_TRUE(bus_line_has("OPC_WR_SL_DATA", "hrs24(06) min(30)")) << "the time typed was not written";
    xdo("windowactivate --sync " + clock_id + " key --clearmodifiers alt+t ctrl+a");
    xdo("type --delay 20 '09:00'");
    const std::size_t from = bus().size();
    xdo("key --clearmodifiers alt+o");  // Stop
    ASSERT_TRUE(poll_until([&] {
        const auto lines = bus();
        for (std::size_t i = from; i < lines.size(); ++i)
            if (lines[i].rfind("OPC_WR_SL_DATA", 0) == 0 && lines[i].find("rate(0:1)") != std::string::npos) return true;
        return false;
    })) << "Stop wrote no stopped clock";
    const auto lines = bus();
    for (std::size_t i = from; i < lines.size(); ++i)
        if (lines[i].rfind("OPC_WR_SL_DATA", 0) == 0) {
            EXPECT_EQ(lines[i].find("hrs24(09)"), std::string::npos) << lines[i];
            EXPECT_TRUE(lines[i].find("hrs24(06) min(30)") != std::string::npos ||
                        lines[i].find("hrs24(06) min(31)") != std::string::npos)
                << lines[i];
        }
    wm_close(main_id);
    EXPECT_EQ(window_->wait(kStepBound), 0);
}

}  // namespace
