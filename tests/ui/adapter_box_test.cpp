// The adapter box right of "FastClock": its choice kept in the settings
// file, and the line a Connect sets up on a pseudo-terminal with it.

#include <QComboBox>

#include <fstream>

#include "foundation/kvr_ini.h"
#include "link/kvr_link.h"
#include "link/kvr_serial.h"
#include "support/test_pty.h"
#include "ui/kvr_dialog_template.h"
#include "ui_test_support.h"

namespace {

// A pseudo-terminal: the link opens the slave, the test reads the line
// settings the driver was given through the master.
struct pty : test_pty {
    std::pair<unsigned, bool> line() const {
        unsigned baud = 0;
        bool rtscts = false;
        EXPECT_EQ(kvr_serial::line_settings(master(), &baud, &rtscts, kvr_serial_io::system()), 0);
        return {baud, rtscts};
    }
};

// "SIM" on the test's own pseudo-terminal.
struct pty_port : kvr_virtual_port {
    explicit pty_port(std::string p) : path(std::move(p)) {}
    std::string device_path() const override { return path; }
    std::string path;
};

class AdapterBox : public dialog_fixture {
protected:
    void SetUp() override {
        dialog_fixture::SetUp();
        env.link = &ms100;
        ms100.add_virtual_port("SIM", [this] { return std::make_unique<pty_port>(port.path()); });
    }
    void TearDown() override {
        dialog_fixture::TearDown();
        ms100.close();
    }
    QComboBox* box() const { return dlg->control_as<QComboBox>(kvr_idc_adapter); }
    std::string stored() const { return kvr_ini(ini_path()).get_string("SETTING", "ADAPTER", "(none)"); }
    void connect_to(const std::string& name, const QString& adapter) {
        box()->setCurrentText(adapter);
        dlg->control_as<QComboBox>(kvr_idc_port)->setEditText(QString::fromStdString(name));
        click(kvr_idc_connect);
        ASSERT_EQ(text_of(kvr_idc_connect), "Close Loconet↓");
    }
    void disconnect() {
        click(kvr_idc_connect);
        ASSERT_EQ(text_of(kvr_idc_connect), "Connect Loconet↑");
        // The next open starts from a line without flow control, as a
        // fresh device would.
        ASSERT_EQ(kvr_serial::set_hardware_flow(port.master(), false, kvr_serial_io::system()), 0);
    }

    pty port;
    kvr_link ms100;
};

TEST_F(AdapterBox, ChoiceIsKeptInTheSettingsFile) {
    {
        std::ofstream(ini_path()) << "[SETTING]\nCOMMPORT=SIM\n";
    }
    make_dialog();
    QStringList entries;
    for (int i = 0; i < box()->count(); ++i)
        entries << box()->itemText(i);
    EXPECT_EQ(entries, QStringList({"auto", "MS100", "LocoBuffer 57600", "LocoBuffer 19200", "LocoBuffer 115200"}));
    EXPECT_EQ(box()->currentText(), "auto");  // an older file without the key
    EXPECT_EQ(stored(), "(none)");           // and reading it writes nothing

    box()->setCurrentText("LocoBuffer 19200");
    EXPECT_EQ(stored(), "locobuffer-19200");
    EXPECT_EQ(kvr_ini(ini_path()).get_string("SETTING", "COMMPORT", ""), "SIM");
    dlg.reset();
    make_dialog();
    EXPECT_EQ(box()->currentText(), "LocoBuffer 19200");

    box()->setCurrentText("auto");
    EXPECT_EQ(stored(), "auto");
    dlg.reset();
    kvr_ini(ini_path()).set_string("SETTING", "ADAPTER", "locobuffer-9600");  // hand-edited
    make_dialog();
    EXPECT_EQ(box()->currentText(), "auto");

    // Beside the port list, clear of the top row's buttons.
    const QRect fast_clock = dlg->control(kvr_idc_fast_clock)->geometry();
    EXPECT_GT(box()->geometry().left(), fast_clock.right());
    EXPECT_EQ(box()->geometry().top(), fast_clock.top());
    EXPECT_LE(box()->geometry().right(), dlg->width());
}

TEST_F(AdapterBox, ConnectOpensTheLineOfTheChosenKind) {
    make_dialog();
    const struct {
        QString choice;
        std::string port;
        kvr_adapter kind;
        unsigned baud;
        bool rtscts;
    } cases[] = {
        {"LocoBuffer 57600", port.path(), kvr_adapter::locobuffer, 57600, true},
        {"LocoBuffer 115200", port.path(), kvr_adapter::locobuffer_115200, 115200, true},
        {"MS100", port.path(), kvr_adapter::ms100, 16457, false},
        {"auto", port.path(), kvr_adapter::ms100, 16457, false},  // a pseudo-terminal's default
        // The simulated layout keeps the MS100 line whatever is chosen.
        {"LocoBuffer 57600", "SIM", kvr_adapter::ms100, 16457, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.choice.toStdString() + " on " + c.port);
        connect_to(c.port, c.choice);
        EXPECT_EQ(ms100.adapter(), c.kind);
        EXPECT_EQ(port.line(), std::make_pair(c.baud, c.rtscts));
        disconnect();
    }
    EXPECT_TRUE(boxes.empty());
}

}  // namespace
