// The log view: batching, the line limit at either end, scrolling, the
// reading tools (stamps, hex, filter, pause, save, selection and copy) and
// its menu from the keyboard.

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QLineEdit>
#include <QScrollBar>
#include <QTest>

#include "ui/kvr_dialog_template.h"
#include "ui/kvr_log_view.h"
#include "ui_test_support.h"

namespace {

// 2026-12-06 21:07:05.042 in local time, whatever the machine's zone.
int64_t local_ms(int h, int m, int s, int ms) {
    return QDateTime(QDate(2026, 12, 6), QTime(h, m, s, ms)).toMSecsSinceEpoch();
}

// Shortcuts reach only the active window.
void show_active(kvr_log_view& view) {
    view.resize(300, 200);
    view.show();
    view.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&view));
    view.setFocus();
}

void add(kvr_log_view& view, const char* text, int64_t ms = -1, std::vector<uint8_t> bytes = {}) {
    view.append_line(QString::fromUtf8(text) + "\r\n", ms, bytes);
}

}  // namespace

TEST(LogView, KeepsNewestLinesInBothModes) {
    for (int mode : {0, 1}) {
        kvr_log_view view;
        view.set_max_lines(3);
        view.set_log_mode(mode);
        for (int i = 0; i < 9; ++i) {
            view.append_text(QStringLiteral("L%1\r\n").arg(i));
            if (i % 2)
                view.flush();  // trimmed per batch and across batches
        }
        view.flush();
        EXPECT_EQ(view.toPlainText(), mode == 0 ? "L6\nL7\nL8\n" : "L8\nL7\nL6\n") << mode;
        EXPECT_EQ(view.line_count(), 3);
    }
}

TEST(LogView, SwitchingModesKeepsTheOrderShownAndTrimsTheFarEnd) {
    kvr_log_view view;
    view.set_max_lines(4);
    for (const char* t : {"A", "B", "C"})
        add(view, t);
    view.set_log_mode(1);
    add(view, "D");
    view.flush();
    EXPECT_EQ(view.toPlainText(), "D\nA\nB\nC\n");
    add(view, "E");
    view.flush();  // stack mode drops from the bottom
    EXPECT_EQ(view.toPlainText(), "E\nD\nA\nB\n");
}

TEST(LogView, BatchesTextsKeepsBlankLinesAndClearDropsPendingLines) {
    kvr_log_view view;
    view.append_text("\r\nA\r\n");  // a blank monitor line stays a line
    view.append_text("B\r\n");
    EXPECT_EQ(view.pending_count(), 2);  // shown as one batch, by the timer
    ASSERT_TRUE(pump_until([&] { return view.line_count() == 3; }));
    EXPECT_EQ(view.toPlainText(), "\nA\nB\n");
    view.append_text("C\r\n");
    view.clear_text();
    view.flush();
    EXPECT_EQ(view.toPlainText(), "");
    EXPECT_EQ(view.line_count(), 0);
}

TEST(LogView, ScrollsToTheNewestLine) {
    kvr_log_view view;
    view.resize(300, 100);
    view.show();
    for (int i = 0; i < 200; ++i)
        view.append_text(QStringLiteral("line %1\r\n").arg(i));
    view.flush();
    pump();
    QScrollBar* bar = view.verticalScrollBar();
    EXPECT_GT(bar->maximum(), 0);
    EXPECT_EQ(bar->value(), bar->maximum());
    view.set_log_mode(1);
    view.append_text("top\r\n");
    view.flush();
    EXPECT_EQ(bar->value(), 0);
}

