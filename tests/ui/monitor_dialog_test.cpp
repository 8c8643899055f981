// The window's view of the bus beyond the monitor lines: the track power on
// the power buttons, a message typed by hand, and the monitor's columns
// remembered.

#include <QAction>
#include <QPushButton>
#include <QTest>

#include <array>
#include <thread>

#include "foundation/kvr_ini.h"
#include "station/kvr_dccx_loconet.h"
#include "ui/kvr_dialog_template.h"
#include "ui/kvr_hand_entry.h"
#include "ui/kvr_log_view.h"
#include "ui_test_support.h"

namespace {

class BusView : public dialog_fixture {
protected:
    // As the I/O thread hands bytes over.
    void receive(std::vector<uint8_t> bytes) {
        std::thread([&] { link.receive_bytes(bytes.data(), bytes.size()); }).join();
    }
    QPushButton* power_button(int id) const { return dlg->control_as<QPushButton>(id); }
    // "on", "off" or "" by the buttons' looks; each button's tooltip too.
    std::string lamp() const {
        const bool on = power_button(kvr_idc_power_on)->isChecked();
        const bool off = power_button(kvr_idc_power_off)->isChecked();
        EXPECT_FALSE(on && off);
        return on ? "on" : off ? "off" : "";
    }
    std::string tip(int id) const { return power_button(id)->toolTip().toStdString(); }
};

// LocoNet PE opcode summary: OPC_SL_RD_DATA, TRK byte 7 bit 0 track power.
std::vector<uint8_t> slot_read_trk(uint8_t trk) {
    std::array<uint8_t, kvr_proto::slot_field_count> f{};
    f[kvr_proto::slot_trk - 3] = trk;
    const kvr_loconet_msg m = kvr_proto::slot_message(OPC_SL_RD_DATA, 5, f);
    return std::vector<uint8_t>(m.data(), m.data() + m.length());
}

TEST_F(BusView, PowerButtonsShowTrackPowerAsLastSeenAndForgetItOnClose) {
    make_dialog();
    EXPECT_EQ(lamp(), "");
    EXPECT_EQ(tip(kvr_idc_power_on), "Track power: unknown");
    connect_sim();
    receive({0x83, 0x7C});
    ASSERT_TRUE(pump_until([&] { return dlg->track_power() == kvr_power_state::on; }));
    EXPECT_EQ(lamp(), "on");
    EXPECT_EQ(tip(kvr_idc_power_off), "Track power: on");

    // A click asks; only the bus answers. No echo came, so the look stays.
    click(kvr_idc_power_off);
    EXPECT_EQ(calls(), (std::vector<std::string>{"shutdown(0)"}));
    EXPECT_EQ(lamp(), "on");
    click(kvr_idc_power_on);
    EXPECT_EQ(lamp(), "on");

    receive(slot_read_trk(0x06));  // another throttle switched it off
    ASSERT_TRUE(pump_until([&] { return lamp() == "off"; }));
    EXPECT_EQ(tip(kvr_idc_power_on), "Track power: off");
    receive(slot_read_trk(0x07));
    ASSERT_TRUE(pump_until([&] { return lamp() == "on"; }));

    click(kvr_idc_connect);  // close: the next layout may be another
    EXPECT_EQ(lamp(), "");
    EXPECT_EQ(tip(kvr_idc_power_on), "Track power: unknown");
    receive({0x82, 0x7D});  // bytes of a closed link tell nothing
    pump(50);
    EXPECT_EQ(lamp(), "");
}

class HandEntry : public dialog_fixture {
protected:
    void SetUp() override {
        dialog_fixture::SetUp();
        env.make_station = [](kvr_loconet_port& l) { return std::unique_ptr<kvr_dccx>(new kvr_dccx_loconet(l)); };
    }
    void send(const QString& text) {
        kvr_hand_entry* e = dlg->hand_entry();
        e->setText(text);
        QTest::keyClick(e, Qt::Key_Return);
        pump(5);
    }
    std::vector<std::string> sent() const {
        std::vector<std::string> out;
        for (const kvr_loconet_msg& m : link.sent) {
            std::string s;
            for (int i = 0; i < m.length(); ++i) s += (i ? " " : "") + QString::asprintf("%02X", m[i]).toStdString();
            out.push_back(s);
        }
        return out;
    }
};

TEST_F(HandEntry, ShownUnderTheMonitorByCtrlMTakingItsRoom) {
    make_dialog();
    dlg->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(dlg.get()));
    QWidget* log = dlg->control(kvr_idc_log);
    const QRect designed = log->geometry();
    EXPECT_FALSE(dlg->hand_entry_shown());

