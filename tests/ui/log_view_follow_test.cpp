// The log view while the user reads back: scrolled away from the newest
// line it stays put and counts the new lines; and the filters by kind of
// message and by loco, turnout or sensor number.

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTest>

#include "loconet/kvr_msg_reading.h"
#include "station/kvr_bus_state.h"
#include "ui/kvr_log_view.h"
#include "ui_test_support.h"

namespace {

void add_lines(kvr_log_view& view, const char* what, int n) {
    for (int i = 0; i < n; ++i)
        view.append_text(QStringLiteral("%1 %2\r\n").arg(QString::fromUtf8(what)).arg(i));
    view.flush();
}

QString line_at_top(const kvr_log_view& view) {
    return view.toPlainText().split('\n').at(view.first_visible());
}

TEST(LogViewFollow, ScrolledAwayItStaysAndCountsNewLinesUntilBackOrClicked) {
    for (int mode : {0, 1}) {
        SCOPED_TRACE(mode);
        kvr_log_view view;
        view.set_log_mode(mode);
        view.resize(300, 150);
        view.show();
        add_lines(view, "early", 300);
        QScrollBar* bar = view.verticalScrollBar();
        EXPECT_TRUE(view.following());

        // The user scrolls 40 lines away from the newest.
        bar->setValue(mode == 0 ? bar->maximum() - 40 : 40);
        EXPECT_FALSE(view.following());
        const QString top = line_at_top(view);
        add_lines(view, "late", 120);
        EXPECT_EQ(line_at_top(view), top);
        EXPECT_EQ(view.new_lines(), 120);
        ASSERT_TRUE(view.new_lines_bar()->isVisible());
        EXPECT_EQ(view.new_lines_bar()->text(), "120 new lines");
        // At the newest edge of the lines, beside them: it once covered the
        // last row in sight.
        const QRect b = view.new_lines_bar()->geometry();
        const QRect lines = view.viewport()->geometry();
        EXPECT_FALSE(b.intersects(lines));
        EXPECT_EQ(mode == 0 ? b.top() : b.bottom(), mode == 0 ? lines.bottom() + 1 : lines.top() - 1);
        EXPECT_EQ(line_at_top(view), top) << "the rows in sight moved when the bar came";

        QTest::mouseClick(view.new_lines_bar(), Qt::LeftButton);
        EXPECT_TRUE(view.following());
        EXPECT_FALSE(view.new_lines_bar()->isVisible());
        EXPECT_EQ(bar->value(), mode == 0 ? bar->maximum() : 0);
        add_lines(view, "later", 5);
        EXPECT_EQ(bar->value(), mode == 0 ? bar->maximum() : 0);
        EXPECT_TRUE(line_at_top(view).startsWith(mode == 0 ? "late" : "later 4"));

        // Scrolling back to the newest line by hand follows again too.
        bar->setValue(mode == 0 ? bar->maximum() - 3 : 3);
        add_lines(view, "more", 1);
        EXPECT_EQ(view.new_lines_bar()->text(), "1 new line");
        bar->setValue(mode == 0 ? bar->maximum() : 0);
        EXPECT_TRUE(view.following());
        EXPECT_FALSE(view.new_lines_bar()->isVisible());
        add_lines(view, "last", 2);
        EXPECT_EQ(view.new_lines(), 0);
        EXPECT_EQ(bar->value(), mode == 0 ? bar->maximum() : 0);
    }
}

// The count is of the new lines the filter lets through, also when the
// filter changes while the view is held; a choice that fits the view leaves
// nothing out of sight.
TEST(LogViewFollow, NewLinesAreCountedAmongTheLinesTheFilterShows) {
    for (int mode : {0, 1}) {
        SCOPED_TRACE(mode);
        kvr_log_view view;
        view.set_log_mode(mode);
        view.resize(300, 150);
        view.show();
        add_lines(view, "early y", 300);
        QScrollBar* bar = view.verticalScrollBar();
        bar->setValue(mode == 0 ? bar->maximum() - 40 : 40);
        add_lines(view, "late x", 30);
        add_lines(view, "late y", 20);
        EXPECT_EQ(view.new_lines(), 50);
        view.set_filter("y");
        EXPECT_EQ(view.new_lines(), 20);
        EXPECT_FALSE(view.following());
        view.set_filter("");
        EXPECT_EQ(view.new_lines(), 50);
        view.set_filter("late x");  // 30 lines: more than in sight
        EXPECT_EQ(view.new_lines(), 30);
        view.set_filter("late x 5");  // one line: in sight
        EXPECT_TRUE(view.following());
        EXPECT_EQ(view.new_lines(), 0);
        EXPECT_FALSE(view.new_lines_bar()->isVisible());
    }
}

// As the window hands a message on: read once, fed to its bus state, and
// the subject the bus state gives for the reading.
void add_msg(kvr_log_view& view, kvr_bus_state& bus, const char* text, std::vector<uint8_t> bytes) {
    kvr_msg_subject subject;
    if (!bytes.empty()) {
        kvr_loconet_msg m;
        for (uint8_t b : bytes) m.append(b);
        const kvr_msg_reading r = kvr_read_message(m);
        bus.on_reading(r, {});
        subject = bus.subject(r);
    }
    view.append_line(QString::fromUtf8(text) + "\r\n", -1, bytes, subject);
}

TEST(LogViewFollow, FiltersByKindAndNumberBesideTheText) {
    kvr_log_view view;
    kvr_bus_state bus;
    // LocoNet PE opcode summary layouts; checksums worked by hand. B2 05 50
    // is "INPUT#[6 (1:2)] for (aux on )" in the monitor: sensor 6.
    add_msg(view, bus, "sw11", {0xB0, 0x0A, 0x30, 0x75});
    add_msg(view, bus, "sensor6", {0xB2, 0x05, 0x50, 0x18});
    add_msg(view, bus, "gpon", {0x83, 0x7C});
    add_msg(view, bus, "adr3", {0xBF, 0x00, 0x03, 0x43});
    add_msg(view, bus, "slot5", {0xE7, 0x0E, 0x05, 0x33, 0x03, 0, 0, 0x07, 0, 0, 0, 0, 0, 0x24});
    add_msg(view, bus, "spd5", {0xA0, 0x05, 0x3F, 0x65});
    add_msg(view, bus, "text only", {});
    view.flush();
    const auto row_of = [](const char* name) {
        for (int i = 0; i < static_cast<int>(std::size(kvr_msg_kind_rows)); ++i)
            if (std::string(kvr_msg_kind_rows[i].name) == name) return i;
        return -1;
    };
    view.set_kind_filter(row_of("Switches and turnouts"));
    EXPECT_EQ(view.toPlainText(), "sw11\n");
    view.set_kind_filter(row_of("Other"));
    EXPECT_EQ(view.toPlainText(), "text only\n");
    view.set_kind_filter(0);
    view.set_number_filter(11);
    EXPECT_EQ(view.toPlainText(), "sw11\n");
    view.set_number_filter(6);
    EXPECT_EQ(view.toPlainText(), "sensor6\n");
    view.set_number_filter(3);
    view.set_kind_filter(row_of("Locos and slots"));
    EXPECT_EQ(view.toPlainText(), "adr3\nslot5\nspd5\n");
    view.set_filter("SPD");
    EXPECT_EQ(view.toPlainText(), "spd5\n");
    add_msg(view, bus, "spd5 again", {0xA0, 0x05, 0x00, 0x5A});  // new lines pass the same test
    add_msg(view, bus, "spd6", {0xA0, 0x06, 0x00, 0x59});
    view.flush();
    EXPECT_EQ(view.toPlainText(), "spd5\nspd5 again\n");
}

TEST(LogViewFollow, TheFilterBarHoldsKindNumberAndTextAndEscapeClearsAll) {
    kvr_log_view view;
    view.resize(400, 200);
    view.show();
    view.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&view));
    view.setFocus();
    kvr_bus_state bus;
    add_msg(view, bus, "sw11", {0xB0, 0x0A, 0x30, 0x75});
    add_msg(view, bus, "gpon", {0x83, 0x7C});
    view.flush();
    QTest::keyClick(&view, Qt::Key_F, Qt::ControlModifier);
    ASSERT_TRUE(view.kind_box()->isVisible());
    ASSERT_TRUE(view.number_edit()->isVisible());
    EXPECT_EQ(view.kind_box()->y(), view.filter_edit()->y());
    view.kind_box()->setCurrentIndex(4);  // "Power"
    EXPECT_EQ(view.toPlainText(), "gpon\n");
    QTest::keyClicks(view.number_edit(), "11");
    EXPECT_EQ(view.number_filter(), 11);
    EXPECT_EQ(view.toPlainText(), "");
    QTest::keyClick(view.number_edit(), Qt::Key_Escape);
    EXPECT_EQ(view.kind_filter(), 0);
    EXPECT_EQ(view.number_filter(), -1);
    EXPECT_FALSE(view.kind_box()->isVisible());
    EXPECT_EQ(view.toPlainText(), "sw11\ngpon\n");
}

}  // namespace
