#pragma once
// Track power as the bus last showed it: on, off, or unknown until a
// message tells. Fed one call per framed message, on whatever thread
// hands messages over; no lock, no clock of its own.
//
// What tells (LocoNet PE opcode summary):
//   OPC_GPON  83 7C                       on
//   OPC_GPOFF 82 7D                       off
//   OPC_SL_RD_DATA E7 0E slot .. TRK ..   TRK (byte 7) bit 0: 1 on, 0 off
// TRK is the command station's own report of the track, in every slot read
// answer, so a power change made elsewhere is seen at the next slot read.

#include "loconet/kvr_capture.h"
#include "loconet/kvr_loconet_msg.h"

enum class kvr_power_state { unknown, off, on };

// "on", "off", "unknown".
const char* kvr_power_state_name(kvr_power_state state);

class kvr_track_power {
public:
    // Returns true when the state changed.
    bool on_message(const kvr_loconet_msg& msg, const kvr_capture_time& time);
    // Another layout, or none: nothing seen so far holds any more.
    void forget();

    kvr_power_state state() const { return state_; }
    // When the state last changed (meaningless while unknown).
    const kvr_capture_time& since() const { return since_; }

private:
    kvr_power_state state_ = kvr_power_state::unknown;
    kvr_capture_time since_;
};
