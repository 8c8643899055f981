#pragma once
// What the slot and sensor windows ask of the main dialog. Everything that
// goes to the bus passes through the dialog's one operation guard: nothing
// runs while another operation waits, and while the link is closed the user
// gets the "Not connected" notice and nothing is sent.

#include <QString>

#include <cstdint>
#include <functional>

class kvr_dccx_loconet;

class kvr_view_host {
public:
    virtual ~kvr_view_host() = default;
    // Runs `op` as a window operation (Cancel box, failures shown after it).
    // True when it ran to its end.
    virtual bool run_station_op(const QString& what, const std::function<void(kvr_dccx_loconet&)>& op) = 0;
    // Puts the loco address into the throttle and asks for the loco.
    virtual void take_loco(int address) = 0;
    // Sets a turnout through the switch panel's own path.
    virtual void set_turnout(int number, bool closed) = 0;
    // Asks before the loco of a slot in use is taken from the throttle that
    // holds it (`what`: "Release", "Dispatch"); true to go on.
    virtual bool confirm_taking(uint8_t slot, int address, const QString& what) {
        (void)slot;
        (void)address;
        (void)what;
        return true;
    }
};
