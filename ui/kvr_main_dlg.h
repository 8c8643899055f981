#pragma once
// The main dialog: connect cycle, live monitor, throttle, switch, power,
// fast clock and CV programming panels.
//
// Threads: every handler runs on the GUI thread. The link's I/O thread
// reaches the dialog only through its monitor sink (kvr_monitor_sink.h), one
// of the link's listeners: a locked queue of lines with their messages (and
// lost-link notices) plus one content-free wake-up event while the queue is
// not empty, so no data crosses the threads inside Qt's event queue.
//
// The drain: the dialog takes the sink's queue at once, reads each message
// once into the bus state (kvr_bus_state: slots, F0..F28, sensors and
// turnouts, track power, fast clock) and then hands the batch to its list of
// consumers: the capture recording, the monitor view, the dated log, the
// Slots and Sensors windows and its own panels (power buttons, throttle,
// functions window). Every part reaches back through one host interface
// (kvr_view_host.h).
//
// Operations on the command station run one at a time. While one waits, the
// Cancel waiter keeps the event loop going (painting, monitor lines) but
// keeps user input from the window, except the stops (emergency stop, stop
// all, power off), which act at once; a slider move seen meanwhile is sent
// as the latest speed once the operation is over. Every user action enters through one
// guard that looks at the window's one operation state.

#include <QDialog>
#include <QRect>
#include <QSize>
#include <QString>
#include <QTimer>

#include <array>
#include <functional>
#include <initializer_list>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "foundation/kvr_ini.h"
#include "station/kvr_dccx_loconet.h"
#include "station/kvr_bus_state.h"
#include "station/kvr_throttle.h"
#include "ui/kvr_batch_consumer.h"
#include "ui/kvr_cancel_waiter.h"
#include "ui/kvr_data_exchange.h"
#include "ui/kvr_monitor_sink.h"
#include "ui/kvr_view_host.h"

class kvr_dialog_units;

class QAction;
class QButtonGroup;
class QKeyEvent;
class QCheckBox;
class QComboBox;
class QLineEdit;
class QPushButton;
class QScrollArea;
class kvr_bus_views;
class kvr_devices_feed;
class kvr_devices_wnd;
class kvr_capture_recorder;
class kvr_dated_log;
class kvr_file_log_feed;
class kvr_hand_entry;
class kvr_log_view;
class kvr_monitor_feed;
class kvr_sensors_view;
class kvr_slots_view;
class kvr_speed_slider;
class kvr_functions_wnd;
class kvr_clock_wnd;
class QMenu;

// The lamp the power buttons show (kvr_main_dlg_bus.cpp).
enum class kvr_lamp { unknown, green, red, amber, dark };
class QIcon;
QIcon kvr_lamp_icon(kvr_lamp lamp, int size);

// The dialog's values, as exchanged with its controls (initial values as
// the dialog starts).
struct kvr_dlg_fields {
    int switch_address = 1;   // 1..9999
    int switch_on = 1;
    int loco_address = 3;
    int speed = 0;
    int direction = 0;        // 0 "Rev", 1 "Fwd"
    int step_mode = 1;        // 0 "28step", 1 "128step"
    std::array<int, 9> f{};   // F0..F8
    int file_log = 0;
    int switch_position = 0;  // 0 "Thrown/Red", 1 "Closed/Green"
    int decoder_address = 0;
    int decoder_output = -1;  // 0..7 "1t".."4c", -1 none
    int prog_mode = 1;        // 0 "Paged", 1 "Direct", 2 "OPS"
    int cv = 1;
    int value = 0;
    QString hex = QStringLiteral("0x00");
    int log_mode = 0;         // 0 "log normal", 1 "log stack"
};

// What the window is doing; user actions run only when it is idle.
enum class kvr_dlg_state {
    idle,
    exchanging,       // controls are being loaded or read: their change reports are not the user's
    waiting,          // an operation waits for the command station
    close_requested,  // waiting, and the user closed the window: it closes once the wait has ended
    closing,          // the window is closing: the link is shut, nothing is reported
};

