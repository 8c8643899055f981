#include "station/kvr_track_power.h"

namespace {

// The state a message reports, or unknown when it says nothing of power.
kvr_power_state reported(const kvr_loconet_msg& msg) {
    switch (msg.opcode()) {
    case OPC_GPON: return kvr_power_state::on;
    case OPC_GPOFF: return kvr_power_state::off;
    case OPC_SL_RD_DATA:
        // A short or damaged slot message carries no TRK byte to read.
        if (msg.length() != kvr_proto::slot_msg_count || msg[1] != kvr_proto::slot_msg_count)
            return kvr_power_state::unknown;
        return (msg[kvr_proto::slot_trk] & kvr_proto::trk_power_on) ? kvr_power_state::on : kvr_power_state::off;
    default: return kvr_power_state::unknown;
    }
}

}  // namespace

const char* kvr_power_state_name(kvr_power_state state) {
    switch (state) {
    case kvr_power_state::on: return "on";
    case kvr_power_state::off: return "off";
    case kvr_power_state::unknown: break;
    }
    return "unknown";
}

bool kvr_track_power::on_message(const kvr_loconet_msg& msg, const kvr_capture_time& time) {
    const kvr_power_state now = reported(msg);
    if (now == kvr_power_state::unknown || now == state_)
        return false;
    state_ = now;
    since_ = time;
    return true;
}

void kvr_track_power::forget() {
    state_ = kvr_power_state::unknown;
    since_ = {};
}
