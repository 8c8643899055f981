#pragma once
// Every sensor and turnout the bus has shown, with its last state and when
// it was seen. Numbers are the monitor's (kvr_proto::decode_switch_number),
// so a row matches the monitor line it came from:
//   B2 0B 70  OPC_INPUT_REP  "INPUT#[12 (2:4)] for (noaux on )"  -> sensor 12 noaux: on
//   B0 0A 30  OPC_SW_REQ     "SW#[11 (2:3)] for Closed/Green(on)" -> turnout 11: closed, on
//   B1 0A 10  OPC_SW_REP     "SW#[11 (2:3)] for closed(off) thrown(on ))" -> turnout 11: thrown, on
// A sensor address carries two inputs, told apart by IN2's I bit, which the
// monitor shows as "aux" (clear) and "noaux" (set); they are two rows.
// Switch requests count whether sent as OPC_SW_REQ or as OPC_SW_ACK (the
// request that asks for an acknowledge, as this program's turnout buttons
// send it). A switch report with SN2 bit 6 set reports the turnout's input,
// not its outputs; it is kept beside the position.
//
// Pure: no threads, no clock of its own; one thread feeds it.

#include <compare>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "loconet/kvr_capture.h"
#include "loconet/kvr_loconet_msg.h"

enum class kvr_point_kind : uint8_t { sensor, turnout };

struct kvr_point_key {
    kvr_point_kind kind = kvr_point_kind::sensor;
    uint16_t number = 0;  // 1..2048, as the monitor counts
    bool noaux = false;   // sensors: IN2's I bit; turnouts: false
    auto operator<=>(const kvr_point_key&) const = default;
};

struct kvr_point_entry {
    kvr_point_key key;
    bool level = false;           // sensor: on
    bool position_known = false;  // turnout: a request or output report seen
    bool closed = false;
    bool output_on = false;
    bool input_seen = false;      // turnout: its input reported (SN2 bit 6)
    bool input_noaux = false;
    bool input_level = false;
    kvr_capture_time seen;
};

// "sensor aux", "sensor noaux", "turnout".
std::string kvr_point_kind_text(const kvr_point_key& key);
// Sensors "on" or "off"; turnouts in the monitor's words:
//   "Closed/Green(on)", "Thrown/Red(off)", "?(on)" when only the output is
//   known, followed by " input(noaux on)" once its input was reported.
std::string kvr_point_state_text(const kvr_point_entry& e);

class kvr_sensor_table {
public:
    // Takes in one message; true when it changed a row.
    bool on_message(const kvr_loconet_msg& msg, kvr_capture_time time);

    const std::map<kvr_point_key, kvr_point_entry>& points() const { return points_; }
    const kvr_point_entry* find(const kvr_point_key& key) const;
    // The rows changed since the last call, in key order, each once.
    std::vector<kvr_point_key> take_changed();
    void clear();

private:
    kvr_point_entry& touch(const kvr_point_key& key, kvr_capture_time time);

    std::map<kvr_point_key, kvr_point_entry> points_;
    std::vector<kvr_point_key> changed_;  // each key once, by the `queued` flag
    std::map<kvr_point_key, bool> queued_;
};