    QTest::keyClick(dlg->control(kvr_idc_loco_adr), Qt::Key_M, Qt::ControlModifier);
    ASSERT_TRUE(dlg->hand_entry_shown());
    const QRect entry = dlg->hand_entry()->geometry();
    EXPECT_EQ(log->geometry().top(), designed.top());
    EXPECT_LT(log->geometry().bottom(), entry.top());
    EXPECT_EQ(entry.bottom(), designed.bottom());
    EXPECT_EQ(entry.left(), designed.left());
    EXPECT_EQ(entry.width(), designed.width());
    EXPECT_TRUE(dlg->hand_entry()->hasFocus());

    QTest::keyClick(dlg->hand_entry(), Qt::Key_Escape);
    EXPECT_FALSE(dlg->hand_entry_shown());
    EXPECT_EQ(log->geometry(), designed);
    EXPECT_TRUE(dlg->isVisible()) << "Escape in the entry hides it, not the window";
}

TEST_F(HandEntry, EnterSendsGoodMessagesOnlyAndOnlyWhileConnected) {
    make_dialog();
    dlg->set_hand_entry_shown(true);
    send("B0 0B 30");
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, "Not connected: nothing was sent. Press Connect Loconet first.");
    EXPECT_TRUE(link.sent.empty());

    connect_sim();
    // Connect reads the entered loco's slot, and only reads it.
    EXPECT_EQ(sent(), (std::vector<std::string>{"BF 00 03 43"}));
    link.sent.clear();
    send("B0 0B 30 00");
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_NE(boxes[1].text.find("this message's checksum is 74"), std::string::npos) << boxes[1].text;
    EXPECT_NE(boxes[1].text.find("Nothing was sent."), std::string::npos) << boxes[1].text;
    send("0B 30");
    ASSERT_EQ(boxes.size(), 3u);
    EXPECT_NE(boxes[2].text.find("not an opcode"), std::string::npos) << boxes[2].text;
    EXPECT_TRUE(link.sent.empty());

    send("B0 0B 30");  // checksum added (LocoNet PE opcode summary)
    send("83 7C");
    EXPECT_EQ(boxes.size(), 3u);
    EXPECT_EQ(sent(), (std::vector<std::string>{"B0 0B 30 74", "83 7C"}));
}

TEST_F(BusView, TimeStampsAndHexAreRememberedLikeDecodeEveryMessage) {
    make_dialog();
    EXPECT_FALSE(dlg->log_view()->show_time());  // as before they were remembered
    EXPECT_FALSE(dlg->log_view()->show_hex());
    dlg->log_view()->set_show_time(true);
    EXPECT_EQ(kvr_ini(ini_path()).get_int("SETTING", "SHOWTIME", 0), 1u);
    EXPECT_EQ(kvr_ini(ini_path()).get_int("SETTING", "SHOWHEX", 1), 0u);
    dlg.reset();
    kvr_ini(ini_path()).set_int("SETTING", "SHOWHEX", 1);
    make_dialog();
    EXPECT_TRUE(dlg->log_view()->show_time());
    EXPECT_TRUE(dlg->log_view()->show_hex());
    dlg->log_view()->set_show_time(false);
    EXPECT_EQ(kvr_ini(ini_path()).get_int("SETTING", "SHOWTIME", 1), 0u);
}

}  // namespace
