#include "station/kvr_throttle.h"

#include "loconet/kvr_msg_reading.h"

#include <algorithm>
#include <vector>

#include "foundation/kvr_exception.h"
#include "loconet/kvr_dcc_packet.h"

namespace {

using namespace kvr_proto;

constexpr const char* source_name = "kvr_throttle";
constexpr const char* text_bad_function = "ERR:FUNCTION MUST BE 0 TO 28";
constexpr const char* text_bad_steps = "ERR:SPEED STEPS MUST BE 28 OR 128";

// Speed 1 is the emergency stop of OPC_LOCO_SPD (LocoNet PE).
constexpr uint8_t speed_emergency_stop = 1;

constexpr uint32_t slot_functions_mask = (1u << (slot_function_max + 1)) - 1;  // F0..F8
constexpr uint32_t dirf_functions_mask = (1u << (dirf_function_last + 1)) - 1;  // F0..F4
constexpr uint32_t snd_functions_mask = slot_functions_mask & ~dirf_functions_mask;
constexpr uint32_t high_functions_mask = ((1u << (kvr_dcc::function_max + 1)) - 1) & ~slot_functions_mask;

[[noreturn]] void refuse(const char* label, const char* text) {
    kvr_exception inner(text, 0, source_name, __LINE__);
    throw kvr_exception(inner, label, 0, source_name, __LINE__);
}

kvr_loconet_msg short_message(uint8_t opcode, uint8_t b1, uint8_t b2) {
    return kvr_loconet_msg::with_checksum({opcode, b1, b2});
}

uint32_t slot_functions_of(uint8_t dirf, uint8_t snd) {
    uint32_t on = 0;
    for (unsigned f = 0; f <= slot_function_max; ++f)
        if (function_on(dirf, snd, f)) on |= 1u << f;
    return on;
}

uint8_t dirf_of(bool forward, uint32_t functions) {
    auto dirf = static_cast<uint8_t>(forward ? 0 : dirf_reverse);
    for (unsigned f = 0; f <= dirf_function_last; ++f) dirf = with_function(dirf, f, (functions >> f) & 1);
    return dirf;
}

uint8_t snd_of(uint8_t high, uint32_t functions) {
    uint8_t snd = high;
    for (unsigned f = dirf_function_last + 1; f <= slot_function_max; ++f)
        snd = with_function(snd, f, (functions >> f) & 1);
    return snd;
}


}  // namespace

int kvr_steps_of_code(uint8_t code) {
    switch (code & stat_steps_mask) {
    case steps_128:
    case steps_128_adv: return 128;
    case steps_14: return 14;
    default: return 28;
    }
}

int kvr_throttle_step(uint8_t spd, int steps) {
    if (spd <= speed_emergency_stop) return 0;
    if (steps == 128) return std::min<int>(spd - 1, 126);
    // The smallest step whose wire speed reaches spd.
    return std::min<int>(steps, (spd * steps + int{spd_max} - 1) / int{spd_max});
}

uint8_t kvr_wire_speed(int step, int steps) {
    if (step <= 0) return 0;
    if (steps == 128) return static_cast<uint8_t>(std::min(step, 126) + 1);
    return static_cast<uint8_t>(std::min(step, steps) * int{spd_max} / steps);
}

bool kvr_loco_state::held_elsewhere() const {
    return in_use() && holder != 0 && holder != kvr_dccx_loconet::throttle_id;
}

kvr_throttle::kvr_throttle(kvr_dccx_loconet& station, kvr_loconet_port& link) : station_(station), link_(link) {
    link_.add_listener(this);
}

kvr_throttle::~kvr_throttle() { link_.remove_listener(this); }

void kvr_throttle::set_memory(kvr_function_memory* memory) { memory_ = memory; }

