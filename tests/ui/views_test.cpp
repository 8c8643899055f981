// The Slots and the Sensors and turnouts windows: on their own over a
// recording host, and opened from the dialog over the fake link.

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTableWidget>
#include <QTest>

#include <memory>
#include <string>
#include <vector>

#include "station/kvr_bus_state.h"
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
    kvr_bus_state table;
    recording_host host;
    kvr_slots_view view(table, host, nullptr);
    table.on_message(slot_msg(9, 1234, 0x33, 40, 0x10), {1, 0});
    table.on_message(slot_msg(2, 3, 0x13), {1, 0});
    view.update_slots(table.take_changed_slots());
    EXPECT_EQ(column(view.table(), kvr_slots_view::col_slot), (std::vector<QString>{"2", "9"}));
    EXPECT_EQ(cell(view.table(), 1, kvr_slots_view::col_loco), "1234");
    EXPECT_EQ(cell(view.table(), 1, kvr_slots_view::col_status), "in use");
    EXPECT_EQ(cell(view.table(), 1, kvr_slots_view::col_functions), "F0");

    // A slot between the two lands between them; a speed changes one cell.
    table.on_message(slot_msg(5, 77, 0x30), {2, 0});
    table.on_message(msg({0xA0, 9, 60}), {2, 0});
    table.on_message(msg({0xA1, 9, 0x20}), {2, 0});
    view.update_slots(table.take_changed_slots());
    EXPECT_EQ(column(view.table(), kvr_slots_view::col_slot), (std::vector<QString>{"2", "5", "9"}));
    EXPECT_EQ(cell(view.table(), 2, kvr_slots_view::col_speed), "60");
    EXPECT_EQ(cell(view.table(), 2, kvr_slots_view::col_direction), "rev");

    // Double-click takes the loco of the row to the throttle.
    view.show();
    double_click_row(view.table(), 2);
    EXPECT_EQ(host.locos, std::vector<int>{1234});
}

TEST(SlotsView, ReleaseAndDispatchActOnTheSelectedSlotOnly) {
    kvr_bus_state table;
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
    kvr_bus_state table;
    recording_host host;
    kvr_sensors_view view(table, host, nullptr);
    // Sensor 12 (noaux, on), turnout 11 closed, turnout 112 thrown, sensor 120.
    for (const kvr_loconet_msg& m : {msg({0xB2, 0x0B, 0x70}), msg({0xB0, 0x0A, 0x30}), msg({0xB0, 0x6F, 0x10}),
                                      msg({0xB2, 0x77, 0x40})})
        table.on_message(m, {1, 0});
    view.update_points(table.take_changed_points());
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
    view.update_points(table.take_changed_points());
    EXPECT_EQ(visible(), (std::vector<QString>{"11", "112"}));
    view.filter()->clear();
    EXPECT_EQ(visible().size(), 4u);

    double_click_row(t, view.row_of({kvr_point_kind::turnout, 11, false}));
    double_click_row(t, view.row_of({kvr_point_kind::sensor, 12, true}));  // a sensor: nothing
    t->selectRow(view.row_of({kvr_point_kind::turnout, 112, false}));
    view.switch_button()->click();
    EXPECT_EQ(host.turnouts, (std::vector<std::string>{"11 closed", "112 closed"}));
}

// STAT1 (LocoNet PE): 0x00 free, 0x33 in use 128 steps, 0x3B consist top
// (bit 3), 0x73 sub-member (bit 6); SPD 1 is the emergency stop; ID1/ID2
// the throttle id (bytes 11 and 12), shown as the monitor's id(05/04).
TEST(SlotsView, FreeSlotsHiddenUntilAskedAndEveryStateInWords) {
    kvr_bus_state table;
    recording_host host;
    auto view = std::make_unique<kvr_slots_view>(table, host, nullptr);
    auto in_use = slot_msg(4, 3, 0x3B, 1, 0x15);  // F0, F1, F3 on
    in_use[11] = 0x05;
    in_use[12] = 0x04;
    in_use.renew_checksum();
    table.on_message(in_use, {1, 0});
    table.on_message(slot_msg(5, 0, 0x00), {1, 0});
    table.on_message(slot_msg(6, 44, 0x73, 20), {1, 0});
    view->update_all();
    QTableWidget* t = view->table();
    ASSERT_EQ(t->rowCount(), 3);
    EXPECT_FALSE(view->show_free_box()->isChecked());
    EXPECT_FALSE(t->isRowHidden(0));
    EXPECT_TRUE(t->isRowHidden(1)) << "a free slot listed by default";
    EXPECT_EQ(cell(t, 0, kvr_slots_view::col_speed), "E-stop");
    EXPECT_EQ(cell(t, 2, kvr_slots_view::col_speed), "20");
    EXPECT_EQ(cell(t, 0, kvr_slots_view::col_functions), "F0 F1 F3");
    EXPECT_EQ(cell(t, 0, kvr_slots_view::col_throttle), "05/04");
    EXPECT_EQ(cell(t, 0, kvr_slots_view::col_consist), "top");
    EXPECT_EQ(cell(t, 2, kvr_slots_view::col_consist), "sub-member");
    // A slot that is freed later goes out of the list with its next update.
    table.on_message(slot_msg(6, 44, 0x00), {2, 0});
    view->update_slots(table.take_changed_slots());
    EXPECT_TRUE(t->isRowHidden(2));

    // The choice is kept for the next window.
    view->show_free_box()->click();
    EXPECT_FALSE(t->isRowHidden(1));
    EXPECT_TRUE(host.kept.at(kvr_view_host::key_show_free_slots));
    view = std::make_unique<kvr_slots_view>(table, host, nullptr);
    view->update_all();
    EXPECT_TRUE(view->show_free_box()->isChecked());
    EXPECT_FALSE(view->table()->isRowHidden(1));

    // The default width shows every column without scrolling sideways.
    view->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(view.get()));
    int columns = 0;
    for (int c = 0; c < kvr_slots_view::col_count; ++c) columns += view->table()->columnWidth(c);
    EXPECT_LE(columns, view->table()->viewport()->width());
}