// Eight check boxes showing the bits of a CV value.
class kvr_bit_boxes {
public:
    void bind(const std::array<QCheckBox*, 8>& boxes) { boxes_ = boxes; }
    void set(int value);  // higher bits ignored
    int get() const;      // 0..255

private:
    std::array<QCheckBox*, 8> boxes_{};
};

// What the dialog works with; the application fills it, tests inject fakes.
struct kvr_main_dlg_env {
    kvr_loconet_port* link = nullptr;      // required; not owned
    kvr_sys_event* abort_event = nullptr;  // required; manual reset; not owned
    std::string ini_path;                  // empty: the file beside the executable
    kvr_dated_log* dated_log = nullptr;    // null: the program's dated log
    // Serial devices to offer; null: scan /dev at start.
    std::function<std::vector<std::string>()> list_devices;
    // The command station; null: a kvr_dccx_loconet with `timing`.
    std::function<std::unique_ptr<kvr_dccx>(kvr_loconet_port&)> make_station;
    kvr_dccx_timing timing;
    unsigned cancel_box_delay_ms = kvr_cancel_waiter::default_box_delay_ms;
};

class kvr_main_dlg : public QDialog, private kvr_view_host {
public:
    explicit kvr_main_dlg(kvr_main_dlg_env env, QWidget* parent = nullptr);
    ~kvr_main_dlg() override;

    // The prompt of a failed exchange (default: a warning box owned by the
    // dialog).
    void set_prompt(kvr_prompt_fn prompt) { prompt_ = std::move(prompt); }

    // One monitor line from the link (ends in CR LF): into the log view and,
    // with "FileLog" set, into the dated log.
    void receive_text(std::string text);

    // "Decode every message": the view shows the extended line for messages
    // the monitor leaves blank (the dated log keeps the monitor's line).
    // Remembered in the settings file.
    void set_decode_all(bool on);
    bool decode_all() const { return decode_all_; }
    // "Record capture…": every message received from now on goes to `path`
    // as a capture file. False (and not recording) when it cannot be created.
    bool start_recording(const std::string& path, std::string* error);
    // Flushes and closes; false when a write failed.
    bool stop_recording();
    bool recording() const;
    // The link's notice that its device went away.
    void link_lost(const std::string& text);
    // The link's notice that a message was refused (a LocoNet-over-TCP
    // server's SENT ERROR): ends a waiting operation and says why, once.
    void send_refused(const std::string& text);

    void show_about();

    // The functions window (F0..F28 and the emergency stop of the throttle's
    // loco) and "Set fast clock", each made when first opened.
    void show_functions();
    void show_clock_setter();
    kvr_functions_wnd* functions_window() const { return functions_wnd_; }
    kvr_clock_wnd* clock_window() const { return clock_wnd_; }
    // Asks before a loco another throttle holds is taken over, released or
    // dispatched (default: a question box owned by the dialog, No first).
    void set_confirm(std::function<bool(const QString&)> confirm) { confirm_ = std::move(confirm); }
    // What the bus has shown since the link was opened: slots, F0..F28 per
    // loco, sensors and turnouts, track power, fast clock.
    const kvr_bus_state& bus_state() const { return bus_; }
    // The stops act at once, also while an operation waits, and never wait
    // themselves: their messages go ahead of everything queued.
    void on_emergency_stop();
    void on_stop_all();
    // The throttle the controls drive.
    kvr_throttle& throttle() { return *throttle_; }
    // Track power as the bus last showed it; the Power On or Power Off
    // button that matches is shown pressed.
    kvr_power_state track_power() const { return bus_.power(); }
    // The entry for a message typed by hand, under the monitor (Ctrl+M).
    void set_hand_entry_shown(bool on);
    bool hand_entry_shown() const;
    kvr_hand_entry* hand_entry() const { return hand_entry_; }

