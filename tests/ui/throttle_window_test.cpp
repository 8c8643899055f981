// The window's throttle controls, offscreen, over the fake link with a
// scripted command station: what reaches the link when the user drives a
// loco, what the controls show, and the stops while an operation waits.
// Slot layout, the NULL move, speed 1 as the emergency stop and OPC_IDLE:
// LocoNet PE opcode summary; function packets: NMRA S-9.2.1.

#include <QAction>
#include <QDialog>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include "ui/kvr_dialog_template.h"
#include "ui/kvr_functions_wnd.h"
#include "ui/kvr_speed_slider.h"
#include "ui_test_support.h"

namespace {

using strings = std::vector<std::string>;

std::string w(std::initializer_list<uint8_t> b) { return hex(kvr_loconet_msg::with_checksum(b)); }

class ThrottleWindow : public dialog_fixture {
protected:
    void SetUp() override {
        dialog_fixture::SetUp();
        link.on_send = [this](const kvr_loconet_msg& m) { keeper.answer(link, m); };
    }
    void open() {
        make_dialog();
        dlg->set_confirm([this](const QString& q) {
            questions.push_back(q);
            return answer;
        });
        connect_sim();
        mark();
    }
    void mark() { from = link.sent.size(); }
    strings sent() const {
        strings out;
        for (std::size_t i = from; i < link.sent.size(); ++i) out.push_back(hex(link.sent[i]));
        return out;
    }
    void enter_loco(const char* address) {
        type(kvr_idc_loco_adr, address);
        QTest::keyClick(dlg->control(kvr_idc_loco_adr), Qt::Key_Return);
        pump(20);
    }
    QAction* action(const QKeySequence& key) {
        for (QAction* a : dlg->actions())
            if (a->shortcut() == key) return a;
        ADD_FAILURE() << key.toString().toStdString();
        return nullptr;
    }