// LocoNet PE, OPC_SW_REP (B1): SN2 bit 6 set reports the turnout's input,
// bit 5 its level, bit 4 the switch (1) or aux (0) input; without bit 6,
// bit 5 the closed output on, bit 4 the thrown output on.
TEST(SensorsView, SwitchOnlyForTurnoutsWithThePositionPickedAndReportsInWords) {
    kvr_bus_state table;
    recording_host host;
    kvr_sensors_view view(table, host, nullptr);
    table.on_message(msg({0xB1, 0x0A, 0x70}), {1, 0});  // turnout 11: switch input on
    table.on_message(msg({0xB1, 0x0B, 0x20}), {1, 0});  // turnout 12: closed output on
    table.on_message(msg({0xB2, 0x0B, 0x70}), {1, 0});  // sensor 24
    view.update_all();
    view.show();
    QTableWidget* t = view.table();
    const int t11 = view.row_of({kvr_point_kind::turnout, 11, false});
    const int t12 = view.row_of({kvr_point_kind::turnout, 12, false});
    ASSERT_GE(t11, 0);
    EXPECT_EQ(cell(t, t11, kvr_sensors_view::col_state), "position not seen, switch input on");
    EXPECT_EQ(cell(t, t12, kvr_sensors_view::col_state), "closed, output on");
    EXPECT_FALSE(view.switch_button()->isEnabled()) << "nothing selected";
    for (int r = 0; r < t->rowCount(); ++r) {
        if (cell(t, r, kvr_sensors_view::col_kind).startsWith("sensor")) {
            t->selectRow(r);
            EXPECT_FALSE(view.switch_button()->isEnabled()) << "a sensor row";
        }
    }
    // Turnout 12 is closed: the other position is offered, the user picks.
    t->selectRow(t12);
    EXPECT_TRUE(view.switch_button()->isEnabled());
    EXPECT_EQ(view.position_box()->currentIndex(), 1);
    view.switch_button()->click();
    view.position_box()->setCurrentIndex(0);
    view.switch_button()->click();
    EXPECT_EQ(host.turnouts, (std::vector<std::string>{"12 thrown", "12 closed"}));
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
    connect_sim();
    receive(slot_msg(3, 1234, 0x33));
    receive(msg({0xB0, 0x0A, 0x30}));
    ASSERT_TRUE(pump_until([&] { return dlg->slots_view()->table()->rowCount() == 1; }));
    ASSERT_TRUE(pump_until([&] { return dlg->sensors_view()->table()->rowCount() == 1; }));
    EXPECT_EQ(cell(dlg->slots_view()->table(), 0, kvr_slots_view::col_loco), "1234");
    EXPECT_EQ(cell(dlg->sensors_view()->table(), 0, kvr_sensors_view::col_state), "closed, output on");
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
    dlg->open_slots_view();
    dlg->open_sensors_view();
    // Bytes of a link that is not open (left over from the last one) say
    // nothing about any layout.
    receive(slot_msg(3, 1234, 0x33));
    receive(msg({0xB0, 0x0A, 0x30}));
    pump();
    EXPECT_EQ(dlg->bus_state().slot(3), nullptr);
    EXPECT_EQ(dlg->slots_view()->table()->rowCount(), 0);
    EXPECT_EQ(dlg->sensors_view()->table()->rowCount(), 0);
    dlg->slots_view()->read_button()->click();
    pump();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, kvr_txt_not_connected);
    EXPECT_TRUE(link.sent.empty());
    EXPECT_TRUE(calls().empty());
}

