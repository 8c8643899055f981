#include "ui/kvr_log_view.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QDateTime>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QHBoxLayout>
#include <QIntValidator>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QScrollBar>
#include <QSaveFile>
#include <QStaticText>

#include <algorithm>
#include <cstring>

#include "foundation/kvr_text.h"

namespace {

constexpr int64_t ms_per_hour = 3600 * 1000;

// "HH:MM:SS.mmm " from milliseconds of local time since the epoch.
void append_stamp(QString& out, int64_t local_ms) {
    char text[kvr_time_of_day_size];
    out.append(QLatin1StringView(kvr_time_of_day(local_ms, text), kvr_time_of_day_size - 1));
    out.append(QLatin1Char(' '));
}

void append_hex(QString& out, const char* data, int n) {
    static const char digits[] = "0123456789ABCDEF";
    out += QStringLiteral(" |");
    for (int i = 0; i < n; ++i) {
        const auto b = static_cast<uint8_t>(data[i]);
        out += QChar(' ');
        out += QChar(digits[b >> 4]);
        out += QChar(digits[b & 15]);
    }
}

}  // namespace

kvr_log_view::kvr_log_view(QWidget* parent) : QAbstractScrollArea(parent) {
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setFocusPolicy(Qt::StrongFocus);
    viewport()->setCursor(Qt::IBeamCursor);
    viewport()->setBackgroundRole(QPalette::Base);
    viewport()->setAutoFillBackground(true);
    build_filter_bar();
    // In the view's margin over the newest edge of the lines, never over a line.
    new_bar_ = new QPushButton(this);
    new_bar_->setObjectName(QStringLiteral("log_new_lines"));
    new_bar_->setFocusPolicy(Qt::NoFocus);
    new_bar_->setCursor(Qt::PointingHandCursor);
    new_bar_->setToolTip(QStringLiteral("Back to the newest line"));
    new_bar_->hide();
    connect(new_bar_, &QPushButton::clicked, this, [this] { follow_newest(); });
    timer_.setSingleShot(true);
    timer_.setInterval(default_batch_ms);
    connect(&timer_, &QTimer::timeout, this, [this] { flush(); });
    connect(verticalScrollBar(), &QScrollBar::valueChanged, viewport(), qOverload<>(&QWidget::update));
    connect(verticalScrollBar(), &QScrollBar::valueChanged, this, [this] { on_scrolled(); });
    connect(horizontalScrollBar(), &QScrollBar::valueChanged, viewport(), qOverload<>(&QWidget::update));
    build_actions();
}

void kvr_log_view::build_actions() {
    const auto make = [this](const char* text, QKeySequence keys, bool checkable) {
        auto* a = new QAction(QString::fromUtf8(text), this);
        a->setShortcut(keys);
        a->setShortcutContext(Qt::WidgetWithChildrenShortcut);
        a->setCheckable(checkable);
        addAction(a);
        return a;
    };
    copy_ = make("&Copy", QKeySequence::Copy, false);
    select_all_ = make("Select &All", QKeySequence::SelectAll, false);
    time_ = make("&Time stamps", QKeySequence(Qt::CTRL | Qt::Key_T), true);
    hex_ = make("&Hex bytes", QKeySequence(Qt::CTRL | Qt::Key_H), true);
    find_ = make("&Filter…", QKeySequence(Qt::CTRL | Qt::Key_F), false);
    pause_ = make("&Pause", QKeySequence(Qt::CTRL | Qt::Key_P), true);
    save_ = make("&Save view as…", QKeySequence(Qt::CTRL | Qt::Key_S), false);
    connect(copy_, &QAction::triggered, this, [this] {
        QApplication::clipboard()->setText(selected_text());
    });
    connect(select_all_, &QAction::triggered, this, [this] { select_all(); });
    connect(time_, &QAction::toggled, this, [this](bool on) { set_show_time(on); });
    connect(hex_, &QAction::toggled, this, [this](bool on) { set_show_hex(on); });
    connect(find_, &QAction::triggered, this, [this] { show_filter_bar(true); });
    connect(pause_, &QAction::toggled, this, [this](bool on) { set_paused(on); });
    connect(save_, &QAction::triggered, this, [this] { save_dialog(); });
}

