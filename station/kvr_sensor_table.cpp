#include "station/kvr_sensor_table.h"

#include <algorithm>

using namespace kvr_proto;

namespace {

const char* on_off(bool on) { return on ? "on" : "off"; }
const char* aux_name(bool noaux) { return noaux ? "noaux" : "aux"; }

uint16_t number_of(const kvr_loconet_msg& msg) {
    return static_cast<uint16_t>(decode_switch_number(msg[1], msg[2]));
}

}  // namespace

std::string kvr_point_kind_text(const kvr_point_key& key) {
    if (key.kind == kvr_point_kind::turnout) return "turnout";
    return std::string("sensor ") + aux_name(key.noaux);
}

std::string kvr_point_state_text(const kvr_point_entry& e) {
    if (e.key.kind == kvr_point_kind::sensor) return on_off(e.level);
    std::string s = e.position_known ? (e.closed ? "Closed/Green" : "Thrown/Red") : "?";
    s += std::string("(") + on_off(e.output_on) + ")";
    if (e.input_seen) s += std::string(" input(") + aux_name(e.input_noaux) + " " + on_off(e.input_level) + ")";
    return s;
}

const kvr_point_entry* kvr_sensor_table::find(const kvr_point_key& key) const {
    const auto it = points_.find(key);
    return it == points_.end() ? nullptr : &it->second;
}

kvr_point_entry& kvr_sensor_table::touch(const kvr_point_key& key, kvr_capture_time time) {
    kvr_point_entry& e = points_[key];
    e.key = key;
    e.seen = time;
    bool& q = queued_[key];
    if (!q) {
        q = true;
        changed_.push_back(key);
    }
    return e;
}

bool kvr_sensor_table::on_message(const kvr_loconet_msg& msg, kvr_capture_time time) {
    if (msg.length() != 4) return false;
    const uint8_t b = msg[2];
    switch (msg.opcode()) {
    case OPC_INPUT_REP: {
        kvr_point_entry& e = touch({kvr_point_kind::sensor, number_of(msg), (b & in2_switch_input) != 0}, time);
        e.level = (b & in2_level) != 0;
        return true;
    }
    case OPC_SW_REQ:
    case OPC_SW_ACK: {
        kvr_point_entry& e = touch({kvr_point_kind::turnout, number_of(msg), false}, time);
        e.position_known = true;
        e.closed = (b & sw2_closed) != 0;
        e.output_on = (b & sw2_on) != 0;
        return true;
    }
    case OPC_SW_REP: {
        kvr_point_entry& e = touch({kvr_point_kind::turnout, number_of(msg), false}, time);
        if (b & sn2_input) {
            e.input_seen = true;
            e.input_noaux = (b & in2_switch_input) != 0;
            e.input_level = (b & in2_level) != 0;
            return true;
        }
        const bool closed_on = (b & sn2_closed_on) != 0;
        const bool thrown_on = (b & sn2_thrown_on) != 0;
        // One output on tells the position; none on only that the output is
        // off; both on tell nothing about the position.
        if (closed_on != thrown_on) {
            e.position_known = true;
            e.closed = closed_on;
        }
        e.output_on = closed_on || thrown_on;
        return true;
    }
    default:
        return false;
    }
}

std::vector<kvr_point_key> kvr_sensor_table::take_changed() {
    std::vector<kvr_point_key> out;
    out.swap(changed_);
    queued_.clear();
    std::sort(out.begin(), out.end());
    return out;
}

void kvr_sensor_table::clear() {
    points_.clear();
    changed_.clear();
    queued_.clear();
}
