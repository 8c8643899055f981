// The Slots and the Sensors and turnouts windows: on their own over a
// recording host, and opened from the dialog over the fake link.

#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTableWidget>
#include <QTest>

#include <string>
#include <vector>

#include "station/kvr_sensor_table.h"
#include "station/kvr_slot_table.h"
#include "ui/kvr_dialog_template.h"
#include "ui/kvr_log_view.h"
#include "ui/kvr_sensors_view.h"
#include "ui/kvr_slots_view.h"
#include "ui/kvr_view_host.h"
#include "ui_test_support.h"

namespace {

kvr_loconet_msg msg(std::initializer_list<uint8_t> b) { return kvr_loconet_msg::with_checksum(b); }

// Slot data of an ordinary slot, TRK 0x07 (LocoNet slot layout).
kvr_loconet_msg slot_msg(uint8_t slot, uint16_t address, uint8_t stat, uint8_t spd = 0, uint8_t dirf = 0) {
    return msg({0xE7, 0x0E, slot, stat, static_cast<uint8_t>(address & 0x7F), spd, dirf, 0x07, 0,
                static_cast<uint8_t>(address >> 7), 0, 0, 0});
}

QString cell(QTableWidget* t, int row, int col) {
    const QTableWidgetItem* i = t->item(row, col);
    return i ? i->text() : QString();
}

std::vector<QString> column(QTableWidget* t, int col) {
    std::vector<QString> out;
    for (int r = 0; r < t->rowCount(); ++r) out.push_back(cell(t, r, col));
    return out;
}

void double_click_row(QTableWidget* t, int row) {
    // As a mouse does it: the view takes a double-click only on the item
    // the press before it was on.
    const QPoint at = t->visualItemRect(t->item(row, 0)).center();
    QTest::mouseClick(t->viewport(), Qt::LeftButton, {}, at);
    QTest::mouseDClick(t->viewport(), Qt::LeftButton, {}, at);
}

TEST(SlotsView, RowsFollowTheTableInSlotOrderOneBatchAtATime) {
    kvr_slot_table table;
    recording_host host;
    kvr_slots_view view(table, host, nullptr);
    table.on_message(slot_msg(9, 1234, 0x33, 40, 0x10), {1, 0});
    table.on_message(slot_msg(2, 3, 0x13), {1, 0});
    view.update_slots(table.take_changed());
    EXPECT_EQ(column(view.table(), kvr_slots_view::col_slot), (std::vector<QString>{"2", "9"}));
    EXPECT_EQ(cell(view.table(), 1, kvr_slots_view::col_loco), "1234");
    EXPECT_EQ(cell(view.table(), 1, kvr_slots_view::col_status), "in use");
    EXPECT_EQ(cell(view.table(), 1, kvr_slots_view::col_functions), "100000000");

    // A slot between the two lands between them; a speed changes one cell.
    table.on_message(slot_msg(5, 77, 0x30), {2, 0});
    table.on_message(msg({0xA0, 9, 60}), {2, 0});
    table.on_message(msg({0xA1, 9, 0x20}), {2, 0});
    view.update_slots(table.take_changed());
    EXPECT_EQ(column(view.table(), kvr_slots_view::col_slot), (std::vector<QString>{"2", "5", "9"}));
    EXPECT_EQ(cell(view.table(), 2, kvr_slots_view::col_speed), "60");
    EXPECT_EQ(cell(view.table(), 2, kvr_slots_view::col_direction), "rev");

    // Double-click takes the loco of the row to the throttle.
    view.show();
    double_click_row(view.table(), 2);
    EXPECT_EQ(host.locos, std::vector<int>{1234});
}

TEST(SlotsView, ReleaseAndDispatchActOnTheSelectedSlotOnly) {
    kvr_slot_table table;
    recording_host host;
    kvr_slots_view view(table, host, nullptr);
    table.on_message(slot_msg(4, 3, 0x33), {1, 0});
    table.on_message(slot_msg(7, 8, 0x33), {1, 0});
    view.update_all();
    view.release_button()->click();  // nothing selected
    EXPECT_TRUE(host.ops.empty());
    view.table()->selectRow(1);
    view.release_button()->click();
    view.dispatch_button()->click();
    view.read_button()->click();
    EXPECT_EQ(host.ops, (std::vector<std::string>{"releasing slot 7", "dispatching slot 7", "reading every slot"}));
    EXPECT_FALSE(view.progress()->isVisible());
}

TEST(SensorsView, FilterByNumberOrTextAndClickATurnoutForTheOtherPosition) {
    kvr_sensor_table table;
    recording_host host;
    kvr_sensors_view view(table, host, nullptr);
    // Sensor 12 (noaux, on), turnout 11 closed, turnout 112 thrown, sensor 120.
    for (const kvr_loconet_msg& m : {msg({0xB2, 0x0B, 0x70}), msg({0xB0, 0x0A, 0x30}), msg({0xB0, 0x6F, 0x10}),
                                      msg({0xB2, 0x77, 0x40})})
        table.on_message(m, {1, 0});
    view.update_points(table.take_changed());
    view.show();
    QTableWidget* t = view.table();
    EXPECT_EQ(column(t, kvr_sensors_view::col_number), (std::vector<QString>{"12", "120", "11", "112"}));
    const auto visible = [t] {
        std::vector<QString> out;
        for (int r = 0; r < t->rowCount(); ++r)
            if (!t->isRowHidden(r)) out.push_back(cell(t, r, kvr_sensors_view::col_number));
        return out;
    };
    view.filter()->setText(QStringLiteral("12"));  // a number matches itself only
    EXPECT_EQ(visible(), std::vector<QString>{"12"});
    view.filter()->setText(QStringLiteral("thrown"));
    EXPECT_EQ(visible(), std::vector<QString>{"112"});
    // A row that changes while filtered out stays hidden until it matches.
    table.on_message(msg({0xB0, 0x0A, 0x10}), {2, 0});
    view.update_points(table.take_changed());
    EXPECT_EQ(visible(), (std::vector<QString>{"11", "112"}));
    view.filter()->clear();
    EXPECT_EQ(visible().size(), 4u);

    double_click_row(t, view.row_of({kvr_point_kind::turnout, 11, false}));
    double_click_row(t, view.row_of({kvr_point_kind::sensor, 12, true}));  // a sensor: nothing
    t->selectRow(view.row_of({kvr_point_kind::turnout, 112, false}));
    view.switch_button()->click();
    EXPECT_EQ(host.turnouts, (std::vector<std::string>{"11 closed", "112 closed"}));
}

// --- opened from the dialog --------------------------------------------------

class Views : public dialog_fixture {
protected:
    // Bytes as the receive thread hands them on: filed, then shown.
    void receive(const kvr_loconet_msg& m) {
        std::thread([&] { link.receive_bytes(m.data(), static_cast<std::size_t>(m.length())); }).join();
    }
};

TEST_F(Views, KeysOpenOwnWindowsThatFollowTheBus) {
    make_dialog();
    QTest::keyClick(dlg.get(), Qt::Key_L, Qt::ControlModifier);
    QTest::keyClick(dlg.get(), Qt::Key_T, Qt::ControlModifier | Qt::ShiftModifier);
    ASSERT_TRUE(pump_until([&] { return dlg->slots_view() && dlg->sensors_view(); }));
    for (QWidget* w : {static_cast<QWidget*>(dlg->slots_view()), static_cast<QWidget*>(dlg->sensors_view())}) {
        EXPECT_TRUE(w->isWindow());
        EXPECT_EQ(w->parentWidget(), dlg.get());
        EXPECT_FALSE(w->isModal());
    }
    receive(slot_msg(3, 1234, 0x33));
    receive(msg({0xB0, 0x0A, 0x30}));
    ASSERT_TRUE(pump_until([&] { return dlg->slots_view()->table()->rowCount() == 1; }));
    ASSERT_TRUE(pump_until([&] { return dlg->sensors_view()->table()->rowCount() == 1; }));
    EXPECT_EQ(cell(dlg->slots_view()->table(), 0, kvr_slots_view::col_loco), "1234");
    EXPECT_EQ(cell(dlg->sensors_view()->table(), 0, kvr_sensors_view::col_state), "Closed/Green(on)");
}

// The monitor's own Ctrl+T (time stamps) keeps working where it has the
// focus, and the sensors window's key works there too: one key for two
// shortcuts would leave both dead as ambiguous.
TEST_F(Views, SensorsKeyLeavesTheMonitorsTimeStampsKeyAlone) {
    make_dialog();
    dlg->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(dlg.get()));
    dlg->log_view()->setFocus();
    pump();
    QTest::keyClick(dlg->log_view(), Qt::Key_T, Qt::ControlModifier);
    EXPECT_TRUE(dlg->log_view()->show_time());
    EXPECT_EQ(dlg->sensors_view(), nullptr);
    QTest::keyClick(dlg->log_view(), Qt::Key_T, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_NE(dlg->sensors_view(), nullptr);
    EXPECT_TRUE(dlg->log_view()->show_time());
}

TEST_F(Views, WhileDisconnectedEveryRequestSaysSoAndSendsNothing) {
    make_dialog();
    receive(slot_msg(3, 1234, 0x33));
    receive(msg({0xB0, 0x0A, 0x30}));
    pump_until([&] { return dlg->slot_table().find(3) != nullptr; });
    dlg->open_slots_view();
    dlg->open_sensors_view();
    kvr_slots_view* view = dlg->slots_view();
    view->release_button()->click();
    view->dispatch_button()->click();
    view->read_button()->click();
    double_click_row(view->table(), 0);  // to the throttle
    double_click_row(dlg->sensors_view()->table(), 0);  // the turnout
    pump();
    EXPECT_EQ(boxes.size(), 5u);
    for (const shown_box& b : boxes) EXPECT_EQ(b.text, kvr_txt_not_connected);
    EXPECT_TRUE(link.sent.empty());
    EXPECT_TRUE(calls().empty());
    // The loco address went to the throttle all the same.
    EXPECT_EQ(text_of(kvr_idc_loco_adr), "1234");
}

// Slot numbers learned on one layout mean another loco on the next.
TEST_F(Views, ConnectingStartsTheTablesAfresh) {
    make_dialog();
    receive(slot_msg(3, 1234, 0x33));
    receive(msg({0xB0, 0x0A, 0x30}));
    dlg->open_slots_view();
    dlg->open_sensors_view();
    ASSERT_TRUE(pump_until([&] { return dlg->slots_view()->table()->rowCount() == 1; }));
    connect_sim();
    EXPECT_EQ(dlg->slot_table().find(3), nullptr);
    EXPECT_EQ(dlg->slots_view()->table()->rowCount(), 0);
    EXPECT_EQ(dlg->sensors_view()->table()->rowCount(), 0);
}

TEST_F(Views, ATurnoutClickGoesThroughTheSwitchPanelsPath) {
    make_dialog();
    connect_sim();
    receive(msg({0xB1, 0x0A, 0x20}));  // turnout 11 reported closed
    dlg->open_sensors_view();
    ASSERT_TRUE(pump_until([&] { return dlg->sensors_view()->table()->rowCount() == 1; }));
    double_click_row(dlg->sensors_view()->table(), 0);
    EXPECT_EQ(calls(), std::vector<std::string>{"sw(11,0,1)"});
}

}  // namespace