// The filters share one bar under the lines: kind, number, text.
void kvr_log_view::build_filter_bar() {
    filter_bar_ = new QWidget(this);
    filter_bar_->setObjectName(QStringLiteral("log_filter_bar"));
    auto* row = new QHBoxLayout(filter_bar_);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(2);
    kind_box_ = new QComboBox(filter_bar_);
    kind_box_->setObjectName(QStringLiteral("log_kind"));
    for (const kvr_msg_kind_row& r : kvr_msg_kind_rows)
        kind_box_->addItem(QString::fromUtf8(r.name));
    kind_box_->setToolTip(QStringLiteral("Only messages of this kind"));
    number_edit_ = new QLineEdit(filter_bar_);
    number_edit_->setObjectName(QStringLiteral("log_number"));
    number_edit_->setPlaceholderText(QStringLiteral("Number"));
    number_edit_->setToolTip(QStringLiteral("Only messages about this loco address, turnout or sensor number"));
    number_edit_->setValidator(new QIntValidator(0, 16383, number_edit_));
    number_edit_->setMaximumWidth(fontMetrics().horizontalAdvance(QStringLiteral("0000000")) + 12);
    filter_edit_ = new QLineEdit(filter_bar_);
    filter_edit_->setObjectName(QStringLiteral("log_filter"));
    filter_edit_->setPlaceholderText(QStringLiteral("Filter (Escape clears)"));
    filter_edit_->setClearButtonEnabled(true);
    row->addWidget(kind_box_);
    row->addWidget(number_edit_);
    row->addWidget(filter_edit_, 1);
    filter_bar_->hide();
    connect(filter_edit_, &QLineEdit::textChanged, this, [this](const QString& t) { set_filter(t); });
    connect(kind_box_, &QComboBox::currentIndexChanged, this, [this](int i) { set_kind_filter(i); });
    connect(number_edit_, &QLineEdit::textChanged, this, [this](const QString& t) {
        bool ok = false;
        const int n = t.toInt(&ok);
        set_number_filter(ok ? n : -1);
    });
}

void kvr_log_view::add_menu_action(QAction* action) {
    action->setShortcutContext(Qt::WidgetWithChildrenShortcut);
    addAction(action);
    extra_.push_back(action);
}

void kvr_log_view::line::set_data(const uint8_t* bytes, size_t count, const QByteArray& text) {
    const size_t total = std::min<size_t>(count + static_cast<size_t>(text.size()), UINT16_MAX);
    char* out = local;
    if (total > sizeof local) {
        far = std::make_unique<char[]>(total);
        out = far.get();
    }
    if (count > 0)
        std::memcpy(out, bytes, count);
    std::memcpy(out + count, text.constData(), total - count);
    size = static_cast<uint16_t>(total);
    n_bytes = static_cast<uint8_t>(count);
}

// ---- receiving ----

void kvr_log_view::append_text(const QString& text) {
    append_line(text, -1, {});
}

void kvr_log_view::append_line(const QString& text, int64_t ms_since_epoch, const std::vector<uint8_t>& bytes,
                               kvr_msg_subject subject) {
    if (ms_since_epoch < 0)
        ms_since_epoch = QDateTime::currentMSecsSinceEpoch();
    pending_.push_back({text, ms_since_epoch, bytes, subject});
    // Lines beyond what the view keeps would be dropped at once anyway.
    if (pending_.size() > static_cast<size_t>(max_lines_))
        pending_.erase(pending_.begin());
    if (!timer_.isActive())
        timer_.start();
}

void kvr_log_view::flush() {
    timer_.stop();
    if (pending_.empty())
        return;
    const int64_t top_key = top_key_in_sight();
    for (const pending_line& p : pending_)
        add_line(p);
    pending_.clear();
    settle(top_key);
}

