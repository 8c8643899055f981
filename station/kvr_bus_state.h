#pragma once
// What the bus has shown: the loco slots, F9-F28 per loco, the sensors and
// turnouts, the track power and the fast clock. Fed one call per framed
// message in the order received, forgotten on every open: slot numbers,
// functions and power learnt on one layout mean nothing on the next.
//
// Loco slots (1..120 and the expanded 128..432) enter with full slot data
// (E7, EF; E6, EE); the short messages then keep them current:
//   B5 05 13   slot 5 STAT 0x13 (common, 128 steps)
//   A0 05 28   slot 5 speed 40
//   A1 05 10   slot 5 forward, F0 on
//   A2 05 01   slot 5 F5 on
//   BA 05 05   null move: slot 5 in use
//   BA 05 00   dispatch put: slot 5 handed on, common
// A short message for a slot whose data were never seen is left out (the
// loco is not known); a move between two loco slots waits for the command
// station's slot data. Slot 0 and the system slots 121..127 (fast clock,
// programmer, option switches) and 248..256, 376..384 never enter the table.
//
// Expanded slots (E6/EE, D5, D4 38..3B) are the same slots read another
// way: D5 sets speed and direction together, E6 carries F0..F28 itself:
//   E6 15 01 02 33 03 ..   slot 130, loco 3, F0..F28 as the slot says
//   D5 01 02 05 40         slot 130 speed 64 forward
//   D5 20 02 05 40         slot 130 F20 on, F14..F19 off
// A command station offers expanded slots when bit 6 of TRK is set in any
// slot it answers (E7 or E6).
//
// F9-F28 travel as DCC packets in OPC_IMM_PACKET (by address) or as A3/D4
// (by slot); a command station keeps neither, so they are what this program
// sent and what it saw.
//
// Track power: OPC_GPON on, OPC_GPOFF off, OPC_IDLE idle (every loco
// stopped, the track still powered), and the TRK byte of the command
// station's answers for slots 0..119, bits 1..0: 11 on, 10 or 00 off, 01
// idle. The system slots' byte 7 is no TRK (a detector answering an
// ops-mode read in slot 124 sends 00 there), and a throttle's write (EF)
// carries the TRK it read, not the track's.
//
// Numbers of sensors and turnouts are the monitor's, so a row matches the
// monitor line it came from:
//   B2 0B 70  "INPUT#[12 (2:4)] for (noaux on )"          -> sensor 12 noaux: on
//   B0 0A 30  "SW#[11 (2:3)] for Closed/Green(on)"         -> turnout 11: closed, on
//   B1 0A 10  "SW#[11 (2:3)] for closed(off) thrown(on ))" -> turnout 11: thrown, on
//
// Pure: no locks, no clock of its own; one thread feeds and reads it.

#include <bitset>
#include <compare>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "loconet/kvr_capture.h"
#include "loconet/kvr_msg_reading.h"

enum class kvr_power_state { unknown, off, on, idle };

// "on", "off", "idle", "unknown".
const char* kvr_power_state_name(kvr_power_state state);

struct kvr_slot_state {
    uint16_t slot = 0;
    uint16_t address = 0;  // ADR2 * 128 + ADR
    uint8_t stat = 0;      // STAT: usage bits 5..4, speed steps 2..0
    uint8_t speed = 0;     // SPD: 0 stop, 1 emergency stop, 2..127
    bool forward = true;
    uint32_t functions = 0;  // bit n = Fn, 0..28, as known on this bus
    uint16_t throttle_id = 0;
    uint8_t trk = 0;
    kvr_capture_time seen;  // the last message about the slot
    bool expanded = false;  // last read as E6/EE: F0..F28 come from the slot

    uint8_t usage() const { return stat & kvr_proto::stat_usage_mask; }
    // Speed steps by STAT bits 2..0: 28, 14 or 128; 0 for the unused codes 5, 6.
    int steps() const;
    bool function(unsigned f) const { return f <= 28 && ((functions >> f) & 1) != 0; }
};

// "free", "common", "idle", "in use" by STAT bits 5..4.
const char* kvr_slot_usage_name(uint8_t stat);
// Speed steps by STAT bits 2..0: 28, 14 or 128; 0 for the unused codes 5, 6.
int kvr_slot_steps(uint8_t stat);
// Nine digits, F0 first: "100000000" is F0 on; an expanded slot gives 29
// (F0..F28).
std::string kvr_slot_functions(const kvr_slot_state& s);
// One line per slot, the slot number and the loco address first:
//   "  5  loco 1234  in use  128 steps  speed 40  fwd  F0-F8 100000000"
//   "130  loco 3  in use  128 steps  speed 10  fwd  F0-F28 10000000000010000000000000000"
std::string kvr_slot_line(const kvr_slot_state& s);

