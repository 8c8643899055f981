// The main dialog as a whole: layout, log view and file log, settings,
// lost link, Cancel of a waiting operation, and shutting down.

#include <QPushButton>
#include <QTest>

#include <chrono>
#include <fstream>

#include "foundation/kvr_file.h"
#include "foundation/kvr_ini.h"
#include "ui/kvr_dialog_template.h"
#include "ui/kvr_log_view.h"
#include "ui/kvr_speed_slider.h"
#include "ui_test_support.h"

class Dialog : public dialog_fixture {};

TEST_F(Dialog, ControlsSitAtTheirPlacesTheLogStretchesAndEnterOrEscapeKeepItOpen) {
    make_dialog();
    const kvr_dialog_units du(dlg->font());
    for (const kvr_ctl_def& def : kvr_main_dlg_controls()) {
        if (def.id < 0) continue;
        EXPECT_EQ(dlg->control(def.id)->geometry(), du.rect(def.x, def.y, def.w, def.h)) << def.id;
    }
    EXPECT_EQ(dlg->size(), QSize(du.x(468), du.y(337)));
    EXPECT_EQ(dlg->windowTitle(), "Busprobe (v2.1)");
    EXPECT_EQ(text_of(kvr_idc_connect), "Connect Loconet↑");
    EXPECT_EQ(text_of(kvr_idc_out_1t + 3), "2c");
    dlg->resize(1000, 800);
    pump();
    const QRect g = dlg->control(kvr_idc_log)->geometry();
    EXPECT_EQ(g.bottomRight(), QPoint(999, 799));
    EXPECT_EQ(g.topLeft(), du.rect(7, 179, 1, 1).topLeft());

    QTest::keyClick(dlg.get(), Qt::Key_Escape);  // neither closes the window
    QTest::keyClick(dlg->control(kvr_idc_loco_adr), Qt::Key_Return);
    pump();
    EXPECT_TRUE(dlg->isVisible());
    EXPECT_TRUE(calls().empty());
}

TEST_F(Dialog, NormalModeAppendsAndStackModePrependsWithoutReordering) {
    make_dialog();
    std::thread([&] { link.post("A\r\n"); link.post("B\r\n"); }).join();  // as the I/O thread does
    ASSERT_TRUE(pump_until([&] { return dlg->log_view()->line_count() == 2; }));
    click(kvr_idc_log_stack);
    dlg->receive_text("C\r\n");
    dlg->receive_text("D\r\n");
    EXPECT_EQ(kvr_ini(ini_path()).get_int("SETTING", "LOGDIR", 0), 1u);
    click(kvr_idc_log_normal);
    dlg->receive_text("E\r\n");
    EXPECT_EQ(log_text(), "D\nC\nA\nB\nE\n");

    kvr_ini(ini_path()).set_int("SETTING", "LOGDIR", 2);  // outside the buttons: prepends
    make_dialog();
    EXPECT_FALSE(checked(kvr_idc_log_normal) || checked(kvr_idc_log_stack));
    dlg->receive_text("A\r\n");
    dlg->receive_text("B\r\n");
    EXPECT_EQ(log_text(), "B\nA\n");
}

TEST_F(Dialog, FileLogAssemblesLinesFromTexts) {
    kvr_dated_log log(log_dir());
    env.dated_log = &log;
    make_dialog();
    click(kvr_idc_file_log);
    for (const char* text : {"A", "B\r\n", "C\r\nD\r\n", "E"})
        dlg->receive_text(text);
    click(kvr_idc_clear);  // the partial line is not the view's
    dlg->receive_text("F\r\n");

    std::ifstream in(log.today_path());
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(line.size() > 20 && line[4] == '/' ? line.substr(20) : "(unstamped) " + line);
    // "C" is one record holding a line end, so "D" follows it unstamped.
    EXPECT_EQ(lines, (std::vector<std::string>{"AB", "C", "(unstamped) D", "EF"}));
}

TEST_F(Dialog, DatedLogFailureIsShownOnceAndStopsTheFileLog) {
    kvr_dated_log log(log_dir() + "/missing/folder");
    env.dated_log = &log;
    make_dialog();
    click(kvr_idc_file_log);
    dlg->receive_text("A\r\n");
    dlg->receive_text("B\r\n");
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_NE(boxes[0].text.find("=>fail"), std::string::npos);
    EXPECT_FALSE(checked(kvr_idc_file_log));
    EXPECT_EQ(dlg->fields().file_log, 0);
    EXPECT_EQ(log_text(), "A\nB\n");  // the view goes on
}

