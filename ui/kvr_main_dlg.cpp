#include "ui/kvr_main_dlg.h"

#include <QButtonGroup>
#include <QCoreApplication>
#include <QEvent>
#include <QAction>
#include <QFileDialog>
#include <QCheckBox>
#include <QCloseEvent>
#include <QAbstractItemView>
#include <QComboBox>
#include <QFontMetrics>
#include <QContextMenuEvent>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QResizeEvent>
#include <QScreen>
#include <QScrollArea>
#include <QStyle>
#include <QShortcut>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <optional>

#include "foundation/kvr_file.h"
#include "foundation/kvr_hooks.h"
#include "foundation/kvr_text.h"
#include "link/kvr_adapter.h"
#include "link/kvr_link.h"
#include "ui/kvr_about_dlg.h"
#include "ui/kvr_bus_views.h"
#include "ui/kvr_devices_wnd.h"
#include "ui/kvr_dialog_template.h"
#include "ui/kvr_elided_edit.h"
#include "ui/kvr_log_view.h"
#include "ui/kvr_main_dlg_keys.h"
#include "ui/kvr_monitor_feeds.h"
#include "ui/kvr_port_list.h"
#include "ui/kvr_qt_hooks.h"
#include "ui/kvr_screen_fit.h"
#include "ui/kvr_speed_slider.h"
#include "ui/kvr_wait_cursor.h"

namespace {

// How long Close waits for the loco's release to reach the bus: one message
// behind a handful queued, on a bus other nodes keep busy.
constexpr unsigned kvr_release_wait_ms = 500;


using kvr_main_dlg_keys::kSection;
// The adapter kind by its settings name; missing or unknown: "auto".
const char* const kAdapterKey = "ADAPTER";
const char* const kAdapterAuto = "auto";
using kvr_main_dlg_keys::kDecodeAllKey;

// Tab enters a radio group at its checked button (the first one while none
// is checked); the others take the focus by click only. Otherwise Tab lands
// on an unchecked button and Space selects it: another decoder output, and
// with it another switch address.
void tab_to_checked(QButtonGroup* group) {
    const auto update = [group] {
        const QList<QAbstractButton*> buttons = group->buttons();
        QAbstractButton* target = group->checkedButton();
        if (!target && !buttons.isEmpty())
            target = buttons.front();
        for (QAbstractButton* b : buttons)
            b->setFocusPolicy(b == target ? Qt::StrongFocus : Qt::ClickFocus);
    };
    update();
    QObject::connect(group, &QButtonGroup::buttonToggled, group, update);
}

}  // namespace

// ---- bit boxes ----

void kvr_bit_boxes::set(int value) {
    for (int i = 0; i < 8; ++i)
        if (boxes_[i])
            boxes_[i]->setChecked(((value >> i) & 1) != 0);
}

int kvr_bit_boxes::get() const {
    int value = 0;
    for (int i = 0; i < 8; ++i)
        if (boxes_[i] && boxes_[i]->isChecked())
            value += 1 << i;
    return value;
}

// ---- construction ----

kvr_main_dlg::kvr_main_dlg(kvr_main_dlg_env env, QWidget* parent)
    : QDialog(parent),
      env_(std::move(env)),
      ini_(env_.ini_path),
      waiter_(this, env_.cancel_box_delay_ms) {
    loconet_ = std::make_unique<kvr_dccx_loconet>(*env_.link, env_.timing);
    loconet_->set_waiter(&waiter_);
    // What this window queues, so the monitor can give its echo a line.
    loconet_->set_queued_watch([this](const kvr_loconet_msg& msg) { sink_.expect_own(msg); });
    if (env_.make_station)
        injected_ = env_.make_station(*env_.link);
    station_ = injected_ ? injected_.get() : loconet_.get();
    function_memory_ = make_function_memory();
    throttle_ = std::make_unique<kvr_throttle>(*loconet_, *env_.link);
    throttle_->set_memory(function_memory_.get());
    // SLOTS: "classic", "expanded" or "auto" (expanded slots when the
    // command station offers them), as busprobe-cli's --slots.
    throttle_->set_slot_choice(kvr_parse_slot_choice(ini_.get_string(kSection, "SLOTS", "auto"))
                                   .value_or(kvr_slot_choice::automatic));
    waiter_.stop_key = [this](const QKeyEvent& key, bool act) { return stop_key(key, act); };
    fields_.log_mode = static_cast<int>(ini_.get_int(kSection, "LOGDIR", 0));
    decode_all_ = ini_.get_int(kSection, kDecodeAllKey, 0) != 0;
    sink_.set_extended(decode_all_);
    prompt_ = [this](const QString& text) {
        QMessageBox box(QMessageBox::Warning, QStringLiteral("Busprobe"), text, QMessageBox::Ok, this);
        box.exec();
    };
    setWindowIcon(kvr_app_icon());
    kvr_set_report_owner(this);
    build_controls();
    build_consumers();
    init_dialog();
    wire_signals();
    build_monitor_actions();
    build_operating_actions();
    build_view_actions();
    build_bus_extras();
    sink_tick_.setSingleShot(true);
    sink_tick_.setInterval(kvr_log_view::default_batch_ms);
    connect(&sink_tick_, &QTimer::timeout, this, [this] { drain_sink(true); });
}