kvr_loco_state kvr_throttle::from_slot(const kvr_loconet_msg& data) const {
    kvr_loco_state s;
    if (data.opcode() == OPC_EXP_RD_SL_DATA || data.opcode() == OPC_EXP_WR_SL_DATA) {
        // An expanded slot keeps F0..F28 itself: its word holds.
        const kvr_msg_reading r = kvr_read_message(data);
        s.address = static_cast<uint16_t>(r.address < 0 ? 0 : r.address);
        s.slot = static_cast<uint16_t>(r.slot < 0 ? 0 : r.slot);
        s.stat = r.stat;
        s.spd = r.speed;
        s.forward = r.forward;
        s.functions = r.fn_bits & r.fn_mask;
        s.holder = r.throttle_id;
        s.expanded = true;
        return s;
    }
    s.address = data.slot_address();
    s.slot = data[2];
    s.stat = data[slot_stat];
    s.spd = data[slot_spd];
    s.forward = data.direction() == 1;
    s.functions = slot_functions_of(data.dirf(), data.snd());
    if (memory_) s.functions |= memory_->functions(s.address) & high_functions_mask;
    s.holder = data.throttle_id();
    s.snd_high = static_cast<uint8_t>(data.snd() & ~snd_f5_f8 & 0x7F);
    return s;
}

// The loco's slot data, as E6 when the choice and the command station say
// expanded slots: under the automatic choice a classic answer with TRK bit 6
// is read again as an expanded slot.
kvr_loconet_msg kvr_throttle::read_slot_of(uint16_t address, bool& expanded) {
    expanded = choice_ == kvr_slot_choice::expanded ||
               (choice_ == kvr_slot_choice::automatic && station_.expanded_offered());
    if (expanded) return station_.do_read_loco_expanded(address);
    kvr_loconet_msg data = station_.do_read_loco(address);
    if (choice_ == kvr_slot_choice::automatic && (data[slot_trk] & trk_offers_expanded)) {
        expanded = true;
        return station_.do_read_loco_expanded(address);
    }
    return data;
}

kvr_loco_state kvr_throttle::read(uint16_t address) {
    bool expanded = false;
    return from_slot(read_slot_of(address, expanded));
}

kvr_throttle::acquired kvr_throttle::acquire(uint16_t address, bool steal) {
    bool expanded = false;
    kvr_loconet_msg data = read_slot_of(address, expanded);
    const kvr_loco_state found = from_slot(data);
    if (found.held_elsewhere() && !steal) return {outcome::held_elsewhere, found};
    const kvr_loco_state before = loco();
    if (before.address != 0 && before.address != address) release();
    if (!found.in_use() || found.held_elsewhere())
        data = expanded ? station_.do_take_slot_expanded(found.slot)
                        : station_.do_take_slot(static_cast<uint8_t>(found.slot));
    // A command station that refused the move, or another throttle's id
    // still in the slot: the slot write takes it, with everything else as
    // the command station just showed it.
    const kvr_loco_state taken = from_slot(data);
    if (taken.address == address && (!taken.in_use() || taken.held_elsewhere())) {
        kvr_loconet_msg copy = data;
        if (expanded) {
            copy[exp_id1] = static_cast<uint8_t>((kvr_dccx_loconet::throttle_id >> 8) & 0x7F);
            copy[exp_id2] = static_cast<uint8_t>(kvr_dccx_loconet::throttle_id & 0x7F);
            copy[exp_stat] |= usage_in_use;
            data = station_.do_write_slot_expanded(copy);
        } else {
            copy.set_throttle_id(kvr_dccx_loconet::throttle_id);
            copy.set_in_use();
            data = station_.do_write_slot(copy);
        }
    }
    if (from_slot(data).address != address) refuse("kvr_throttle::acquire()", text_lost);
    const kvr_loco_state now = from_slot(data);
    std::lock_guard<std::mutex> lk(mutex_);
    loco_ = now;
    lost_ = false;
    ++version_;
    return {outcome::driving, loco_};
}

bool kvr_throttle::driving() const {
    std::lock_guard<std::mutex> lk(mutex_);
    return loco_.address != 0;
}

kvr_loco_state kvr_throttle::loco() const {
    std::lock_guard<std::mutex> lk(mutex_);
    return loco_;
}

