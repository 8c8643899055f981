// The main dialog as a whole: layout, log view and file log, settings,
// lost link, Cancel of a waiting operation, and shutting down.

#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QTest>

#include <fstream>
#include <thread>

#include "foundation/kvr_file.h"
#include "foundation/kvr_ini.h"
#include "ui/kvr_dialog_template.h"
#include "ui/kvr_log_view.h"
#include "ui/kvr_qt_hooks.h"
#include "ui/kvr_speed_slider.h"
#include "ui_test_support.h"

class Dialog : public dialog_fixture {};

TEST_F(Dialog, ControlsSitAtTheirPlacesTheLogStretchesAndEnterOrEscapeKeepItOpen) {
    make_dialog();
    const kvr_dialog_units du(dlg->font());
    // The worked example: 9-point IPAGothic at 96 dpi has 6 x 12 pixel cells,
    // so 468 x 337 dialog units are 702 x 506 pixels, "Req SW" at 206,108
    // (34 x 27 units) sits at 309,162 and is 51 x 41 pixels.
    if (QFontInfo(dlg->font()).family() == "IPAGothic" && dlg->logicalDpiY() == 96) {
        EXPECT_EQ(dlg->size(), QSize(702, 506));
        EXPECT_EQ(dlg->control(kvr_idc_req_sw)->geometry(), QRect(309, 162, 51, 41));
    } else {
        ADD_FAILURE() << "the dialog font IPAGothic (fonts-ipafont-gothic) at 96 dpi is needed for this check";
    }
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

// A window smaller than designed takes the room from the monitor first,
// down to a few lines; smaller still (a small screen at a large scale), the
// whole page scrolls. The minimum size shows every control.
TEST_F(Dialog, SmallWindowsShrinkTheMonitorFirstThenScroll) {
    make_dialog();
    const QSize designed = dlg->size();
    const QRect log = dlg->control(kvr_idc_log)->geometry();
    QWidget* page = dlg->control(kvr_idc_connect)->parentWidget();
    auto* scroll = dlg->findChild<QScrollArea*>();
    ASSERT_NE(scroll, nullptr);
    const auto all_controls_inside = [&](const QRect& area) {
        for (QWidget* w : page->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly))
            if (!area.contains(w->geometry()))
                return w->objectName().toStdString() + " outside";
        return std::string();
    };
    const auto bars = [&] {
        return scroll->horizontalScrollBar()->isVisible() || scroll->verticalScrollBar()->isVisible();
    };

    dlg->resize(designed.width(), designed.height() - 100);
    pump();
    EXPECT_EQ(dlg->control(kvr_idc_log)->height(), log.height() - 100 + designed.height() - 1 - log.bottom());
    EXPECT_FALSE(bars());

    const QSize min = dlg->minimumSize();
    EXPECT_LT(min.height(), designed.height());
    dlg->resize(min);
    pump();
    EXPECT_EQ(dlg->size(), min);
    EXPECT_FALSE(bars());
    EXPECT_EQ(all_controls_inside(QRect(QPoint(0, 0), min)), "");
    EXPECT_GE(dlg->control(kvr_idc_log)->height(), 3 * dlg->fontMetrics().height());

    // As on a screen smaller than that minimum.
    dlg->setMinimumSize(0, 0);
    dlg->resize(min.width() / 2, min.height() / 2);
    pump();
    EXPECT_TRUE(scroll->horizontalScrollBar()->isVisible());
    EXPECT_TRUE(scroll->verticalScrollBar()->isVisible());
    EXPECT_EQ(all_controls_inside(page->rect()), "");
    scroll->verticalScrollBar()->setValue(scroll->verticalScrollBar()->maximum());
    pump();
    const QRect log_now = dlg->control(kvr_idc_log)->geometry();
    EXPECT_TRUE(scroll->viewport()->rect().contains(QRect(page->mapTo(scroll->viewport(), log_now.topLeft()), QSize(1, log_now.height()))))
        << "the monitor cannot be scrolled into sight";
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
    std::ofstream(log_dir() + "/plain") << "a file, so no folder can be made below it";
    kvr_dated_log log(log_dir() + "/plain/folder");
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

TEST_F(Waiting, SliderMovesDuringAWaitAreSentAsTheLatestSpeed) {
    loco_keeper keeper;
    keeper.put(1, 3, 0x33, 11);  // loco 3 in use at step 10
    link.on_send = [&](const kvr_loconet_msg& m) { keeper.answer(link, m); };
    make_dialog();
    link.open("SIM");
    QTest::keyClick(dlg->control(kvr_idc_loco_adr), Qt::Key_Return);
    pump(20);
    // The read waits until cancelled; then the latest position goes out.
    click_while(
        kvr_idc_read,
        [&](int polls) {
            if (polls == 2 || polls == 4)
                dlg->slider()->setValue(polls == 2 ? 20 : 30);
        },
        // Until the latest position is out: on a loaded machine the cancel
        // may end the read between the two moves, and the first one's speed
        // goes out before the second's.
        [&] { return !link.sent.empty() && link.sent.back() == kvr_loconet_msg::with_checksum({0xA0, 0x01, 31}) && !dlg->busy(); });
    EXPECT_EQ(dlg->fields().speed, 30);
    EXPECT_EQ(link.sent.back(), kvr_loconet_msg::with_checksum({0xA0, 0x01, 31}));
    EXPECT_TRUE(boxes.empty()) << "the cancel the user asked for needs no box";
    // The window hands its loco back when it goes, after this test's keeper.
    link.on_send = {};
}

// Closing the window ends a waiting operation, before the Cancel box shows
// and while it is up, with no report of the cancel the user asked for.
TEST_F(Waiting, ClosingWhileAnOperationWaitsEndsItAndTheWindow) {
    for (bool with_box : {false, true}) {
        boxes.clear();
        make_dialog();
        link.open("SIM");
        QTimer closer;
        QObject::connect(&closer, &QTimer::timeout, dlg.get(), [&] {
            if (!with_box || dlg->waiter().box())
                dlg->close();
        });
        closer.start(10);
        click(kvr_idc_read);
        ASSERT_TRUE(pump_until([&] { return !dlg->isVisible(); }, 20000)) << with_box;
        EXPECT_FALSE(link.is_open());
        EXPECT_TRUE(boxes.empty()) << boxes.front().text;
        EXPECT_EQ(dlg->waiter().box(), nullptr);
    }
}

// A link lost while an operation waits (an adapter unplugged during a CV
// read) ends the wait at once, before and after the Cancel box shows: the
// box goes, and the link's report is the one report shown, not the cancel's
// as well.
TEST_F(Waiting, ALostLinkEndsTheWaitWithTheLinksReportAlone) {
    for (bool with_box : {false, true}) {
        boxes.clear();
        dlg.reset();  // the window of the last round lets go of the link first
        make_dialog();
        connect_sim();
        QTimer unplug;
        QObject::connect(&unplug, &QTimer::timeout, dlg.get(), [&] {
            if (link.is_open() && (!with_box || dlg->waiter().box()))
                link.lose("(/dev/ttyUSB0) unplugged");
        });
        unplug.start(10);
        click(kvr_idc_read);
        ASSERT_TRUE(pump_until([&] { return !dlg->busy() && !boxes.empty(); })) << with_box;
        pump(100);
        EXPECT_EQ(dlg->waiter().box(), nullptr) << with_box;
        ASSERT_EQ(boxes.size(), 1u) << with_box << boxes.back().text;
        EXPECT_EQ(boxes[0].text, "(/dev/ttyUSB0) unplugged");
        EXPECT_EQ(text_of(kvr_idc_connect), "Connect Loconet↑");
    }
}

// Cancel, Escape and the Cancel box's title-bar button end a wait alike;
// while the box is up, clicks on the window do nothing, a second operation
// is refused and the monitor goes on.
TEST_F(Waiting, EveryWayOutOfTheCancelBoxEndsTheWait) {
    make_dialog();
    link.open("SIM");
    type(kvr_idc_value, "7");
    const std::function<void(QDialog*)> ways[] = {
        [](QDialog* box) { box->findChild<QPushButton*>()->click(); },
        [](QDialog* box) { QTest::keyClick(box, Qt::Key_Escape); },
        [](QDialog* box) { box->close(); },
    };
    for (const auto& way : ways) {
        boxes.clear();
        QTimer timer;
        QObject::connect(&timer, &QTimer::timeout, dlg.get(), [&] {
            if (QDialog* box = dlg->waiter().box()) {
                QTest::mouseClick(dlg->control(kvr_idc_power_on), Qt::LeftButton);
                dlg->control_as<QPushButton>(kvr_idc_read)->click();
                link.post("during the wait\r\n");
                way(box);
            }
        });
        timer.start(10);
        const int notes = log_text().count("Cancelled: reading CV");
        click(kvr_idc_read);
        // The cancel the user asked for opens no box: the monitor notes it.
        ASSERT_TRUE(pump_until([&] { return log_text().count("Cancelled: reading CV") > notes; }, 20000));
        EXPECT_TRUE(boxes.empty()) << boxes[0].text;
        EXPECT_FALSE(dlg->busy());
        EXPECT_EQ(text_of(kvr_idc_value), "7");  // a cancelled read leaves the value alone
    }
    EXPECT_EQ(link.sent.size(), 3u);  // one request per read; Power On and the second Read never went out
    EXPECT_TRUE(log_text().contains("during the wait"));
}

// A click on the window while the box is up moves the focus there; Escape
// pressed then still ends the wait. Should it not, the box's Cancel ends the
// wait after a while so that the test fails rather than hangs.
TEST_F(Waiting, EscapeWhereTheFocusWentEndsTheWait) {
    make_dialog();
    link.open("SIM");
    int escapes = 0;
    bool fell_back = false;
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, dlg.get(), [&] {
        QDialog* box = dlg->waiter().box();
        if (!box)
            return;
        if (++escapes <= 20) {
            QTest::keyClick(dlg->control(kvr_idc_power_on), Qt::Key_Escape);
        } else {
            fell_back = true;
            box->findChild<QPushButton*>()->click();
        }
    });
    timer.start(10);
    click(kvr_idc_read);
    ASSERT_TRUE(pump_until([&] { return log_text().contains("Cancelled: reading CV"); }, 20000));
    EXPECT_FALSE(fell_back) << "Escape on the window left the wait running";
    EXPECT_TRUE(boxes.empty()) << boxes[0].text;
    EXPECT_FALSE(dlg->busy());
}