kvr_main_dlg::~kvr_main_dlg() {
    // The report owner is a guarded pointer: it lets go of this window by
    // itself, and leaves a newer window's registration alone.
    shut_down_link();
    sink_.detach();
    stop_recording();
    link().remove_listener(&sink_);
    throttle_.reset();
    loconet_->set_waiter(nullptr);
    station_ = nullptr;
    injected_.reset();
    loconet_.reset();
}

void kvr_main_dlg::build_controls() {
    setWindowTitle(QString::fromUtf8(kvr_txt_title));
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMaximizeButtonHint | Qt::WindowCloseButtonHint);
    const QFont font = kvr_dialog_font();
    setFont(font);
    const kvr_dialog_units du(font);
    build_page(du);

    QButtonGroup* group = nullptr;
    int group_index = 0;
    for (const kvr_ctl_def& def : kvr_main_dlg_controls()) {
        const QString text = QString::fromUtf8(def.text);
        QWidget* w = nullptr;
        switch (def.kind) {
        case kvr_ctl_kind::combo:
            w = port_box_ = new QComboBox(page_);
            // A LocoNet-over-TCP server is typed in: tcp://HOST[:PORT].
            port_box_->setEditable(true);
            port_box_->setLineEdit(new kvr_elided_edit(port_box_));
            port_box_->setInsertPolicy(QComboBox::NoInsert);
            break;
        case kvr_ctl_kind::button: {
            auto* b = new QPushButton(text, page_);
            // No default button: Enter must not press anything.
            b->setAutoDefault(false);
            b->setDefault(false);
            w = b;
            break;
        }
        case kvr_ctl_kind::group_box:
            w = new QGroupBox(text, page_);
            break;
        case kvr_ctl_kind::label:
            w = new QLabel(text, page_);
            break;
        case kvr_ctl_kind::edit:
            w = new QLineEdit(page_);
            break;
        case kvr_ctl_kind::radio: {
            auto* r = new QRadioButton(text, page_);
            if (def.group_start || !group) {
                group = new QButtonGroup(this);
                group_index = 0;
            }
            group->addButton(r, group_index++);
            w = r;
            break;
        }
        case kvr_ctl_kind::check:
            w = new QCheckBox(text, page_);
            break;
        case kvr_ctl_kind::slider:
            w = slider_ = new kvr_speed_slider(page_);
            break;
        case kvr_ctl_kind::log_edit:
            w = log_view_ = new kvr_log_view(page_);
            break;
        }
        w->setGeometry(du.rect(def.x, def.y, def.w, def.h));
        if (def.id >= 0) {
            w->setObjectName(QStringLiteral("idc_%1").arg(def.id));
            controls_[def.id] = w;
        }
        if (def.kind == kvr_ctl_kind::check && def.text[0] == '\0')
            w->setFocusPolicy(Qt::ClickFocus);  // the bit boxes are no tab stops
    }
    const auto group_of = [this](int id) {
        return qobject_cast<QRadioButton*>(control(id))->group();
    };
    direction_ = group_of(kvr_idc_rev);
    step_mode_ = group_of(kvr_idc_28step);
    switch_position_ = group_of(kvr_idc_thrown);
    decoder_output_ = group_of(kvr_idc_out_1t);
    prog_mode_ = group_of(kvr_idc_paged);
    log_mode_ = group_of(kvr_idc_log_normal);
    for (QButtonGroup* g : {direction_, step_mode_, switch_position_, decoder_output_, prog_mode_, log_mode_})
        tab_to_checked(g);
    build_adapter_box(du);
    log_rect_ = log_view_->geometry();
}