uint64_t kvr_throttle::version() const {
    std::lock_guard<std::mutex> lk(mutex_);
    return version_;
}

kvr_loco_state kvr_throttle::current(const char* label) const {
    std::lock_guard<std::mutex> lk(mutex_);
    if (loco_.address == 0) refuse(label, text_no_loco);
    if (lost_) refuse(label, text_lost);
    return loco_;
}

// What was just queued counts at once, as its echo will: a second click
// before the echo is back builds on the first.
void kvr_throttle::apply_sent(uint8_t opcode, uint8_t value) {
    on_message(short_message(opcode, static_cast<uint8_t>(loco().slot), value), {});
}

void kvr_throttle::apply_sent(const kvr_loconet_msg& msg) { on_message(msg, {}); }

namespace {

// The low byte of the throttle id the slot holds (E6 byte 18), which D5
// carries: a command station takes D5 only from the throttle holding it.
uint8_t d5_id(const kvr_loco_state& loco) { return static_cast<uint8_t>((loco.holder >> 8) & 0x7F); }

}  // namespace

void kvr_throttle::set_speed(int step) {
    const kvr_loco_state loco = current("kvr_throttle::set_speed()");
    const uint8_t spd = kvr_wire_speed(std::clamp(step, 0, loco.steps() == 128 ? 126 : loco.steps()), loco.steps());
    if (loco.expanded) {
        const kvr_loconet_msg m = kvr_dccx_loconet::exp_speed_message(loco.slot, d5_id(loco), spd, loco.forward);
        station_.send_expanded(m);
        apply_sent(m);
        return;
    }
    station_.send_128step(static_cast<uint8_t>(loco.slot), spd);
    apply_sent(OPC_LOCO_SPD, spd);
}

void kvr_throttle::set_direction(bool forward) { set_functions({}, forward); }

void kvr_throttle::set_function(unsigned n, bool on) { set_functions({{n, on}}); }

namespace {

struct function_change {
    uint32_t mask = 0;
    uint32_t bits = 0;
};

function_change change_of(const char* label, const std::map<unsigned, bool>& wanted) {
    function_change c;
    for (const auto& [n, on] : wanted) {
        if (n > kvr_dcc::function_max) refuse(label, text_bad_function);
        c.mask |= 1u << n;
        if (on) c.bits |= 1u << n;
    }
    return c;
}

}  // namespace

void kvr_throttle::set_functions(const std::map<unsigned, bool>& wanted, std::optional<bool> forward) {
    const char* label = forward && wanted.empty() ? "kvr_throttle::set_direction()" : "kvr_throttle::set_functions()";
    const function_change c = change_of(label, wanted);
    const kvr_loco_state loco = current(label);
    if (c.mask == 0 && !forward) return;
    send_function_groups(loco, c.mask, (loco.functions & ~c.mask) | c.bits, forward);
}

void kvr_throttle::send_packet_functions(uint16_t address, const std::map<unsigned, bool>& wanted) {
    const function_change c = change_of("kvr_throttle::send_packet_functions()", wanted);
    kvr_loco_state loco = this->loco();
    if (loco.address != address) {
        loco = {};
        loco.address = address;
        if (memory_) loco.functions = memory_->functions(address) & high_functions_mask;
    }
    const uint32_t high = c.mask & high_functions_mask;
    if (high == 0) return;
    send_high_functions(loco, high, (loco.functions & ~c.mask) | c.bits, kvr_function_send::packet);
}

// One message per group named: F0..F4 in DIRF, F5..F8 in SND, F9..F28 as a
// DCC packet per instruction group or as the slot function messages.
void kvr_throttle::send_function_groups(const kvr_loco_state& loco, uint32_t mask, uint32_t now,
                                        std::optional<bool> forward) {
    if (loco.expanded) {
        send_expanded_groups(loco, mask, now, forward);
        return;
    }
    if ((mask & dirf_functions_mask) || forward) {
        const uint8_t dirf = dirf_of(forward.value_or(loco.forward), now);
        station_.send_dirf(static_cast<uint8_t>(loco.slot), dirf);
        apply_sent(OPC_LOCO_DIRF, dirf);
    }
    if (mask & snd_functions_mask) {
        const uint8_t snd = snd_of(loco.snd_high, now);
        station_.send_snd(static_cast<uint8_t>(loco.slot), snd);
        apply_sent(OPC_LOCO_SND, snd);
    }
    if (const uint32_t high = mask & high_functions_mask) send_high_functions(loco, high, now, how_);
}

