// The Devices window over a station whose link answers as the simulated
// devices do (sim/kvr_sim_devices.h: SV2 device 3, LNCV article 6861 module
// 1) and a command station keeping slot 127. Layouts: PROTOCOL-FACTS.md (SV)
// and PROTOCOL-MODERN.md §2-§4.

#include <QCheckBox>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>
#include <QTableWidget>

#include <string>
#include <thread>
#include <vector>

#include "loconet/kvr_device_msgs.h"
#include "sim/kvr_sim_devices.h"
#include "station/kvr_dccx_loconet.h"
#include "ui/kvr_devices_wnd.h"
#include "ui/kvr_dialog_template.h"
#include "ui_test_support.h"

namespace {

// Every wait runs out at once: the answers come while the request is sent.
struct instant_waiter : kvr_waiter {
    kvr_wait_result wait(kvr_sys_event* abort, kvr_sys_event*, unsigned) override {
        return abort && abort->is_set() ? kvr_wait_result::aborted : kvr_wait_result::timed_out;
    }
};

struct station_host : kvr_view_host {
    station_host() {
        station.set_waiter(&waiter);
        station.set_abort_event(&abort);
        link.open("devices");
        link.on_send = [this](const kvr_loconet_msg& m) {
            for (const kvr_loconet_msg& a : devices.hear(m)) deliver(a);
            if (m[0] == OPC_RQ_SL_DATA && m[1] == kvr_slot_opsw) deliver(opsw);
            if (m[0] == OPC_WR_SL_DATA && m[2] == kvr_slot_opsw) {
                opsw = m;
                opsw[0] = OPC_SL_RD_DATA;
                opsw[7] = 0x07;
                opsw.renew_checksum();
                deliver(kvr_loconet_msg::with_checksum({OPC_LONG_ACK, 0x6F, 0x7F}));
            }
        };
    }
    void deliver(const kvr_loconet_msg& m) { link.receive_bytes(m.data(), static_cast<std::size_t>(m.length())); }

    bool run_station_op(const QString& what, const std::function<void(kvr_dccx_loconet&)>& op) override {
        ops.push_back(what.toStdString());
        try {
            op(station);
            return true;
        } catch (const kvr_exception& e) {
            reports.push_back(e.plain);
            return false;
        }
    }
    kvr_slot_choice slot_choice() const override { return kvr_slot_choice::automatic; }
    void take_loco(int) override {}
    void set_turnout(int, bool) override {}
    void report(std::function<void()>) override {}

    // Messages sent that change something: SV writes, LNCV writes, slot writes.
    std::vector<std::string> writes() const {
        std::vector<std::string> out;
        for (const kvr_loconet_msg& m : link.sent) {
            const auto sv = kvr_parse_sv2(m);
            const auto lncv = kvr_parse_lncv(m);
            if ((sv && (sv->cmd == kvr_sv2::write_one || sv->cmd == kvr_sv2::write_four)) ||
                (lncv && lncv->cmd == kvr_lncv::write) || m[0] == OPC_WR_SL_DATA)
                out.push_back(hex(m));
        }
        return out;
    }

