#include "sim/kvr_sim_station.h"

#include <algorithm>

using namespace kvr_proto;

namespace {

// Slot bytes 3..12 as indices into the stored ten.
constexpr int stored(int slot_byte) { return slot_byte - slot_stat; }
enum : int {
    stat_i = stored(slot_stat), adr_i = stored(slot_adr), spd_i = stored(slot_spd), dirf_i = stored(slot_dirf),
    trk_i = stored(slot_trk), adr2_i = stored(slot_adr2), snd_i = stored(slot_snd),
};

// Far enough for any session, small enough that no sum of times overflows.
constexpr kvr_sim_time latest_time{int64_t{1} << 52};
// Demo events missed by more than this are skipped rather than caught up.
constexpr kvr_sim_time catch_up_limit{10'000'000};
// Other nodes wait while the line is busy: a report that would find this
// much output still queued ahead of it (about 0.16 s of bus time) is left
// out, so the station's own answers never queue behind a growing backlog.
constexpr std::size_t traffic_backlog_limit = 256;
// The traffic's nodes: sensors 101..132 and the output reports of switches
// 201..208, numbers clear of the demo layout's.
constexpr unsigned traffic_first_sensor = 101;
constexpr unsigned traffic_sensors = 32;
constexpr unsigned traffic_first_switch = 201;
constexpr unsigned traffic_switches = 8;

// LocoNet timing at 16457 baud: 10 bits a byte; backoffs in bit times.
constexpr kvr_sim_time bit_times(int n) { return kvr_sim_time{(int64_t{n} * 608 + 9) / 10}; }
constexpr int master_backoff_bits = 20;
constexpr int node_backoff_bits = 26;
constexpr int node_priority_bits = 20;
constexpr int break_bits = 15;

// The classic station's loco slots; with expanded slots the classic
// messages (BF, BA, E7) reach 1..120 of them.
constexpr int classic_last = kvr_sim_station::loco_slots;
constexpr int expanded_classic_last = kvr_sim_exp::classic_reach;
constexpr int expanded_last = kvr_sim_exp::loco_last;
using kvr_sim_exp::rq_expanded;
using kvr_sim_exp::rq_slot_high;

uint16_t slot_address(const std::array<uint8_t, slot_field_count>& s) {
    return decode_loco_address(s[adr2_i], s[adr_i]);
}

kvr_loconet_msg make_msg(std::initializer_list<uint8_t> bytes) {
    return kvr_loconet_msg::with_checksum(bytes);
}

}  // namespace

kvr_sim_station::kvr_sim_station(const kvr_sim_options& options, kvr_sim_time start)
    : options_(options), now_(std::clamp(start, kvr_sim_time{0}, latest_time)), random_(options.seed) {
    // TRK bit 6: expanded slots offered, in every slot the station reports.
    if (options_.expanded) trk_ |= 0x40;
    clock_.set(now_, options_.clock_rate, kvr_sim_clock_reading{});
    task_ = kvr_proto::slot_message(OPC_SL_RD_DATA, kvr_slot_programmer, {});
    task_result_ = task_;
    task_done_ = now_;
    // The line has been idle for long when the station starts.
    wire_free_ = last_delivery_ = now_ - bit_times(node_backoff_bits + node_priority_bits);
}

kvr_sim_time kvr_sim_station::clamp(kvr_sim_time now) {
    return std::clamp(now, now_, latest_time);
}

void kvr_sim_station::receive(const uint8_t* bytes, std::size_t count, kvr_sim_time now) {
    advance(clamp(now));
    for (std::size_t i = 0; i < count; ++i) {
        rx_.push_back(bytes[i]);
        // Frame after every byte so the queue never holds more than one
        // candidate message.
        kvr_frame_all(rx_, [this](const kvr_loconet_msg& msg) { from_link(msg); });
    }
}

void kvr_sim_station::receive(const kvr_loconet_msg& msg, kvr_sim_time now) {
    receive(msg.data(), static_cast<std::size_t>(msg.length()), now);
}

void kvr_sim_station::play(const kvr_loconet_msg& msg, kvr_sim_time now) {
    advance(clamp(now));
    put(msg, now_, sender::node);
}

