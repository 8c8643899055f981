// The main dialog as a whole: layout, log view and file log, settings,
// lost link, Cancel of a waiting operation, and shutting down.

#include <QComboBox>
#include <QFontInfo>
#include <QFile>
#include <QPushButton>
#include <QTest>

#include <chrono>
#include <fstream>
#include <sstream>

#include "foundation/kvr_file.h"
#include "foundation/kvr_ini.h"
#include "ui/kvr_dialog_template.h"
#include "ui/kvr_log_view.h"
#include "ui/kvr_speed_slider.h"
#include "ui_test_support.h"

namespace {

std::vector<std::string> read_lines(const std::string& path) {
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// The text of a dated-log record after its "yyyy/mm/dd hh:mm:ss " stamp.
std::string record_text(const std::string& line) {
    return line.size() > 20 ? line.substr(20) : std::string();
}

}  // namespace

class Dialog : public dialog_fixture {};

// ---- layout ----

TEST_F(Dialog, ControlsSitAtTheirDialogUnitPlaces) {
    make_dialog();
    const kvr_dialog_units du(dlg->font());
    for (const kvr_ctl_def& def : kvr_main_dlg_controls()) {
        if (def.id >= 0) {
            EXPECT_EQ(dlg->control(def.id)->geometry(), du.rect(def.x, def.y, def.w, def.h)) << def.id;
        }
    }
    EXPECT_EQ(dlg->size(), QSize(du.x(468), du.y(337)));
    EXPECT_EQ(dlg->windowTitle(), "Busprobe (v2.1)");
    EXPECT_EQ(text_of(kvr_idc_connect), "Connect Loconet↑");
    EXPECT_EQ(text_of(kvr_idc_rev), "Rev");
    EXPECT_EQ(text_of(kvr_idc_out_1t + 3), "2c");
}

TEST_F(Dialog, DialogUnitsFollowTheFontCell) {
    const QFont f = kvr_dialog_font();
    const kvr_dialog_units du(f);
    EXPECT_EQ(du.x(468), (468 * du.base_x() + 2) / 4);
    EXPECT_EQ(du.y(337), (337 * du.base_y() + 4) / 8);
    if (QFontInfo(QFont(QStringLiteral("IPAGothic"))).family() == QStringLiteral("IPAGothic")) {
        EXPECT_EQ(f.family(), QStringLiteral("IPAGothic"));
    }
}

TEST_F(Dialog, LogViewStretchesWithTheWindow) {
    make_dialog();
    dlg->resize(1000, 800);
    pump();
    const QRect g = dlg->control(kvr_idc_log)->geometry();
    EXPECT_EQ(g.bottomRight(), QPoint(999, 799));
    const kvr_dialog_units du(dlg->font());
    EXPECT_EQ(g.topLeft(), du.rect(7, 179, 1, 1).topLeft());
}

TEST_F(Dialog, InitialValuesShowAsDesigned) {
    make_dialog();
    EXPECT_EQ(text_of(kvr_idc_sw_adr), "1");
    EXPECT_EQ(text_of(kvr_idc_dec_adr), "1");
    EXPECT_TRUE(checked(kvr_idc_out_1t));
    EXPECT_TRUE(checked(kvr_idc_sw_on));
    EXPECT_EQ(text_of(kvr_idc_loco_adr), "3");
    EXPECT_TRUE(checked(kvr_idc_rev));
    EXPECT_TRUE(checked(kvr_idc_128step));
    EXPECT_TRUE(checked(kvr_idc_direct));
    EXPECT_EQ(text_of(kvr_idc_cv), "1");
    EXPECT_EQ(text_of(kvr_idc_hex), "0x00");
    EXPECT_EQ(dlg->slider()->maximum(), 126);
    EXPECT_TRUE(checked(kvr_idc_log_normal));
}

TEST_F(Dialog, EnterAndEscapeLeaveTheDialogOpen) {
    make_dialog();
    QTest::keyClick(dlg.get(), Qt::Key_Escape);
    QTest::keyClick(dlg->control(kvr_idc_loco_adr), Qt::Key_Return);
    pump();
    EXPECT_TRUE(dlg->isVisible());
    EXPECT_TRUE(calls().empty());
}

TEST_F(Dialog, F1OpensTheAboutBox) {
    make_dialog();
    QString title;
    QTimer::singleShot(50, [&] {
        if (QWidget* box = QApplication::activeModalWidget()) {
            title = box->windowTitle();
            box->close();
        }
    });
    QTest::keyClick(dlg.get(), Qt::Key_F1);
    EXPECT_EQ(title, "Busprobeのﾊﾞｰｼﾞｮﾝ情報");
}

// ---- log view and file log ----

TEST_F(Dialog, NormalModeAppendsAndStackModePrependsWithoutReordering) {
    make_dialog();
    dlg->receive_text("A\r\n");
    dlg->receive_text("B\r\n");
    click(kvr_idc_log_stack);
    dlg->receive_text("C\r\n");
    dlg->receive_text("D\r\n");
    dlg->log_view()->flush();
    EXPECT_EQ(dlg->log_view()->toPlainText(), "D\nC\nA\nB\n");
    EXPECT_EQ(kvr_ini(ini_path()).get_int("SETTING", "LOGDIR", 0), 1u);
}

TEST_F(Dialog, StoredLogModeOutsideTheButtonsPrepends) {
    kvr_ini(ini_path()).set_int("SETTING", "LOGDIR", 2);
    make_dialog();
    EXPECT_FALSE(checked(kvr_idc_log_normal));
    EXPECT_FALSE(checked(kvr_idc_log_stack));
    dlg->receive_text("A\r\n");
    dlg->receive_text("B\r\n");
    dlg->log_view()->flush();
    EXPECT_EQ(dlg->log_view()->toPlainText(), "B\nA\n");
}

TEST_F(Dialog, FileLogAssemblesLinesFromTexts) {
    kvr_dated_log log(log_dir());
    env.dated_log = &log;
    make_dialog();
    click(kvr_idc_file_log);
    dlg->receive_text("A");
    dlg->receive_text("B\r\n");
    dlg->receive_text("C\r\nD\r\n");
    dlg->receive_text("E");
    click(kvr_idc_clear);  // the partial line is not the view's
    dlg->receive_text("F\r\n");

    const auto lines = read_lines(log.today_path());
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(record_text(lines[0]), "AB");
    EXPECT_EQ(record_text(lines[1]), "C");  // one record holding a line end
    EXPECT_EQ(lines[2], "D");
    EXPECT_EQ(record_text(lines[3]), "EF");
    EXPECT_EQ(lines[0].substr(4, 1), "/");
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
    dlg->log_view()->flush();
    EXPECT_EQ(dlg->log_view()->toPlainText(), "A\nB\n");  // the view goes on
}

TEST_F(Dialog, MonitorLinesArriveFromTheLinkThread) {
    make_dialog();
    std::thread io([&] {
        for (int i = 0; i < 100; ++i)
            link.post("line " + std::to_string(i) + "\r\n");
    });
    io.join();
    ASSERT_TRUE(pump_until([&] { return dlg->log_view()->line_count() == 100; }));
    EXPECT_TRUE(dlg->log_view()->toPlainText().startsWith("line 0\nline 1\n"));
}

// ---- connect cycle over the fake link ----

TEST_F(Dialog, PortsListedSortedWithStoredDeviceSelected) {
    kvr_ini(ini_path()).set_string("SETTING", "COMMPORT", "/dev/ttyUSB7");
    env.list_devices = [] { return std::vector<std::string>{"/dev/ttyACM0", "/dev/ttyUSB7"}; };
    make_dialog();
    auto* box = dlg->control_as<QComboBox>(kvr_idc_port);
    QStringList items;
    for (int i = 0; i < box->count(); ++i)
        items << box->itemText(i);
    EXPECT_EQ(items, (QStringList{"/dev/ttyACM0", "/dev/ttyUSB7", "COM1", "COM2", "COM3", "COM4", "SIM"}));
    EXPECT_EQ(box->currentText(), "/dev/ttyUSB7");
}

TEST_F(Dialog, StoredPortThatIsNoItemSelectsTheFirst) {
    for (const char* stored : {"com2", "COM5"}) {
        kvr_ini(ini_path()).set_string("SETTING", "COMMPORT", stored);
        make_dialog();
        EXPECT_EQ(dlg->control_as<QComboBox>(kvr_idc_port)->currentText(), "COM1") << stored;
    }
}

TEST_F(Dialog, FailedOpenKeepsButtonAndStoredPort) {
    kvr_ini(ini_path()).set_string("SETTING", "COMMPORT", "/nonexistent/tty");
    make_dialog();
    click(kvr_idc_connect);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].caption.rfind("fake_link(", 0), 0u);  // the raiser's source location
    EXPECT_EQ(text_of(kvr_idc_connect), "Connect Loconet↑");
    EXPECT_EQ(kvr_ini(ini_path()).get_string("SETTING", "COMMPORT", "-"), "/nonexistent/tty");
    EXPECT_FALSE(link.is_open());
}

