// The port box: a LocoNet-over-TCP server typed into it, a CV read through
// our own server sharing the simulated layout, the server going away as a
// lost link; long device names; and what the window says when a port fails.

#include <QAbstractItemView>
#include <QComboBox>
#include <QFontMetrics>
#include <QLineEdit>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "foundation/kvr_ini.h"
#include "support/closed_port.h"
#include "support/scripted_server.h"
#include "support/shared_sim.h"
#include "support/test_pty.h"
#include "ui/kvr_dialog_template.h"
#include "ui/kvr_elided_edit.h"
#include "ui_test_support.h"

// The window on the real link (serial or tcp://), without a station of its
// own; the link is closed before the window's fixture goes.
class with_real_link : public dialog_fixture {
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

    kvr_link ms100;
};

class WithTcpServer : public with_real_link {
protected:
    shared_sim layout;
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
    EXPECT_NE(boxes.at(0).text.find("closed the connection"), std::string::npos) << boxes.at(0).text;
    EXPECT_FALSE(ms100.is_open());
}

class PortBox : public dialog_fixture {};

// Long names: the list is wide enough for them, the closed box shows the
// part that tells ports apart (not "/de…s/3" for /dev/pts/3), the entry
// being edited the whole name, and the tooltip the whole name.
TEST_F(PortBox, LongNamesFitTheListAndShowThePartThatTellsThemApart) {
    const std::string by_id = "/dev/serial/by-id/usb-RR-CirKits_LocoBuffer-USB_0123456789-if00-port0";
    const std::string url = "tcp://layout-server.example.org:24102";
    env.list_devices = [by_id] { return std::vector<std::string>{by_id}; };
    make_dialog();
    auto* box = dlg->control_as<QComboBox>(kvr_idc_port);
    auto* entry = dynamic_cast<kvr_elided_edit*>(box->lineEdit());
    ASSERT_NE(entry, nullptr);
    const QFontMetrics fm(box->view()->font());
    EXPECT_GE(box->view()->minimumWidth(), fm.horizontalAdvance(QString::fromStdString(by_id)));
    dlg->control(kvr_idc_loco_adr)->setFocus();
    const auto ends_with = [](const std::string& s, const std::string& tail) {
        return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
    };
    // by-id: both ends of what follows the shared folder (the serial is inside).
    box->setEditText(QString::fromStdString(by_id));
    EXPECT_EQ(box->toolTip().toStdString(), by_id);
    std::string shown = entry->shown_text().toStdString();
    ASSERT_NE(shown.find("…"), std::string::npos) << shown;
    EXPECT_EQ(shown.rfind("us", 0), 0u) << shown;
    EXPECT_TRUE(ends_with(shown, "t0")) << shown;
    EXPECT_LE(entry->fontMetrics().horizontalAdvance(entry->shown_text()), entry->width());
    // A server: its port number, the end, stays in sight.
    box->setEditText(QString::fromStdString(url));
    shown = entry->shown_text().toStdString();
    EXPECT_TRUE(ends_with(shown, ".org:24102") || ends_with(shown, "g:24102")) << shown;
    EXPECT_EQ(shown.find("tcp://"), std::string::npos) << shown;
    EXPECT_LE(entry->fontMetrics().horizontalAdvance(entry->shown_text()), entry->width());
    // Two pseudo-terminals are told apart at a glance.
    for (const char* pty : {"/dev/pts/3", "/dev/pts/13"}) {
        box->setEditText(QString::fromLatin1(pty));
        shown = entry->shown_text().toStdString();
        EXPECT_TRUE(shown == pty || shown == std::string(pty).substr(5)) << shown;
    }
    box->setEditText(QString::fromStdString(url));
    box->setFocus();
    EXPECT_EQ(entry->shown_text().toStdString(), url);
    box->setEditText(QStringLiteral("COM1"));
    dlg->control(kvr_idc_loco_adr)->setFocus();
    EXPECT_EQ(entry->shown_text(), "COM1");
}

// What the window says when connecting fails or the link is lost later:
// first a line in plain words, then the report as it always was.
class Reports : public with_real_link {};