void kvr_sim_station::send_from_node(const kvr_loconet_msg& msg, kvr_sim_time now) {
    advance(clamp(now));
    if (!paced()) {
        from_link(msg);
        return;
    }
    // Like the link's, its bytes come back as they were, without noise; and
    // an overflowing line loses it as it would the link's echo.
    std::vector<uint8_t> bytes(msg.data(), msg.data() + msg.length());
    if (pending_bytes_ + bytes.size() > max_pending_bytes) {
        handle(msg);
        return;
    }
    pending_bytes_ += bytes.size();
    scheduled_.emplace(now_, pending{std::move(bytes), sender::client});
}

// A message the link put on the line. Its echo comes back as it was, even
// with noise asked for: the station carries the request out, and a damaged
// echo would make the sender repeat it.
//
// The link knows the line by the bytes it has read, so the line is judged by
// the bytes delivered (poll), not by the schedule: a message placed on the
// line but not delivered yet had not started as far as the link could tell,
// and its sender yields. Only a start after delivered bytes of another's
// message is inside it, and collides.
void kvr_sim_station::from_link(const kvr_loconet_msg& msg) {
    std::vector<uint8_t> bytes(msg.data(), msg.data() + msg.length());
    if (pending_bytes_ + bytes.size() > max_pending_bytes) {
        handle(msg);  // heard, but the echo is lost with the overflow
        return;
    }
    if (!paced()) {
        // No line time: the echo goes ahead of everything not yet sent.
        for (uint8_t b : bytes) wire_.emplace_back(now_, b);
        pending_bytes_ += bytes.size();
        handle(msg);
        return;
    }
    // wire_ holds what is left of the message placed last.
    if (!wire_is_link_ && !wire_.empty()) {
        if (!on_wire_ || wire_.size() < on_wire_->bytes.size()) {
            // A UART hears a start only as a whole byte: a start within the
            // byte time after the first byte came out is a collision of two
            // nodes that started together, not one inside the other. And a
            // message whose bytes stopped coming (this simulation starved of
            // the processor) has ended for the link once the line was quiet
            // for its backoff.
            const bool first_byte_only = on_wire_ && wire_.size() + 1 == on_wire_->bytes.size();
            const kvr_sim_time quiet = now_ - last_delivery_;
            if ((!first_byte_only || quiet >= byte_time) && quiet < bit_times(node_backoff_bits))
                ++stats_.starts_inside_message;
            collide();
            return;
        }
        pending_bytes_ -= wire_.size();
        wire_.clear();
        pending_bytes_ += on_wire_->bytes.size();
        scheduled_.emplace(now_, std::move(*on_wire_));
        on_wire_.reset();
        wire_free_ = last_delivery_;
    }
    if (!wire_is_link_ && now_ < last_delivery_ + bit_times(node_backoff_bits)) ++stats_.starts_inside_backoff;
    ++stats_.link_messages;
    // The link's messages follow each other without a gap of their own.
    place(std::move(bytes), std::max(now_, wire_free_), true, sender::node);
    handle(msg);
}

// The link started while another message was on the line. The rest of that
// message is lost and its sender tries again; the line carries a break.
void kvr_sim_station::collide() {
    ++stats_.collisions;
    pending_bytes_ -= wire_.size();
    wire_.clear();
    if (on_wire_) {
        pending_bytes_ += on_wire_->bytes.size();
        scheduled_.emplace(now_, std::move(*on_wire_));
        on_wire_.reset();
    }
    wire_.emplace_back(now_ + byte_time, 0x00);
    ++pending_bytes_;
    wire_start_ = now_;
    wire_free_ = now_ + bit_times(break_bits);
    wire_is_link_ = false;
}

// Puts every scheduled message whose start has come on the line.
void kvr_sim_station::place_due() {
    for (auto next = next_start(); next && next->second <= now_; next = next_start()) {
        auto node = scheduled_.extract(next->first);
        pending_bytes_ -= node.mapped().bytes.size();
        place(std::move(node.mapped().bytes), next->second, false, node.mapped().from, node.mapped().heard);
    }
}