TEST_F(Dialog, LostLinkIsShownOnceAndButtonReturns) {
    make_dialog();
    dlg->control_as<QComboBox>(kvr_idc_port)->setCurrentText("SIM");
    click(kvr_idc_connect);
    ASSERT_EQ(text_of(kvr_idc_connect), "Close Loconet↓");
    link.lose("device gone");
    ASSERT_TRUE(pump_until([&] { return !boxes.empty(); }));
    pump(50);
    EXPECT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, "device gone");
    EXPECT_EQ(text_of(kvr_idc_connect), "Connect Loconet↑");
    EXPECT_GE(link.closes, 1);
}

TEST_F(Dialog, CloseBoxRefusedWhileSwitchAddressIsInvalid) {
    make_dialog();
    type(kvr_idc_sw_adr, "0");
    prompts.clear();
    dlg->close();
    pump();
    EXPECT_TRUE(dlg->isVisible());
    EXPECT_EQ(prompts.size(), 1u);
    type(kvr_idc_sw_adr, "4");
    dlg->close();
    pump();
    EXPECT_FALSE(dlg->isVisible());
}

// ---- waiting operations: real command station over a silent link ----

class Waiting : public dialog_fixture {
protected:
    void SetUp() override {
        dialog_fixture::SetUp();
        env.make_station = nullptr;  // the real station, with the dialog's waiter
        env.timing.wait_unit_ms = 100;
        env.cancel_box_delay_ms = 100;
    }
};

