// The monitor's log view, offscreen: the cost of adding one line to a view
// that already holds 1,000 or 1,000,000 lines, against reading and rewriting
// the whole text at 10,000 lines, the way the view once added a line; and
// the time a filter takes to apply to a full view of 200,000 lines.
//
// Each added line is applied at once (a batch of one): the figure is the
// document update, the trim and the scroll of one line. Painting is left out
// of the timing: it happens once per screen refresh whatever the number of
// lines held, and the event loop runs between timed steps. Times are the
// processor time of the GUI thread. The view is full: it keeps exactly the
// lines it holds, so every line added also drops the oldest one, as in a
// monitor left running.

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QString>

#include <algorithm>
#include <cstdlib>

#include "bench/bench_summary.h"
#include "ui/kvr_log_view.h"

namespace {

// About one screen refresh at the rate of a busy bus.
constexpr int paint_every = 16;

// A typical monitor line, CR LF as the link posts it.
QString line_text(int i) {
    return QStringLiteral("OPC_INPUT_REP   :SENSOR#[%1] is Hi(Occupied)\r\n").arg(i % 4096 + 1);
}

// The way the view used to add a line: read the whole text, add the line,
// put the whole text back. Its cost grows with the text already shown.
void rewrite_whole(QPlainTextEdit& view, const QString& text) {
    QString all = view.toPlainText();
    all += QString(text).replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    view.setPlainText(all);
    QScrollBar* bar = view.verticalScrollBar();
    bar->setValue(bar->maximum());
}

QString lines_of(int count) {
    QString all;
    all.reserve(count * 48);
    for (int i = 0; i < count; ++i) {
        all += QStringLiteral("OPC_LOCO_SPD    :SPEED[%1] in SLOT#[%2]\n").arg(i % 128).arg(i % 120 + 1);
    }
    return all;
}

// `count` speed lines, each with its four message bytes.
void fill(kvr_log_view& view, int count) {
    for (int i = 0; i < count; ++i) {
        const uint8_t slot = static_cast<uint8_t>(i % 120 + 1);
        const uint8_t speed = static_cast<uint8_t>(i % 128);
        view.append_line(QStringLiteral("OPC_LOCO_SPD    :SPEED[%1] in SLOT#[%2]\r\n").arg(speed).arg(slot), -1,
                         {0xA0, slot, speed, static_cast<uint8_t>(0xFF ^ 0xA0 ^ slot ^ speed)});
        if (i % 10000 == 9999)
            view.flush();
    }
    view.flush();
}

template <class View>
void show_view(View& view) {
    view.resize(800, 600);
    view.show();
    QApplication::processEvents();
}

void append_at(benchmark::State& state, int held, const char* figure) {
    kvr_log_view view;
    view.set_max_lines(held);
    fill(view, held);
    show_view(view);
    if (view.line_count() != held) {
        state.SkipWithError("the view does not hold the lines it was given");
        return;
    }
    int i = 0;
    double us = 0.0;
    for (auto _ : state) {
        const QString text = line_text(i++);
        const double t0 = bench_summary::thread_seconds();
        view.append_text(text);
        view.flush();
        us += (bench_summary::thread_seconds() - t0) * 1e6;
        if (i % paint_every == 0) QApplication::processEvents();
    }
    if (view.line_count() != held) state.SkipWithError("the view did not keep its line count");
    bench_summary::record(figure, us / static_cast<double>(state.iterations()), "us");
}

void BM_LogViewAppend1k(benchmark::State& state) {
    append_at(state, 1000, "logview_append_us_at_1k");
}
void BM_LogViewAppend1m(benchmark::State& state) {
    append_at(state, 1000000, "logview_append_us_at_1m");
}

void BM_LogViewRewrite10k(benchmark::State& state) {
    QPlainTextEdit view;
    view.setLineWrapMode(QPlainTextEdit::NoWrap);
    view.setUndoRedoEnabled(false);
    view.setPlainText(lines_of(10000));
    show_view(view);
    int i = 0;
    double us = 0.0;
    for (auto _ : state) {
        const QString text = line_text(i++);
        const double t0 = bench_summary::thread_seconds();
        rewrite_whole(view, text);
        us += (bench_summary::thread_seconds() - t0) * 1e6;
        if (i % paint_every == 0) QApplication::processEvents();
    }
    bench_summary::record("logview_rewrite_us_at_10k", us / static_cast<double>(state.iterations()), "us");
}

// Filters a user would type: a rare text, a common one, one that needs the
// hex column. The figure is the slowest, painting of the result included.
void BM_LogViewFilter200k(benchmark::State& state) {
    kvr_log_view view;
    fill(view, 200000);
    view.set_show_hex(true);
    show_view(view);
    double worst_ms = 0.0;
    for (auto _ : state) {
        for (const char* text : {"SLOT#[17]", "speed", "A0 05 7F", ""}) {
            const double t0 = bench_summary::thread_seconds();
            view.set_filter(QString::fromUtf8(text));
            view.viewport()->repaint();
            worst_ms = std::max(worst_ms, (bench_summary::thread_seconds() - t0) * 1e3);
        }
    }
    if (view.shown_count() != 200000) state.SkipWithError("the view did not show every line again");
    bench_summary::record("logview_filter_ms_at_200k", worst_ms, "ms");
}

// Filling a million lines takes seconds: each view is built once, for a
// fixed number of lines added.
BENCHMARK(BM_LogViewAppend1k)->Iterations(5000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_LogViewAppend1m)->Iterations(5000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_LogViewRewrite10k)->Iterations(100)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_LogViewFilter200k)->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    if (std::getenv("QT_QPA_PLATFORM") == nullptr) setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    return bench_summary::run(argc, argv);
}
