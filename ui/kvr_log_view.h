#pragma once
// The monitor's log view: an editable multi-line text that receives one
// monitor line (ending in CR LF) at a time and keeps up with any rate.
//
// Cost per line does not depend on how much the view holds: lines are
// inserted at one end through a cursor instead of reading and rewriting the
// whole text, lines arriving in a burst are applied in one batch (a short
// timer, or flush()), and the view keeps at most max_lines() lines, dropping
// the oldest from the far end. In normal mode lines go to the bottom and the
// view scrolls there; in stack mode they go to the top and the view shows the
// top. Switching modes does not reorder what is shown. Text typed by the user
// stays part of the text.
//
// API for the dialog and for measurements:
//   append_text(t)   queue one received text for the next batch
//   flush()          apply the pending batch now
//   line_count()     lines applied (a final empty line is not counted)
//   set_log_mode(m)  0 normal, any other value stack; applies to later texts
//   clear_text()     empty view, pending batch dropped

#include <QPlainTextEdit>
#include <QString>
#include <QStringList>
#include <QTimer>

class kvr_log_view : public QPlainTextEdit {
public:
    static constexpr int default_max_lines = 200000;
    static constexpr int default_batch_ms = 30;

    explicit kvr_log_view(QWidget* parent = nullptr);

    void append_text(const QString& text);
    void flush();
    int line_count() const;
    int pending_count() const { return static_cast<int>(pending_.size()); }

    void set_log_mode(int mode);

    void clear_text();

    void set_max_lines(int n);
    int max_lines() const { return max_lines_; }

private:
    void trim(bool at_top);

    QStringList pending_;  // oldest first
    QTimer timer_;
    int mode_ = 0;
    int max_lines_ = default_max_lines;
};
