// The functions window, the stops and the fast-clock setter, offscreen, over
// the fake link with the real command station: what reaches the link, what
// the windows show, and the notice while the link is closed.

#include <fstream>
#include <iterator>

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QPushButton>
#include <QSpinBox>
#include <QTest>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPalette>

#include "foundation/kvr_file.h"
#include "foundation/kvr_ini.h"
#include "loconet/kvr_dcc_packet.h"
#include "loconet/kvr_monitor.h"
#include "ui/kvr_clock_wnd.h"
#include "ui/kvr_dialog_template.h"
#include "ui/kvr_functions_wnd.h"
#include "ui/kvr_log_view.h"
#include "ui/kvr_speed_slider.h"
#include "ui_test_support.h"

namespace {

using strings = std::vector<std::string>;

kvr_loconet_msg msg(std::initializer_list<uint8_t> b) { return kvr_loconet_msg::with_checksum(b); }

class FunctionsWindow : public dialog_fixture {
protected:
    void SetUp() override {
        dialog_fixture::SetUp();
        env.make_station = nullptr;  // the real station over the fake link
        link.on_send = [this](const kvr_loconet_msg& m) {
            keeper.answer(link, m);
            // LocoNet PE: the command station takes an immediate packet, B4 6D 7F.
            if (m.opcode() != OPC_IMM_PACKET) return;
            const kvr_loconet_msg ack = kvr_proto::long_ack(OPC_IMM_PACKET, packet_answer);
            link.receive_bytes(ack.data(), static_cast<std::size_t>(ack.length()));
        };
    }
    uint8_t packet_answer = 0x7F;
    // Loco 3 in slot 5, in use by this program: F1 on, F6 on; entered in
    // the throttle, which reads it.
    void open_with_loco3() {
        keeper.put(5, 3, 0x37, 0, 0x01, 0x0100, 0x02);
        make_dialog();
        link.open("SIM");
        type(kvr_idc_loco_adr, "3");
        QTest::keyClick(dlg->control(kvr_idc_loco_adr), Qt::Key_Return);
        pump(30);
    }
    loco_keeper keeper;
    // A message from the bus, as the receive thread files and posts it.
    // The window drains on its timer: wait until the bus state took the
    // message (a loaded machine can take longer than one short pump).
    void hear(const kvr_loconet_msg& m) {
        const uint64_t before = dlg->bus_state().version();
        link.receive_bytes(m.data(), static_cast<std::size_t>(m.length()));
        pump_until([&] { return dlg->bus_state().version() != before; }, 5000);
        pump(10);
    }
    QAction* action(const QKeySequence& key) {
        for (QAction* a : dlg->actions())
            if (a->shortcut() == key) return a;
        ADD_FAILURE() << key.toString().toStdString();
        return nullptr;
    }
    kvr_functions_wnd* open_functions() {
        action(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_F))->trigger();
        pump();
        return dlg->functions_window();
    }
    strings sent_since(std::size_t from) const {
        strings out;
        for (std::size_t i = from; i < link.sent.size(); ++i) out.push_back(hex(link.sent[i]));
        return out;
    }
};

TEST_F(FunctionsWindow, ClosedLinkSaysConnectAndSendsNothing) {
    make_dialog();
    kvr_functions_wnd* w = open_functions();
    ASSERT_NE(w, nullptr);
    EXPECT_TRUE(w->isVisible());
    EXPECT_EQ(w->parentWidget(), dlg.get());
    for (unsigned n : {12u, 0u}) {
        boxes.clear();
        w->function_button(n)->click();
        pump();
        ASSERT_EQ(boxes.size(), 1u) << n;
        EXPECT_EQ(boxes[0].text, kvr_txt_not_connected);
        EXPECT_FALSE(w->function_button(n)->isChecked()) << n;
    }
    boxes.clear();
    w->stop_button()->click();
    bool asked = false;
    dlg->set_confirm([&](const QString&) { return asked = true; });
    action(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Space))->trigger();
    action(QKeySequence(Qt::CTRL | Qt::Key_K))->trigger();
    dlg->clock_window()->set_button()->click();
    pump();
    EXPECT_EQ(boxes.size(), 3u);
    EXPECT_FALSE(asked) << "nothing to confirm while nothing can be sent";
    EXPECT_TRUE(link.sent.empty());
}