void kvr_main_dlg::build_page(const kvr_dialog_units& du) {
    scroll_ = new QScrollArea(this);
    scroll_->setFrameShape(QFrame::NoFrame);
    scroll_->setWidgetResizable(false);  // layout_page sizes the page
    page_ = new QWidget;
    page_->setObjectName(QStringLiteral("page"));
    scroll_->setWidget(page_);
    designed_size_ = QSize(du.x(kvr_main_dlg_w), du.y(kvr_main_dlg_h));
    // Every control but the monitor, which may shrink to a few lines; the
    // margin below and right of it as designed.
    int right = 0;
    int log_top = 0;
    for (const kvr_ctl_def& def : kvr_main_dlg_controls()) {
        if (def.kind == kvr_ctl_kind::log_edit)
            log_top = def.y;
        else
            right = std::max(right, def.x + def.w);
    }
    constexpr int margin = 7;
    constexpr int log_min_h = 40;  // about three lines and a scroll bar
    page_min_ = QSize(du.x(right + margin), du.y(log_top + log_min_h + margin));
    page_->resize(designed_size_);
    resize(designed_size_);
}

// The page fills the window; where the window is smaller than the page's
// minimum, the page keeps that minimum and scrolls.
void kvr_main_dlg::layout_page() {
    if (!scroll_ || !log_view_)
        return;
    scroll_->setGeometry(rect());
    QSize view = scroll_->size();
    const int bar = style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, scroll_);
    // A scroll bar in one direction takes room from the other.
    const bool across = view.width() < page_min_.width();
    if (across)
        view.rheight() -= bar;
    if (view.height() < page_min_.height()) {
        view.rwidth() -= bar;
        if (!across && view.width() < page_min_.width())
            view.rheight() -= bar;
    }
    const QSize page = view.expandedTo(page_min_);
    page_->resize(page);
    // As designed until the window's size changes; then the monitor's
    // bottom-right corner follows the page's.
    if (page == designed_size_)
        log_view_->setGeometry(place_hand_entry(log_rect_));
    else
        log_view_->setGeometry(place_hand_entry(QRect(log_rect_.topLeft(), QPoint(page.width() - 1, page.height() - 1))));
}


// The window on the screen it opens on: no larger than the available area,
// centred in it at the first showing. Before the window manager has framed
// the window the frame is estimated.
void kvr_main_dlg::fit_to_screen() {
    QScreen* s = screen();
    if (!s)
        return;
    const QRect avail = s->availableGeometry();
    // A window manager draws its frame in device pixels, whatever the
    // scale: the estimate is a generous title bar and border in those.
    const std::optional<QMargins> known = kvr_frame_margins(*this);
    const QMargins frame = known.value_or(kvr_frame_estimate(*this));
    // One column spare: window managers take a requested position of 0,0
    // for none and place the window themselves (openbox then cuts off its
    // bottom), so a window as wide as the screen goes to 1,0.
    const QSize room = avail.size().shrunkBy(frame + QMargins(0, 0, 1, 0));
    setMinimumSize(page_min_.boundedTo(room));
    resize(designed_size_.boundedTo(room));
    const QSize outer = size().grownBy(frame);
    const QRect centred(avail.topLeft() + QPoint((avail.width() - outer.width()) / 2,
                                                 (avail.height() - outer.height()) / 2),
                        outer);
    const QPoint outer_at = centred.topLeft() + kvr_into(centred, avail);
    QPoint at = kvr_position_to_ask(outer_at, known.has_value(), frame);
    if (at.isNull())
        at.setX(1);
    move(at);
}

// Once the frame is known: a frame larger than the estimate takes its room
// from the window, so the frame still ends inside the available area. The
// window is not moved again: right after framing, the position the toolkit
// reports lags behind the window manager's, and a move computed from it
// would put the title bar off the screen.
void kvr_main_dlg::check_frame() {
    if (!placed_ || frame_checked_ || !screen())
        return;
    const std::optional<QMargins> frame = kvr_frame_margins(*this);
    if (!frame)
        return;
    frame_checked_ = true;
    const QSize room = screen()->availableGeometry().size().shrunkBy(*frame);
    setMinimumSize(page_min_.boundedTo(room));
    if (size().width() > room.width() || size().height() > room.height())
        resize(size().boundedTo(room));
}

