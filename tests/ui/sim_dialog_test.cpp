// The whole path: the dialog over the serial driver and the simulated
// command station on the "SIM" port.

#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QTableWidget>
#include <QTest>

#include <mutex>

#include "foundation/kvr_ini.h"
#include "link/kvr_link.h"
#include "sim/kvr_sim_port.h"
#include "ui/kvr_dialog_template.h"
#include "ui/kvr_slots_view.h"
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

// Read all in the Slots window against the layout: every loco slot is
// asked for, the throttle's loco shows in use, and a double-click on a slot
// takes its loco to the throttle.
TEST_F(WithSim, SlotsWindowReadsEverySlotAndTakesALocoToTheThrottle) {
    make_dialog();
    connect_sim();
    // Loco 3 entered: read and taken into slot 1, in use; then F0 on.
    QTest::keyClick(dlg->control(kvr_idc_loco_adr), Qt::Key_Return);
    ASSERT_TRUE(pump_until([&] { return dlg->throttle().driving(); }));
    click(kvr_idc_f0);
    ASSERT_TRUE(pump_until([&] { return log_text().contains("F0-4(10000)"); }));
    dlg->open_slots_view();
    kvr_slots_view* view = dlg->slots_view();
    view->read_button()->click();
    EXPECT_TRUE(boxes.empty()) << (boxes.empty() ? "" : boxes[0].text);
    QTableWidget* t = view->table();
    ASSERT_TRUE(pump_until([&] { return t->rowCount() == 119; })) << t->rowCount();
    EXPECT_EQ(t->item(0, kvr_slots_view::col_loco)->text(), "3");
    EXPECT_EQ(t->item(0, kvr_slots_view::col_status)->text(), "in use");
    EXPECT_EQ(t->item(118, kvr_slots_view::col_slot)->text(), "119");

    type(kvr_idc_loco_adr, "7");
    const QPoint at = t->visualItemRect(t->item(0, 0)).center();
    QTest::mouseClick(t->viewport(), Qt::LeftButton, {}, at);
    QTest::mouseDClick(t->viewport(), Qt::LeftButton, {}, at);
    EXPECT_EQ(text_of(kvr_idc_loco_adr), "3");
    EXPECT_TRUE(checked(kvr_idc_f0)) << "the throttle follows the loco's slot";
}

// A station that offers expanded slots (TRK bit 6, PROTOCOL-MODERN §1): Read
// all reads its loco slots beyond 119 too, as E6, up to the station's last.
TEST_F(WithSim, SlotsWindowReadsTheExpandedSlotsAStationOffers) {
    ms100.close();
    kvr_sim_register_port(ms100, kvr_sim_options{.instant = true, .expanded = true});
    make_dialog();
    connect_sim();
    dlg->open_slots_view();
    kvr_slots_view* view = dlg->slots_view();
    view->read_button()->click();
    ASSERT_TRUE(pump_until([&] { return view->status_label()->text().contains("expanded slots"); }, 60000))
        << view->status_label()->text().toStdString();
    EXPECT_TRUE(boxes.empty()) << (boxes.empty() ? "" : boxes[0].text);
    // The first expanded loco slot beyond the classic ones was read (the
    // whole 400 on a quiet machine; a loaded one can end the read early).
    EXPECT_TRUE(pump_until([&] { return dlg->bus_state().slot(128) != nullptr; }))
        << view->status_label()->text().toStdString();
    EXPECT_EQ(dlg->bus_state().slot(426), nullptr);
}