    loco_keeper keeper;
    std::size_t from = 0;
    std::vector<QString> questions;
    bool answer = false;
};

// Why it matters: another throttle left loco 5 running in reverse at speed
// 31; the screen still showed the last loco. Typing 5 and nudging the slider
// once reversed and stopped it. Now the nudge reads the loco and shows it,
// and the next move sends the speed alone.
TEST_F(ThrottleWindow, ATypedLocoIsReadAndShownBeforeAnythingIsSent) {
    keeper.put(2, 5, 0x13, 31, 0x20);
    open();
    type(kvr_idc_loco_adr, "5");
    dlg->slider()->setValue(3);
    ASSERT_TRUE(pump_until([&] { return text_of(kvr_idc_speed) == "30"; }));
    pump(30);
    EXPECT_EQ(sent(), (strings{"BF 00 05 45", "BA 02 02 45"}));
    EXPECT_TRUE(checked(kvr_idc_rev));
    EXPECT_EQ(dlg->slider()->value(), 30);

    mark();
    dlg->slider()->setValue(31);
    ASSERT_TRUE(pump_until([&] { return !sent().empty(); }));
    pump(30);
    EXPECT_EQ(sent(), strings{w({0xA0, 0x02, 32})});

    // Close and connect again: the first move reads the loco afresh and
    // sends nothing else, whatever the screen held.
    click(kvr_idc_connect);
    keeper.locos[2][6] = 0x00;  // meanwhile another throttle turned it forward
    keeper.locos[2].renew_checksum();
    connect_sim();
    mark();
    dlg->slider()->setValue(10);
    ASSERT_TRUE(pump_until([&] { return checked(kvr_idc_fwd); }));
    pump(30);
    for (const std::string& m : sent()) EXPECT_TRUE(m.rfind("A0", 0) != 0 && m.rfind("A1", 0) != 0 && m.rfind("EF", 0) != 0) << m;
}

// Connect, and the loco in the address box is read (OPC_LOCO_ADR, nothing
// else) and shown as its slot says before any control is touched: a restart
// or another layout must not show the last session's direction. Close hands
// the loco driven back (status common, speed kept).
TEST_F(ThrottleWindow, ConnectReadsTheEnteredLocoAndCloseHandsItBack) {
    keeper.put(2, 5, 0x13, 31, 0x00);  // common, 128 steps, speed 31, forward
    make_dialog();
    type(kvr_idc_loco_adr, "5");
    ASSERT_TRUE(checked(kvr_idc_rev));  // a fresh window's default
    connect_sim();
    ASSERT_TRUE(pump_until([&] { return checked(kvr_idc_fwd); }));
    EXPECT_EQ(text_of(kvr_idc_speed), "30");
    EXPECT_EQ(sent(), strings{"BF 00 05 45"});

    dlg->slider()->setValue(31);  // the first control takes the loco, sends nothing more
    pump(30);
    dlg->slider()->setValue(32);
    ASSERT_TRUE(pump_until([&] { return sent().size() >= 4; }));
    mark();
    click(kvr_idc_connect);
    ASSERT_FALSE(sent().empty());
    EXPECT_EQ(sent().back().substr(0, 6), "B5 02 ") << "the loco handed back at Close";

    // The same when the program ends with the loco driven.
    connect_sim();
    dlg->slider()->setValue(20);
    pump(30);
    dlg->slider()->setValue(21);
    ASSERT_TRUE(pump_until([&] { return !sent().empty() && sent().back().rfind("A0", 0) == 0; }));
    mark();
    dlg->close();
    pump(30);
    ASSERT_FALSE(sent().empty());
    EXPECT_EQ(sent().back().substr(0, 6), "B5 02 ") << "the loco handed back when the window closed";
}

// One step from standstill is the slowest speed, never the emergency stop;
// a speed typed into the box goes out on Enter.
TEST_F(ThrottleWindow, TheFirstStepIsASpeedAndTheSpeedBoxSendsOnEnter) {
    keeper.put(1, 3, 0x33);
    open();
    enter_loco("3");
    mark();
    dlg->slider()->setFocus();
    QTest::keyClick(dlg->slider(), Qt::Key_Right);
    ASSERT_TRUE(pump_until([&] { return !sent().empty(); }));
    EXPECT_EQ(sent(), strings{w({0xA0, 0x01, 0x02})});
    EXPECT_EQ(dlg->slider()->value(), 1);
    mark();
    type(kvr_idc_speed, "40");
    pump(30);
    EXPECT_TRUE(sent().empty()) << "typing moves the slider only";
    QTest::keyClick(dlg->control(kvr_idc_speed), Qt::Key_Return);
    pump(30);
    EXPECT_EQ(sent(), strings{w({0xA0, 0x01, 41})});
}

// The stop goes to the loco driven, not to an address typed but not
// entered; with none driven it says so and sends nothing. Stop all asks
// nothing.
TEST_F(ThrottleWindow, EmergencyStopGoesToTheLocoDrivenAndStopAllAtOnce) {
    keeper.put(6, 34, 0x33, 26);
    keeper.put(2, 5, 0x33, 10);
    open();
    action(QKeySequence(Qt::CTRL | Qt::Key_Space))->trigger();
    pump();
    EXPECT_TRUE(sent().empty());
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_NE(boxes[0].text.find("No loco is driven"), std::string::npos) << boxes[0].text;

    enter_loco("34");
    type(kvr_idc_loco_adr, "5");  // no Enter
    mark();
    action(QKeySequence(Qt::CTRL | Qt::Key_Space))->trigger();
    action(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Space))->trigger();
    pump();
    EXPECT_EQ(sent(), (strings{w({0xA0, 0x06, 0x01}), "85 7A"}));
    EXPECT_EQ(link.firsts.size(), 2u);
    EXPECT_TRUE(questions.empty());
}

// A loco another throttle holds is taken only after a question naming it
// and that throttle; the loco driven before is released.
TEST_F(ThrottleWindow, ALocoHeldElsewhereIsTakenOnlyWhenTheUserSaysSo) {
    keeper.put(1, 3, 0x03);
    keeper.put(3, 7, 0x33, 20, 0x02, 0x0205);
    open();
    enter_loco("3");
    mark();
    enter_loco("7");
    ASSERT_EQ(questions.size(), 1u);
    EXPECT_TRUE(questions[0].contains("Loco 7") && questions[0].contains("throttle 517")) << questions[0].toStdString();
    EXPECT_EQ(sent(), strings{"BF 00 07 47"});
    answer = true;
    mark();
    enter_loco("7");
    // Read, asked, read afresh; loco 3 released; the move, then the write of
    // our id with the speed and functions as read.
    const strings s = sent();
    ASSERT_GE(s.size(), 5u);
    EXPECT_EQ(s[0], "BF 00 07 47");
    EXPECT_EQ(s[1], "BF 00 07 47");
    EXPECT_EQ(s[2], "B5 01 13 58") << "loco 3 released: common, speed kept";
    EXPECT_EQ(s[3], "BA 03 03 45");
    EXPECT_EQ(s[4], w({0xEF, 0x0E, 0x03, 0x33, 0x07, 20, 0x02, 0x07, 0x00, 0x00, 0x00, 0x01, 0x00}));
    EXPECT_EQ(text_of(kvr_idc_speed), "19");
}