void kvr_main_dlg::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (placed_)
        return;
    placed_ = true;
    fit_to_screen();
}

void kvr_main_dlg::moveEvent(QMoveEvent* event) {
    QDialog::moveEvent(event);
    QTimer::singleShot(0, this, [this] { check_frame(); });
}

void kvr_main_dlg::changeEvent(QEvent* event) {
    QDialog::changeEvent(event);
    // Activation follows the framing; not every manager moves the window.
    if (event->type() == QEvent::ActivationChange)
        QTimer::singleShot(0, this, [this] { check_frame(); });
}

// The adapter kind sits in the free room right of "FastClock", as tall as
// the port box. "auto" leaves the kind to the port name; a tcp:// name and
// the simulated layout ignore the choice.
void kvr_main_dlg::build_adapter_box(const kvr_dialog_units& du) {
    adapter_box_ = new QComboBox(page_);
    adapter_box_->addItem(QString::fromUtf8(kAdapterAuto), QString());
    for (kvr_adapter kind : kvr_serial_adapters) {
        const kvr_adapter_info* info = kvr_adapter_find(kind);
        adapter_box_->addItem(QString::fromUtf8(info->label), QString::fromUtf8(info->name));
    }
    adapter_box_->setToolTip(QStringLiteral(
        "Adapter on a serial port; auto: MS100 on COMn and /dev/ttyS*, LocoBuffer 57600 on USB"));
    adapter_box_->setGeometry(du.rect(340, 7, 97, 14));
    adapter_box_->setObjectName(QStringLiteral("idc_%1").arg(kvr_idc_adapter));
    controls_[kvr_idc_adapter] = adapter_box_;
    setTabOrder(control(kvr_idc_fast_clock), adapter_box_);
}

void kvr_main_dlg::init_dialog() {
    update_data(false);

    auto* about = new QShortcut(QKeySequence(Qt::Key_F1), this);
    connect(about, &QShortcut::activated, this, [this] { show_about(); });
    // Shift+F10 opens the monitor's menu wherever the focus is in the window.
    auto* menu_key = new QShortcut(QKeySequence(Qt::SHIFT | Qt::Key_F10), this);
    connect(menu_key, &QShortcut::activated, this, [this] {
        QContextMenuEvent keyboard(QContextMenuEvent::Keyboard, QPoint(), QPoint());
        QCoreApplication::sendEvent(log_view_, &keyboard);
    });

    port_ = ini_.get_string(kSection, "COMMPORT", "");
    fill_ports();
    select_stored_adapter();
    button(kvr_idc_connect)->setText(QString::fromUtf8(kvr_txt_connect));

    link().add_listener(&sink_);
    loconet_->set_abort_event(env_.abort_event);

    slider_->setRange(0, 126);
    slider_->setTickInterval(1);

    on_switch_address_changed();

    std::array<QCheckBox*, 8> boxes{};
    for (int i = 0; i < 8; ++i)
        boxes[i] = check(kvr_idc_bit0 + i);
    bits_.bind(boxes);
}

void kvr_main_dlg::select_stored_adapter() {
    const std::string stored = ini_.get_string(kSection, kAdapterKey, kAdapterAuto);
    const std::optional<kvr_adapter> kind = kvr_adapter_parse(stored);
    const kvr_adapter_info* info = kind ? kvr_adapter_find(*kind) : nullptr;
    const int index = info ? adapter_box_->findData(QString::fromUtf8(info->name)) : -1;
    adapter_box_->setCurrentIndex(std::max(index, 0));
}

void kvr_main_dlg::store_adapter() {
    const std::string name = adapter_box_->currentData().toString().toStdString();
    ini_.set_string(kSection, kAdapterKey, name.empty() ? kAdapterAuto : name);
}

// Before each open: the link takes the kind only while closed.
void kvr_main_dlg::apply_adapter() {
    auto* serial = dynamic_cast<kvr_link*>(&link());
    if (!serial)
        return;
    const std::optional<kvr_adapter> chosen =
        kvr_adapter_parse(adapter_box_->currentData().toString().toStdString());
    // The simulated layout is a pseudo-terminal with the MS100's line.
    const bool ignore = !chosen || serial->is_virtual_port(port_);
    serial->set_adapter(ignore ? kvr_adapter::automatic : *chosen);
}