// LocoNet PE: B4 6D 00, the command station's packet buffer is full. After
// the last try the window reports it and shows the function as it is.
TEST_F(FunctionsWindow, AFunctionWhosePacketBufferStaysFullIsReportedAndShownOff) {
    open_with_loco3();
    kvr_functions_wnd* w = open_functions();
    packet_answer = 0x00;
    const std::size_t from = link.sent.size();
    boxes.clear();
    w->function_button(12)->click();
    ASSERT_TRUE(pump_until([&] { return !boxes.empty(); }));
    EXPECT_NE(boxes[0].text.find("packet buffer stayed full"), std::string::npos) << boxes[0].text;
    EXPECT_EQ(sent_since(from).size(), 3u);
    EXPECT_EQ(dlg->bus_state().functions(3) & 1u << 12, 0u);
    EXPECT_FALSE(w->function_button(12)->isChecked());
}

// F9-F28 known on one layout say nothing of the next: F13 of loco 3, seen
// on the bus, is off once the link is closed and stays off on the next.
TEST_F(FunctionsWindow, HighFunctionsSeenOnOneLayoutDoNotCarryToTheNext) {
    make_dialog();
    connect_sim();
    type(kvr_idc_loco_adr, "3");
    kvr_functions_wnd* w = open_functions();
    // Another throttle's F13-F20 packet for loco 3, F13 on (NMRA S-9.2.1).
    hear(kvr_dcc::imm_packet_message(kvr_dcc::encode_function({3, kvr_dcc::fn_group::f13_f20, 0x01}), 0));
    ASSERT_TRUE(w->function_button(13)->isChecked());
    click(kvr_idc_connect);  // Close
    EXPECT_EQ(dlg->bus_state().functions(3), 0u);
    EXPECT_FALSE(w->function_button(13)->isChecked());
    connect_sim();
    pump();
    EXPECT_FALSE(w->function_button(13)->isChecked());
    EXPECT_EQ(dlg->bus_state().functions(3) & 1u << 13, 0u);
}

// NMRA S-9.2.1 in OPC_IMM_PACKET (LocoNet PE); checksums worked by hand.
TEST_F(FunctionsWindow, HighFunctionsGoAsPacketsAndMomentaryOnesOnlyWhileHeld) {
    open_with_loco3();
    kvr_functions_wnd* w = open_functions();
    EXPECT_EQ(w->states(), 1u << 1 | 1u << 6) << "F0-F8 as the dialog's boxes show them";
    EXPECT_EQ(w->windowTitle(), "Functions of loco 3");

    std::size_t from = link.sent.size();
    w->function_button(12)->click();
    pump();
    EXPECT_EQ(sent_since(from), (strings{"ED 0B 7F 24 02 03 28 00 00 00 6B"}));
    EXPECT_TRUE(w->function_button(12)->isChecked());
    EXPECT_TRUE(dlg->bus_state().functions(3) & 1u << 12);

    // Right-click marks F13 momentary: on while pressed, off when let go.
    emit w->function_button(13)->customContextMenuRequested({});
    EXPECT_TRUE(w->momentary(13));
    from = link.sent.size();
    QTest::mousePress(w->function_button(13), Qt::LeftButton);
    pump();
    QTest::mouseRelease(w->function_button(13), Qt::LeftButton);
    pump();
    EXPECT_EQ(sent_since(from), (strings{"ED 0B 7F 34 02 03 5E 01 00 00 0C", "ED 0B 7F 34 02 03 5E 00 00 00 0D"}));
    EXPECT_FALSE(w->function_button(13)->isChecked());

    // Another throttle's packet on the bus shows: F21 and F28 of loco 3.
    hear(kvr_dcc::imm_packet_message(kvr_dcc::encode_function({3, kvr_dcc::fn_group::f21_f28, 0x81}), 0));
    EXPECT_TRUE(w->function_button(21)->isChecked());
    EXPECT_TRUE(w->function_button(28)->isChecked());
    EXPECT_TRUE(w->function_button(12)->isChecked());

    // Another loco typed: its own functions, none kept yet.
    type(kvr_idc_loco_adr, "4");
    EXPECT_EQ(w->windowTitle(), "Functions of loco 4");
    EXPECT_FALSE(w->function_button(12)->isChecked());
}

