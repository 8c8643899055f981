#pragma once
// The monitor's log view: a compact ring of monitor lines that paints only
// the lines in sight, so its cost per line does not depend on how much it
// holds and 200,000 lines take a few tens of megabytes.
//
// Each line keeps its text, its receive time and the message bytes, so the
// time stamp column ("HH:MM:SS.mmm ") and the hex column (" | B0 0A 30 75")
// are formatted only when painted, filtered or copied.
//
// Lines arriving in a burst are applied in one batch (a short timer, or
// flush()); the view keeps at most max_lines() lines, dropping the oldest
// from the far end. In normal mode lines go to the bottom and the view
// scrolls there; in stack mode they go to the top and the view shows the top.
// Switching modes does not reorder what is shown.
//
// Reading a busy bus: a filter (Ctrl+F, a bar under the lines; Escape clears
// it) shows only the lines containing a text, case ignored, of one kind of
// message, or about one loco, turnout or sensor number, at once for held and
// new lines. Pause keeps the lines in sight where they are while new lines
// are still held. So does scrolling away from the newest line: a bar over
// the view's newest edge then counts the "N new lines" below (above, in
// stack mode) until the view is back at the newest line or the bar is
// clicked. Lines are selected with the mouse (Shift extends, Ctrl+A all)
// and copied as shown (Ctrl+C).
//
// API for the dialog, tests and measurements:
//   append_text(t)         queue one received text (CR LF ends each line)
//   append_line(t, ms, b)  the same with its receive time and message bytes
//   flush()                apply the pending batch now
//   line_count()           lines held
//   toPlainText()          the lines shown, as shown, each ending in LF
//   set_log_mode(m)        0 normal, any other value stack; applies to later texts
//   clear_text()           empty view, pending batch dropped

#include <QAbstractScrollArea>
#include <QByteArray>
#include <QStaticText>
#include <QString>
#include <QTimer>

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "loconet/kvr_msg_kind.h"

class QAction;
class QComboBox;
class QLineEdit;
class QMenu;
class QPushButton;

class kvr_log_view : public QAbstractScrollArea {
public:
    static constexpr int default_max_lines = 200000;
    static constexpr int default_batch_ms = 30;

    explicit kvr_log_view(QWidget* parent = nullptr);

    void append_text(const QString& text);
    // ms_since_epoch < 0: received now. bytes: the message, may be empty.
    // subject: what the message is about, for the filters by kind and number
    // (kvr_bus_state::subject of the message's reading).
    void append_line(const QString& text, int64_t ms_since_epoch, const std::vector<uint8_t>& bytes,
                     kvr_msg_subject subject = {});
    void flush();
    int line_count() const { return static_cast<int>(lines_.size()); }
    int pending_count() const { return static_cast<int>(pending_.size()); }
    QString toPlainText() const;

    void set_log_mode(int mode);
    void clear_text();

    void set_max_lines(int n);
    int max_lines() const { return max_lines_; }

    // Reading options; each is also an action of the context menu.
    void set_show_time(bool on);
    bool show_time() const { return show_time_; }
    void set_show_hex(bool on);
    bool show_hex() const { return show_hex_; }
    void set_filter(const QString& text);
    QString filter() const { return filter_; }
    // Row of kvr_msg_kind_rows, 0 every kind.
    void set_kind_filter(int row);
    int kind_filter() const { return kind_row_; }
    // Loco address, turnout or sensor number; -1 any.
    void set_number_filter(int number);
    int number_filter() const { return number_; }
    int shown_count() const { return static_cast<int>(shown_.size()); }
    void set_paused(bool on);
    bool paused() const { return paused_; }
    // Whether new lines scroll into sight: false once the user scrolled
    // away from the newest line; new_lines() counts the lines shown since.
    bool following() const { return following_; }
    int new_lines() const { return unseen_; }
    QPushButton* new_lines_bar() const { return new_bar_; }
    // The height of one row of lines.
    int line_height() const;
    // Back to the newest line, following again (the bar's click).
    void follow_newest();
    // Called after the user turned time stamps or hex bytes on or off.
    std::function<void()> on_columns_changed;
    // The lines shown, as shown, one per line; false with the reason in *error.
    // A saved file's folder is where the next save is proposed.
    bool save_to(const QString& path, QString* error);
    // What "Save view as…" proposes: busprobe-YYYYMMDD-HHMMSS.txt (local
    // time now) in the folder last saved to, at first the current folder.
    QString proposed_save_path() const;