void kvr_main_dlg::fill_ports() {
    const std::vector<std::string> devices =
        env_.list_devices ? env_.list_devices() : kvr_scan_serial_devices();
    if (port_.empty()) port_ = kvr_first_start_port(devices);
    const std::vector<std::string> items = kvr_port_list(devices, port_);
    for (const std::string& item : items)
        port_box_->addItem(QString::fromStdString(item));
    port_box_->setCurrentIndex(kvr_port_selection(items, port_));
    fit_port_list();
}

// A /dev/serial/by-id name or a tcp:// address is far longer than the box:
// the drop-down list is as wide as its longest entry (within the screen,
// with the middle of longer ones left out), the closed box shows the name
// with its middle left out, and the whole name is the tooltip.
void kvr_main_dlg::fit_port_list() {
    const QFontMetrics fm(port_box_->view()->font());
    int widest = 0;
    for (int i = 0; i < port_box_->count(); ++i)
        widest = std::max(widest, fm.horizontalAdvance(port_box_->itemText(i)));
    int width = widest + 4 * fm.averageCharWidth();
    if (const QScreen* s = screen())
        width = std::min(width, s->availableGeometry().width());
    port_box_->view()->setTextElideMode(Qt::ElideMiddle);
    port_box_->view()->setMinimumWidth(width);
    show_port_end();
}

void kvr_main_dlg::show_port_end() {
    port_box_->setToolTip(port_box_->currentText());
    if (QLineEdit* line = port_box_->lineEdit())
        line->setCursorPosition(static_cast<int>(line->text().size()));
}

void kvr_main_dlg::wire_signals() {
    connect(port_box_, &QComboBox::currentTextChanged, this, [this] { show_port_end(); });
    connect(adapter_box_, &QComboBox::currentIndexChanged, this, [this] { store_adapter(); });
    const auto on_click = [this](int id, void (kvr_main_dlg::*handler)()) {
        connect(qobject_cast<QAbstractButton*>(control(id)), &QAbstractButton::clicked, this,
                [this, handler] { enter(handler); });
    };
    const auto on_text = [this](int id, void (kvr_main_dlg::*handler)()) {
        connect(edit(id), &QLineEdit::textChanged, this, [this, handler] { enter(handler); });
    };

    on_click(kvr_idc_connect, &kvr_main_dlg::on_connect);
    on_click(kvr_idc_power_on, &kvr_main_dlg::on_power_on);
    // Power Off is a stop: it acts while an operation waits.
    connect(button(kvr_idc_power_off), &QAbstractButton::clicked, this, [this] {
        if (busy())
            on_power_off();
        else
            enter(&kvr_main_dlg::on_power_off);
    });
    button(kvr_idc_power_off)->setProperty(kvr_cancel_waiter::stop_control, true);
    on_click(kvr_idc_fast_clock, &kvr_main_dlg::on_fast_clock);

    connect(slider_, &kvr_speed_slider::drawn, this, [this] { queue_slider_check(); });
    on_text(kvr_idc_speed, &kvr_main_dlg::on_speed_changed);
    connect(edit(kvr_idc_speed), &QLineEdit::returnPressed, this, [this] { enter(&kvr_main_dlg::on_speed_entered); });
    connect(edit(kvr_idc_loco_adr), &QLineEdit::returnPressed, this, [this] { enter(&kvr_main_dlg::on_loco_entered); });
    on_click(kvr_idc_28step, &kvr_main_dlg::on_step_mode);
    on_click(kvr_idc_128step, &kvr_main_dlg::on_step_mode);
    on_click(kvr_idc_rev, &kvr_main_dlg::on_direction);
    on_click(kvr_idc_fwd, &kvr_main_dlg::on_direction);
    for (unsigned i = 0; i <= kvr_proto::slot_function_max; ++i)
        connect(qobject_cast<QAbstractButton*>(control(kvr_idc_f0 + static_cast<int>(i))), &QAbstractButton::clicked,
                this, [this, i] {
                    if (state_ == kvr_dlg_state::idle)
                        on_function_box(i);
                });

    on_text(kvr_idc_sw_adr, &kvr_main_dlg::on_switch_address_changed);
    on_click(kvr_idc_thrown, &kvr_main_dlg::on_switch_address_changed);
    on_click(kvr_idc_closed, &kvr_main_dlg::on_switch_address_changed);
    on_text(kvr_idc_dec_adr, &kvr_main_dlg::on_decoder_changed);
    for (int i = 0; i < 8; ++i)
        on_click(kvr_idc_out_1t + i, &kvr_main_dlg::on_decoder_changed);
    on_click(kvr_idc_req_sw, &kvr_main_dlg::on_req_sw);

    on_click(kvr_idc_paged, &kvr_main_dlg::on_prog_mode);
    on_click(kvr_idc_direct, &kvr_main_dlg::on_prog_mode);
    on_click(kvr_idc_ops, &kvr_main_dlg::on_prog_mode);
    on_text(kvr_idc_value, &kvr_main_dlg::on_value_changed);
    on_text(kvr_idc_hex, &kvr_main_dlg::on_hex_changed);
    for (int i = 0; i < 8; ++i)
        on_click(kvr_idc_bit0 + i, &kvr_main_dlg::on_bit_clicked);
    on_click(kvr_idc_read, &kvr_main_dlg::on_read);
    on_click(kvr_idc_write, &kvr_main_dlg::on_write);

    on_click(kvr_idc_clear, &kvr_main_dlg::on_clear_screen);
    on_click(kvr_idc_file_log, &kvr_main_dlg::on_file_log);
    on_click(kvr_idc_log_normal, &kvr_main_dlg::on_log_mode);
    on_click(kvr_idc_log_stack, &kvr_main_dlg::on_log_mode);
}