// The monitor has no line for F9-F28 (PROTOCOL-FACTS: OPC_LOCO_F9F12 and the
// immediate packet of DCC function group F9-F12): the window's own message
// still shows a line naming the function, in the view and the dated log
// alike; the same bytes from another node, when none of ours is awaited,
// keep the monitor's (empty) line.
TEST_F(FunctionsWindow, TheWindowsOwnFunctionMessagesShowALine) {
    kvr_dated_log log(log_dir());
    env.dated_log = &log;
    open_with_loco3();
    click(kvr_idc_file_log);
    // The adapter echoes what it sends (PROTOCOL-FACTS): the echo comes back
    // before the command station's answer.
    auto answer = link.on_send;
    link.on_send = [this, answer](const kvr_loconet_msg& m) {
        link.receive_bytes(m.data(), static_cast<std::size_t>(m.length()));
        answer(m);
    };
    kvr_functions_wnd* w = open_functions();
    const std::size_t from = link.sent.size();
    w->function_button(12)->click();
    pump();
    ASSERT_EQ(sent_since(from), (strings{"ED 0B 7F 24 02 03 28 00 00 00 6B"}));
    const kvr_loconet_msg f12 = link.sent[from];
    ASSERT_TRUE(kvr_monitor::to_text(f12).empty()) << "the normal monitor has no line for it";
    ASSERT_TRUE(pump_until([&] { return log_text().contains("F12"); }, 5000)) << log_text().toStdString();

    link.on_send = answer;
    const int lines = dlg->log_view()->line_count();
    link.receive_bytes(f12.data(), static_cast<std::size_t>(f12.length()));
    ASSERT_TRUE(pump_until([&] { return dlg->log_view()->line_count() > lines; }, 5000));
    EXPECT_TRUE(log_text().endsWith("\n\n")) << "another node's message keeps the monitor's line: "
                                             << log_text().toStdString();

    std::ifstream in(log.today_path());
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(text.find("F12"), std::string::npos) << "the dated log has the line the view shows: " << text;
}

TEST_F(FunctionsWindow, LowFunctionsFollowTheDialogsBoxesBothWays) {
    open_with_loco3();
    kvr_functions_wnd* w = open_functions();
    std::size_t from = link.sent.size();
    w->function_button(0)->click();  // F0 on: DIRF 01 -> 11
    pump();
    EXPECT_TRUE(checked(kvr_idc_f0));
    click(kvr_idc_f0 + 2);  // the dialog's F2: DIRF 13
    EXPECT_TRUE(w->function_button(2)->isChecked());
    EXPECT_EQ(sent_since(from), (strings{hex(msg({0xA1, 0x05, 0x11})), hex(msg({0xA1, 0x05, 0x13}))}));
}

TEST_F(FunctionsWindow, SendModeIsASettingAndOpcodesGoToTheSlot) {
    open_with_loco3();
    kvr_functions_wnd* w = open_functions();
    EXPECT_FALSE(w->send_mode_opcodes()) << "packets by default";
    w->send_mode_box()->setCurrentIndex(1);
    EXPECT_EQ(kvr_ini(ini_path()).get_string("SETTING", "FUNCSEND", ""), "opcodes");
    const std::size_t from = link.sent.size();
    w->function_button(10)->click();
    pump();
    EXPECT_EQ(sent_since(from), (strings{hex(msg({0xA3, 0x05, 0x02}))}));

    dlg.reset();
    make_dialog();
    EXPECT_TRUE(open_functions()->send_mode_opcodes()) << "remembered";
}

// LocoNet PE: speed 1 is one loco's emergency stop, OPC_IDLE everyone's.
// Stop all stops trains: it is its own confirmation.
TEST_F(FunctionsWindow, EmergencyStopAndStopAllAtOnce) {
    open_with_loco3();
    dlg->slider()->setValue(40);
    ASSERT_TRUE(pump_until([&] { return !link.sent.empty() && hex(link.sent.back()) == hex(msg({0xA0, 0x05, 41})); }));
    std::size_t from = link.sent.size();
    open_functions()->stop_button()->click();
    pump(50);
    EXPECT_EQ(sent_since(from), (strings{"A0 05 01 5B"}));
    EXPECT_EQ(dlg->slider()->value(), 0) << "the loco stands";
    EXPECT_EQ(text_of(kvr_idc_speed), "0");

    from = link.sent.size();
    std::vector<QString> questions;
    bool answer = false;
    dlg->set_confirm([&](const QString& q) { return questions.push_back(q), answer; });
    QAction* stop_all = action(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Space));
    stop_all->trigger();
    pump();
    EXPECT_TRUE(questions.empty());
    EXPECT_FALSE(answer);
    EXPECT_EQ(sent_since(from), (strings{"85 7A"}));
}