TEST(LogView, StampsAndHexColumnsAreOffByDefaultAndFormatEachLine) {
    kvr_log_view view;
    add(view, "OPC_GPON:", local_ms(21, 7, 5, 42), {0x83, 0x7C});
    add(view, "typed");  // a line without bytes gets no hex column
    view.flush();
    EXPECT_EQ(view.toPlainText().split('\n').first(), "OPC_GPON:");
    view.set_show_time(true);
    EXPECT_TRUE(view.toPlainText().startsWith("21:07:05.042 OPC_GPON:\n"));
    view.set_show_hex(true);
    view.set_show_time(false);
    EXPECT_EQ(view.toPlainText(), "OPC_GPON: | 83 7C\ntyped\n");
    view.set_show_time(true);
    add(view, "", local_ms(0, 0, 0, 7), {0xA3, 0x01, 0x05, 0x58});
    view.flush();
    EXPECT_EQ(view.toPlainText().split('\n').at(2), "00:00:00.007  | A3 01 05 58");
    // Long lines and long messages (peer transfers, immediate packets) keep
    // every character and byte.
    const QString long_text = QString(150, QChar('x')) + "é";
    std::vector<uint8_t> long_msg(16, 0x11);
    view.set_show_time(false);
    view.append_line(long_text + "\r\n", -1, long_msg);
    view.flush();
    EXPECT_EQ(view.toPlainText().split('\n').at(3), long_text + " |" + QString(" 11").repeated(16));
}

TEST(LogView, FilterShowsMatchingHeldAndNewLinesAndEscapeClearsIt) {
    kvr_log_view view;
    view.set_max_lines(5);
    add(view, "OPC_LOCO_SPD:SLOT#[1]", -1, {0xA0, 0x01, 0x10, 0x4E});
    add(view, "OPC_GPON:");
    add(view, "opc_loco_dirf:SLOT#[2]");
    view.flush();
    view.set_filter("LOCO");  // case ignored
    EXPECT_EQ(view.toPlainText(), "OPC_LOCO_SPD:SLOT#[1]\nopc_loco_dirf:SLOT#[2]\n");
    add(view, "OPC_GPOFF:");
    add(view, "OPC_LOCO_SND:SLOT#[3]");
    view.flush();
    EXPECT_EQ(view.shown_count(), 3);
    view.set_filter("a0 01");  // the hex column matches only while shown
    EXPECT_EQ(view.shown_count(), 0);
    view.set_show_hex(true);
    EXPECT_EQ(view.toPlainText(), "OPC_LOCO_SPD:SLOT#[1] | A0 01 10 4E\n");
    // Lines dropped by the limit leave the filtered list too.
    for (int i = 0; i < 5; ++i)
        add(view, "OPC_IDLE:");
    view.flush();
    EXPECT_EQ(view.shown_count(), 0);

    show_active(view);
    QTest::keyClick(&view, Qt::Key_F, Qt::ControlModifier);
    ASSERT_TRUE(view.filter_edit()->isVisible());
    QTest::keyClicks(view.filter_edit(), "x");
    EXPECT_EQ(view.filter(), "x");
    QTest::keyClick(view.filter_edit(), Qt::Key_Escape);
    EXPECT_EQ(view.filter(), "");
    EXPECT_FALSE(view.filter_edit()->isVisible());
    EXPECT_EQ(view.shown_count(), 5);
}

TEST(LogView, PauseHoldsTheLinesInSightWhileLinesKeepArriving) {
    for (int mode : {0, 1}) {
        kvr_log_view view;
        view.set_max_lines(1000);
        view.set_log_mode(mode);
        view.resize(300, 150);
        view.show();
        for (int i = 0; i < 300; ++i)
            view.append_text(QStringLiteral("early %1\r\n").arg(i));
        view.flush();
        const int first = view.first_visible();
        const QString top = view.toPlainText().split('\n').at(first);
        view.set_paused(true);
        for (int i = 0; i < 900; ++i)  // 200 early lines fall off the far end
            view.append_text(QStringLiteral("late %1\r\n").arg(i));
        view.flush();
        EXPECT_EQ(view.line_count(), 1000) << mode;  // held, not shown differently
        EXPECT_EQ(view.toPlainText().split('\n').at(view.first_visible()), top) << mode;
        view.set_paused(false);
        QScrollBar* bar = view.verticalScrollBar();
        EXPECT_EQ(bar->value(), mode == 0 ? bar->maximum() : 0) << mode;
        EXPECT_TRUE(view.toPlainText().contains("late 899\n")) << mode;
    }
}