QWidget* kvr_main_dlg::control(int id) const {
    const auto it = controls_.find(id);
    return it == controls_.end() ? nullptr : it->second;
}

QLineEdit* kvr_main_dlg::edit(int id) const {
    return qobject_cast<QLineEdit*>(control(id));
}

QPushButton* kvr_main_dlg::button(int id) const {
    return qobject_cast<QPushButton*>(control(id));
}

QCheckBox* kvr_main_dlg::check(int id) const {
    return qobject_cast<QCheckBox*>(control(id));
}

int kvr_main_dlg::id_of(const QWidget* w) const {
    for (const auto& [id, c] : controls_)
        if (c == w)
            return id;
    return 0;
}

// ---- data exchange, in the dialog's field order ----

bool kvr_main_dlg::update_data(bool save, bool quiet) {
    // Controls report changes while they are loaded; those reports are not
    // the user's and are ignored until the pass is over.
    const kvr_dlg_state outer = state_;
    if (state_ == kvr_dlg_state::idle)
        state_ = kvr_dlg_state::exchanging;
    kvr_data_exchange dx(save, quiet ? kvr_prompt_fn{} : prompt_);
    kvr_dlg_fields& f = fields_;
    // The slider and the log view are bound controls without a value.
    dx.text_int(edit(kvr_idc_sw_adr), f.switch_address);
    dx.range_int(edit(kvr_idc_sw_adr), f.switch_address, 1, 9999);
    dx.check(check(kvr_idc_sw_on), f.switch_on);
    dx.text_int(edit(kvr_idc_loco_adr), f.loco_address);
    dx.text_int(edit(kvr_idc_speed), f.speed);
    dx.radio(direction_, f.direction);
    dx.radio(step_mode_, f.step_mode);
    for (int i = 0; i < 9; ++i)
        dx.check(check(kvr_idc_f0 + i), f.f[i]);
    dx.check(check(kvr_idc_file_log), f.file_log);
    dx.radio(switch_position_, f.switch_position);
    dx.text_int(edit(kvr_idc_dec_adr), f.decoder_address);
    dx.radio(decoder_output_, f.decoder_output);
    dx.radio(prog_mode_, f.prog_mode);
    dx.text_int(edit(kvr_idc_cv), f.cv);
    dx.text_int(edit(kvr_idc_value), f.value);
    dx.text(edit(kvr_idc_hex), f.hex);
    dx.radio(log_mode_, f.log_mode);
    state_ = outer;
    if (save)
        failed_id_ = id_of(dx.failed_control());
    sync_feeds();
    if (state_ == kvr_dlg_state::idle && speed_pending_) {
        // A slider move came while a prompt of this exchange was open.
        speed_pending_ = false;
        queue_slider_check();
    }
    return !dx.failed();
}

bool kvr_main_dlg::save_for(std::initializer_list<int> used, bool quiet) {
    if (update_data(true, quiet))
        return true;
    return std::find(used.begin(), used.end(), failed_id_) == used.end();
}

