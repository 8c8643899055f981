#include "station/kvr_bus_state.h"

#include "foundation/kvr_text.h"

using namespace kvr_proto;

namespace {

constexpr const char* usage_names[] = {"free", "common", "idle", "in use"};

// Indexed by STAT bits 2..0 (28 steps trinary and advanced consisting are 28).
constexpr int steps_by_code[] = {28, 28, 14, 128, 28, 0, 0, 128};

// F0..F8 travel in slot data; F9..F28 only in packets and A3/D4.
constexpr uint32_t slot_bits = (1u << 9) - 1;
constexpr uint32_t high_bits = ((1u << 29) - 1) & ~slot_bits;

const char* on_off(bool on) { return on ? "on" : "off"; }
const char* aux_name(bool noaux) { return noaux ? "noaux" : "aux"; }

void set_usage(kvr_slot_state& s, uint8_t usage) {
    s.stat = static_cast<uint8_t>((s.stat & ~stat_usage_mask) | usage);
}

// TRK bits 1..0 of a command station's slot answer: 11 on, 01 idle (power
// on, every loco stopped by OPC_IDLE), 10 or 00 off.
kvr_power_state power_of_trk(uint8_t trk) {
    if ((trk & trk_power_on) == 0) return kvr_power_state::off;
    return (trk & trk_running) ? kvr_power_state::on : kvr_power_state::idle;
}

}  // namespace

const char* kvr_power_state_name(kvr_power_state state) {
    switch (state) {
    case kvr_power_state::on: return "on";
    case kvr_power_state::off: return "off";
    case kvr_power_state::idle: return "idle";
    case kvr_power_state::unknown: break;
    }
    return "unknown";
}

int kvr_slot_state::steps() const { return kvr_slot_steps(stat); }

const char* kvr_slot_usage_name(uint8_t stat) { return usage_names[(stat & stat_usage_mask) >> 4]; }

int kvr_slot_steps(uint8_t stat) { return steps_by_code[stat & stat_steps_mask]; }

std::string kvr_slot_functions(const kvr_slot_state& s) {
    std::string out;
    const unsigned last = s.expanded ? 28 : slot_function_max;
    for (unsigned f = 0; f <= last; ++f) out += s.function(f) ? '1' : '0';
    return out;
}

std::string kvr_slot_line(const kvr_slot_state& s) {
    std::string out;
    string_appendf(out, "%3u  loco %u  %s  ", s.slot, s.address, kvr_slot_usage_name(s.stat));
    if (const int steps = s.steps()) string_appendf(out, "%d steps  ", steps);
    return string_appendf(out, "speed %u  %s  F0-F%u %s", s.speed, s.forward ? "fwd" : "rev",
                          s.expanded ? 28u : slot_function_max, kvr_slot_functions(s).c_str());
}

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

// ---- feeding ----

void kvr_bus_state::on_message(const kvr_loconet_msg& msg, const kvr_capture_time& time) {
    on_reading(kvr_read_message(msg), time);
}

void kvr_bus_state::on_reading(const kvr_msg_reading& r, const kvr_capture_time& time) {
    switch (r.what) {
    case kvr_msg_what::none:
    case kvr_msg_what::system_slot:
    case kvr_msg_what::slot_request:
    case kvr_msg_what::loco_request: return;
    case kvr_msg_what::power_on: set_power(kvr_power_state::on, time); return;
    case kvr_msg_what::power_off: set_power(kvr_power_state::off, time); return;
    case kvr_msg_what::power_idle: set_power(kvr_power_state::idle, time); return;
    case kvr_msg_what::slot_data:
        // Only the command station's answer tells the track's state.
        if (r.answer) set_power(power_of_trk(r.trk), time);
        if (r.answer && (r.trk & trk_offers_expanded) && !expanded_offered_) {
            expanded_offered_ = true;
            ++version_;
        }
        if (kvr_is_loco_slot(static_cast<unsigned>(r.slot))) take_slot_data(r, time);
        return;
    case kvr_msg_what::clock_data:
        clock_ = kvr_fast_clock{r.clock_rate, r.clock_hour, r.clock_minute, r.clock_frac,
                                r.clock_days, r.clock_valid, time};
        ++version_;
        return;
    case kvr_msg_what::slot_status:
    case kvr_msg_what::speed:
    case kvr_msg_what::dirf:
    case kvr_msg_what::snd:
    case kvr_msg_what::move: take_slot_value(r, time); return;
    case kvr_msg_what::functions:
        if (r.address >= 0) {
            // F0..F8 of a loco are its slot's, whatever a packet said.
            take_functions(static_cast<uint16_t>(r.address), r.fn_mask & high_bits, r.fn_bits);
        } else if (const kvr_slot_state* s = slot(static_cast<uint16_t>(r.slot))) {
            // A function message for a slot whose loco is not known yet
            // tells nothing usable.
            take_functions(s->address, r.fn_mask, r.fn_bits);
        }
        return;
    case kvr_msg_what::switch_request:
    case kvr_msg_what::switch_outputs:
    case kvr_msg_what::switch_input:
    case kvr_msg_what::input: take_point(r, time); return;
    }
}

