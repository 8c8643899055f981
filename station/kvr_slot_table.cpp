#include "station/kvr_slot_table.h"

#include "foundation/kvr_text.h"

using namespace kvr_proto;

namespace {

constexpr const char* usage_names[] = {"free", "common", "idle", "in use"};

// Indexed by STAT bits 2..0 (28 steps trinary and advanced consisting are 28).
constexpr int steps_by_code[] = {28, 28, 14, 128, 28, 0, 0, 128};

void set_usage(kvr_slot_entry& e, uint8_t usage) {
    e.stat = static_cast<uint8_t>((e.stat & ~stat_usage_mask) | usage);
}

}  // namespace

bool kvr_slot_entry::function(unsigned f) const {
    if (f == 0) return (dirf & dirf_f0) != 0;
    if (f <= 4) return (dirf >> (f - 1)) & 1;
    if (f <= 8) return (snd >> (f - 5)) & 1;
    return false;
}

const char* kvr_slot_usage_name(uint8_t stat) { return usage_names[(stat & stat_usage_mask) >> 4]; }

int kvr_slot_steps(uint8_t stat) { return steps_by_code[stat & stat_steps_mask]; }

std::string kvr_slot_functions(const kvr_slot_entry& e) {
    std::string s;
    for (unsigned f = 0; f <= 8; ++f) s += e.function(f) ? '1' : '0';
    return s;
}

std::string kvr_slot_line(const kvr_slot_entry& e) {
    std::string s;
    string_appendf(s, "%3u  loco %u  %s  ", e.slot, e.address, kvr_slot_usage_name(e.stat));
    if (const int steps = kvr_slot_steps(e.stat)) string_appendf(s, "%d steps  ", steps);
    return string_appendf(s, "speed %u  %s  F0-F8 %s", e.speed, e.forward() ? "fwd" : "rev",
                          kvr_slot_functions(e).c_str());
}

const kvr_slot_entry* kvr_slot_table::find(uint8_t slot) const {
    const auto it = slots_.find(slot);
    return it == slots_.end() ? nullptr : &it->second;
}

kvr_slot_entry* kvr_slot_table::known(uint8_t slot, kvr_capture_time time) {
    const auto it = slots_.find(slot);
    if (it == slots_.end()) return nullptr;
    it->second.seen = time;
    changed_.set(slot);
    return &it->second;
}

void kvr_slot_table::take_slot_data(const kvr_loconet_msg& msg, kvr_capture_time time) {
    const uint8_t slot = msg[2];
    kvr_slot_entry& e = slots_[slot];
    e.slot = slot;
    e.address = msg.slot_address();
    e.stat = msg[slot_stat];
    e.speed = msg[slot_spd];
    e.dirf = msg[slot_dirf];
    e.snd = msg[slot_snd];
    e.seen = time;
    changed_.set(slot);
}

// LocoNet PE opcode summary: a slot moved to itself is marked in use (null
// move). A move to slot 0 (dispatch put) leaves the status as it was (the
// dispatching throttle sets it common first, with OPC_SLOT_STAT1), and a
// refused one changes nothing: the request alone says nothing of the slot.
bool kvr_slot_table::take_move(uint8_t from, uint8_t to, kvr_capture_time time) {
    if (from == to) {
        kvr_slot_entry* e = known(from, time);
        if (e) set_usage(*e, usage_in_use);
        return e != nullptr;
    }
    if (to == 0) return known(from, time) != nullptr;
    return false;
}

bool kvr_slot_table::on_message(const kvr_loconet_msg& msg, kvr_capture_time time) {
    const uint8_t op = msg.opcode();
    if (op == OPC_SL_RD_DATA || op == OPC_WR_SL_DATA) {
        if (msg.length() != 14 || !kvr_is_loco_slot(msg[2])) return false;
        take_slot_data(msg, time);
        return true;
    }
    if (msg.length() != 4) return false;
    if (op == OPC_MOVE_SLOTS) return take_move(msg[1], msg[2], time);
    if (op != OPC_SLOT_STAT1 && op != OPC_LOCO_SPD && op != OPC_LOCO_DIRF && op != OPC_LOCO_SND) return false;
    kvr_slot_entry* e = known(msg[1], time);
    if (!e) return false;
    switch (op) {
    case OPC_SLOT_STAT1: e->stat = msg[2]; break;
    case OPC_LOCO_SPD: e->speed = msg[2]; break;
    case OPC_LOCO_DIRF: e->dirf = msg[2]; break;
    default: e->snd = msg[2]; break;
    }
    return true;
}

std::vector<uint8_t> kvr_slot_table::take_changed() {
    std::vector<uint8_t> out;
    if (changed_.none()) return out;
    for (unsigned s = 0; s < changed_.size(); ++s)
        if (changed_.test(s)) out.push_back(static_cast<uint8_t>(s));
    changed_.reset();
    return out;
}

void kvr_slot_table::clear() {
    slots_.clear();
    changed_.reset();
}