void kvr_sim_station::place(std::vector<uint8_t> bytes, kvr_sim_time start, bool is_link, sender from,
                            bool heard) {
    // A client's request is carried out when it first takes the line; a
    // collision sends it again, but the station acts on it once.
    if (from == sender::client && !heard) {
        std::deque<uint8_t> framing(bytes.begin(), bytes.end());
        kvr_frame_all(framing, [this](const kvr_loconet_msg& msg) { handle(msg); });
        heard = true;
    }
    kvr_sim_time t = start;
    for (uint8_t b : bytes) {
        t += byte_time;
        wire_.emplace_back(t, b);
    }
    pending_bytes_ += bytes.size();
    wire_start_ = start;
    wire_free_ = t;
    wire_is_link_ = is_link;
    if (is_link) on_wire_.reset();
    else on_wire_ = pending{std::move(bytes), from, heard};
    node_gap_ = bit_times(node_backoff_bits + static_cast<int>(random_() % (node_priority_bits + 1)));
}

// The command station waits least, so an answer due before the next node's
// start goes first; otherwise the earliest message goes when the line has
// been idle for its sender's backoff.
std::optional<std::pair<kvr_sim_station::schedule::const_iterator, kvr_sim_time>> kvr_sim_station::next_start()
    const {
    if (scheduled_.empty()) return std::nullopt;
    const auto start_of = [this](schedule::const_iterator it) {
        const kvr_sim_time backoff = it->second.from == sender::station ? bit_times(master_backoff_bits) : node_gap_;
        return std::max(it->first, wire_free_ + backoff);
    };
    auto first = scheduled_.cbegin();
    const kvr_sim_time first_start = start_of(first);
    for (auto it = first; it != scheduled_.cend() && it->first < first_start; ++it)
        if (it->second.from == sender::station) return std::make_pair(it, start_of(it));
    return std::make_pair(first, first_start);
}

void kvr_sim_station::handle(const kvr_loconet_msg& msg) {
    ++messages_heard_;
    if (options_.devices) {
        for (const kvr_loconet_msg& a : devices_.hear(msg)) answer(a, ack_delay(), sender::node);
    }
    switch (msg.opcode()) {
    case OPC_GPON:
        trk_ |= trk_power_on | trk_running;
        break;
    case OPC_GPOFF:
        trk_ &= static_cast<uint8_t>(~trk_power_on);
        break;
    case OPC_IDLE:
        trk_ &= static_cast<uint8_t>(~trk_running);
        break;
    case OPC_LOCO_ADR:
        handle_loco_adr(msg);
        break;
    case OPC_MOVE_SLOTS:
        handle_move(msg[1], msg[2], false);
        break;
    case OPC_RQ_SL_DATA:
        handle_slot_request(msg[1], msg[2]);
        break;
    case OPC_WR_SL_DATA:
        if (msg.length() == 14) handle_slot_write(msg);
        break;
    case OPC_SW_REQ:
    case OPC_SW_ACK:
    case OPC_SW_STATE:
        handle_switch(msg);
        break;
    case OPC_LOCO_SPD:
    case OPC_LOCO_DIRF:
    case OPC_LOCO_SND:
    case OPC_SLOT_STAT1:
        handle_slot_update(msg);
        break;
    case OPC_IMM_PACKET:
        // The packet goes to the track (there is none here): taken, or the
        // buffer is full. ED 0F is an LNCV request to the modules, not a
        // packet: the station's B4 6D 7F would read as a module's "written".
        if (msg[1] == 0x0F) break;
        long_ack(OPC_IMM_PACKET, options_.packet_buffer_full ? ack_refused : ack_ok);
        break;
    default:
        if (options_.expanded) handle_expanded(msg);
        break;
    }
}