// An expanded slot: the direction travels with the speed (D5 00 / 08, the
// speed as it stands), F0..F28 in the four D5 groups, each group named sent
// once with its other functions as known.
void kvr_throttle::send_expanded_groups(const kvr_loco_state& loco, uint32_t mask, uint32_t now,
                                        std::optional<bool> forward) {
    if (forward) {
        const kvr_loconet_msg m = kvr_dccx_loconet::exp_speed_message(loco.slot, d5_id(loco), loco.spd, *forward);
        station_.send_expanded(m);
        apply_sent(m);
    }
    constexpr struct {
        uint8_t group;
        unsigned first;
    } groups[] = {{d5_f0_f6, 0}, {d5_f7_f13, 7}, {d5_f14_f20, 14}, {d5_f21_f28_off, 21}};
    for (const auto& g : groups) {
        if ((mask & d5_group_mask_of(g.group)) == 0) continue;
        const d5_group_bytes b = d5_bytes_for(g.first, now);
        const kvr_loconet_msg m = kvr_dccx_loconet::exp_function_message(loco.slot, d5_id(loco), b.group, b.x);
        station_.send_expanded(m);
        apply_sent(m);
    }
    if (memory_ && mask) memory_->note_sent_functions(loco.address, mask, now & mask);
}

void kvr_throttle::send_high_functions(const kvr_loco_state& loco, uint32_t high, uint32_t now,
                                       kvr_function_send how) {
    std::vector<kvr_loconet_msg> messages;
    for (unsigned n = slot_function_max + 1; n <= kvr_dcc::function_max; ++n) {
        if (!((high >> n) & 1)) continue;
        kvr_loconet_msg m;
        if (how == kvr_function_send::packet) {
            const kvr_dcc::function_packet p = kvr_dcc::packet_for(loco.address, kvr_dcc::group_of(n), now);
            m = kvr_dcc::imm_packet_message(kvr_dcc::encode_function(p), kvr_dccx_loconet::function_repeats);
        } else {
            m = kvr_dcc::function_opcode_message(static_cast<uint8_t>(loco.slot), n, now);
        }
        if (std::find(messages.begin(), messages.end(), m) == messages.end()) messages.push_back(m);
    }
    for (const kvr_loconet_msg& m : messages) {
        if (how == kvr_function_send::packet) station_.do_imm_packet(m);
        else station_.send_function_opcode(m);
    }
    {
        std::lock_guard<std::mutex> lk(mutex_);
        if (loco_.address == loco.address) {
            loco_.functions = (loco_.functions & ~high) | (now & high);
            ++version_;
        }
    }
    if (memory_) memory_->note_sent_functions(loco.address, high, now & high);
}