void kvr_bus_state::forget() {
    slots_.clear();
    address_slot_.clear();
    high_functions_.clear();
    points_.clear();
    changed_slots_.reset();
    changed_points_.clear();
    power_ = kvr_power_state::unknown;
    power_since_ = {};
    clock_.reset();
    expanded_offered_ = false;
    ++version_;
}

void kvr_bus_state::set_power(kvr_power_state state, const kvr_capture_time& time) {
    if (state == power_) return;
    power_ = state;
    power_since_ = time;
    ++version_;
}

kvr_slot_state* kvr_bus_state::known_slot(int slot, const kvr_capture_time& time) {
    const auto it = slots_.find(static_cast<uint16_t>(slot));
    if (it == slots_.end()) return nullptr;
    it->second.seen = time;
    changed_slots_.set(static_cast<std::size_t>(slot) % changed_slots_.size());
    ++version_;
    return &it->second;
}

void kvr_bus_state::take_slot_data(const kvr_msg_reading& r, const kvr_capture_time& time) {
    const auto number = static_cast<uint16_t>(r.slot);
    kvr_slot_state& s = slots_[number];
    // The slot no longer holds the loco it held: that loco has no slot here
    // until slot data name it again.
    const auto held = address_slot_.find(s.address);
    if (held != address_slot_.end() && held->second == number && s.address != r.address) address_slot_.erase(held);
    s.slot = number;
    s.address = static_cast<uint16_t>(r.address);
    s.stat = r.stat;
    s.speed = r.speed;
    s.forward = r.forward;
    s.throttle_id = r.throttle_id;
    s.trk = r.trk;
    s.seen = time;
    s.expanded = r.expanded;
    if (r.expanded) {
        // The expanded slot keeps F9..F28 itself: its word holds.
        s.functions = r.fn_bits & r.fn_mask;
        if (s.address != 0) high_functions_[s.address] = s.functions & high_bits;
    } else {
        const auto high = high_functions_.find(s.address);
        s.functions = (r.fn_bits & slot_bits) | (high == high_functions_.end() ? 0 : high->second);
    }
    address_slot_[s.address] = number;
    changed_slots_.set(number % changed_slots_.size());
    ++version_;
}

// LocoNet PE opcode summary: a slot moved to itself is marked in use (null
// move). A move to slot 0 (dispatch put) leaves the status as it was (the
// dispatching throttle sets it common first, with OPC_SLOT_STAT1), and a
// refused one changes nothing: the request alone says nothing of the slot.
void kvr_bus_state::take_slot_value(const kvr_msg_reading& r, const kvr_capture_time& time) {
    if (r.what == kvr_msg_what::move && r.to_slot != r.slot && r.to_slot != kvr_slot_dispatch) return;
    kvr_slot_state* s = known_slot(r.slot, time);
    if (!s) return;
    switch (r.what) {
    case kvr_msg_what::slot_status: s->stat = r.value; break;
    case kvr_msg_what::speed:
        s->speed = r.value;
        if (r.expanded) s->forward = r.forward;  // D5 sets both at once
        break;
    case kvr_msg_what::dirf:
        s->forward = r.forward;
        s->functions = (s->functions & ~r.fn_mask) | (r.fn_bits & r.fn_mask);
        break;
    case kvr_msg_what::snd: s->functions = (s->functions & ~r.fn_mask) | (r.fn_bits & r.fn_mask); break;
    case kvr_msg_what::move:
        if (r.to_slot == r.slot) set_usage(*s, usage_in_use);
        break;
    default: break;
    }
}