void kvr_sim_station::handle_loco_adr(const kvr_loconet_msg& msg) {
    const uint16_t address = decode_loco_address(msg[1], msg[2]);
    const int reach = options_.expanded ? expanded_classic_last : classic_last;
    int s = find_loco_slot(address, options_.expanded ? expanded_last : classic_last);
    // A loco held in a slot the classic reply cannot name is refused rather
    // than given a second slot: two slots would drive one loco.
    if (s > reach && (slots_[s].e7[stat_i] & stat_usage_mask) == usage_free) s = find_loco_slot(address, reach);
    if (s == 0 || s > reach) {
        long_ack(OPC_LOCO_ADR, ack_refused);
        return;
    }
    if ((slots_[s].e7[stat_i] & stat_usage_mask) == usage_free) load_slot(s, address);
    send_slot(static_cast<uint16_t>(s));
}

// Among the free slots: one that last held this address, else one never
// loaded, else any, so that an address asked for but not yet taken keeps
// its slot while other addresses are asked for.
int kvr_sim_station::find_loco_slot(uint16_t address, int last) const {
    int free_same = 0;
    int free_blank = 0;
    int free_any = 0;
    for (int s = 1; s <= last; ++s) {
        if (!is_loco_slot(static_cast<unsigned>(s))) continue;
        const slot_bytes& slot = slots_[s].e7;
        const bool is_free = (slot[stat_i] & stat_usage_mask) == usage_free;
        if (!is_free) {
            if (slot_address(slot) == address) return s;
            continue;
        }
        if (free_same == 0 && slot_address(slot) == address) free_same = s;
        if (free_blank == 0 && slot == slot_bytes{} && slots_[s].high_functions == 0) free_blank = s;
        if (free_any == 0) free_any = s;
    }
    return free_same ? free_same : free_blank ? free_blank : free_any;
}

// A slot freshly loaded: free, 128 steps, speed 0, forward (DIRF bit 5
// clear), functions off.
void kvr_sim_station::load_slot(int number, uint16_t address) {
    const byte_pair adr = encode_loco_address(address);
    slots_[number] = {slot_bytes{usage_free | steps_128, adr.low, 0, 0x00, 0, 0, adr.high, 0, 0, 0}, 0};
}

// Moves as LocoNet defines them: a slot to itself marks it in use (NULL
// move); source 0 takes the dispatched slot (DISPATCH GET); destination 0
// dispatches the source (DISPATCH PUT) and leaves its status as it was (a
// throttle sets it common first); otherwise the data go from an active
// source to a free destination, which leaves the source free.
//
// The classic move (BA, answered E7) reaches slots 0..127; the expanded one
// (D4, answered E6) every slot. A classic DISPATCH GET of a slot E7 cannot
// name is refused and the slot stays dispatched.
void kvr_sim_station::handle_move(uint16_t from, uint16_t to, bool expanded) {
    const uint8_t refused_opcode = expanded ? OPC_LOCO_FUNC_EX : OPC_MOVE_SLOTS;
    const auto in_use = [this](uint16_t s) { return (slots_[s].e7[stat_i] & stat_usage_mask) != usage_free; };
    if (from == to && is_loco_slot(from)) {
        slots_[from].e7[stat_i] |= usage_in_use;
        send_slot(from, expanded);
    } else if (from == 0) {
        if (dispatched_ == 0 || (!expanded && dispatched_ > 127)) {
            long_ack(refused_opcode, ack_refused);
            return;
        }
        const uint16_t s = dispatched_;
        dispatched_ = 0;
        slots_[s].e7[stat_i] |= usage_in_use;
        send_slot(s, expanded);
    } else if (to == 0 && is_loco_slot(from) && in_use(from)) {
        dispatched_ = from;
        send_slot(from, expanded);
    } else if (is_loco_slot(from) && is_loco_slot(to) && in_use(from) && !in_use(to)) {
        slots_[to] = slots_[from];
        slots_[from].e7[stat_i] &= static_cast<uint8_t>(~stat_usage_mask);
        if (dispatched_ == from) dispatched_ = 0;
        send_slot(to, expanded);
    } else {
        long_ack(refused_opcode, ack_refused);
    }
}