// Report boxes belong to the main window: they open in front of it without
// holding its handlers, close with Escape, OK or their title-bar button, a
// repeated report raises the open box, and none outlives the window.
TEST_F(Dialog, ReportBoxesAreOwnedByTheWindowAndGoWithIt) {
    kvr_install_qt_hooks();
    kvr_ini(ini_path()).set_string("SETTING", "COMMPORT", "/nonexistent/tty");
    make_dialog();
    const auto open_boxes = [] {
        std::vector<QPointer<QMessageBox>> open;
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* box = qobject_cast<QMessageBox*>(w); box && box->isVisible())
                open.emplace_back(box);
        return open;
    };
    // A box that held the click in its own loop would hang the test; close
    // such boxes so that the checks below fail instead.
    QTimer breaker;
    QObject::connect(&breaker, &QTimer::timeout, [&] {
        for (auto& box : open_boxes())
            box->reject();
    });
    breaker.start(30000);

    const std::function<void(QMessageBox*)> ways[] = {
        [](QMessageBox* box) { QTest::keyClick(box, Qt::Key_Escape); },
        [](QMessageBox* box) { box->button(QMessageBox::Ok)->click(); },
        [](QMessageBox* box) { box->close(); },
    };
    for (const auto& way : ways) {
        click(kvr_idc_connect);
        click(kvr_idc_connect);  // the same failure again
        const auto open = open_boxes();
        ASSERT_EQ(open.size(), 1u);
        EXPECT_EQ(open[0]->parentWidget(), dlg.get());
        EXPECT_TRUE(open[0]->text().contains("/nonexistent/tty"));
        way(open[0]);
        pump();
        EXPECT_TRUE(open_boxes().empty());
    }
    click(kvr_idc_connect);
    const auto open = open_boxes();
    ASSERT_EQ(open.size(), 1u);
    dlg->close();
    dlg.reset();
    pump();
    EXPECT_TRUE(open[0].isNull());
    kvr_set_tone_hook({});
}

