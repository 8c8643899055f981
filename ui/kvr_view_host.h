#pragma once
// What the window's parts ask of the main dialog: the Slots and the Sensors
// and turnouts windows, and the consumers of the drained batches (the
// monitor view, the capture recording, the dated log). One interface, so
// every part goes through the dialog's one operation guard and its one way
// of telling the user: nothing runs while another operation waits, while the
// link is closed the user gets the "Not connected" notice and nothing is
// sent, and no message box opens inside a wait or inside a drain.
//
// GUI thread only.

#include <QString>

#include <cstdint>
#include <functional>

#include "station/kvr_dccx_loconet.h"

class kvr_view_host {
public:
    virtual ~kvr_view_host() = default;
    // Runs `op` as a window operation (Cancel box, failures shown after it).
    // True when it ran to its end.
    virtual bool run_station_op(const QString& what, const std::function<void(kvr_dccx_loconet&)>& op) = 0;
    // Classic, expanded or (by default) as the command station offers: the
    // slots setting the throttle follows too.
    virtual kvr_slot_choice slot_choice() const = 0;
    // Puts the loco address into the throttle and asks for the loco.
    virtual void take_loco(int address) = 0;
    // Sends a turnout `closed` or thrown, its output on.
    virtual void set_turnout(int number, bool closed) = 0;
    // Asks before the loco of a slot in use is taken from the throttle that
    // holds it (`what`: "Release", "Dispatch"); true to go on.
    virtual bool confirm_taking(uint16_t slot, int address, const QString& what) {
        (void)slot;
        (void)address;
        (void)what;
        return true;
    }
    // A choice of a window the settings file keeps (0 or 1 under the
    // window's section); the defaults keep nothing.
    static constexpr const char* key_show_free_slots = "SLOTSFREE";
    virtual bool remembered(const char* key, bool fallback) const {
        (void)key;
        return fallback;
    }
    virtual void remember(const char* key, bool on) {
        (void)key;
        (void)on;
    }
    // Shows a report now, or once the running operation or drain is over:
    // a box opened inside either would run the event loop there.
    virtual void report(std::function<void()> show) = 0;
};