void kvr_log_view::add_line(const pending_line& p) {
    if (p.ms >= offset_valid_until_) {
        // The offset changes with daylight saving time, at most on the hour.
        local_offset_ms_ = int64_t{QDateTime::fromMSecsSinceEpoch(p.ms).offsetFromUtc()} * 1000;
        offset_valid_until_ = (p.ms / ms_per_hour + 1) * ms_per_hour;
    }
    const size_t n_bytes = std::min<size_t>(p.bytes.size(), 255);
    // A text may carry several lines; each CR LF (or LF) ends one. A text
    // without an ending is a line of its own.
    QString text = p.text;
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    if (text.endsWith(QChar('\n')))
        text.chop(1);
    const QStringList parts = text.split(QChar('\n'));
    for (const QString& part : parts) {
        line l;
        l.ms = p.ms + local_offset_ms_;
        l.set_data(p.bytes.data(), n_bytes, part.toUtf8());
        l.kind = p.subject.kind;
        l.number = static_cast<int16_t>(p.subject.number);
        max_chars_ = std::max(max_chars_, static_cast<int>(part.size()));
        const bool match = matches(l);
        if (match && (paused_ || !following_))
            ++unseen_;
        if (mode_ == 0) {
            l.key = lines_.empty() ? 0 : lines_.back().key + 1;
            lines_.push_back(std::move(l));
            if (match)
                shown_.push_back(lines_.back().key);
        } else {
            l.key = lines_.empty() ? 0 : lines_.front().key - 1;
            lines_.push_front(std::move(l));
            if (match)
                shown_.push_front(lines_.front().key);
        }
        drop_far_end();
    }
}

void kvr_log_view::drop_far_end() {
    while (lines_.size() > static_cast<size_t>(max_lines_)) {
        if (mode_ == 0) {
            if (!shown_.empty() && shown_.front() == lines_.front().key)
                shown_.pop_front();
            lines_.pop_front();
        } else {
            if (!shown_.empty() && shown_.back() == lines_.back().key)
                shown_.pop_back();
            lines_.pop_back();
        }
    }
}

void kvr_log_view::set_log_mode(int mode) {
    mode = mode == 0 ? 0 : 1;
    if (mode == mode_)
        return;
    // Lines already received keep the order of the mode they arrived in.
    flush();
    mode_ = mode;
    // The newest line is now at the other end: the count starts again.
    if (holding())
        hold();
    show_new_bar();
}

void kvr_log_view::clear_text() {
    timer_.stop();
    pending_.clear();
    lines_.clear();
    shown_.clear();
    layouts_.clear();
    max_chars_ = 0;
    anchor_ = cursor_ = -1;
    unseen_ = 0;
    following_ = true;
    own_scroll_ = true;
    update_bars();
    own_scroll_ = false;
    show_new_bar();
    viewport()->update();
}

void kvr_log_view::set_max_lines(int n) {
    max_lines_ = std::max(1, n);
    drop_far_end();
    own_scroll_ = true;
    update_bars();
    own_scroll_ = false;
}

// ---- what is shown ----

QString kvr_log_view::shown_text(const line& l) const {
    QString out;
    out.reserve(static_cast<qsizetype>(l.size) + 16 + 3 * l.n_bytes);
    if (show_time_)
        append_stamp(out, l.ms);
    out += QString::fromUtf8(l.data() + l.n_bytes, static_cast<qsizetype>(l.size - l.n_bytes));
    if (show_hex_ && l.n_bytes > 0)
        append_hex(out, l.data(), l.n_bytes);
    return out;
}

bool kvr_log_view::matches(const line& l) const {
    if (kind_row_ > 0 && kvr_msg_kind_rows[kind_row_].kind != l.kind)
        return false;
    if (number_ >= 0 && l.number != number_)
        return false;
    return filter_.isEmpty() || shown_text(l).contains(filter_, Qt::CaseInsensitive);
}

QString kvr_log_view::toPlainText() const {
    QString out;
    for (int64_t key : shown_) {
        out += shown_text(at_key(key));
        out += QChar('\n');
    }
    return out;
}

void kvr_log_view::rebuild_shown() {
    // Keep the line at the top of the view in sight while paused.
    const int64_t top_key = top_key_in_sight();
    shown_.clear();
    for (const line& l : lines_)
        if (matches(l))
            shown_.push_back(l.key);
    // The new lines counted are those of the lines now chosen.
    if (holding()) {
        // Keys grow downwards: newer lines are below it in normal mode,
        // above it in stack mode.
        unseen_ = static_cast<int>(
            mode_ == 0 ? shown_.end() - std::upper_bound(shown_.begin(), shown_.end(), seen_key_)
                       : std::lower_bound(shown_.begin(), shown_.end(), seen_key_) - shown_.begin());
    }
    settle(top_key);
}