// F1 of the loco before never goes out with F0 of the next, and F9..F28
// known on one layout stay there.
TEST_F(ThrottleWindow, AFunctionClickSendsOnlyWhatItNamesForTheLocoShown) {
    keeper.put(1, 3, 0x33);
    keeper.put(9, 144, 0x33, 0, 0x24);  // reverse, F3
    open();
    enter_loco("3");
    click(kvr_idc_f0 + 1);
    enter_loco("144");
    EXPECT_FALSE(checked(kvr_idc_f0 + 1));
    EXPECT_TRUE(checked(kvr_idc_f0 + 3));
    mark();
    click(kvr_idc_f0);
    EXPECT_EQ(sent(), strings{w({0xA1, 0x09, 0x34})});

    // F13 on for loco 3 here; another layout: F14 alone goes with F13 off.
    enter_loco("3");
    dlg->show_functions();
    pump();
    dlg->functions_window()->function_button(13)->click();
    pump();
    click(kvr_idc_connect);
    connect_sim();
    enter_loco("3");
    mark();
    dlg->functions_window()->function_button(14)->click();
    pump();
    // Loco 3, F14 on (F13 off): 03 DE 02, 4 repeats.
    EXPECT_EQ(sent(), strings{w({0xED, 0x0B, 0x7F, 0x34, 0x02, 0x03, 0x5E, 0x02, 0x00, 0x00})});
}

// While an operation waits, the stops act at once, from any window, and a
// second press of the stop key never presses the Cancel box's button.
TEST_F(ThrottleWindow, StopsGoOutWhileAnOperationWaitsAndNeverAnswerTheCancelBox) {
    keeper.put(6, 34, 0x33, 26);
    open();
    enter_loco("34");
    type(kvr_idc_loco_adr, "9");  // nobody answers for loco 9: the read waits
    mark();
    bool stopped_in_wait = false, box_kept = false;
    QTimer timer;
    int step = 0;
    QObject::connect(&timer, &QTimer::timeout, [&] {
        QDialog* box = dlg->waiter().box();
        if (!box) return;
        QWidget* focus = box->focusWidget() ? box->focusWidget() : box;
        switch (step++) {
        case 0: QTest::keyClick(focus, Qt::Key_Space, Qt::ControlModifier); break;
        case 1: QTest::keyClick(focus, Qt::Key_Space, Qt::ControlModifier); break;
        case 2: QTest::keyClick(dlg.get(), Qt::Key_Space, Qt::ControlModifier | Qt::ShiftModifier); break;
        case 3: dlg->control_as<QPushButton>(kvr_idc_power_off)->click(); break;
        case 4:
            stopped_in_wait = dlg->busy();
            box_kept = dlg->waiter().box() != nullptr;
            QTest::keyClick(box, Qt::Key_Escape);
            break;
        default: break;
        }
    });
    timer.start(20);
    QTest::keyClick(dlg->control(kvr_idc_loco_adr), Qt::Key_Return);
    ASSERT_TRUE(pump_until([&] { return step > 4 && !dlg->busy(); }));
    EXPECT_TRUE(stopped_in_wait) << "the wait went on";
    EXPECT_TRUE(box_kept);
    const strings s = sent();
    const strings stops = {w({0xA0, 0x06, 0x01}), w({0xA0, 0x06, 0x01}), "85 7A", "82 7D"};
    strings got;
    for (const std::string& m : s)
        if (m.rfind("BF", 0) != 0) got.push_back(m);
    EXPECT_EQ(got, stops);
}

}  // namespace
