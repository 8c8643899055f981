// The log view: batching, the line limit at either end, user text, scrolling.

#include <QScrollBar>

#include "ui/kvr_log_view.h"
#include "ui_test_support.h"

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
    }
}

TEST(LogView, BatchesTextsKeepsUserTextAndClearDropsPendingLines) {
    kvr_log_view view;
    view.setPlainText("typed");
    view.append_text("\r\nA\r\n");
    view.append_text("B\r\n");
    EXPECT_EQ(view.pending_count(), 2);  // shown as one batch, by the timer
    ASSERT_TRUE(pump_until([&] { return view.line_count() == 3; }, 1000));
    EXPECT_EQ(view.toPlainText(), "typed\nA\nB\n");
    view.append_text("C\r\n");
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