bool kvr_main_dlg::saved_through(int id) const {
    // The entries that can stop a saving exchange, in exchange order.
    static constexpr std::array<int, 6> order = {kvr_idc_sw_adr, kvr_idc_loco_adr, kvr_idc_speed,
                                                 kvr_idc_dec_adr, kvr_idc_cv,       kvr_idc_value};
    const auto stop = std::find(order.begin(), order.end(), failed_id_);
    return stop == order.end() || std::find(order.begin(), order.end(), id) < stop;
}

bool kvr_main_dlg::loco_address_ok(bool quiet) {
    if (kvr_proto::is_loco_address(fields_.loco_address))
        return true;
    if (!quiet) {
        if (prompt_)
            prompt_(kvr_range_prompt(kvr_proto::loco_address_first, kvr_proto::loco_address_last));
        edit(kvr_idc_loco_adr)->setFocus(Qt::OtherFocusReason);
        edit(kvr_idc_loco_adr)->selectAll();
    }
    return false;
}

bool kvr_main_dlg::connected_or_say_so() {
    if (link().is_open())
        return true;
    report([] { kvr_message_box(kvr_txt_not_connected, "Busprobe", kvr_icon::information); });
    return false;
}

void kvr_main_dlg::enter(void (kvr_main_dlg::*handler)()) {
    // Change reports during an exchange are the program's own; while an
    // operation waits, input is held back and a second operation may not
    // start inside the first one's wait.
    if (state_ != kvr_dlg_state::idle)
        return;
    (this->*handler)();
}

// ---- operations ----

bool kvr_main_dlg::begin_op(const QString& what) {
    if (state_ != kvr_dlg_state::idle)
        return false;
    state_ = kvr_dlg_state::waiting;
    refused_in_op_ = false;
    lost_while_waiting_ = false;
    env_.abort_event->reset();
    waiter_.begin(what, env_.abort_event);
    return true;
}

void kvr_main_dlg::end_op() {
    waiter_.end();
    const bool close_requested = state_ == kvr_dlg_state::close_requested;
    state_ = kvr_dlg_state::idle;
    std::vector<std::function<void()>> reports;
    reports.swap(deferred_reports_);
    for (const auto& show : reports)
        show();
    if (close_requested) {
        QTimer::singleShot(0, this, [this] { close(); });
        return;
    }
    follow_loco();
    if (speed_pending_) {
        speed_pending_ = false;
        queue_slider_check();
    }
}

void kvr_main_dlg::run_op(const QString& what, const std::function<void()>& op) {
    if (!begin_op(what))
        return;
    try {
        op();
    } catch (const kvr_exception& e) {
        // A cancel caused by closing the window is not news to anyone, nor
        // one caused by a lost link beside the link's own report.
        const bool quiet = state_ == kvr_dlg_state::close_requested || lost_while_waiting_;
        end_op();
        // A refusal that ended the wait has its own report too. A cancel the
        // user asked for needs no box: the monitor says what it ended.
        const bool asked = waiter_.user_cancelled() && e.report().find("CANCEL") != std::string::npos;
        if (asked)
            sink_.on_note("Cancelled: " + what.toStdString() + "\r\n");
        else if (!quiet && !refused_in_op_)
            e.show();
        return;
    }
    end_op();
}

// The loco driven goes back to the command station, as other throttles
// leave a loco (status common, speed kept), at Close and when the program
// ends: left "in use" by a program that is gone, no other throttle could
// take it without stealing.
void kvr_main_dlg::hand_back_loco() {
    if (!throttle_ || !throttle_->driving() || !link().is_open())
        return;
    try {
        throttle_->release();
        // The close drops what is still queued: the release must be on the
        // bus first.
        link().wait_sent(kvr_release_wait_ms);
    } catch (const kvr_exception& e) {
        if (state_ != kvr_dlg_state::closing)
            e.show();
    }
}

void kvr_main_dlg::shut_down_link() {
    hand_back_loco();
    // Also when the link looks closed: a lost device leaves its I/O thread
    // to be joined.
    try {
        link().close();
    } catch (const kvr_exception& e) {
        if (state_ != kvr_dlg_state::closing)
            e.show();
    }
}

void kvr_main_dlg::report(std::function<void()> show) {
    // A box opened while an operation waits would hold the wait step in the
    // box's loop; it is shown when the operation is over. One opened inside
    // a drain would let newer lines in before the rest of the batch; it is
    // shown once the batch is handed on.
    if (busy() || draining_)
        deferred_reports_.push_back(std::move(show));
    else
        show();
}