TEST_F(Reports, EachStartsWithWhatHappenedToWhichPortAndWhatToDo) {
    make_dialog();
    const std::string missing = dir.filePath("no-such-tty").toStdString();
    const uint16_t refused = closed_tcp_port();
    const std::string server = "127.0.0.1:" + std::to_string(refused);
    test_pty pty;
    const struct { std::string port, first, second; } cases[] = {
        {missing, "There is no port " + missing + ". Plug the adapter in or choose another port and press Connect.",
         "(" + missing + ") :CreateFile (unplugged, or the wrong name) "},
        {"tcp://" + server,
         "Nothing listens at " + server + " (connection refused). Start the server or correct the address and press Connect.",
         "(tcp://" + server + ") :connect (nothing listens at that address) "},
        // The .invalid domain never resolves (RFC 2606).
        {"tcp://layout.invalid", "Unknown host layout.invalid. Check the name and press Connect.",
         "(tcp://layout.invalid) :getaddrinfo ("},
        {pty.path(), "The adapter " + pty.path() + " was unplugged. Plug it in and press Connect.",
         "kvr_ms100::rx_proc::"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.port);
        boxes.clear();
        dlg->control_as<QComboBox>(kvr_idc_port)->setEditText(QString::fromStdString(c.port));
        click(kvr_idc_connect);
        if (c.port == pty.path()) {
            ASSERT_EQ(text_of(kvr_idc_connect), "Close Loconet↓");
            pty.hang_up();
        }
        ASSERT_TRUE(pump_until([&] { return boxes.size() == 1; }, 10000));
        EXPECT_TRUE(pump_until([&] { return text_of(kvr_idc_connect) == "Connect Loconet↑"; }));
        const std::string& text = boxes[0].text;
        const std::size_t nl = text.find('\n');
        ASSERT_NE(nl, std::string::npos) << text;
        EXPECT_EQ(text.substr(0, nl), c.first);
        EXPECT_EQ(text.substr(nl + 1, c.second.size()), c.second) << text;
        EXPECT_EQ(text.find("No route to host"), std::string::npos) << text;
    }
}

// A server that refuses what the window sends: one report with the server's
// words, for a button that only sends and for one that waits for an answer
// (which ends at once instead of waiting to be cancelled).
class WithRefusingServer : public with_real_link {
protected:
    scripted_server server{scripted_server::script::refuse};
};

TEST_F(WithRefusingServer, OneReportPerButtonWithTheServersWords) {
    make_dialog();
    dlg->control_as<QComboBox>(kvr_idc_port)->setEditText(QString::fromStdString(server.url()));
    click(kvr_idc_connect);
    ASSERT_EQ(text_of(kvr_idc_connect), "Close Loconet↓");
    // Connect asks for the entered loco's slot (and with it the track's
    // state); the server refuses that read too, with its own report.
    ASSERT_TRUE(pump_until([&] { return !boxes.empty(); }));
    EXPECT_NE(boxes[0].text.find("SEND BF 00 03 43 refused"), std::string::npos) << boxes[0].text;
    boxes.clear();

    click(kvr_idc_power_on);
    ASSERT_TRUE(pump_until([&] { return !boxes.empty(); }));
    EXPECT_NE(boxes[0].text.find("SEND 83 7C refused by the server: SENT ERROR busy"), std::string::npos)
        << boxes[0].text;
    // The plain words come first, as in every report.
    EXPECT_EQ(boxes[0].text.rfind("The server 127.0.0.1:", 0), 0u) << boxes[0].text;

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

namespace {

// Connected, the title names the port; closed, it is the program's title.
TEST_F(PortBox, TheTitleNamesTheConnectedPort) {
    make_dialog();
    EXPECT_EQ(dlg->windowTitle(), kvr_txt_title);
    connect_sim();
    EXPECT_EQ(dlg->windowTitle().toStdString(), std::string(kvr_txt_title) + " - SIM");
    click(kvr_idc_connect);
    EXPECT_EQ(dlg->windowTitle(), kvr_txt_title);
}

}  // namespace