void kvr_throttle::set_steps(int steps) {
    const char* label = "kvr_throttle::set_steps()";
    if (steps != 28 && steps != 128) refuse(label, text_bad_steps);
    const kvr_loco_state loco = current(label);
    if (loco.steps() == steps) return;
    // The advanced-consisting bit (code 1xx) stays as the slot has it.
    const uint8_t code = loco.stat & stat_steps_mask;
    const bool advanced = code == steps_128_adv || code == steps_28_adv;
    const uint8_t wanted = steps == 128 ? (advanced ? steps_128_adv : steps_128) : (advanced ? steps_28_adv : steps_28);
    if (loco.expanded) {
        set_steps_expanded(loco, static_cast<uint8_t>((loco.stat & ~stat_steps_mask) | wanted | usage_in_use));
        return;
    }
    kvr_loconet_msg copy = slot_message(
        OPC_WR_SL_DATA, static_cast<uint8_t>(loco.slot),
        {static_cast<uint8_t>((loco.stat & ~stat_steps_mask) | wanted | usage_in_use),
         static_cast<uint8_t>(loco.address & 0x7F), loco.spd, dirf_of(loco.forward, loco.functions), 0, 0,
         static_cast<uint8_t>((loco.address >> 7) & 0x7F), snd_of(loco.snd_high, loco.functions), 0, 0});
    // TRK and SS2 as the command station last sent them.
    if (std::optional<kvr_loconet_msg> known = station_.with_stores(
            [&](const kvr_reply_stores& st) { return st.slot_data(static_cast<uint8_t>(loco.slot)); })) {
        copy[slot_trk] = (*known)[slot_trk];
        copy[slot_ss2] = (*known)[slot_ss2];
    }
    copy.set_throttle_id(loco.holder ? loco.holder : kvr_dccx_loconet::throttle_id);
    copy.renew_checksum();
    const kvr_loconet_msg back = station_.do_write_slot(copy);
    std::lock_guard<std::mutex> lk(mutex_);
    if (loco_.address == loco.address) {
        loco_.stat = back[slot_stat];
        ++version_;
    }
}

// The expanded slot written whole (EE) with the new STAT, as the station
// last showed it otherwise; the throttle id stays the slot's.
void kvr_throttle::set_steps_expanded(const kvr_loco_state& loco, uint8_t stat) {
    std::optional<kvr_loconet_msg> copy =
        station_.with_stores([&](const kvr_reply_stores& st) { return st.exp_slot_data(loco.slot); });
    if (!copy) {
        const exp_function_bytes f = exp_slot_function_bytes(loco.functions);
        const byte_pair adr = encode_loco_address(loco.address);
        copy = kvr_loconet_msg::with_checksum(
            {OPC_EXP_WR_SL_DATA, exp_slot_marker, exp_slot_high(loco.slot), exp_slot_low(loco.slot), stat, adr.low,
             adr.high, 0, loco.spd, f.fhi, static_cast<uint8_t>(f.dirf_functions | (loco.forward ? 0 : dirf_reverse)),
             f.f5_f11, f.f13_f19, f.f21_f27, 0, 0, 0, 0, static_cast<uint8_t>((loco.holder >> 8) & 0x7F),
             static_cast<uint8_t>(loco.holder & 0x7F)});
    }
    (*copy)[exp_stat] = stat;
    const kvr_loconet_msg back = station_.do_write_slot_expanded(*copy);
    std::lock_guard<std::mutex> lk(mutex_);
    if (loco_.address == loco.address) {
        loco_.stat = back[exp_stat];
        ++version_;
    }
}

bool kvr_throttle::emergency_stop() {
    const kvr_loco_state loco = this->loco();
    if (loco.address == 0) return false;
    if (loco.expanded) {
        const kvr_loconet_msg m =
            kvr_dccx_loconet::exp_speed_message(loco.slot, d5_id(loco), speed_emergency_stop, loco.forward);
        station_.send_stop(m);
        apply_sent(m);
        return true;
    }
    station_.send_stop(short_message(OPC_LOCO_SPD, static_cast<uint8_t>(loco.slot), speed_emergency_stop));
    apply_sent(OPC_LOCO_SPD, speed_emergency_stop);
    return true;
}

void kvr_throttle::stop_all() { station_.send_stop(kvr_loconet_msg::with_checksum({OPC_IDLE})); }

bool kvr_throttle::stop_loco(uint16_t address, unsigned units) {
    if (loco().address == address && emergency_stop()) return true;
    // An expanded slot the bus showed holding the loco: stopped by D5 there.
    if (std::optional<kvr_loconet_msg> e6 =
            station_.with_stores([&](const kvr_reply_stores& st) { return st.exp_address_data(address); })) {
        const kvr_loco_state held = from_slot(*e6);
        station_.send_stop(
            kvr_dccx_loconet::exp_speed_message(held.slot, d5_id(held), speed_emergency_stop, held.forward));
        return true;
    }
    std::optional<kvr_loconet_msg> data =
        station_.with_stores([&](const kvr_reply_stores& st) { return st.address_data(address); });
    if (!data) data = station_.do_find_loco(address, units);
    if (!data || data->slot_address() != address) {
        stop_all();
        return false;
    }
    station_.send_stop(short_message(OPC_LOCO_SPD, (*data)[2], speed_emergency_stop));
    return true;
}

