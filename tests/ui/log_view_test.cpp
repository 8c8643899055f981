// The log view: order in both modes, the line limit at either end, batching.

#include <QScrollBar>

#include "ui/kvr_log_view.h"
#include "ui_test_support.h"

TEST(LogView, BatchesTextsUntilFlushOrTimer) {
    kvr_log_view view;
    view.append_text("A\r\n");
    view.append_text("B\r\n");
    EXPECT_EQ(view.line_count(), 0);
    EXPECT_EQ(view.pending_count(), 2);
    ASSERT_TRUE(pump_until([&] { return view.line_count() == 2; }, 1000));
    EXPECT_EQ(view.toPlainText(), "A\nB\n");
}

TEST(LogView, ModeSwitchKeepsWhatWasShown) {
    kvr_log_view view;
    view.append_text("A\r\n");
    view.append_text("B\r\n");
    view.set_log_mode(1);
    view.append_text("C\r\n");
    view.append_text("D\r\n");
    view.set_log_mode(0);
    view.append_text("E\r\n");
    view.flush();
    EXPECT_EQ(view.toPlainText(), "D\nC\nA\nB\nE\n");
    EXPECT_EQ(view.line_count(), 5);
}

TEST(LogView, KeepsNewestLinesInBothModes) {
    struct {
        int mode;
        const char* expected;
    } cases[] = {{0, "L6\nL7\nL8\n"}, {1, "L8\nL7\nL6\n"}};
    for (const auto& c : cases) {
        kvr_log_view view;
        view.set_max_lines(3);
        view.set_log_mode(c.mode);
        for (int i = 0; i < 9; ++i) {
            view.append_text(QStringLiteral("L%1\r\n").arg(i));
            if (i % 2)
                view.flush();  // trimmed per batch and across batches
        }
        view.flush();
        EXPECT_EQ(view.toPlainText(), c.expected) << c.mode;
    }
}

TEST(LogView, UserTextStaysAndClearDropsPendingLines) {
    kvr_log_view view;
    view.setPlainText("typed");
    view.append_text("\r\nA\r\n");
    view.flush();
    EXPECT_EQ(view.toPlainText(), "typed\nA\n");
    view.append_text("B\r\n");
    view.clear_text();
    view.flush();
    EXPECT_EQ(view.toPlainText(), "");
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

TEST(LogView, WholeTextRewriteGivesTheSameText) {
    kvr_log_view fast;
    QPlainTextEdit slow;
    for (int mode : {0, 1, 0}) {
        fast.set_log_mode(mode);
        for (const char* t : {"x\r\n", "y\r\n"}) {
            fast.append_text(t);
            kvr_log_rewrite_whole(slow, t, mode);
        }
    }
    fast.flush();
    EXPECT_EQ(fast.toPlainText(), slow.toPlainText());
}