// The write carries what the monitor's FAST CLOCK line reads back.
TEST_F(FunctionsWindow, SetFastClockWritesTheSlot) {
    open_with_loco3();
    // The fast-clock slot as a command station answers a request for it:
    // day 2, 08:00 at rate 1, then whatever was written last.
    kvr_loconet_msg clock = msg({0xE7, 0x0E, 0x7B, 0x01, 0, 0, 0x43 + 0, 0x07, 0x68 + 8, 0x02, 0x40, 0, 0});
    QTimer answer;
    std::size_t answered = 0;
    QObject::connect(&answer, &QTimer::timeout, [&] {
        for (; answered < link.sent.size(); ++answered) {
            kvr_loconet_msg m = link.sent[answered];
            if (m[0] == 0xEF && m[2] == 0x7B) {
                m.set_opcode(0xE7);
                m.renew_checksum();
                clock = m;
            }
            if (hex(m) == "BB 7B 00 3F") link.receive_bytes(clock.data(), static_cast<std::size_t>(clock.length()));
        }
    });
    answer.start(5);
    action(QKeySequence(Qt::CTRL | Qt::Key_K))->trigger();
    kvr_clock_wnd* c = dlg->clock_window();
    ASSERT_NE(c, nullptr);
    c->time_box()->setText(QStringLiteral("14:30"));
    c->rate_box()->setValue(4);
    const std::size_t from = link.sent.size();
    c->set_button()->click();
    ASSERT_TRUE(pump_until([&] { return link.sent.size() >= from + 3 && !dlg->busy(); }));
    const strings sent = sent_since(from);
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent[0], "BB 7B 00 3F");
    EXPECT_EQ(sent[2], "BB 7B 00 3F");
    EXPECT_NE(kvr_monitor::to_text(link.sent[from + 1]).find("rate(4:1) days( 2) hrs24(14) min(30)"), std::string::npos)
        << kvr_monitor::to_text(link.sent[from + 1]);
    EXPECT_TRUE(boxes.empty());
}

}  // namespace

namespace {

// The fast-clock slot (LocoNet PE, slot 123): E7 0E 7B CLK_RATE FRAC_MINSL
// FRAC_MINSH MINS TRK HRS DAYS CLK_CNTRL ID1 ID2. Stop and Run write the
// time and the minute's counter back as read, so a running clock does not
// jump back to the time box; the box takes "06:30" as typed over all of it;
// a station that never answers for slot 123 ends the wait with plain words.
TEST_F(FunctionsWindow, ClockRunAndStopKeepTheTimeAndASilentStationIsSaidPlainly) {
    open_with_loco3();
    const kvr_proto::clock_bytes t = kvr_proto::encode_clock_time({10, 17});
    kvr_loconet_msg clock = msg({0xE7, 0x0E, 0x7B, 0x04, 0x11, 0x22, t.mins, 0x07, t.hrs, 0x02, 0x40, 0, 0});
    bool answering = true;
    QTimer answer;
    std::size_t answered = 0;
    QObject::connect(&answer, &QTimer::timeout, [&] {
        for (; answered < link.sent.size(); ++answered) {
            kvr_loconet_msg m = link.sent[answered];
            if (m[0] == 0xEF && m[2] == 0x7B) {
                m.set_opcode(0xE7);
                m.renew_checksum();
                clock = m;
            }
            if (answering && hex(m) == "BB 7B 00 3F")
                link.receive_bytes(clock.data(), static_cast<std::size_t>(clock.length()));
        }
    });
    answer.start(5);
    action(QKeySequence(Qt::CTRL | Qt::Key_K))->trigger();
    kvr_clock_wnd* c = dlg->clock_window();
    ASSERT_NE(c, nullptr);
    c->time_box()->setText(QStringLiteral("23:59"));  // must not reach the bus
    const auto last_write = [&] {
        for (std::size_t i = link.sent.size(); i-- > 0;)
            if (link.sent[i][0] == 0xEF) return link.sent[i];
        return kvr_loconet_msg{};
    };
    for (const bool run : {false, true}) {
        SCOPED_TRACE(run ? "Run" : "Stop");
        boxes.clear();
        (run ? c->start_button() : c->stop_button())->click();
        ASSERT_TRUE(pump_until([&] { return !dlg->busy(); }));
        const kvr_loconet_msg w = last_write();
        ASSERT_EQ(w[0], 0xEF);
        EXPECT_EQ(w[3], run ? 1 : 0) << "rate";  // the box's rate, 1
        EXPECT_EQ(w[4], 0x11);
        EXPECT_EQ(w[5], 0x22);
        EXPECT_EQ(w[6], t.mins);
        EXPECT_EQ(w[8], t.hrs);
        EXPECT_TRUE(boxes.empty()) << boxes[0].text;
    }

    c->time_box()->setFocus();
    QTest::keyClick(c->time_box(), Qt::Key_A, Qt::ControlModifier);
    QTest::keyClicks(c->time_box(), QStringLiteral("06:30"));
    const std::optional<kvr_clock_setting> typed = c->setting();
    ASSERT_TRUE(typed.has_value()) << c->time_box()->text().toStdString();
    EXPECT_EQ(typed->hour, 6);
    EXPECT_EQ(typed->minute, 30);
    for (const char* bad : {"24:00", "6:75", "noon"})
        EXPECT_FALSE(kvr_clock_wnd::parse_time(QString::fromLatin1(bad)).has_value()) << bad;

    answering = false;
    const std::size_t from = link.sent.size();
    boxes.clear();
    QElapsedTimer took;
    took.start();
    c->set_button()->click();
    ASSERT_TRUE(pump_until([&] { return !dlg->busy() && !boxes.empty(); }, 15000));
    EXPECT_LT(took.elapsed(), 15000);
    EXPECT_NE(boxes[0].text.find("did not answer for its fast clock"), std::string::npos) << boxes[0].text;
    for (std::size_t i = from; i < link.sent.size(); ++i) EXPECT_NE(link.sent[i][0], 0xEF) << "written unasked";
}

}  // namespace