// The key of the first line in sight, -1 when none is.
int64_t kvr_log_view::top_key_in_sight() const {
    const int first = first_visible();
    return first < static_cast<int>(shown_.size()) ? shown_[static_cast<size_t>(first)] : -1;
}

// After lines were added or chosen again: paused or scrolled away from the
// newest line, the line that was at the top stays in sight; otherwise the
// view follows the newest line.
void kvr_log_view::settle(int64_t top_key) {
    own_scroll_ = true;
    update_bars();
    if (paused_ || !following_)
        keep_in_sight(top_key);
    else
        scroll_to_newest();
    own_scroll_ = false;
    // Every line shown is in sight, or a smaller choice of lines put the
    // view at the newest one: nothing new is out of sight.
    if (!following_ && !paused_ && at_newest())
        following_ = true;
    if (following_ && !paused_)
        unseen_ = 0;
    show_new_bar();
    viewport()->update();
}

bool kvr_log_view::at_newest() const {
    const QScrollBar* v = verticalScrollBar();
    return v->value() == (mode_ == 0 ? v->maximum() : v->minimum());
}

// The user moved the bar (wheel, drag, keys): away from the newest line the
// view stays where it was put; back at it, it follows again.
void kvr_log_view::on_scrolled() {
    if (own_scroll_)
        return;
    if (following_ && !paused_ && !at_newest())
        hold();
    following_ = at_newest();
    if (following_ && !paused_)
        unseen_ = 0;
    show_new_bar();
}

// From now on new lines are counted: those newer than the newest line so far.
void kvr_log_view::hold() {
    unseen_ = 0;
    if (lines_.empty())
        seen_key_ = mode_ == 0 ? -1 : 1;  // the first line's key is 0 either way
    else
        seen_key_ = mode_ == 0 ? lines_.back().key : lines_.front().key;
}

void kvr_log_view::follow_newest() {
    following_ = true;
    unseen_ = 0;
    if (paused_)
        set_paused(false);  // flushes and scrolls
    own_scroll_ = true;
    scroll_to_newest();
    own_scroll_ = false;
    show_new_bar();
}

// Over the newest edge of the lines: the bottom, or the top in stack mode.
// Set only when its count changed, so a busy bus costs one text a batch.
void kvr_log_view::show_new_bar() {
    const bool wanted = unseen_ > 0 && (!following_ || paused_);
    if (!wanted) {
        if (new_bar_->isVisible()) {
            new_bar_->hide();
            update_margins();
        }
        return;
    }
    const QString text = unseen_ == 1 ? QStringLiteral("1 new line") : QStringLiteral("%1 new lines").arg(unseen_);
    if (new_bar_->text() != text)
        new_bar_->setText(text);
    if (!new_bar_->isVisible())
        new_bar_->show();
    update_margins();
}

// The margins around the lines hold the bars: the new-lines bar over the
// newest edge (bottom, or top in stack mode), the filter bar at the bottom.
// The lines in sight keep their rows: only the number of rows changes.
void kvr_log_view::update_margins() {
    const bool bar = new_bar_->isVisibleTo(this);
    const int bar_h = bar ? new_bar_->sizeHint().height() : 0;
    const int filter_h = filter_bar_->isVisibleTo(this) ? filter_bar_->sizeHint().height() : 0;
    const QMargins wanted(0, mode_ == 0 ? 0 : bar_h, 0, filter_h + (mode_ == 0 ? bar_h : 0));
    if (viewportMargins() != wanted) {
        const bool own = own_scroll_;
        own_scroll_ = true;
        setViewportMargins(wanted);
        update_bars();
        own_scroll_ = own;
    }
    const QRect vp = viewport()->geometry();
    if (bar) {
        const int w = std::min(vp.width(), new_bar_->sizeHint().width() + 16);
        const int y = mode_ == 0 ? vp.bottom() + 1 : vp.top() - bar_h;
        new_bar_->setGeometry(vp.left() + (vp.width() - w) / 2, y, w, bar_h);
    }
    place_filter_bar();
}

void kvr_log_view::set_show_time(bool on) {
    set_column(show_time_, time_, on);
}

void kvr_log_view::set_show_hex(bool on) {
    set_column(show_hex_, hex_, on);
}