// A classic station answers every request with E7 of the slot byte 1 names,
// whatever byte 2 holds. An expanded one reads the slot's high bits from
// byte 2 and answers E6 where bit 6 asks for it; E7 cannot name slots above
// 127 (refused B4 3B 00), and an E6 of a slot it lacks is refused B4 66 00.
void kvr_sim_station::handle_slot_request(uint8_t low, uint8_t high_and_flags) {
    if (!options_.expanded) {
        send_slot(low);
        return;
    }
    const auto number = static_cast<uint16_t>((high_and_flags & rq_slot_high) * 128 + low);
    if (high_and_flags & rq_expanded) {
        if (number == kvr_slot_dispatch || is_loco_slot(number) || is_status_slot(number))
            send_slot(number, true);
        else
            long_ack(kvr_sim_exp::opc_rd_sl_data, ack_refused);
    } else if (number > 127) {
        long_ack(OPC_RQ_SL_DATA, ack_refused);
    } else {
        send_slot(number);
    }
}

void kvr_sim_station::handle_slot_write(const kvr_loconet_msg& msg) {
    const uint8_t n = msg[2];
    if (n == kvr_slot_programmer) {
        handle_task(msg);
        return;
    }
    if (n == kvr_slot_fast_clock) {
        clock_.write(now_, msg);
        if (options_.demo) next_clock_ = clock_.next_minute(now_);
    } else if (is_loco_slot(n)) {
        for (int i = 0; i < slot_field_count; ++i) slots_[n].e7[i] = msg[slot_stat + i];
    } else if (n == 127 || (n == 126 && options_.expanded)) {
        // The option switches: bytes 3-6 and 8-11 hold them (TRK and byte
        // 12 are not switches; the reply carries TRK and 0).
        for (int i = 0; i < slot_field_count; ++i) slots_[n].e7[i] = msg[slot_stat + i];
        slots_[n].e7[trk_i] = 0;
        slots_[n].e7[stored(slot_id2)] = 0;
    }
    // Slot 0 and the system slots take nothing but are acknowledged all the same.
    long_ack(OPC_WR_SL_DATA, ack_ok);
}

void kvr_sim_station::handle_task(const kvr_loconet_msg& msg) {
    if (programmer_busy()) {
        long_ack(OPC_WR_SL_DATA, lack_busy);
        return;
    }
    if (options_.busy_tasks > 0) {
        --options_.busy_tasks;
        long_ack(OPC_WR_SL_DATA, lack_busy);
        return;
    }
    kvr_sim_task_outcome o = programmer_.run(msg, options_);
    long_ack(OPC_WR_SL_DATA, o.ack);
    if (!o.final_reply) return;

    const kvr_sim_time delay = task_delay(o.is_read);
    task_ = msg;
    task_.set_opcode(OPC_SL_RD_DATA);
    task_result_ = o.reply;
    task_result_[slot_trk] = trk_;  // the task is over when the reply goes out
    task_result_.renew_checksum();
    task_done_ = now_ + delay;
    answer(task_result_, delay);
}

void kvr_sim_station::handle_switch(const kvr_loconet_msg& msg) {
    const switch_fields sw = decode_switch(msg[1], msg[2]);
    kvr_sim_turnout& t = turnouts_[sw.number - 1];
    if (msg.opcode() == OPC_SW_STATE) {
        long_ack(OPC_SW_STATE, t.closed ? ack_switch_closed : 0x00);
        return;
    }
    if (msg.opcode() == OPC_SW_ACK && options_.switch_buffer_full) {
        long_ack(OPC_SW_ACK, ack_refused);
        return;
    }
    t.closed = sw.closed;
    t.output_on = sw.on;
    if (msg.opcode() == OPC_SW_ACK) long_ack(OPC_SW_ACK, ack_ok);
}

void kvr_sim_station::handle_slot_update(const kvr_loconet_msg& msg) {
    const uint8_t n = msg[1];
    if (!is_loco_slot(n)) return;
    const int field = msg.opcode() == OPC_LOCO_SPD    ? spd_i
                      : msg.opcode() == OPC_LOCO_DIRF ? dirf_i
                      : msg.opcode() == OPC_LOCO_SND  ? snd_i
                                                      : stat_i;
    slots_[n].e7[field] = msg[2];
}

uint8_t kvr_sim_station::track_status() const {
    return static_cast<uint8_t>(trk_ | (programmer_busy() ? trk_prog_busy : 0));
}

