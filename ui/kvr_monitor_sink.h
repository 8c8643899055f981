#pragma once
// The window's one channel from the link's I/O thread: a link listener that
// queues what the link tells (messages with their monitor lines, notes,
// lost-link and refusal reports) behind a lock and posts one content-free
// wake-up event while the queue is not empty, so no data crosses the threads
// inside Qt's event queue. The GUI thread takes the whole queue at once.
//
// The texts are made here, on the I/O thread, once per message: the
// monitor's line always (the view and the dated log show it), and with
// "Decode every message" the extended line as well (the view shows it). The
// GUI thread decodes nothing.
//
// The window's own messages that the monitor has no line for (the F9-F28
// forms, immediate packets) would show as empty lines: the window tells the
// sink what it queues, and the echo of such a message gets the extended
// line instead, in the view and the dated log alike. Another node's message
// with the same bytes that comes when none of ours is awaited keeps the
// monitor's line.

#include <QEvent>

#include <atomic>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "link/kvr_link_listener.h"
#include "loconet/kvr_capture.h"
#include "loconet/kvr_loconet_msg.h"
#include "loconet/kvr_msg_kind.h"

class QObject;

// One entry of the queue, in the order the link told it.
struct kvr_drained {
    enum class what : unsigned char {
        message,  // a framed message: `msg`, `time`, `line`, maybe `extended`
        note,     // a line of text without a message (CR LF ends it)
        lost,     // the device went away: `line` is the report
        refused,  // a message was refused where it was to go out: `line` is the report
    };
    what kind = what::note;
    std::string line{};
    std::string extended{};  // empty unless made for "Decode every message"
    kvr_loconet_msg msg{};
    kvr_capture_time time{};
    // What the message is about, for the monitor's filter: set on the GUI
    // thread as the bus state takes the message in.
    kvr_msg_subject subject{};

    bool is_line() const { return kind == what::message || kind == what::note; }
    bool has_msg() const { return kind == what::message; }
    // The line the monitor view shows (CR LF ends it).
    const std::string& shown() const { return extended.empty() ? line : extended; }
};

class kvr_monitor_sink : public kvr_link_listener {
public:
    // The wake-up posted to `target` (a QEvent of this type, no data).
    static const QEvent::Type wake_event;

    explicit kvr_monitor_sink(QObject* target) : target_(target) {}

    // kvr_link_listener, on the link's I/O thread.
    void on_message(const kvr_loconet_msg& msg, const kvr_capture_time& time) override;
    void on_note(const std::string& line) override;
    void on_link_lost(const std::string& report) override;
    void on_send_refused(const std::string& report) override;
    void on_open() override;

    // Any thread, before the message goes to the link: the window queues
    // `msg`. Only a message without a monitor line is remembered.
    void expect_own(const kvr_loconet_msg& msg);

    // Any thread: from the next message on, also make the extended line.
    void set_extended(bool on) { extended_.store(on); }
    // The target is going: nothing more is queued or posted.
    void detach() { alive_.store(false); }

    // GUI thread: everything queued so far, oldest first. The wake-up stays
    // armed (no new one is posted) unless `rearm` is set and the queue was
    // empty: while lines keep coming the window collects them on its own
    // tick instead of waking once per message.
    std::vector<kvr_drained> take(bool rearm);

private:
    void push(kvr_drained item);
    // I/O thread: true (and forgotten) when `msg` is one the window queued.
    bool own_echo(const kvr_loconet_msg& msg);

    QObject* target_;
    std::atomic<bool> alive_{true};
    std::atomic<bool> extended_{false};
    std::mutex mutex_;
    std::vector<kvr_drained> items_;  // guarded by mutex_
    bool wake_posted_ = false;        // guarded by mutex_
    // Taken only for messages without a monitor line, never for the rest of
    // a busy bus. Bounded: an echo that never comes (a withdrawn message, a
    // lost link) ages out instead of piling up.
    static constexpr std::size_t own_limit = 32;
    std::mutex own_mutex_;
    std::deque<kvr_loconet_msg> own_;  // guarded by own_mutex_, oldest first
};
