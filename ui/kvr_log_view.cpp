#include "ui/kvr_log_view.h"

#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>

namespace {

QString as_view_text(QString text) {
    // A monitor line ends in CR LF; the view separates lines by LF only.
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    return text;
}

}  // namespace

kvr_log_view::kvr_log_view(QWidget* parent) : QPlainTextEdit(parent) {
    setLineWrapMode(QPlainTextEdit::NoWrap);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    // An undo history would keep every line ever shown.
    setUndoRedoEnabled(false);
    // Tab moves on to the next control; a tab character in the monitor text
    // would only shift its columns.
    setTabChangesFocus(true);
    timer_.setSingleShot(true);
    timer_.setInterval(default_batch_ms);
    connect(&timer_, &QTimer::timeout, this, [this] { flush(); });
}

void kvr_log_view::append_text(const QString& text) {
    pending_.append(text);
    // Lines beyond what the view keeps would be dropped at once anyway.
    if (pending_.size() > max_lines_)
        pending_.removeFirst();
    if (!timer_.isActive())
        timer_.start();
}

void kvr_log_view::flush() {
    timer_.stop();
    if (pending_.isEmpty())
        return;
    QString batch;
    if (mode_ == 0) {
        for (const QString& t : pending_)
            batch += as_view_text(t);
    } else {
        for (auto it = pending_.crbegin(); it != pending_.crend(); ++it)
            batch += as_view_text(*it);
    }
    pending_.clear();

    QTextCursor cursor(document());
    cursor.movePosition(mode_ == 0 ? QTextCursor::End : QTextCursor::Start);
    cursor.insertText(batch);
    trim(mode_ == 0);

    QScrollBar* bar = verticalScrollBar();
    bar->setValue(mode_ == 0 ? bar->maximum() : bar->minimum());
}

int kvr_log_view::line_count() const {
    const QTextDocument* doc = document();
    const bool last_empty = doc->lastBlock().length() <= 1;
    return doc->blockCount() - (last_empty ? 1 : 0);
}

void kvr_log_view::set_log_mode(int mode) {
    if (mode == mode_)
        return;
    // Lines already received keep the order of the mode they arrived in.
    flush();
    mode_ = mode;
}

void kvr_log_view::clear_text() {
    timer_.stop();
    pending_.clear();
    clear();
}

void kvr_log_view::set_max_lines(int n) {
    max_lines_ = std::max(1, n);
}

void kvr_log_view::trim(bool at_top) {
    const int excess = line_count() - max_lines_;
    if (excess <= 0)
        return;
    QTextCursor cursor(document());
    if (at_top) {
        cursor.movePosition(QTextCursor::Start);
        cursor.movePosition(QTextCursor::NextBlock, QTextCursor::KeepAnchor, excess);
    } else {
        // Oldest lines sit just above the final (empty) line.
        cursor.movePosition(QTextCursor::End);
        cursor.movePosition(QTextCursor::StartOfBlock);
        cursor.movePosition(QTextCursor::PreviousBlock, QTextCursor::KeepAnchor, excess);
    }
    cursor.removeSelectedText();
}