std::array<uint8_t, 10> kvr_sim_station::slot(uint16_t number) const {
    if (number >= slot_count || (number > 127 && !is_loco_slot(number))) return {};
    slot_bytes s = slots_[number].e7;
    s[trk_i] = track_status();
    return s;
}

uint32_t kvr_sim_station::slot_functions(uint16_t number) const {
    if (number >= slot_count) return 0;
    const slot_bytes& s = slots_[number].e7;
    uint32_t f = slots_[number].high_functions;
    for (unsigned n = 0; n <= slot_function_max; ++n)
        if (function_on(s[dirf_i], s[snd_i], n)) f |= 1u << n;
    return f;
}

bool kvr_sim_station::is_loco_slot(unsigned number) const {
    return options_.expanded ? kvr_sim_exp::is_loco_slot(number) : number >= 1 && number <= classic_last;
}

kvr_sim_turnout kvr_sim_station::turnout(uint16_t number) const {
    if (number < 1 || number > turnout_count) return {};
    return turnouts_[number - 1];
}

kvr_loconet_msg kvr_sim_station::slot_message(uint16_t number) const {
    number &= 0x7F;
    if (number == kvr_slot_fast_clock) return clock_.slot_message(now_, track_status());
    if (number == kvr_slot_programmer) return programmer_message();
    return kvr_proto::slot_message(OPC_SL_RD_DATA, static_cast<uint8_t>(number), slot(number));
}

kvr_loconet_msg kvr_sim_station::programmer_message() const {
    kvr_loconet_msg m = programmer_busy() ? task_ : task_result_;
    m[pgm_pstat] = programmer_busy() ? 0 : m[pgm_pstat];
    m[slot_trk] = track_status();
    m.renew_checksum();
    return m;
}

kvr_sim_time kvr_sim_station::ack_delay() const {
    return options_.instant ? kvr_sim_time{0} : kvr_sim_time{int64_t{options_.ack_delay_ms} * 1000};
}

kvr_sim_time kvr_sim_station::task_delay(bool is_read) const {
    if (options_.instant) return kvr_sim_time{0};
    const unsigned ms = is_read ? options_.read_delay_ms : options_.write_delay_ms;
    return std::max(ack_delay(), kvr_sim_time{int64_t{ms} * 1000});
}

void kvr_sim_station::long_ack(uint8_t opcode, uint8_t code) {
    answer(kvr_proto::long_ack(opcode, code), ack_delay());
}

void kvr_sim_station::answer(const kvr_loconet_msg& msg, kvr_sim_time delay, sender from) {
    if (options_.drop_answers > 0) {
        --options_.drop_answers;
        return;
    }
    put(msg, now_ + delay, from);
}

void kvr_sim_station::put(const kvr_loconet_msg& msg, kvr_sim_time due, sender from) {
    std::vector<uint8_t> bytes(msg.data(), msg.data() + msg.length());
    if (options_.noise_per_mille > 0 && random_() % 1000 < options_.noise_per_mille) {
        if (random_() % 2 == 0 || bytes.size() < 2) {
            // A stray byte, such as a collision or a loose wire leaves.
            bytes.insert(bytes.begin(), static_cast<uint8_t>(random_()));
        } else {
            // A damaged copy ahead of the good message: one data bit flipped,
            // so its checksum no longer holds.
            std::vector<uint8_t> bad = bytes;
            bad[1 + random_() % (bad.size() - 1)] ^= static_cast<uint8_t>(1u << (random_() % 7));
            bytes.insert(bytes.begin(), bad.begin(), bad.end());
        }
    }
    // Input with no reader behind it cannot fill memory: beyond the limit
    // output is lost, as with an overflowing transmit buffer.
    if (pending_bytes_ + bytes.size() > max_pending_bytes) return;
    pending_bytes_ += bytes.size();
    scheduled_.emplace(due, pending{std::move(bytes), from});
}