    fake_link link;
    instant_waiter waiter;
    kvr_sys_event abort{true, false};
    kvr_dccx_loconet station{link};
    kvr_sim_devices devices;
    kvr_loconet_msg opsw = kvr_loconet_msg::with_checksum({0xE7, 0x0E, 0x7F, 0x10, 0, 0, 0, 0x07, 0, 0, 0, 0, 0});
    std::vector<std::string> ops, reports;
};

QString cell(QTableWidget* t, int row, int col) {
    const QTableWidgetItem* i = t->item(row, col);
    return i ? i->text() : QString();
}

std::vector<std::pair<QString, QString>> variables(const kvr_devices_wnd& w) {
    std::vector<std::pair<QString, QString>> out;
    for (int r = 0; r < w.variables_table()->rowCount(); ++r)
        out.emplace_back(cell(w.variables_table(), r, kvr_devices_wnd::var_number),
                         cell(w.variables_table(), r, kvr_devices_wnd::var_value));
    return out;
}

int row_of(const kvr_devices_wnd& w, const char* protocol) {
    for (int r = 0; r < w.devices_table()->rowCount(); ++r)
        if (cell(w.devices_table(), r, kvr_devices_wnd::dev_protocol) == protocol) return r;
    return -1;
}

using pairs = std::vector<std::pair<QString, QString>>;

TEST(DevicesWindow, DiscoverReadARangeWriteOneValueAndReadItBack) {
    station_host host;
    kvr_devices_wnd w(host, nullptr);
    w.show();
    w.discover_button()->click();
    ASSERT_EQ(w.devices_table()->rowCount(), 2);
    const int sv = row_of(w, "SV2");
    EXPECT_EQ(cell(w.devices_table(), sv, kvr_devices_wnd::dev_address), "3");
    EXPECT_EQ(cell(w.devices_table(), sv, kvr_devices_wnd::dev_identity),
              "manufacturer 13, developer 1, product 4660, serial 22136");
    EXPECT_FALSE(host.devices.lncv_programming());  // the discover's start was ended

    w.devices_table()->selectRow(sv);
    w.from_box()->setValue(0);
    w.count_box()->setValue(6);
    w.read_button()->click();
    EXPECT_EQ(variables(w), (pairs{{"0", "1"}, {"1", "3"}, {"2", "0"}, {"3", "0"}, {"4", "0"}, {"5", "0"}}));
    EXPECT_FALSE(w.progress()->isVisible());
    EXPECT_TRUE(host.writes().empty());  // reading wrote nothing

    w.variables_table()->setCurrentCell(5, kvr_devices_wnd::var_value);
    w.value_box()->setValue(77);
    w.write_button()->click();
    EXPECT_EQ(host.devices.sv(5), 77);
    EXPECT_EQ(variables(w)[5], (std::pair<QString, QString>{"5", "77"}));
    EXPECT_EQ(host.writes().size(), 1u);

    // SV 0 is read-only: the failure names device, SV and answer; the table
    // keeps what the device holds.
    w.variables_table()->setCurrentCell(0, kvr_devices_wnd::var_value);
    w.value_box()->setValue(9);
    w.write_button()->click();
    ASSERT_EQ(host.reports.size(), 1u);
    EXPECT_EQ(host.reports[0], "SV2 device 3: SV 0: write failed (B4 65 2C)");
    EXPECT_EQ(variables(w)[0].second, "1");
}

TEST(DevicesWindow, LncvRangeIsReadInOneSessionThatEnds) {
    station_host host;
    kvr_devices_wnd w(host, nullptr);
    w.discover_button()->click();
    w.devices_table()->selectRow(row_of(w, "LNCV"));
    w.from_box()->setValue(14);
    w.count_box()->setValue(3);
    w.read_button()->click();
    EXPECT_EQ(variables(w), (pairs{{"14", "0"}, {"15", "7"}}));  // LNCV 16 is not supported
    ASSERT_EQ(host.reports.size(), 1u);
    EXPECT_EQ(host.reports[0], "LNCV module 1 of article 6861: LNCV 16: not supported (B4 6D 01)");
    EXPECT_FALSE(host.devices.lncv_programming());

    w.variables_table()->setCurrentCell(0, kvr_devices_wnd::var_value);
    w.value_box()->setValue(200);
    w.write_button()->click();
    EXPECT_EQ(host.devices.lncv(14), 200);
    EXPECT_FALSE(host.devices.lncv_programming());

    // A new module address (LNCV 0, taken at the session's end): the next
    // read goes to the module where it now answers.
    w.from_box()->setValue(0);
    w.count_box()->setValue(1);
    w.read_button()->click();
    w.variables_table()->setCurrentCell(0, kvr_devices_wnd::var_value);
    w.value_box()->setValue(5);
    w.write_button()->click();
    EXPECT_EQ(host.devices.lncv_address(), 5);
    EXPECT_EQ(cell(w.devices_table(), row_of(w, "LNCV"), kvr_devices_wnd::dev_address), "5");
    w.read_button()->click();
    EXPECT_EQ(variables(w), (pairs{{"0", "5"}}));
    EXPECT_EQ(host.reports.size(), 1u);  // only LNCV 16's refusal before
}

TEST(DevicesWindow, OptionSwitchesAreWrittenOnlyAfterWriteAndAYes) {
    station_host host;
    kvr_devices_wnd w(host, nullptr);
    std::vector<QString> asked;
    bool answer = false;
    w.confirm = [&](const QString& q) {
        asked.push_back(q);
        return answer;
    };
    EXPECT_FALSE(w.opsw_write_button()->isEnabled());  // nothing read: nothing to write
    w.opsw_read_button()->click();
    EXPECT_TRUE(w.opsw_box(5)->isChecked());  // PROTOCOL-MODERN.md §4 example byte 3 = 0x10
    EXPECT_FALSE(w.opsw_box(8)->isEnabled());
    w.opsw_box(5)->setChecked(false);
    w.opsw_box(36)->setChecked(true);
    w.opsw_write_button()->click();
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_NE(asked[0].indexOf("OpSw 5 thrown, OpSw 36 closed"), -1) << asked[0].toStdString();
    EXPECT_TRUE(host.writes().empty());  // "No": nothing sent

    answer = true;
    w.opsw_write_button()->click();
    EXPECT_EQ(host.writes(), (std::vector<std::string>{"EF 0E 7F 00 00 00 00 00 08 00 00 00 00 69"}));
    EXPECT_FALSE(kvr_cs_opsw_get(host.opsw, 5));
    EXPECT_TRUE(kvr_cs_opsw_get(host.opsw, 36));
    // Unchanged since: Write sends nothing more.
    w.opsw_write_button()->click();
    EXPECT_EQ(host.writes().size(), 1u);
}

TEST(DevicesWindow, TheFeedTakesOtherProgramsAnswersAndForgetsAtEveryNewLayout) {
    station_host host;
    kvr_devices_feed feed(host, nullptr);
    // Another program's discover brought these answers (PROTOCOL-MODERN.md §3, §2).
    std::vector<kvr_drained> batch(2);
    batch[0].kind = batch[1].kind = kvr_drained::what::message;
    batch[0].msg = kvr_build_sv2(kvr_sv2_msg{1, 0x47, 3, 0x010D, {0x34, 0x12, 0x78, 0x56}});
    batch[1].msg = kvr_build_lncv(kvr_lncv_reply(6861, 0, 1));
    feed.on_batch(batch);
    feed.on_batch(batch);  // seen again: still one row each
    feed.open();
    ASSERT_NE(feed.window(), nullptr);
    EXPECT_EQ(feed.window()->devices_table()->rowCount(), 2);

    feed.window()->opsw_read_button()->click();
    feed.forget();
    EXPECT_EQ(feed.window()->devices_table()->rowCount(), 0);
    EXPECT_FALSE(feed.window()->opsw_write_button()->isEnabled());
    EXPECT_FALSE(feed.window()->opsw_box(5)->isChecked());
    delete feed.window();
}

// --- opened from the dialog --------------------------------------------------

class DevicesInDialog : public dialog_fixture {
protected:
    void receive(const kvr_loconet_msg& m) {
        std::thread([&] { link.receive_bytes(m.data(), static_cast<std::size_t>(m.length())); }).join();
    }
};

// Another program's discover answered on the bus; Close starts afresh: a
// device of one layout is not on the next.
TEST_F(DevicesInDialog, AnswersOnTheBusAreListedUntilClose) {
    make_dialog();
    dlg->open_devices_view();
    ASSERT_NE(dlg->devices_view(), nullptr);
    EXPECT_EQ(dlg->devices_view()->parentWidget(), dlg.get());
    dlg->devices_view()->discover_button()->click();  // not connected: says so, sends nothing
    pump();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, kvr_txt_not_connected);
    EXPECT_TRUE(link.sent.empty());

    connect_sim();
    receive(kvr_build_sv2(kvr_sv2_msg{1, 0x47, 3, 0x010D, {0x34, 0x12, 0x78, 0x56}}));
    ASSERT_TRUE(pump_until([&] { return dlg->devices_view()->devices_table()->rowCount() == 1; }));
    click(kvr_idc_connect);  // Close
    EXPECT_EQ(dlg->devices_view()->devices_table()->rowCount(), 0);
}

}  // namespace