    // The context menu at `global`; from the keyboard (Shift+F10 or the Menu
    // key) at the selection's last line, else at the top of the view.
    void open_menu(const QPoint& global);

    void select_all();
    QString selected_text() const;
    // First line in sight, as an index into the lines shown.
    int first_visible() const;

    // Actions of the window shown at the end of the context menu; their
    // shortcuts work while the view has the focus.
    void add_menu_action(QAction* action);
    QLineEdit* filter_edit() const { return filter_edit_; }
    QComboBox* kind_box() const { return kind_box_; }
    QLineEdit* number_edit() const { return number_edit_; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    // A fixed-size record: a typical monitor line and its bytes fit in it,
    // so a full view neither allocates nor frees per line (a million small
    // heap blocks made each added line several times dearer).
    struct line {
        int64_t key = 0;  // position: grows downwards, never reused
        int64_t ms = 0;   // receive time, local time in milliseconds since the epoch
        uint16_t size = 0;   // data: the message bytes, then the text (UTF-8)
        uint8_t n_bytes = 0;
        kvr_msg_kind kind = kvr_msg_kind::other;
        int16_t number = -1;  // loco, turnout or sensor; -1 none
        char local[74];
        std::unique_ptr<char[]> far;  // the data when it does not fit in `local`
        const char* data() const { return far ? far.get() : local; }
        void set_data(const uint8_t* bytes, size_t count, const QByteArray& text);
    };
    struct pending_line {
        QString text;
        int64_t ms;
        std::vector<uint8_t> bytes;
        kvr_msg_subject subject;
    };

    void build_actions();
    void build_filter_bar();
    void clear_filters();
    void on_scrolled();
    bool at_newest() const;
    bool holding() const { return paused_ || !following_; }
    void hold();
    void show_new_bar();
    void update_margins();
    QString shown_text(const line& l) const;
    bool matches(const line& l) const;
    const line& at_key(int64_t key) const { return lines_[static_cast<size_t>(key - lines_.front().key)]; }
    void add_line(const pending_line& p);
    void drop_far_end();
    void rebuild_shown();
    void update_bars();
    int rows_in_sight() const;
    int row_at(int y) const;
    void scroll_to_newest();
    void keep_in_sight(int64_t top_key);
    void place_filter_bar();
    void show_filter_bar(bool on);
    void save_dialog();
    void set_column(bool& shown, QAction* action, bool on);
    int64_t top_key_in_sight() const;
    void settle(int64_t top_key);
    const QStaticText& laid_out(int64_t key);

    std::deque<line> lines_;     // top to bottom
    std::deque<int64_t> shown_;  // keys of the lines passing the filter, top to bottom
    std::vector<pending_line> pending_;
    QTimer timer_;
    int mode_ = 0;
    int max_lines_ = default_max_lines;
    int max_chars_ = 0;  // widest text held, for the horizontal bar
    bool show_time_ = false;
    bool show_hex_ = false;
    bool paused_ = false;
    bool following_ = true;
    int unseen_ = 0;
    int64_t seen_key_ = -1;  // while holding: the newest line when the hold began
    bool own_scroll_ = false;  // the view moves its own bar: not the user scrolling
    QString filter_;
    int kind_row_ = 0;
    int number_ = -1;
    int64_t anchor_ = -1;  // selection: keys of the first and last clicked line
    int64_t cursor_ = -1;
    int64_t local_offset_ms_ = 0;  // local time minus UTC, refreshed hourly
    int64_t offset_valid_until_ = 0;

    QWidget* filter_bar_ = nullptr;
    QComboBox* kind_box_ = nullptr;
    QLineEdit* number_edit_ = nullptr;
    QLineEdit* filter_edit_ = nullptr;
    QPushButton* new_bar_ = nullptr;
    QAction* copy_ = nullptr;
    QAction* select_all_ = nullptr;
    QAction* time_ = nullptr;
    QAction* hex_ = nullptr;
    QAction* find_ = nullptr;
    QAction* pause_ = nullptr;
    QAction* save_ = nullptr;
    std::vector<QAction*> extra_;
    QString save_folder_;  // empty: the current folder
    std::map<int64_t, QStaticText> layouts_;  // the lines last painted, by key
};