std::vector<uint8_t> kvr_sim_station::poll(kvr_sim_time now) {
    advance(clamp(now));
    if (paced()) {
        place_due();
    } else {
        while (!scheduled_.empty() && scheduled_.begin()->first <= now_) {
            auto node = scheduled_.extract(scheduled_.begin());
            for (uint8_t b : node.mapped().bytes) wire_.emplace_back(now_, b);
        }
    }
    std::vector<uint8_t> out;
    while (!wire_.empty() && wire_.front().first <= now_) {
        out.push_back(wire_.front().second);
        wire_.pop_front();
        --pending_bytes_;
    }
    if (!out.empty()) last_delivery_ = now_;
    return out;
}

std::optional<kvr_sim_time> kvr_sim_station::next_due() const {
    kvr_sim_time t = std::min({next_demo_, next_clock_, next_traffic_});
    if (!wire_.empty()) t = std::min(t, wire_.front().first);
    if (paced()) {
        if (auto next = next_start()) t = std::min(t, next->second);
    } else if (!scheduled_.empty()) {
        t = std::min(t, scheduled_.begin()->first);
    }
    if (t == kvr_sim_time::max()) return std::nullopt;
    return t;
}

void kvr_sim_station::advance(kvr_sim_time now) {
    now_ = now;
    advance_traffic();
    if (!options_.demo) {
        next_demo_ = next_clock_ = kvr_sim_time::max();
        return;
    }
    if (next_demo_ == kvr_sim_time::max() || now_ - next_demo_ > catch_up_limit) {
        next_demo_ = now_ + kvr_sim_time{1'000'000};
    }
    if (next_clock_ == kvr_sim_time::max() || (next_clock_ < now_ && now_ - next_clock_ > catch_up_limit)) {
        next_clock_ = clock_.next_minute(now_);
    }
    while (next_clock_ <= now_) {
        put(clock_.slot_message(next_clock_, track_status()), next_clock_, sender::station);
        next_clock_ = clock_.next_minute(next_clock_);
    }
    while (next_demo_ <= now_) {
        demo_report(next_demo_);
        next_demo_ += kvr_sim_time{2'000'000 + static_cast<int64_t>(random_() % 4'000'000)};
    }
}

// A sensor or a turnout on the demo layout changes: sensors 1..8 toggle,
// turnouts 1..4 are thrown and closed by hand.
void kvr_sim_station::demo_report(kvr_sim_time at) {
    const unsigned pick = random_() % 12;
    if (pick < 8) {
        demo_sensors_ ^= static_cast<uint8_t>(1u << pick);
        const bool on = demo_sensors_ & (1u << pick);
        // The demo's eight sensors are the first inputs (I clear) of input
        // addresses 1..8: sensor numbers 1, 3, .., 15.
        const byte_pair in = encode_sensor({2 * pick + 1, on});
        put(make_msg({OPC_INPUT_REP, in.high, in.low}), at, sender::node);
        return;
    }
    const unsigned address = pick - 8;
    kvr_sim_turnout& t = turnouts_[address];
    t.closed = !t.closed;
    // An output report (SN2 bit 6 clear) of switch address + 1.
    const byte_pair sn = encode_switch({address + 1, false, false});
    put(make_msg({OPC_SW_REP, sn.high, static_cast<uint8_t>(sn.low | (t.closed ? sn2_closed_on : sn2_thrown_on))}),
        at, sender::node);
}

// Reports fall due at even steps from the start of the traffic, counted in
// whole reports so the rate holds exactly over any stretch. A station left
// without polls for long starts afresh rather than bursting to catch up.
void kvr_sim_station::advance_traffic() {
    const unsigned rate = std::min(options_.traffic_per_s, kvr_sim_max_traffic_per_s);
    if (rate == 0) {
        next_traffic_ = traffic_start_ = kvr_sim_time::max();
        return;
    }
    const auto due = [&](uint32_t k) { return traffic_start_ + kvr_sim_time{int64_t{k} * 1'000'000 / rate}; };
    if (next_traffic_ == kvr_sim_time::max() || now_ - next_traffic_ > catch_up_limit) {
        traffic_start_ = now_;
        traffic_sent_ = 0;
    }
    for (next_traffic_ = due(traffic_sent_); next_traffic_ <= now_; next_traffic_ = due(++traffic_sent_)) {
        if (pending_bytes_ <= traffic_backlog_limit) traffic_report(next_traffic_);
    }
}