TEST_F(Waiting, CancelEndsAReadThatGetsNoAnswer) {
    make_dialog();
    link.open("SIM");
    bool box_seen = false;
    bool second_read_started = false;
    int polls = 0;
    QTimer watcher;
    watcher.setInterval(10);
    QObject::connect(&watcher, &QTimer::timeout, [&] {
        ++polls;
        if (polls == 3) {
            // While waiting: the monitor goes on, a second operation is refused.
            link.post("during the wait\r\n");
            const std::size_t before = link.sent.size();
            dlg->control_as<QPushButton>(kvr_idc_read)->click();
            second_read_started = link.sent.size() != before;
        }
        if (QDialog* box = dlg->waiter().box()) {
            box_seen = true;
            QTest::keyClick(box, Qt::Key_Escape);
        }
    });
    watcher.start();
    const auto t0 = std::chrono::steady_clock::now();
    click(kvr_idc_read);
    const auto took = std::chrono::steady_clock::now() - t0;
    watcher.stop();

    EXPECT_TRUE(box_seen);
    EXPECT_FALSE(second_read_started);
    EXPECT_LT(took, std::chrono::seconds(2));
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_NE(boxes[0].text.find("CANCEL"), std::string::npos);
    EXPECT_FALSE(dlg->busy());
    dlg->log_view()->flush();
    EXPECT_TRUE(dlg->log_view()->toPlainText().contains("during the wait"));
    EXPECT_EQ(text_of(kvr_idc_value), "0");
}

TEST_F(Waiting, SliderMovesDuringAWaitAreSentAsTheLatestSpeed) {
    make_dialog();
    link.open("SIM");
    int polls = 0;
    QTimer mover;
    mover.setInterval(10);
    QObject::connect(&mover, &QTimer::timeout, [&] {
        ++polls;
        if (polls == 2)
            dlg->slider()->setValue(10);
        if (polls == 4)
            dlg->slider()->setValue(30);
        if (QDialog* box = dlg->waiter().box())
            QTest::keyClick(box, Qt::Key_Escape);
    });
    mover.start();
    click(kvr_idc_read);  // waits until cancelled
    // Then the latest speed goes out (and waits for a loco slot nobody
    // grants, until the mover cancels that too).
    ASSERT_TRUE(pump_until([&] { return text_of(kvr_idc_speed) == "30" && !dlg->busy(); }));
    mover.stop();
    EXPECT_EQ(dlg->fields().speed, 30);
    EXPECT_EQ(boxes.size(), 2u);  // the read's CANCEL, then the speed's
}

TEST_F(Waiting, LinkLostDuringAWaitIsReportedAfterIt) {
    make_dialog();
    dlg->control_as<QComboBox>(kvr_idc_port)->setCurrentText("SIM");
    click(kvr_idc_connect);
    int polls = 0;
    QTimer watcher;
    watcher.setInterval(10);
    QObject::connect(&watcher, &QTimer::timeout, [&] {
        if (++polls == 3)
            link.lose("device gone");
        if (polls == 6) {
            EXPECT_TRUE(boxes.empty());  // not while the read waits
        }
        if (QDialog* box = dlg->waiter().box())
            QTest::keyClick(box, Qt::Key_Escape);
    });
    watcher.start();
    click(kvr_idc_read);
    watcher.stop();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0].text, "device gone");
    EXPECT_NE(boxes[1].text.find("CANCEL"), std::string::npos);
    EXPECT_EQ(text_of(kvr_idc_connect), "Connect Loconet↑");
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