TEST(LogView, SavesAndCopiesTheLinesAsShown) {
    kvr_log_view view;
    show_active(view);
    add(view, "OPC_GPON:", -1, {0x83, 0x7C});
    add(view, "OPC_GPOFF:", -1, {0x82, 0x7D});
    add(view, "OPC_IDLE:", -1, {0x85, 0x7A});
    view.flush();
    view.set_show_hex(true);
    view.set_filter("GP");
    QTemporaryDir dir;
    const QString path = dir.filePath("view.txt");
    QString error;
    ASSERT_TRUE(view.save_to(path, &error)) << error.toStdString();
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), "OPC_GPON: | 83 7C\nOPC_GPOFF: | 82 7D\n");
    EXPECT_FALSE(view.save_to(dir.filePath("no/such/dir/view.txt"), &error));
    EXPECT_FALSE(error.isEmpty());

    // Click the first line, Shift+click the second, copy.
    const int row = view.fontMetrics().height();
    QTest::mouseClick(view.viewport(), Qt::LeftButton, {}, QPoint(10, row / 2));
    QTest::mouseClick(view.viewport(), Qt::LeftButton, Qt::ShiftModifier, QPoint(10, row + row / 2));
    QTest::keyClick(&view, Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(QApplication::clipboard()->text(), "OPC_GPON: | 83 7C\nOPC_GPOFF: | 82 7D\n");
    view.set_filter("");
    QTest::keyClick(&view, Qt::Key_A, Qt::ControlModifier);
    EXPECT_EQ(view.selected_text().count('\n'), 3);
}

// Shift+F10 opens the monitor's menu from anywhere in the window, and "Save
// view as…" proposes a dated name in the folder last saved to.
class MonitorMenu : public dialog_fixture {};

TEST_F(MonitorMenu, ShiftF10OpensItAnywhereInTheWindowAndSaveProposesADatedName) {
    make_dialog();
    dlg->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(dlg.get()));
    dlg->control(kvr_idc_loco_adr)->setFocus();
    QStringList items;
    QTimer::singleShot(0, [&] {
        pump_until([] { return QApplication::activePopupWidget() != nullptr; });
        if (QWidget* popup = QApplication::activePopupWidget()) {
            for (QAction* a : popup->actions())
                items << a->text();
            popup->close();
        }
    });
    QTest::keyClick(dlg->control(kvr_idc_loco_adr), Qt::Key_F10, Qt::ShiftModifier);
    EXPECT_TRUE(items.contains("&Save view as…")) << items.join(", ").toStdString();

    kvr_log_view* view = dlg->log_view();
    const QRegularExpression dated(QStringLiteral("^busprobe-\\d{8}-\\d{6}\\.txt$"));
    QFileInfo proposed(view->proposed_save_path());
    EXPECT_TRUE(dated.match(proposed.fileName()).hasMatch()) << proposed.fileName().toStdString();
    EXPECT_EQ(proposed.absolutePath(), QDir::currentPath());
    const QString before = QDateTime::currentDateTime().toString("yyyyMMdd-HHmmss");
    proposed = QFileInfo(view->proposed_save_path());
    const QString after = QDateTime::currentDateTime().toString("yyyyMMdd-HHmmss");
    const QString stamp = proposed.fileName().mid(9, 15);
    EXPECT_TRUE(stamp >= before && stamp <= after) << stamp.toStdString();

    QString error;
    ASSERT_TRUE(view->save_to(dir.filePath("first.txt"), &error)) << error.toStdString();
    EXPECT_EQ(QFileInfo(view->proposed_save_path()).absolutePath(), QFileInfo(dir.path()).absoluteFilePath());
}