enum class kvr_point_kind : uint8_t { sensor, turnout };

struct kvr_point_key {
    kvr_point_kind kind = kvr_point_kind::sensor;
    uint16_t number = 0;  // 1..2048, as the monitor counts
    bool noaux = false;   // sensors: IN2's I bit; turnouts: false
    auto operator<=>(const kvr_point_key&) const = default;
};

// A switch request counts whether sent as OPC_SW_REQ or as OPC_SW_ACK (the
// request that asks for an acknowledge). A switch report with SN2 bit 6 set
// reports the turnout's input, not its outputs; it is kept beside the
// position.
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

// The fast clock as slot 123 last showed it.
struct kvr_fast_clock {
    uint8_t rate = 0;  // 0 stopped
    uint8_t hour = 0;
    uint8_t minute = 0;
    uint16_t frac = 0;  // FRAC_MINSH/L
    uint8_t days = 0;
    bool valid = false;
    kvr_capture_time seen;
};

class kvr_bus_state {
public:
    // One framed message and when it came. on_reading takes a message
    // already read, for a caller that uses the reading too.
    void on_message(const kvr_loconet_msg& msg, const kvr_capture_time& time);
    void on_reading(const kvr_msg_reading& r, const kvr_capture_time& time);
    // Another layout, or none: nothing seen so far holds any more.
    void forget();

    // Loco slots only (kvr_is_loco_slot).
    const kvr_slot_state* slot(uint16_t slot) const;
    const std::map<uint16_t, kvr_slot_state>& loco_slots() const { return slots_; }
    // The slot whose data last named `address`, if it still holds it.
    const kvr_slot_state* slot_of_address(uint16_t address) const;

    // F0..F28 of a loco (bit n = Fn) as known on this bus: F0..F8 from its
    // slot, F9..F28 from what was sent and seen; 0 when nothing is known.
    uint32_t functions(uint16_t address) const;
    // What this program sent, before its echo is back: a second click
    // builds on the first.
    void note_sent_functions(uint16_t address, uint32_t mask, uint32_t bits);

    // Bit 6 of TRK was set in a slot the command station answered: it
    // offers expanded slots.
    bool expanded_offered() const { return expanded_offered_; }

    kvr_power_state power() const { return power_; }
    // When the power last changed (meaningless while unknown).
    const kvr_capture_time& power_since() const { return power_since_; }
    std::optional<kvr_fast_clock> clock() const { return clock_; }

    const std::map<kvr_point_key, kvr_point_entry>& points() const { return points_; }
    const kvr_point_entry* point(const kvr_point_key& key) const;

    // What changed since the last call, in order, each once: views redraw
    // once per batch of messages rather than once per message.
    std::vector<uint16_t> take_changed_slots();
    std::vector<kvr_point_key> take_changed_points();
    // Grows with every change of anything above.
    uint64_t version() const { return version_; }

    // Kind and number for the monitor's filter: a message that names only a
    // slot names the loco that slot holds.
    kvr_msg_subject subject(const kvr_msg_reading& r) const;

private:
    kvr_slot_state* known_slot(int slot, const kvr_capture_time& time);
    void take_slot_data(const kvr_msg_reading& r, const kvr_capture_time& time);
    void take_slot_value(const kvr_msg_reading& r, const kvr_capture_time& time);
    void take_functions(uint16_t address, uint32_t mask, uint32_t bits);
    void take_point(const kvr_msg_reading& r, const kvr_capture_time& time);
    void set_power(kvr_power_state state, const kvr_capture_time& time);
    kvr_point_entry& touch(const kvr_point_key& key, const kvr_capture_time& time);

    std::map<uint16_t, kvr_slot_state> slots_;
    std::map<uint16_t, uint16_t> address_slot_;  // address -> slot, from slot data
    std::map<uint16_t, uint32_t> high_functions_;  // address -> F9..F28 bits
    std::map<kvr_point_key, kvr_point_entry> points_;
    std::bitset<512> changed_slots_;  // every slot number up to 432
    std::set<kvr_point_key> changed_points_;
    kvr_power_state power_ = kvr_power_state::unknown;
    kvr_capture_time power_since_;
    std::optional<kvr_fast_clock> clock_;
    uint64_t version_ = 0;
    bool expanded_offered_ = false;
};