namespace {

// A momentary mark is the loco's: the horn of loco 3 is no horn on loco 5,
// and loco 3 has it again in the next session.
TEST_F(FunctionsWindow, MomentaryMarksBelongToTheLocoAndAreRemembered) {
    open_with_loco3();
    kvr_functions_wnd* w = open_functions();
    emit w->function_button(13)->customContextMenuRequested({});
    ASSERT_TRUE(w->momentary(13));
    type(kvr_idc_loco_adr, "5");
    pump();
    EXPECT_EQ(w->windowTitle(), "Functions of loco 5");
    EXPECT_FALSE(w->momentary(13)) << "the mark carried over to loco 5";
    EXPECT_FALSE(w->function_button(13)->text().contains(QStringLiteral("•")));
    type(kvr_idc_loco_adr, "3");
    pump();
    EXPECT_TRUE(w->momentary(13));

    dlg.reset();
    make_dialog();
    w = open_functions();
    type(kvr_idc_loco_adr, "3");
    pump();
    EXPECT_TRUE(w->momentary(13)) << "not remembered";
    type(kvr_idc_loco_adr, "5");
    pump();
    EXPECT_FALSE(w->momentary(13));
}

// On is unmistakable: a function on is pressed and filled with a colour
// far from the window's own background, light theme or dark.
TEST_F(FunctionsWindow, AFunctionOnIsFilledInLightAndDarkThemes) {
    make_dialog();
    kvr_functions_wnd* w = open_functions();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(w));
    for (const bool dark : {false, true}) {
        SCOPED_TRACE(dark ? "dark" : "light");
        QPalette p = w->palette();
        p.setColor(QPalette::Window, dark ? QColor(0x20, 0x20, 0x20) : QColor(0xF0, 0xF0, 0xF0));
        p.setColor(QPalette::Button, dark ? QColor(0x30, 0x30, 0x30) : QColor(0xE8, 0xE8, 0xE8));
        p.setColor(QPalette::ButtonText, dark ? Qt::white : Qt::black);
        w->setPalette(p);
        w->set_states(1u << 2);
        pump();
        const QImage on = w->function_button(2)->grab().toImage();
        const QImage off = w->function_button(3)->grab().toImage();
        const QColor fill_on = on.pixelColor(on.width() / 5, on.height() / 2);
        const QColor fill_off = off.pixelColor(off.width() / 5, off.height() / 2);
        const auto distance = [](const QColor& a, const QColor& b) {
            return std::abs(a.red() - b.red()) + std::abs(a.green() - b.green()) + std::abs(a.blue() - b.blue());
        };
        EXPECT_GT(distance(fill_on, fill_off), 150) << fill_on.name().toStdString() << " vs "
                                                    << fill_off.name().toStdString();
        EXPECT_GT(fill_on.saturation(), 150) << "a colour, not a grey";
    }
}

}  // namespace