// A column changes every line's text: the cached layouts go, and with a
// filter the lines shown are chosen again, since the filter matches the
// text as shown.
void kvr_log_view::set_column(bool& shown, QAction* action, bool on) {
    if (on == shown)
        return;
    shown = on;
    layouts_.clear();
    action->setChecked(on);
    if (!filter_.isEmpty())
        rebuild_shown();
    own_scroll_ = true;
    update_bars();
    own_scroll_ = false;
    viewport()->update();
    if (on_columns_changed)
        on_columns_changed();
}

void kvr_log_view::set_filter(const QString& text) {
    if (text == filter_)
        return;
    filter_ = text;
    if (filter_edit_->text() != text)
        filter_edit_->setText(text);
    rebuild_shown();
}

void kvr_log_view::set_kind_filter(int row) {
    row = std::clamp(row, 0, static_cast<int>(std::size(kvr_msg_kind_rows)) - 1);
    if (row == kind_row_)
        return;
    kind_row_ = row;
    if (kind_box_->currentIndex() != row)
        kind_box_->setCurrentIndex(row);
    rebuild_shown();
}

void kvr_log_view::set_number_filter(int number) {
    number = std::max(number, -1);
    if (number == number_)
        return;
    number_ = number;
    const QString text = number < 0 ? QString() : QString::number(number);
    if (number_edit_->text() != text)
        number_edit_->setText(text);
    rebuild_shown();
}

void kvr_log_view::clear_filters() {
    set_filter(QString());
    set_kind_filter(0);
    set_number_filter(-1);
}

void kvr_log_view::set_paused(bool on) {
    if (on == paused_)
        return;
    paused_ = on;
    pause_->setChecked(on);
    if (!paused_) {
        flush();
        following_ = true;
        unseen_ = 0;
    } else if (following_) {
        hold();
    }
    own_scroll_ = true;
    scroll_to_newest();
    own_scroll_ = false;
    show_new_bar();
}

void kvr_log_view::keep_in_sight(int64_t top_key) {
    // Keys grow downwards, so the old top line (or the next one below it
    // when it was dropped or filtered out) is found by bisection.
    const auto it = std::lower_bound(shown_.begin(), shown_.end(), top_key);
    verticalScrollBar()->setValue(static_cast<int>(it - shown_.begin()));
}

void kvr_log_view::scroll_to_newest() {
    if (paused_)
        return;
    QScrollBar* bar = verticalScrollBar();
    bar->setValue(mode_ == 0 ? bar->maximum() : bar->minimum());
}

bool kvr_log_view::save_to(const QString& path, QString* error) {
    QSaveFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Text)) {
        for (int64_t key : shown_) {
            const QByteArray bytes = (shown_text(at_key(key)) + QChar('\n')).toUtf8();
            if (file.write(bytes) != bytes.size())
                break;
        }
        if (file.commit()) {
            save_folder_ = QFileInfo(path).absolutePath();
            return true;
        }
    }
    if (error)
        *error = file.errorString();
    return false;
}

QString kvr_log_view::proposed_save_path() const {
    const QString folder = save_folder_.isEmpty() ? QDir::currentPath() : save_folder_;
    const QString name = QDateTime::currentDateTime().toString(QStringLiteral("'busprobe-'yyyyMMdd-HHmmss'.txt'"));
    return QDir(folder).filePath(name);
}

void kvr_log_view::save_dialog() {
    const QString path = QFileDialog::getSaveFileName(this, QStringLiteral("Save view as"), proposed_save_path(),
                                                      QStringLiteral("Text files (*.txt);;All files (*)"));
    if (path.isEmpty())
        return;
    QString error;
    if (!save_to(path, &error))
        QMessageBox::warning(this, QStringLiteral("Busprobe"),
                             QStringLiteral("Cannot save %1: %2").arg(path, error));
}

// ---- selection ----

void kvr_log_view::select_all() {
    if (shown_.empty())
        return;
    anchor_ = shown_.front();
    cursor_ = shown_.back();
    viewport()->update();
}

QString kvr_log_view::selected_text() const {
    if (anchor_ < 0 && cursor_ < 0)
        return {};
    const int64_t lo = std::min(anchor_, cursor_);
    const int64_t hi = std::max(anchor_, cursor_);
    QString out;
    auto it = std::lower_bound(shown_.begin(), shown_.end(), lo);
    for (; it != shown_.end() && *it <= hi; ++it) {
        out += shown_text(at_key(*it));
        out += QChar('\n');
    }
    return out;
}