// Tab leaves the log view without typing into it, and enters a radio group
// at its checked button, so Space there changes nothing.
TEST_F(Dialog, TabMovesOutOfTheLogAndIntoARadioGroupAtItsCheckedButton) {
    make_dialog();
    dlg->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(dlg.get()));
    dlg->receive_text("A\r\n");
    dlg->log_view()->setFocus();
    QTest::keyClick(dlg->log_view(), Qt::Key_Tab);
    EXPECT_NE(dlg->focusWidget(), dlg->log_view());
    EXPECT_EQ(log_text(), "A\n");

    type(kvr_idc_sw_adr, "10");  // decoder 3, output "2t"
    dlg->control(kvr_idc_dec_adr)->setFocus();
    QTest::keyClick(dlg->focusWidget(), Qt::Key_Tab);
    EXPECT_EQ(dlg->focusWidget(), dlg->control(kvr_idc_out_1t + 2));
    QTest::keyClick(dlg->focusWidget(), Qt::Key_Space);
    QTest::keyClick(dlg->focusWidget(), Qt::Key_Tab);  // on past the group
    QTest::keyClick(dlg->focusWidget(), Qt::Key_Space);
    EXPECT_EQ(text_of(kvr_idc_sw_adr), "10");
    EXPECT_FALSE(dlg->control(kvr_idc_out_1t)->hasFocus());
}