void kvr_bus_state::take_functions(uint16_t address, uint32_t mask, uint32_t bits) {
    bits &= mask;
    if (const uint32_t high = mask & high_bits) {
        uint32_t& kept = high_functions_[address];
        const uint32_t now = (kept & ~high) | (bits & high);
        if (now != kept) {
            kept = now;
            ++version_;
        }
    }
    const auto it = address_slot_.find(address);
    if (it == address_slot_.end()) return;
    const auto s = slots_.find(it->second);
    if (s == slots_.end() || s->second.address != address) return;
    const uint32_t now = (s->second.functions & ~mask) | bits;
    if (now == s->second.functions) return;
    s->second.functions = now;
    changed_slots_.set(s->first % changed_slots_.size());
    ++version_;
}

void kvr_bus_state::note_sent_functions(uint16_t address, uint32_t mask, uint32_t bits) {
    take_functions(address, mask & (slot_bits | high_bits), bits);
}

kvr_point_entry& kvr_bus_state::touch(const kvr_point_key& key, const kvr_capture_time& time) {
    kvr_point_entry& e = points_[key];
    e.key = key;
    e.seen = time;
    changed_points_.insert(key);
    ++version_;
    return e;
}

void kvr_bus_state::take_point(const kvr_msg_reading& r, const kvr_capture_time& time) {
    const auto number = static_cast<uint16_t>(r.number);
    switch (r.what) {
    case kvr_msg_what::input: touch({kvr_point_kind::sensor, number, r.noaux}, time).level = r.on; return;
    case kvr_msg_what::switch_request: {
        kvr_point_entry& e = touch({kvr_point_kind::turnout, number, false}, time);
        e.position_known = true;
        e.closed = r.closed;
        e.output_on = r.on;
        return;
    }
    case kvr_msg_what::switch_input: {
        kvr_point_entry& e = touch({kvr_point_kind::turnout, number, false}, time);
        e.input_seen = true;
        e.input_noaux = r.noaux;
        e.input_level = r.on;
        return;
    }
    case kvr_msg_what::switch_outputs: {
        kvr_point_entry& e = touch({kvr_point_kind::turnout, number, false}, time);
        // One output on tells the position; none on only that the output is
        // off; both on tell nothing about the position.
        if (r.closed_on != r.thrown_on) {
            e.position_known = true;
            e.closed = r.closed_on;
        }
        e.output_on = r.closed_on || r.thrown_on;
        return;
    }
    default: return;
    }
}

// ---- reading ----

const kvr_slot_state* kvr_bus_state::slot(uint16_t slot) const {
    const auto it = slots_.find(slot);
    return it == slots_.end() ? nullptr : &it->second;
}

const kvr_slot_state* kvr_bus_state::slot_of_address(uint16_t address) const {
    const auto it = address_slot_.find(address);
    if (it == address_slot_.end()) return nullptr;
    const kvr_slot_state* s = slot(it->second);
    return s && s->address == address ? s : nullptr;
}

uint32_t kvr_bus_state::functions(uint16_t address) const {
    const kvr_slot_state* s = slot_of_address(address);
    const auto high = high_functions_.find(address);
    return (s ? s->functions & slot_bits : 0) | (high == high_functions_.end() ? 0 : high->second);
}

const kvr_point_entry* kvr_bus_state::point(const kvr_point_key& key) const {
    const auto it = points_.find(key);
    return it == points_.end() ? nullptr : &it->second;
}

std::vector<uint16_t> kvr_bus_state::take_changed_slots() {
    std::vector<uint16_t> out;
    if (changed_slots_.none()) return out;
    for (unsigned s = 0; s < changed_slots_.size(); ++s)
        if (changed_slots_.test(s)) out.push_back(static_cast<uint16_t>(s));
    changed_slots_.reset();
    return out;
}

std::vector<kvr_point_key> kvr_bus_state::take_changed_points() {
    std::vector<kvr_point_key> out(changed_points_.begin(), changed_points_.end());
    changed_points_.clear();
    return out;
}

kvr_msg_subject kvr_bus_state::subject(const kvr_msg_reading& r) const {
    kvr_msg_subject s{r.kind, r.number};
    if (s.number < 0 && r.kind == kvr_msg_kind::loco && r.slot >= 0) {
        const kvr_slot_state* held = slot(static_cast<uint16_t>(r.slot));
        if (held && held->address != 0) s.number = held->address;
    }
    return s;
}
