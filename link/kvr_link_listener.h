#pragma once
// What the link tells the rest of the program. The link publishes each
// framed message once, to every listener, in the order they were added;
// it owns nothing of theirs and formats nothing for them.
//
// Threads: on_message, on_note, on_link_lost and on_send_refused are
// called on the link's I/O thread (or, for a link without one, on the
// thread that feeds its receive path); on_open on the thread that opens
// the link, while no I/O thread runs. A listener must not block there and
// must not add or remove listeners from inside a call.

#include <string>

#include "loconet/kvr_capture.h"
#include "loconet/kvr_loconet_msg.h"

class kvr_link_listener {
public:
    virtual ~kvr_link_listener() = default;
    // One framed message, with the time the link framed it (wall clock).
    virtual void on_message(const kvr_loconet_msg& msg, const kvr_capture_time& time) = 0;
    // A monitor line of the link's own, ending in CR LF: a LocoNet-over-TCP
    // server's note, a message given up after collisions.
    virtual void on_note(const std::string& line) { (void)line; }
    // The device went away (unplugged adapter, closed connection). Told once
    // per loss, with the report text of the failure.
    virtual void on_link_lost(const std::string& report) { (void)report; }
    // A message the link took was refused where it was to go out (a
    // LocoNet-over-TCP server's SENT ERROR), with the report text. Told once
    // per refused message.
    virtual void on_send_refused(const std::string& report) { (void)report; }
    // The link opens: another open may be another bus, so whatever was
    // learned on the last one means nothing now.
    virtual void on_open() {}
};