void kvr_throttle::release() {
    kvr_loco_state loco;
    {
        std::lock_guard<std::mutex> lk(mutex_);
        loco = loco_;
        loco_ = {};
        lost_ = false;
        ++version_;
    }
    if (loco.address == 0) return;
    const auto stat = static_cast<uint8_t>((loco.stat & ~stat_usage_mask) | usage_common);
    if (loco.expanded) station_.send_expanded(kvr_dccx_loconet::exp_status_message(loco.slot, stat));
    else station_.send_slot_stat1(static_cast<uint8_t>(loco.slot), stat);
}

// ---------------------------------------------------------------------------
// What the bus shows, on the link's I/O thread

void kvr_throttle::on_message(const kvr_loconet_msg& msg, const kvr_capture_time&) {
    const kvr_msg_reading r = kvr_read_message(msg);
    std::lock_guard<std::mutex> lk(mutex_);
    if (loco_.address == 0) return;
    kvr_loco_state& s = loco_;
    const kvr_loco_state was = s;
    // Immediate function packets name the loco, not the slot.
    const bool ours = r.what == kvr_msg_what::functions && r.slot < 0 ? r.address == s.address : r.slot == s.slot;
    if (ours) follow(r);
    if (s.spd != was.spd || s.forward != was.forward || s.functions != was.functions || s.stat != was.stat ||
        s.holder != was.holder || lost_)
        ++version_;
}

// One message about the loco driven, under mutex_.
void kvr_throttle::follow(const kvr_msg_reading& r) {
    kvr_loco_state& s = loco_;
    switch (r.what) {
    case kvr_msg_what::speed:
        s.spd = r.value;
        if (r.expanded) s.forward = r.forward;  // D5 carries both
        break;
    case kvr_msg_what::dirf:
        s.forward = r.forward;
        s.functions = (s.functions & ~r.fn_mask) | (r.fn_bits & r.fn_mask);
        break;
    case kvr_msg_what::snd:
        s.functions = (s.functions & ~r.fn_mask) | (r.fn_bits & r.fn_mask);
        s.snd_high = static_cast<uint8_t>(r.value & ~snd_f5_f8 & 0x7F);
        break;
    case kvr_msg_what::slot_status: s.stat = r.value; break;
    case kvr_msg_what::functions: {
        // F9..F28 only: F0..F8 live in the slot, whose messages say them.
        // D5 is the expanded slot's own message: all it names.
        const uint32_t m = r.expanded ? r.fn_mask : r.fn_mask & high_functions_mask;
        s.functions = (s.functions & ~m) | (r.fn_bits & m);
        break;
    }
    case kvr_msg_what::slot_data:
        if (r.address != s.address) {
            lost_ = true;
        } else if (!r.answer) {
            // A slot write sets the slot as it says.
            s.stat = r.stat;
            s.spd = r.speed;
            s.forward = r.forward;
            s.functions = (r.fn_bits & r.fn_mask) | (s.functions & high_functions_mask & ~r.fn_mask);
            s.holder = r.throttle_id;
            s.snd_high = static_cast<uint8_t>(r.snd & ~snd_f5_f8 & 0x7F);
        } else {
            // A late or second copy of an answer never undoes what was sent
            // since: only the status and the holder are taken.
            s.stat = r.stat;
            s.holder = r.throttle_id;
        }
        break;
    default: break;
    }
}

void kvr_throttle::on_open() {
    std::lock_guard<std::mutex> lk(mutex_);
    loco_ = {};
    lost_ = false;
    ++version_;
}