// ---- painting and input ----

// A row is tall enough for the font's underline position: in small
// monospace fonts an underscore sits on or below the descent, where the
// next row's top would cut it ("OPC_SL_RD_DATA" read as "OPC SL RD DATA").
int kvr_log_view::line_height() const {
    const QFontMetrics fm = fontMetrics();
    const int underscore = fm.ascent() + fm.underlinePos() + std::max(1, fm.lineWidth()) + 1;
    return std::max({1, fm.height(), fm.lineSpacing(), underscore}) + 1;
}

int kvr_log_view::rows_in_sight() const {
    return std::max(1, viewport()->height() / line_height());
}

int kvr_log_view::first_visible() const {
    return verticalScrollBar()->value();
}

int kvr_log_view::row_at(int y) const {
    const int row = first_visible() + y / line_height();
    return std::clamp(row, 0, std::max(0, static_cast<int>(shown_.size()) - 1));
}

void kvr_log_view::update_bars() {
    const int rows = rows_in_sight();
    QScrollBar* v = verticalScrollBar();
    v->setRange(0, std::max(0, static_cast<int>(shown_.size()) - rows));
    v->setPageStep(rows);
    int columns = max_chars_ + (show_time_ ? 13 : 0) + (show_hex_ ? 2 + 3 * 16 : 0);
    const int width = columns * fontMetrics().horizontalAdvance(QChar('M')) + 8;
    QScrollBar* h = horizontalScrollBar();
    h->setRange(0, std::max(0, width - viewport()->width()));
    h->setPageStep(viewport()->width());
    h->setSingleStep(fontMetrics().horizontalAdvance(QChar('M')));
}

void kvr_log_view::paintEvent(QPaintEvent* /*event*/) {
    QPainter painter(viewport());
    const QFontMetrics fm = fontMetrics();
    const int height = line_height();
    const int first = first_visible();
    const int last = std::min(static_cast<int>(shown_.size()), first + rows_in_sight() + 1);
    const int64_t lo = std::min(anchor_, cursor_);
    const int64_t hi = std::max(anchor_, cursor_);
    const int x = 4 - horizontalScrollBar()->value();
    if (first >= last) {
        layouts_.clear();
        return;
    }
    for (int row = first; row < last; ++row) {
        const int64_t key = shown_[static_cast<size_t>(row)];
        const QRect rect(0, (row - first) * height, viewport()->width(), height);
        const bool selected = lo >= 0 && key >= lo && key <= hi;
        if (selected) {
            painter.fillRect(rect, palette().brush(QPalette::Highlight));
            painter.setPen(palette().color(QPalette::HighlightedText));
        } else {
            painter.setPen(palette().color(QPalette::Text));
        }
        painter.drawStaticText(x, rect.top(), laid_out(key));
    }
    // Keep only the lines in sight: the next frame shows mostly the same ones.
    for (auto it = layouts_.begin(); it != layouts_.end();) {
        if (it->first < shown_[static_cast<size_t>(first)] || it->first > shown_[static_cast<size_t>(last - 1)])
            it = layouts_.erase(it);
        else
            ++it;
    }
}

const QStaticText& kvr_log_view::laid_out(int64_t key) {
    // Laying out a line's glyphs costs far more than drawing them; a busy
    // bus moves the lines in sight by a few rows per frame.
    auto it = layouts_.find(key);
    if (it == layouts_.end()) {
        QStaticText text(shown_text(at_key(key)));
        text.setTextFormat(Qt::PlainText);
        text.prepare(QTransform(), font());
        it = layouts_.emplace(key, std::move(text)).first;
    }
    return it->second;
}

void kvr_log_view::resizeEvent(QResizeEvent* event) {
    QAbstractScrollArea::resizeEvent(event);
    place_filter_bar();
    own_scroll_ = true;
    update_bars();
    if (following_)
        scroll_to_newest();
    own_scroll_ = false;
    show_new_bar();
}

void kvr_log_view::show_filter_bar(bool on) {
    own_scroll_ = true;
    if (on) {
        filter_bar_->show();
        update_margins();
        update_bars();
        filter_edit_->setFocus();
        filter_edit_->selectAll();
    } else {
        filter_bar_->hide();
        update_margins();
        update_bars();
        setFocus();
    }
    own_scroll_ = false;
    show_new_bar();  // the lines' bottom edge moved
}