TEST_F(Dialog, FailedOpenKeepsStoredPortAndALostLinkIsShownOnce) {
    kvr_ini(ini_path()).set_string("SETTING", "COMMPORT", "/nonexistent/tty");
    make_dialog();
    click(kvr_idc_connect);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].caption.rfind("fake_link(", 0), 0u);  // the raiser's source location
    EXPECT_EQ(text_of(kvr_idc_connect), "Connect Loconet↑");
    EXPECT_EQ(kvr_ini(ini_path()).get_string("SETTING", "COMMPORT", "-"), "/nonexistent/tty");

    connect_sim();
    link.lose("device gone");
    ASSERT_TRUE(pump_until([&] { return boxes.size() > 1; }));
    pump(50);
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[1].text, "device gone");
    EXPECT_EQ(text_of(kvr_idc_connect), "Connect Loconet↑");
    EXPECT_GE(link.closes, 1);  // the dialog closed the link
}

class Waiting : public Dialog {
protected:
    void SetUp() override {
        dialog_fixture::SetUp();
        env.make_station = nullptr;  // the real station, with the dialog's waiter
        env.timing.wait_unit_ms = 100;
        env.cancel_box_delay_ms = 100;
    }
    // Runs `tick` every 10 ms (with its count) while `id` is clicked and
    // then until `until` holds; the Cancel box is escaped whenever it shows.
    // Returns whether it showed.
    bool click_while(int id, const std::function<void(int)>& tick, const std::function<bool()>& until = {}) {
        bool box_seen = false;
        int polls = 0;
        QTimer timer;
        QObject::connect(&timer, &QTimer::timeout, [&] {
            tick(++polls);
            if (QDialog* box = dlg->waiter().box()) {
                box_seen = true;
                QTest::keyClick(box, Qt::Key_Escape);
            }
        });
        timer.start(10);
        click(id);
        EXPECT_TRUE(!until || pump_until(until));
        return box_seen;
    }
};

TEST_F(Waiting, CancelEndsAReadThatGetsNoAnswer) {
    make_dialog();
    link.open("SIM");
    bool second_read_started = false;
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_TRUE(click_while(kvr_idc_read, [&](int polls) {
        if (polls != 3)
            return;
        // While waiting: the monitor goes on, a second operation is refused.
        link.post("during the wait\r\n");
        const std::size_t before = link.sent.size();
        dlg->control_as<QPushButton>(kvr_idc_read)->click();
        second_read_started = link.sent.size() != before;
    }));
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2));
    EXPECT_FALSE(second_read_started);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_NE(boxes[0].text.find("CANCEL"), std::string::npos);
    EXPECT_FALSE(dlg->busy());
    EXPECT_TRUE(log_text().contains("during the wait"));
    EXPECT_EQ(text_of(kvr_idc_value), "0");
}

TEST_F(Waiting, SliderMovesDuringAWaitAreSentAsTheLatestSpeed) {
    make_dialog();
    link.open("SIM");
    // The read waits until cancelled; then the latest speed goes out and
    // waits for a loco slot nobody grants, until that is cancelled too.
    click_while(
        kvr_idc_read,
        [&](int polls) {
            if (polls == 2 || polls == 4)
                dlg->slider()->setValue(polls == 2 ? 10 : 30);
        },
        [&] { return text_of(kvr_idc_speed) == "30" && !dlg->busy(); });
    EXPECT_EQ(dlg->fields().speed, 30);
    EXPECT_EQ(boxes.size(), 2u);  // the read's CANCEL, then the speed's
}

TEST_F(Waiting, ClosingWhileAnOperationWaitsEndsItAndTheWindow) {
    make_dialog();
    link.open("SIM");
    QTimer::singleShot(50, dlg.get(), [&] { dlg->close(); });
    const auto t0 = std::chrono::steady_clock::now();
    click(kvr_idc_read);
    ASSERT_TRUE(pump_until([&] { return !dlg->isVisible(); }, 2500));
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(2500));
    EXPECT_FALSE(link.is_open());
    EXPECT_TRUE(boxes.empty());  // the cancel of a closing window is not reported
}
