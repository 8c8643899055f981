// The port box: a LocoNet-over-TCP server typed into it, a CV read through
// our own server sharing the simulated layout, the server going away as a
// lost link; and long device names.

#include <QAbstractItemView>
#include <QComboBox>
#include <QFontMetrics>
#include <QLineEdit>

#include "foundation/kvr_ini.h"
#include "support/scripted_server.h"
#include "support/shared_sim.h"
#include "ui/kvr_dialog_template.h"
#include "ui_test_support.h"

class WithTcpServer : public dialog_fixture {
protected:
    void SetUp() override {
        dialog_fixture::SetUp();
        env.link = &ms100;
        env.make_station = nullptr;
    }
    void TearDown() override {
        dialog_fixture::TearDown();
        ms100.close();
    }

    shared_sim layout;
    kvr_ms100 ms100;
};

TEST_F(WithTcpServer, TypedAddressConnectsReadsAndLosesTheServer) {
    make_dialog();
    const QString url = QString::fromStdString(layout.url());
    dlg->control_as<QComboBox>(kvr_idc_port)->setEditText(url);
    click(kvr_idc_connect);
    ASSERT_EQ(text_of(kvr_idc_connect), "Close Loconet↓");
    EXPECT_EQ(kvr_ini(ini_path()).get_string("SETTING", "COMMPORT", "-"), url.toStdString());
    EXPECT_GE(dlg->control_as<QComboBox>(kvr_idc_port)->findText(url), 0);  // kept in the list

    click(kvr_idc_direct);
    type(kvr_idc_cv, "29");
    click(kvr_idc_read);
    EXPECT_EQ(text_of(kvr_idc_value), "6");
    // The read ends when the station has its reply; the monitor lines may
    // still wait in the window's queue for the next tick.
    EXPECT_TRUE(pump_until([&] { return log_text().contains("Direct Read"); })) << log_text().toStdString();
    EXPECT_TRUE(log_text().contains("LocoNet over TCP: VERSION Busprobe"));

    layout.port.share.stop();
    EXPECT_TRUE(pump_until([&] { return text_of(kvr_idc_connect) == "Connect Loconet↑"; }));
    EXPECT_TRUE(pump_until([&] { return boxes.size() == 1; }));
    EXPECT_NE(boxes.at(0).text.find("the server closed the connection"), std::string::npos) << boxes.at(0).text;
    EXPECT_FALSE(ms100.is_open());
}

class PortBox : public dialog_fixture {};

// A long /dev/serial/by-id name: the list is wide enough for it, the closed
// box shows its end and the tooltip the whole name.
TEST_F(PortBox, LongNamesFitTheListAndShowTheirEnd) {
    const std::string by_id = "/dev/serial/by-id/usb-RR-CirKits_LocoBuffer-USB_0123456789-if00-port0";
    env.list_devices = [by_id] { return std::vector<std::string>{by_id}; };
    make_dialog();
    auto* box = dlg->control_as<QComboBox>(kvr_idc_port);
    box->setCurrentText(QString::fromStdString(by_id));
    EXPECT_EQ(box->toolTip().toStdString(), by_id);
    EXPECT_EQ(box->lineEdit()->cursorPosition(), static_cast<int>(by_id.size()));
    const QFontMetrics fm(box->view()->font());
    EXPECT_GE(box->view()->minimumWidth(), fm.horizontalAdvance(QString::fromStdString(by_id)));
}

// A server that refuses what the window sends: one report with the server's
// words, for a button that only sends and for one that waits for an answer
// (which ends at once instead of waiting to be cancelled).
class WithRefusingServer : public dialog_fixture {
protected:
    void SetUp() override {
        dialog_fixture::SetUp();
        env.link = &ms100;
        env.make_station = nullptr;
    }
    void TearDown() override {
        dialog_fixture::TearDown();
        ms100.close();
    }

    scripted_server server{scripted_server::script::refuse};
    kvr_ms100 ms100;
};

TEST_F(WithRefusingServer, OneReportPerButtonWithTheServersWords) {
    make_dialog();
    dlg->control_as<QComboBox>(kvr_idc_port)->setEditText(QString::fromStdString(server.url()));
    click(kvr_idc_connect);
    ASSERT_EQ(text_of(kvr_idc_connect), "Close Loconet↓");

    click(kvr_idc_power_on);
    ASSERT_TRUE(pump_until([&] { return !boxes.empty(); }));
    EXPECT_NE(boxes[0].text.find("SEND 83 7C refused by the server: SENT ERROR busy"), std::string::npos)
        << boxes[0].text;

    boxes.clear();
    click(kvr_idc_direct);
    type(kvr_idc_cv, "29");
    click(kvr_idc_read);
    ASSERT_TRUE(pump_until([&] { return !boxes.empty(); }));
    pump(100);
    ASSERT_EQ(boxes.size(), 1u) << boxes.back().text;  // not a CANCEL box as well
    EXPECT_NE(boxes[0].text.find("refused by the server: SENT ERROR busy"), std::string::npos) << boxes[0].text;
    EXPECT_EQ(dlg->state(), kvr_dlg_state::idle);
}