// Slot numbers learned on one layout mean another loco on the next: Close
// starts the bus state and its windows afresh, and so does the next Connect.
TEST_F(Views, ClosingStartsTheTablesAfresh) {
    make_dialog();
    dlg->open_slots_view();
    dlg->open_sensors_view();
    connect_sim();
    receive(slot_msg(3, 1234, 0x33));
    receive(msg({0xB0, 0x0A, 0x30}));
    ASSERT_TRUE(pump_until([&] { return dlg->slots_view()->table()->rowCount() == 1; }));
    ASSERT_TRUE(pump_until([&] { return dlg->sensors_view()->table()->rowCount() == 1; }));
    click(kvr_idc_connect);  // Close
    EXPECT_EQ(dlg->bus_state().slot(3), nullptr);
    EXPECT_EQ(dlg->slots_view()->table()->rowCount(), 0);
    EXPECT_EQ(dlg->sensors_view()->table()->rowCount(), 0);
    connect_sim();
    receive(slot_msg(4, 77, 0x33));
    ASSERT_TRUE(pump_until([&] { return dlg->slots_view()->table()->rowCount() == 1; }));
    EXPECT_EQ(cell(dlg->slots_view()->table(), 0, kvr_slots_view::col_loco), "77");
}

// The monitor's filter by number finds a sensor by the number its line
// shows: B2 0B 70 is "INPUT#[12 (2:4)]", B2 05 70 "INPUT#[6 (1:2)]".
TEST_F(Views, MonitorFilterFindsASensorByTheNumberItsLineShows) {
    make_dialog();
    connect_sim();
    receive(msg({0xB2, 0x0B, 0x70}));
    receive(msg({0xB2, 0x05, 0x70}));
    pump();
    dlg->log_view()->flush();
    dlg->log_view()->set_number_filter(12);
    const QString shown = dlg->log_view()->toPlainText();
    EXPECT_TRUE(shown.contains("INPUT#[12 (2:4)]")) << shown.toStdString();
    EXPECT_FALSE(shown.contains("INPUT#[6 ")) << shown.toStdString();
    dlg->log_view()->set_number_filter(6);
    EXPECT_TRUE(dlg->log_view()->toPlainText().contains("INPUT#[6 (1:2)]"));
    EXPECT_FALSE(dlg->log_view()->toPlainText().contains("INPUT#[12 "));
}

// The power buttons show the track as GPON/GPOFF/IDLE and loco slot
// answers tell it: a detector's answer to an ops-mode read (slot 124, byte
// 7 = 00) is no TRK, and after "stop all" (85) the track is idle, not on.
TEST_F(Views, PowerButtonsFollowTheTrackNotTheSystemSlots) {
    make_dialog();
    connect_sim();
    const auto pressed = [&](int id) { return dlg->control_as<QPushButton>(id)->isChecked(); };
    receive(msg({0x83}));
    ASSERT_TRUE(pump_until([&] { return dlg->track_power() == kvr_power_state::on; }));
    receive(msg({0xE7, 0x0E, 0x7C, 0x2F, 0x10, 0x28, 0x23, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}));
    receive(msg({0xB2, 0x05, 0x50}));  // a later message: the reply has been drained
    ASSERT_TRUE(pump_until([&] { return dlg->bus_state().point({kvr_point_kind::sensor, 6, false}) != nullptr; }));
    EXPECT_EQ(dlg->track_power(), kvr_power_state::on);
    EXPECT_TRUE(pressed(kvr_idc_power_on));
    receive(msg({0x85}));
    ASSERT_TRUE(pump_until([&] { return dlg->track_power() == kvr_power_state::idle; }));
    EXPECT_FALSE(pressed(kvr_idc_power_on));
    EXPECT_FALSE(pressed(kvr_idc_power_off));
    EXPECT_EQ(dlg->control_as<QPushButton>(kvr_idc_power_on)->toolTip(), "Track power: idle");
    receive(slot_msg(3, 1234, 0x33));  // TRK 07: on and running
    ASSERT_TRUE(pump_until([&] { return dlg->track_power() == kvr_power_state::on; }));
    EXPECT_TRUE(pressed(kvr_idc_power_on));
    click(kvr_idc_connect);  // Close: nothing known of the next layout's track
    EXPECT_EQ(dlg->track_power(), kvr_power_state::unknown);
    EXPECT_FALSE(pressed(kvr_idc_power_on));
}

// The window's request turns the turnout's output on whatever the switch
// panel's on/off box holds: that box is the panel's own.
TEST_F(Views, ATurnoutClickSendsTheOutputOnWhateverThePanelsBoxHolds) {
    make_dialog();
    connect_sim();
    click(kvr_idc_sw_on);
    ASSERT_FALSE(checked(kvr_idc_sw_on));
    receive(msg({0xB1, 0x0A, 0x20}));  // turnout 11 reported closed
    dlg->open_sensors_view();
    ASSERT_TRUE(pump_until([&] { return dlg->sensors_view()->table()->rowCount() == 1; }));
    double_click_row(dlg->sensors_view()->table(), 0);
    EXPECT_EQ(calls(), std::vector<std::string>{"sw(11,0,1)"});
}

}  // namespace