    const kvr_dlg_fields& fields() const { return fields_; }
    kvr_dlg_state state() const { return state_; }
    bool busy() const { return state_ == kvr_dlg_state::waiting || state_ == kvr_dlg_state::close_requested; }
    QWidget* control(int id) const;
    template <class T>
    T* control_as(int id) const {
        return qobject_cast<T*>(control(id));
    }
    kvr_log_view* log_view() const { return log_view_; }
    kvr_speed_slider* slider() const { return slider_; }
    kvr_cancel_waiter& waiter() { return waiter_; }

    // The Slots window (Ctrl+L) and the Sensors and turnouts window (Ctrl+T),
    // fed from the drain; made when first opened (kvr_bus_views.h).
    void open_slots_view();
    void open_sensors_view();
    kvr_slots_view* slots_view() const;
    kvr_sensors_view* sensors_view() const;
    // The Devices window (right-click menu), fed from the drain
    // (kvr_devices_wnd.h).
    void open_devices_view();
    kvr_devices_wnd* devices_view() const;

protected:
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void moveEvent(QMoveEvent* event) override;
    void changeEvent(QEvent* event) override;
    void customEvent(QEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

public:
    // Enter and Escape do nothing; the window closes through its close box.
    void accept() override {}
    void reject() override {}

private:
    // kvr_view_host: what the child windows and the consumers ask
    // (kvr_main_dlg_views.cpp; report with the operations).
    bool run_station_op(const QString& what, const std::function<void(kvr_dccx_loconet&)>& op) override;
    kvr_slot_choice slot_choice() const override;
    void take_loco(int address) override;
    void set_turnout(int number, bool closed) override;
    bool confirm_taking(uint16_t slot, int address, const QString& what) override;
    bool remembered(const char* key, bool fallback) const override;
    void remember(const char* key, bool on) override;
    // Shows a report now, or after the running operation or drain.
    void report(std::function<void()> show) override;

    // The drain (kvr_main_dlg_sink.cpp).
    class panel_feed;
    void build_consumers();
    void drain_sink(bool rearm);
    // Feeds the bus state and hands the lines on, run by run; a lost or
    // refused report between runs is acted on in its place.
    void hand_on(std::vector<kvr_drained>& items);
    // What is still queued from a link that is closed now.
    void drain_closed_link();
    // After every exchange: the feeds follow the log mode and "FileLog".
    void sync_feeds();
    void build_view_actions();
    void add_view_menu_items(QMenu& menu);

    // Construction and start.
    void build_controls();
    void init_dialog();
    void wire_signals();
    void fill_ports();
    void build_adapter_box(const kvr_dialog_units& du);
    void select_stored_adapter();
    void store_adapter();
    void apply_adapter();
    void fit_port_list();
    void show_port_end();

    // Size and place on the screen. The controls sit on a page inside a
    // scroll area that fills the window: a window smaller than the design
    // first takes room from the monitor, down to a few lines, and then
    // scrolls the page.
    void build_page(const kvr_dialog_units& du);
    void layout_page();
    void fit_to_screen();
    void check_frame();

    // Exchange; `save` true: controls -> fields. A quiet exchange neither
    // prompts nor moves the focus.
    bool update_data(bool save, bool quiet = false);
    // Saves into the fields; false when the exchange stopped at one of the
    // controls `used` (their fields then do not hold what is shown).
    bool save_for(std::initializer_list<int> used, bool quiet = false);
    // Whether the last saving exchange went past the entry `id`, so that its
    // field and those of every earlier entry hold what is shown.
    bool saved_through(int id) const;
    // The loco address field within the one rule of every tool
    // (kvr_proto::is_loco_address), the whole int checked before any cut to
    // the 16 bits of the station's interface; otherwise prompts (unless
    // quiet) and returns false.
    bool loco_address_ok(bool quiet = false);

    // The one entry point of user actions.
    void enter(void (kvr_main_dlg::*handler)());
    // True while the link is open; otherwise one notice naming Connect.
    // Nothing may be queued while closed: it would go out on the next open,
    // minutes later and maybe on another layout.
    bool connected_or_say_so();

    // Operations: one at a time, failures shown after the operation.
    bool begin_op(const QString& what);
    void end_op();
    void run_op(const QString& what, const std::function<void()>& op);
    void shut_down_link();
    kvr_loconet_port& link() { return *env_.link; }
    kvr_dated_log& dated_log();

    // Connect cycle and log view.
    void on_connect();
    void show_title();
    void on_clear_screen();
    void on_file_log();
    void on_log_mode();
    void build_monitor_actions();
    void on_record();

    // The bus as the window shows it beyond the monitor (kvr_main_dlg_bus.cpp).
    void build_bus_extras();
    // One message into the bus state, before any consumer sees it; its
    // subject for the monitor's filter as the state then reads it.
    void feed_bus(kvr_drained& it);
    // Another layout, or none: the tables and every consumer forget.
    void forget_bus();
    void show_power();
    void on_send_by_hand();
    // The monitor's place with the hand entry under it when shown.
    QRect place_hand_entry(QRect log);

    // Throttle (kvr_main_dlg_panels.cpp): the controls mapped onto the
    // throttle, which drives the loco entered in the address box.
    void queue_slider_check();
    void on_slider_drawn();
    void on_speed_changed();
    void on_speed_entered();
    void on_step_mode();
    void on_direction();
    void on_function_box(unsigned n);
    void on_loco_entered();
    // Reads and takes the loco of the address box (asking before one another
    // throttle holds is taken over) and shows it.
    void acquire_entered();
    // True when the throttle drives the loco the address box names;
    // otherwise takes that loco (nothing else is sent) and returns false.
    bool driving_entered(bool quiet = false);
    // The controls show the loco as the throttle knows it.
    void show_loco();
    void read_after_connect();
    void hand_back_loco();
    void show_read_loco();
    // A loco's state into the fields and controls, when it is the loco the
    // address box names.
    void show_state(const kvr_loco_state& loco);
    // Puts the direction, step mode and F0..F8 buttons back to the fields.
    void show_throttle_fields();
    // The controls follow what the bus showed of the loco driven.
    void follow_loco();
    std::unique_ptr<kvr_function_memory> make_function_memory();
    // A stop key pressed while an operation waits: true when it is one
    // (acted on when `act`).
    bool stop_key(const QKeyEvent& key, bool act);
    // Runs a send that never waits, also while an operation waits; a
    // failure is shown once no operation waits.
    void send_now(const std::function<void()>& send);

    // Switch.
    void on_switch_address_changed();
    void on_decoder_changed();
    void on_req_sw();

    // Programming, power, fast clock.
    void on_prog_mode();
    void on_value_changed();
    void on_hex_changed();
    void on_bit_clicked();
    void on_read();
    void on_write();
    void on_power_on();
    void on_power_off();
    void on_fast_clock();

    // Functions F0..F28, the stops and the fast clock
    // (kvr_main_dlg_functions.cpp).
    void build_operating_actions();
    void on_window_function(unsigned n, bool on);
    void on_set_clock(const kvr_clock_setting& setting);
    void show_functions_state();
    void set_functions_as_opcodes(bool opcodes);

    QLineEdit* edit(int id) const;
    QPushButton* button(int id) const;
    QCheckBox* check(int id) const;
    int id_of(const QWidget* w) const;  // 0 for none

    kvr_main_dlg_env env_;
    std::string port_;
    kvr_ini ini_;
    std::unique_ptr<kvr_dccx_loconet> loconet_;  // the LocoNet station: throttle, slots, fast clock, stops
    std::unique_ptr<kvr_dccx> injected_;         // a station the environment made (tests)
    kvr_dccx* station_ = nullptr;                // programming, switches, power: injected_ or loconet_
    kvr_cancel_waiter waiter_;
    kvr_monitor_sink sink_{this};
    kvr_dlg_fields fields_;
    kvr_bit_boxes bits_;
    kvr_prompt_fn prompt_;

    std::map<int, QWidget*> controls_;
    kvr_speed_slider* slider_ = nullptr;
    kvr_log_view* log_view_ = nullptr;
    QScrollArea* scroll_ = nullptr;
    QWidget* page_ = nullptr;       // parent of every control
    QSize designed_size_;           // the window as designed
    QSize page_min_;                // where every control shows, the monitor a few lines high
    QRect log_rect_;                // the monitor's designed place
    bool placed_ = false;           // fitted to the screen at the first showing
    bool frame_checked_ = false;    // the size checked once the window manager's frame was known
    QComboBox* port_box_ = nullptr;
    QComboBox* adapter_box_ = nullptr;  // item data: the kind's settings name, empty for auto
    QButtonGroup* direction_ = nullptr;
    QButtonGroup* step_mode_ = nullptr;
    QButtonGroup* switch_position_ = nullptr;
    QButtonGroup* decoder_output_ = nullptr;
    QButtonGroup* prog_mode_ = nullptr;
    QButtonGroup* log_mode_ = nullptr;

    QTimer sink_tick_;  // runs while the sink's wake-up is armed
    bool decode_all_ = false;
    QAction* decode_all_action_ = nullptr;
    QAction* record_action_ = nullptr;
    std::unique_ptr<kvr_function_memory> function_memory_;  // over bus_
    std::unique_ptr<kvr_throttle> throttle_;
    uint64_t throttle_shown_ = 0;  // the throttle's version the controls show
    kvr_functions_wnd* functions_wnd_ = nullptr;  // owned as a child
    kvr_clock_wnd* clock_wnd_ = nullptr;          // owned as a child
    std::vector<QAction*> operating_actions_;     // the context menu's, in its order
    std::function<bool(const QString&)> confirm_;
    bool functions_as_opcodes_ = false;
    // Fed on the GUI thread, once per drained message; forgotten at every
    // Connect and Close.
    kvr_bus_state bus_;
    // The slot data show_read_loco last put on the screen.
    kvr_capture_time read_loco_seen_{};
    uint16_t read_loco_slot_ = 0;
    kvr_hand_entry* hand_entry_ = nullptr;
    QAction* hand_action_ = nullptr;
    std::vector<std::function<void()>> deferred_reports_;
    kvr_dlg_state state_ = kvr_dlg_state::idle;
    int failed_id_ = 0;           // control at which the last saving exchange stopped; 0: none
    bool speed_pending_ = false;  // a slider move seen while not idle: looked at once idle
    bool refusal_shown_ = false;       // a refused-message report is waiting or open
    bool refused_in_op_ = false;       // a refusal ended the running operation
    bool lost_while_waiting_ = false;  // the link went while an operation waited
    bool slider_check_queued_ = false;
    bool draining_ = false;  // reports wait until the batch is handed on
    std::unique_ptr<kvr_capture_recorder> recorder_;
    std::unique_ptr<kvr_monitor_feed> monitor_feed_;
    std::unique_ptr<kvr_file_log_feed> file_log_;
    std::unique_ptr<kvr_bus_views> views_;
    std::unique_ptr<kvr_devices_feed> devices_;
    std::unique_ptr<panel_feed> panels_;
    // In the order each batch is handed on.
    std::vector<kvr_batch_consumer*> consumers_;
};

// The dialog's own panels that show the bus, the last consumer of each batch:
// the power buttons, the throttle's controls following its loco's slot, and
// the functions window.
class kvr_main_dlg::panel_feed : public kvr_batch_consumer {
public:
    explicit panel_feed(kvr_main_dlg& dlg) : dlg_(dlg) {}
    void on_batch(std::span<const kvr_drained>) override {
        if (dlg_.bus_.power() != power_shown_) {
            power_shown_ = dlg_.bus_.power();
            dlg_.show_power();
        }
        dlg_.follow_loco();
        dlg_.show_functions_state();
    }
    void forget() override {
        power_shown_ = dlg_.bus_.power();
        dlg_.show_power();
        dlg_.show_functions_state();
    }

private:
    kvr_main_dlg& dlg_;
    kvr_power_state power_shown_ = kvr_power_state::unknown;  // as the dialog starts
};