// Three sensor reports, then one switch report, each from the next address
// in its range; sensors alternate between occupied and free. An expanded
// station's bus carries other throttles too: every other switch report
// gives way to one of theirs.
void kvr_sim_station::traffic_report(kvr_sim_time at) {
    const uint32_t k = traffic_sent_;
    if (options_.expanded && k % 8 == 7) {
        traffic_throttle(at, k / 8);
        return;
    }
    if (k % 4 != 3) {
        const uint32_t n = k - k / 4;  // sensor reports so far
        const byte_pair in = encode_sensor({traffic_first_sensor + n % traffic_sensors, (n / traffic_sensors) % 2 == 0});
        put(make_msg({OPC_INPUT_REP, in.high, in.low}), at, sender::node);
        return;
    }
    const uint32_t n = k / 4;
    const byte_pair sn = encode_switch({traffic_first_switch + n % traffic_switches, false, false});
    const bool closed = (n / traffic_switches) % 2 == 0;
    put(make_msg({OPC_SW_REP, sn.high, static_cast<uint8_t>(sn.low | (closed ? sn2_closed_on : sn2_thrown_on))}), at,
        sender::node);
}

// Two other throttles (IDs 0x1A1 and 0x1A2) drive locos 1001 and 1002 the
// expanded way, taking turns: each asks for its loco's slot (BE), takes it
// (EE: in use, its ID), then sends D5 speed and function messages. They
// are carried out as any node's requests are, when they take the line. A
// slot held by another throttle is left alone.
void kvr_sim_station::traffic_throttle(kvr_sim_time at, uint32_t n) {
    const unsigned which = n % 2;
    const uint32_t step = n / 2;
    const auto loco = static_cast<uint16_t>(1001 + which);
    const byte_pair id = split14(static_cast<uint16_t>(0x1A1 + which));
    const byte_pair adr = encode_loco_address(loco);
    int held = 0;
    for (unsigned s = 1; s <= kvr_sim_exp::loco_last && held == 0; ++s)
        if (is_loco_slot(s) && slot_address(slots_[s].e7) == loco) held = static_cast<int>(s);
    const uint8_t usage = slots_[held].e7[stat_i] & stat_usage_mask;
    const bool ours = held && slots_[held].e7[stored(slot_id1)] == id.low && slots_[held].e7[stored(slot_id2)] == id.high;
    const uint8_t hi = static_cast<uint8_t>(held >> 7);
    const uint8_t lo = static_cast<uint8_t>(held & 0x7F);
    if (held == 0) {
        put(make_msg({kvr_sim_exp::opc_req_slot, adr.high, adr.low}), at, sender::client);
        return;
    }
    if (usage == usage_free) {
        // Take it: the slot as it is, in use, with our ID.
        kvr_loconet_msg ee = kvr_sim_exp::slot_reply(static_cast<unsigned>(held), slots_[held], track_status());
        ee.set_opcode(kvr_sim_exp::opc_wr_sl_data);
        ee[4] = static_cast<uint8_t>((ee[4] & ~stat_usage_mask) | usage_in_use);
        ee[18] = id.low;
        ee[19] = id.high;
        ee.renew_checksum();
        put(ee, at, sender::client);
        return;
    }
    if (!ours) return;  // somebody else drives it
    uint8_t group = 0x00;
    uint8_t x = 0;
    switch (step % 3) {
    case 0:  // speed 2..101, forward then reverse
        group = (step / 3) % 2 ? 0x08 : 0x00;
        x = static_cast<uint8_t>(2 + (step * 7) % 100);
        break;
    case 1:  // F0 on, one of F1..F4 on at a time
        group = 0x10;
        x = static_cast<uint8_t>(0x10 | (1u << ((step / 3) % 4)));
        break;
    default:  // F21..F28: F28 on every other time
        group = (step / 3) % 2 ? 0x30 : 0x28;
        x = static_cast<uint8_t>(1u << ((step / 3) % 7));
        break;
    }
    put(make_msg({kvr_sim_exp::opc_send_function, static_cast<uint8_t>(group | hi), lo, id.low, x}), at,
        sender::client);
}