// Messages arrive as the I/O thread hands them over: bytes framed by the link.
TEST_F(Dialog, DecodeEveryMessageIsRememberedAndLeavesTheDatedLogAsItIs) {
    kvr_dated_log log(log_dir());
    env.dated_log = &log;
    kvr_ini(ini_path()).set_int("SETTING", "DECODEALL", 1);
    make_dialog();
    EXPECT_TRUE(dlg->decode_all());
    click(kvr_idc_file_log);
    const uint8_t f9f12_gpon[] = {0xA3, 0x01, 0x05, 0x58, 0x83, 0x7C};
    std::thread([&] { link.receive_bytes(f9f12_gpon, sizeof f9f12_gpon); }).join();
    ASSERT_TRUE(pump_until([&] { return dlg->log_view()->line_count() == 2; }));
    dlg->set_decode_all(false);
    EXPECT_EQ(kvr_ini(ini_path()).get_int("SETTING", "DECODEALL", 1), 0u);
    std::thread([&] { link.receive_bytes(f9f12_gpon, sizeof f9f12_gpon); }).join();
    ASSERT_TRUE(pump_until([&] { return dlg->log_view()->line_count() == 4; }));
    EXPECT_EQ(log_text(), "OPC_LOCO_F9F12  :SLOT#[1] F9-12(1010) F9 F11 on\nOPC_GPON:\n\nOPC_GPON:\n");
    dlg->log_view()->set_show_hex(true);
    EXPECT_EQ(log_text().split('\n').at(1), "OPC_GPON: | 83 7C");

    std::ifstream in(log.today_path());
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(line.substr(std::min<size_t>(20, line.size())));
    EXPECT_EQ(lines, (std::vector<std::string>{"", "OPC_GPON:", "", "OPC_GPON:"}));
}

TEST_F(Dialog, RecordsEveryMessageReceivedAsACaptureFile) {
    make_dialog();
    const std::string path = dir.filePath("rec.txt").toStdString();
    std::string error;
    EXPECT_FALSE(dlg->start_recording(dir.filePath("no/such/rec.txt").toStdString(), &error));
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(dlg->recording());
    ASSERT_TRUE(dlg->start_recording(path, &error)) << error;
    const uint8_t bytes[] = {0xB0, 0x0A, 0x30, 0x75, 0x83, 0x7C};
    std::thread([&] { link.receive_bytes(bytes, sizeof bytes); }).join();
    ASSERT_TRUE(pump_until([&] { return dlg->log_view()->line_count() == 2; }));
    dlg->receive_text("a text without a message\r\n");  // not a message: not recorded
    EXPECT_TRUE(dlg->stop_recording());
    std::thread([&] { link.receive_bytes(bytes, 2); }).join();  // after the stop: not recorded

    kvr_capture_reader reader;
    ASSERT_TRUE(reader.open(path));
    std::vector<std::string> got;
    kvr_capture_entry entry;
    const char* reason = "";
    while (reader.next(entry, reason) == kvr_capture_reader::item::message)
        got.push_back(kvr_capture_line(entry.time, entry.msg).substr(kvr_capture_line(entry.time, entry.msg).find(")") + 1));
    EXPECT_EQ(got, (std::vector<std::string>{" B0 0A 30 75", " 83 7C"}));
}