// ---- connect cycle ----

void kvr_main_dlg::on_connect() {
    env_.abort_event->reset();
    QPushButton* connect_button = button(kvr_idc_connect);
    const QString label = connect_button->text();
    port_ = port_box_->currentText().toStdString();
    try {
        kvr_wait_cursor busy;
        if (label == QString::fromUtf8(kvr_txt_connect)) {
            apply_adapter();
            // The lines of the last link first, so nothing of it is taken
            // for the next one.
            drain_closed_link();
            forget_bus();
            link().open(port_);
            read_after_connect();
            ini_.set_string(kSection, "COMMPORT", port_);
            if (port_box_->findText(QString::fromStdString(port_)) < 0) {
                port_box_->addItem(QString::fromStdString(port_));
                fit_port_list();
            }
            connect_button->setText(QString::fromUtf8(kvr_txt_close));
            show_title();
        } else {
            hand_back_loco();
            link().close();
            drain_closed_link();
            forget_bus();
            connect_button->setText(QString::fromUtf8(kvr_txt_connect));
            show_title();
        }
    } catch (const kvr_exception& e) {
        e.show();
    }
}

// Connected, the title names the port and the adapter kind the link took,
// so a second window on another layout is told apart in the task bar.
void kvr_main_dlg::show_title() {
    QString title = QString::fromUtf8(kvr_txt_title);
    if (link().is_open()) {
        title += QStringLiteral(" - ") + QString::fromStdString(port_);
        if (auto* serial = dynamic_cast<kvr_link*>(&link())) {
            if (serial->is_virtual_port(port_)) {
                title += QStringLiteral(" (simulated layout)");
            } else if (const kvr_adapter_info* info = kvr_adapter_find(serial->adapter())) {
                title += QStringLiteral(" (") + QString::fromUtf8(info->label) + QLatin1Char(')');
            }
        }
    }
    setWindowTitle(title);
}

void kvr_main_dlg::link_lost(const std::string& text) {
    if (state_ == kvr_dlg_state::closing)
        return;
    button(kvr_idc_connect)->setText(QString::fromUtf8(kvr_txt_connect));
    forget_bus();
    try {
        link().close();  // stops the I/O thread of the lost device
    } catch (const kvr_exception&) {
        // Nothing more to tell than the report itself.
    }
    show_title();
    if (busy()) {
        // The answer waited for can no longer come: the wait ends now, and
        // the link's report is the one shown once it is over.
        lost_while_waiting_ = true;
        env_.abort_event->set();
    }
    report([text] { kvr_message_box(text, "Busprobe", kvr_icon::exclamation); });
}

void kvr_main_dlg::send_refused(const std::string& text) {
    if (state_ == kvr_dlg_state::closing)
        return;
    if (busy()) {
        refused_in_op_ = true;
        env_.abort_event->set();
    }
    // Several messages of one button may be refused: one report tells it.
    if (refusal_shown_)
        return;
    refusal_shown_ = true;
    report([this, text] {
        kvr_message_box(text, "Busprobe", kvr_icon::exclamation);
        refusal_shown_ = false;
    });
}

// ---- window ----

void kvr_main_dlg::show_about() {
    kvr_about_dlg about(this);
    about.exec();
}

void kvr_main_dlg::closeEvent(QCloseEvent* event) {
    event->ignore();
    if (busy()) {
        // End the waiting operation first; the window closes once it is over.
        state_ = kvr_dlg_state::close_requested;
        env_.abort_event->set();
        return;
    }
    if (state_ != kvr_dlg_state::idle || !update_data(true))
        return;
    state_ = kvr_dlg_state::closing;
    shut_down_link();
    event->accept();
    done(QDialog::Accepted);
}

void kvr_main_dlg::resizeEvent(QResizeEvent* event) {
    QDialog::resizeEvent(event);
    layout_page();
}

void kvr_main_dlg::contextMenuEvent(QContextMenuEvent* event) {
    QMenu menu(this);
    for (QAction* a : operating_actions_)
        menu.addAction(a);
    add_view_menu_items(menu);
    QAction* about = menu.addAction(QString::fromUtf8(kvr_txt_about_item));
    about->setShortcut(QKeySequence(Qt::Key_F1));
    if (menu.exec(event->globalPos()) == about)
        show_about();
}