void kvr_log_view::place_filter_bar() {
    if (!filter_bar_->isVisible())
        return;
    // The bottom viewport margin is the bar's room, between the lines and
    // the horizontal scroll bar.
    const QRect vp = viewport()->geometry();
    const int below = mode_ == 0 && new_bar_->isVisibleTo(this) ? new_bar_->height() : 0;
    filter_bar_->setGeometry(vp.left(), vp.bottom() + 1 + below, vp.width(), filter_bar_->sizeHint().height());
}

void kvr_log_view::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton || shown_.empty()) {
        QAbstractScrollArea::mousePressEvent(event);
        return;
    }
    const int64_t key = shown_[static_cast<size_t>(row_at(event->position().toPoint().y()))];
    if (!(event->modifiers() & Qt::ShiftModifier) || anchor_ < 0)
        anchor_ = key;
    cursor_ = key;
    viewport()->update();
}

void kvr_log_view::mouseMoveEvent(QMouseEvent* event) {
    if (!(event->buttons() & Qt::LeftButton) || shown_.empty() || anchor_ < 0)
        return;
    cursor_ = shown_[static_cast<size_t>(row_at(event->position().toPoint().y()))];
    viewport()->update();
}

void kvr_log_view::keyPressEvent(QKeyEvent* event) {
    // Shift+F10 is the keyboard's way to the context menu on most desktops;
    // Qt turns only the Menu key into a context-menu event by itself.
    if (event->key() == Qt::Key_F10 && event->modifiers() == Qt::ShiftModifier) {
        QContextMenuEvent keyboard(QContextMenuEvent::Keyboard, QPoint(), QPoint());
        contextMenuEvent(&keyboard);
        return;
    }
    QScrollBar* v = verticalScrollBar();
    switch (event->key()) {
    case Qt::Key_Escape:
        if (filter_bar_->isVisible() || !filter_.isEmpty() || kind_row_ > 0 || number_ >= 0) {
            clear_filters();
            show_filter_bar(false);
            return;
        }
        break;
    case Qt::Key_Up: v->triggerAction(QAbstractSlider::SliderSingleStepSub); return;
    case Qt::Key_Down: v->triggerAction(QAbstractSlider::SliderSingleStepAdd); return;
    case Qt::Key_PageUp: v->triggerAction(QAbstractSlider::SliderPageStepSub); return;
    case Qt::Key_PageDown: v->triggerAction(QAbstractSlider::SliderPageStepAdd); return;
    case Qt::Key_Home: v->setValue(v->minimum()); return;
    case Qt::Key_End: v->setValue(v->maximum()); return;
    default: break;
    }
    QAbstractScrollArea::keyPressEvent(event);
}

void kvr_log_view::contextMenuEvent(QContextMenuEvent* event) {
    if (event->reason() != QContextMenuEvent::Keyboard) {
        open_menu(event->globalPos());
        return;
    }
    // At the selection's last line when it is in sight, else at the top.
    const QRect vp = viewport()->rect();
    QPoint at = vp.topLeft() + QPoint(fontMetrics().averageCharWidth() * 2, line_height());
    const auto it = std::lower_bound(shown_.begin(), shown_.end(), cursor_);
    if (cursor_ >= 0 && it != shown_.end() && *it == cursor_) {
        const int row = static_cast<int>(it - shown_.begin()) - first_visible();
        const int y = (row + 1) * line_height();
        if (row >= 0 && y <= vp.height())
            at.setY(y);
    }
    open_menu(viewport()->mapToGlobal(at));
}

void kvr_log_view::open_menu(const QPoint& global) {
    QMenu menu(this);
    copy_->setEnabled(anchor_ >= 0);
    menu.addActions({copy_, select_all_});
    menu.addSeparator();
    menu.addActions({time_, hex_, find_, pause_, save_});
    if (!extra_.empty()) {
        menu.addSeparator();
        for (QAction* a : extra_)
            menu.addAction(a);
    }
    menu.exec(global);
}

void kvr_log_view::changeEvent(QEvent* event) {
    QAbstractScrollArea::changeEvent(event);
    if (event->type() == QEvent::FontChange) {
        layouts_.clear();
        update_bars();
    }
}
