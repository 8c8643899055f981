// The whole path: the dialog over the serial driver and the simulated
// command station on the "SIM" port.

#include <QComboBox>

#include <mutex>

#include "foundation/kvr_ini.h"
#include "link/kvr_link.h"
#include "sim/kvr_sim_port.h"
#include "ui/kvr_dialog_template.h"
#include "ui/kvr_speed_slider.h"
#include "ui_test_support.h"

class WithSim : public dialog_fixture {
protected:
    void SetUp() override {
        dialog_fixture::SetUp();
        kvr_sim_register_port(ms100, kvr_sim_options{});
        env.link = &ms100;
        env.make_station = nullptr;
    }
    void TearDown() override {
        dialog_fixture::TearDown();
        ms100.close();
    }
    std::string stored_port() { return kvr_ini(ini_path()).get_string("SETTING", "COMMPORT", "-"); }

    kvr_link ms100;
};

// One session against the layout: connect, traffic, a CV written and read
// back in two modes, disconnect; the next start offers "SIM" and closing it
// while connected closes the link first.
TEST_F(WithSim, ConnectCycleCvWriteAndReadAndClosingWhileConnected) {
    make_dialog();
    EXPECT_EQ(dlg->control_as<QComboBox>(kvr_idc_port)->currentText(), "SIM");  // nothing stored, no device
    connect_sim();
    EXPECT_TRUE(ms100.is_open());
    EXPECT_EQ(stored_port(), "SIM");
    click(kvr_idc_fast_clock);
    EXPECT_TRUE(pump_until([&] { return log_text().contains("FAST CLOCK"); }));

    type(kvr_idc_cv, "3");
    type(kvr_idc_value, "42");
    click(kvr_idc_write);
    for (int mode : {kvr_idc_direct, kvr_idc_paged}) {
        click(mode);
        type(kvr_idc_value, "0");
        click(kvr_idc_read);
        EXPECT_EQ(text_of(kvr_idc_value), "42");
        EXPECT_EQ(text_of(kvr_idc_hex), "0x2a");
    }
    EXPECT_TRUE(log_text().contains("Direct"));

    click(kvr_idc_connect);
    EXPECT_EQ(text_of(kvr_idc_connect), "Connect Loconet↑");
    EXPECT_FALSE(ms100.is_open());
    EXPECT_TRUE(boxes.empty()) << (boxes.empty() ? "" : boxes[0].text);

    make_dialog();  // the next start offers the stored port
    EXPECT_EQ(dlg->control_as<QComboBox>(kvr_idc_port)->currentText(), "SIM");
    click(kvr_idc_connect);
    dlg->slider()->setValue(20);
    pump(300);
    dlg->close();
    EXPECT_FALSE(dlg->isVisible());
    EXPECT_FALSE(ms100.is_open());
    dlg.reset();
    EXPECT_EQ(stored_port(), "SIM");
}
