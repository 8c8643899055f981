// The window's drain: the monitor sink's queue taken on the GUI thread and
// handed to the consumers in order, and the sink itself.

#include <QCoreApplication>
#include <QEvent>
#include <QObject>
#include <QTableWidget>

#include <thread>

#include "loconet/kvr_monitor.h"
#include "station/kvr_bus_state.h"
#include "ui/kvr_dialog_template.h"
#include "ui/kvr_log_view.h"
#include "ui/kvr_monitor_sink.h"
#include "ui/kvr_slots_view.h"
#include "ui_test_support.h"

namespace {

kvr_loconet_msg msg(std::initializer_list<uint8_t> b) { return kvr_loconet_msg::with_checksum(b); }

class Drain : public dialog_fixture {
protected:
    // As the I/O thread hands bytes over; nothing is drained yet.
    void receive(const kvr_loconet_msg& m) {
        std::thread([&] { link.receive_bytes(m.data(), static_cast<std::size_t>(m.length())); }).join();
    }
};

// Lines still queued from before a Connect are the last layout's: they are
// shown, but the slot and sensor tables and the power lamp of the layout
// connected next start empty.
TEST_F(Drain, LinesOfTheLastLinkAreShownButNotTakenForTheNextLayout) {
    make_dialog();
    dlg->open_slots_view();
    // LocoNet PE: OPC_SL_RD_DATA slot 3, loco 1234, in use; OPC_INPUT_REP
    // sensor 12; OPC_GPON.
    receive(msg({0xE7, 0x0E, 3, 0x33, 1234 & 0x7F, 0, 0, 0x07, 0, 1234 >> 7, 0, 0, 0}));
    receive(msg({0xB2, 0x0B, 0x70}));
    receive(msg({0x83}));
    connect_sim();
    pump(50);
    EXPECT_EQ(dlg->bus_state().slot(3), nullptr);
    EXPECT_TRUE(dlg->bus_state().points().empty());
    EXPECT_EQ(dlg->track_power(), kvr_power_state::unknown);
    EXPECT_EQ(dlg->slots_view()->table()->rowCount(), 0);
    EXPECT_EQ(dlg->log_view()->line_count() + dlg->log_view()->pending_count(), 3);
}

// A report raised while a batch is handed on opens after the batch: a box
// opened in the middle would run the event loop there, and the next tick
// would show newer lines before the rest of this batch.
TEST_F(Drain, AReportOpensOnlyOnceTheWholeBatchIsHandedOn) {
    make_dialog();
    int lines_at_box = -1;
    kvr_set_message_box_hook([&](const std::string& text, const std::string& caption, kvr_icon) {
        boxes.push_back({text, caption});
        lines_at_box = dlg->log_view()->line_count() + dlg->log_view()->pending_count();
        return 1;
    });
    std::thread([&] {
        link.post("A\r\n");
        link.lose("the adapter went away");
        link.post("B\r\n");
    }).join();
    ASSERT_TRUE(pump_until([&] { return !boxes.empty(); }));
    pump(50);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, "the adapter went away");
    EXPECT_EQ(lines_at_box, 2);
    EXPECT_EQ(log_text(), "A\nB\n");
}

// The sink's target counts its wake-ups.
class wake_counter : public QObject {
public:
    int wakes = 0;

protected:
    void customEvent(QEvent* e) override {
        if (e->type() == kvr_monitor_sink::wake_event)
            ++wakes;
    }
};

TEST(MonitorSink, OneWakeUpPerBatchAndTheExtendedLineOnlyWhenAsked) {
    wake_counter target;
    kvr_monitor_sink sink(&target);
    // LocoNet PE: OPC_SLOT_STAT1 slot 37 STAT 0x1B; the monitor leaves the
    // consist bits of slot status out, the extended line names them.
    const kvr_loconet_msg stat1 = msg({0xB5, 0x25, 0x1B});
    std::thread([&] {
        for (int i = 0; i < 3; ++i) sink.on_message(stat1, {1, 0});
    }).join();
    QCoreApplication::processEvents();
    EXPECT_EQ(target.wakes, 1);
    std::vector<kvr_drained> batch = sink.take(false);
    ASSERT_EQ(batch.size(), 3u);
    EXPECT_EQ(batch[0].line, kvr_monitor::line(stat1));
    EXPECT_EQ(batch[0].shown(), batch[0].line);

    // Still armed: the window's tick collects what comes next.
    sink.set_extended(true);
    sink.on_message(stat1, {2, 0});
    QCoreApplication::processEvents();
    EXPECT_EQ(target.wakes, 1);
    batch = sink.take(true);
    ASSERT_EQ(batch.size(), 1u);
    EXPECT_EQ(batch[0].line, kvr_monitor::line(stat1));
    EXPECT_EQ(batch[0].shown(), "OPC_SLOT_STAT1  :SLOT#[37] Consist Top 128spd COMMON\r\n");

    // A tick that found nothing re-arms the wake-up.
    EXPECT_TRUE(sink.take(true).empty());
    sink.on_link_lost("gone");
    QCoreApplication::processEvents();
    EXPECT_EQ(target.wakes, 2);
    sink.detach();
    sink.on_note("after\r\n");
    batch = sink.take(true);
    ASSERT_EQ(batch.size(), 1u);
    EXPECT_EQ(batch[0].kind, kvr_drained::what::lost);
}

}  // namespace
