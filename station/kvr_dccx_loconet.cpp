#include "station/kvr_dccx_loconet.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <functional>
#include <mutex>

#include "foundation/kvr_exception.h"
#include "foundation/kvr_hooks.h"

namespace {

using namespace kvr_proto;

constexpr const char* source_name = "kvr_dccx_loconet";

// Answers to a programming task: the LACK is filed under the task's opcode,
// the final reply under the programmer's slot.
constexpr uint8_t task_opcode = OPC_WR_SL_DATA;
constexpr uint8_t task_slot = kvr_slot_programmer;

constexpr uint16_t no_slot = 0xFFFF;
constexpr uint16_t no_value = 0xFFFF;

// Speed-step codes written into STAT bits 2..0: both allow advanced consisting.
constexpr uint8_t steps_128_code = steps_128_adv;
constexpr uint8_t steps_28_code = steps_28_adv;

// Tone before each restart of a direct write, so the user hears a retry.
constexpr unsigned retry_tone_hz = 1200;
constexpr unsigned retry_tone_ms = 200;

// Highest numbers that survive the wire encodings without wrapping.
constexpr uint32_t max_register = 8;

// The user's texts for a programming task's answers (spelling as users know it).
constexpr const char* text_cancel = "CANCEL";
constexpr const char* text_not_implemented = "ERR:FUNCTION NOT IMPLEMENTED";
constexpr const char* text_no_reply = "NO REPLY";
constexpr const char* text_lack_other = "ERR: ";
constexpr const char* text_user_abort = "User Abort";
constexpr const char* text_read_compare = "Fail to Detect Read Comparet";
constexpr const char* text_no_decoder = "No Decoder Detected";
constexpr const char* text_fail = "FAIL";
constexpr const char* text_fail_colon = "FAIL:";
constexpr const char* text_ops_mode = "ERR:OPS MODE IS NOT SUPPORTED";

// Refusals of numbers that the wire would silently wrap.
constexpr const char* text_bad_cv = "ERR:CV MUST BE 1 TO 1024";
constexpr const char* text_bad_register = "ERR:REGISTER MUST BE 1 TO 8";
constexpr const char* text_bad_bit = "ERR:BIT NUMBER MUST BE 0 TO 7";
constexpr const char* text_bad_switch = "ERR:SWITCH MUST BE 1 TO 2048";
constexpr const char* text_bad_loco = "ERR:LOCO ADDRESS MUST BE 0 TO 16383";
constexpr const char* text_bad_ops_loco = "ERR:OPS ADDRESS MUST BE 1 TO 16383";
constexpr const char* text_cv29_silent = "ERR:CV29 BIT WRITE NOT ANSWERED";

// The failure code that marks "NO REPLY" (a task accepted blind).
constexpr uint32_t code_no_reply = 64;

// The first line of the report in plain words, by the raiser's text.
struct plain_words {
    const char* text;
    const char* words;
};
constexpr plain_words station_words[] = {
    {text_cancel, "Cancelled. What was already sent to the layout may still take effect."},
    {text_not_implemented, "The command station does not offer this programming function."},
    {text_no_reply, "The command station took the task without reporting its outcome; the value is not checked."},
    {text_lack_other, "The command station refused the task. Try again in a moment."},
    {text_user_abort, "The programming task was stopped at the command station."},
    {text_read_compare, "The decoder did not answer. Check that it sits on the programming track and try again."},
    {text_no_decoder, "No decoder on the programming track. Put the locomotive on it and try again."},
    {text_fail, "The decoder did not confirm the write. Check that it sits on the programming track and try again."},
    {text_fail_colon, "The decoder did not confirm the task. Check its address and its track and try again."},
    {text_ops_mode, "This is not possible on the main line. Choose Paged or Direct on the programming track."},
    {text_bad_cv, "The CV number must be 1 to 1024."},
    {text_bad_register, "The register must be 1 to 8."},
    {text_bad_bit, "The bit number must be 0 to 7."},
    {text_bad_switch, "The switch number must be 1 to 2048."},
    {text_bad_loco, "The loco address must be 0 to 16383."},
    {text_bad_ops_loco, "The loco address must be 1 to 16383."},
    {text_cv29_silent, "The decoder did not confirm the write of CV 29. Check that it sits on the programming track."},
    {kvr_dccx_loconet::text_bad_slot, "Only loco slots 1 to 119 can be released or dispatched."},
    {kvr_dccx_loconet::text_dispatch_refused, "The command station refused to dispatch the slot (it may be free, or another slot is dispatched)."},
    {kvr_dccx_loconet::text_dispatch_silent, "The command station did not answer the dispatch. It may not offer it."},
    {kvr_dccx_loconet::text_slot_silent, "The command station did not answer for the slot."},
    {kvr_dccx_loconet::text_no_expanded,
     "The command station did not answer for an expanded slot: it may offer only the classic slots."},
    {kvr_dccx_loconet::text_clock_refused, "The command station refused to set the fast clock."},
    {kvr_dccx_loconet::text_clock_ignored, "The command station took the fast-clock write but its clock does not show the time written."},
    {kvr_dccx_loconet::text_clock_silent, "The command station did not answer for its fast clock. It may not have one."},
    {kvr_dccx_loconet::text_packet_full, "The command station's packet buffer stayed full; the function was not sent. Try again in a moment."},
    {kvr_dccx_loconet::text_packet_lost, "The function's packet was not seen on the bus and nothing answered it."},
};

std::string words_for(const std::string& text) {
    for (const plain_words& w : station_words)
        if (text == w.text) return w.words;
    return {};
}

// Programming commands as this station sends them: reads on the main line
// ask for no feedback, bit verifies there do.
constexpr uint8_t pcmd_direct_bit_verify = pcmd_direct_bit_read;
constexpr uint8_t pcmd_ops_bit_verify = pcmd_ops_bit_read_feedback;

// NMRA CVs of the extended address.
constexpr uint32_t cv_ex_address_high = 17;
constexpr uint32_t cv_ex_address_low = 18;
constexpr uint32_t cv_config = 29;
constexpr uint8_t cv29_ex_address_bit = 5;

[[noreturn]] void refuse(const char* text) { KVR_RAISE(text, 0, source_name); }

void check_cv(uint32_t cv) {
    if (cv < 1 || cv > cv_max) refuse(text_bad_cv);
}

void check_register(uint32_t reg) {
    if (reg < 1 || reg > max_register) refuse(text_bad_register);
}

void check_bit_number(uint8_t bit_number) {
    if (bit_number > 7) refuse(text_bad_bit);
}

void check_loco(uint32_t address) {
    if (address > loco_address_max) refuse(text_bad_loco);
}

// Address 0 is the broadcast address: every decoder on the main line.
void check_ops_loco(uint32_t address) {
    if (address < 1 || address > loco_address_max) refuse(text_bad_ops_loco);
}

// The programming task to slot 124 (layout in kvr_loconet_proto.h). The
// callers have checked the locomotive address and the CV.
kvr_loconet_msg task_message(uint8_t pcmd, uint32_t loco, uint32_t cv, uint8_t data) {
    return programming_task(pcmd, static_cast<uint16_t>(loco), cv, data);
}

kvr_loconet_msg short_message(uint8_t opcode, uint8_t b1, uint8_t b2) {
    return kvr_loconet_msg::with_checksum({opcode, b1, b2});
}

kvr_loconet_msg power_message(uint8_t opcode) { return kvr_loconet_msg::with_checksum({opcode}); }

// A CV value from eight verifies of bit value 1, bit 0 first; each verify
// that holds adds its bit.
template <class F>
uint16_t value_from_bits(F&& verify_set) {
    uint16_t value = 0;
    for (uint8_t bit = 0; bit < 8; ++bit)
        if (verify_set(bit)) value = static_cast<uint16_t>(value | (1u << bit));
    return value;
}

// STAT bits 5..4 both set: the slot is in use (refreshed, held by a throttle).
bool in_use(const kvr_loconet_msg& slot) {
    return (slot[slot_stat] & stat_usage_mask) == usage_in_use;
}

kvr_waiter& blocking_waiter() {
    static kvr_waiter w;
    return w;
}

}  // namespace

// A programming transaction: its request, how long it waits for the final
// reply (0: it waits for none) and what it does when a budget runs out.
struct kvr_dccx_loconet::task_plan {
    std::function<void()> send;
    uint32_t reply_budget;
    on_exhaust exhaust;
};

kvr_dccx_loconet::kvr_dccx_loconet(kvr_loconet_port& link, kvr_dccx_timing timing)
    : kvr_dccx(link), timing_(timing) {
    link_.add_listener(this);
}

kvr_dccx_loconet::~kvr_dccx_loconet() { link_.remove_listener(this); }

// ---------------------------------------------------------------------------
// The stores, filled from the link's I/O thread

void kvr_dccx_loconet::on_message(const kvr_loconet_msg& msg, const kvr_capture_time&) {
    bool filed = false;
    {
        std::lock_guard<std::mutex> lk(stores_mutex_);
        filed = stores_.file(msg);
    }
    // Outside the lock: the woken operation takes it at once to look.
    if (filed) reply_event_.set();
}

void kvr_dccx_loconet::on_open() {
    std::lock_guard<std::mutex> lk(stores_mutex_);
    stores_.clear();
    reply_event_.reset();
}

void kvr_dccx_loconet::set_waiter(kvr_waiter* waiter) { waiter_ = waiter; }

kvr_waiter& kvr_dccx_loconet::waiter() { return waiter_ ? *waiter_ : blocking_waiter(); }

// ---------------------------------------------------------------------------
// Operations and their messages

// The outermost operation tags what it queues; when it ends by an exception
// (a cancel, a refusal, a failed link) the messages it could not send yet
// are withdrawn. Sent later they would act on a wish the user has given up,
// and their answers could be taken for a later operation's: a cancelled
// takeover's slot write acknowledged while the next READ waits for its LACK.
class kvr_dccx_loconet::operation_scope {
public:
    explicit operation_scope(kvr_dccx_loconet& station) : station_(station) {
        if (station_.op_depth_++ > 0) return;
        tag_ = station_.link_.new_tx_tag();
        station_.op_tag_ = tag_;
    }
    ~operation_scope() {
        if (--station_.op_depth_ > 0) return;
        station_.op_tag_ = 0;
        if (std::uncaught_exceptions() > exceptions_) station_.link_.withdraw(tag_);
    }
    operation_scope(const operation_scope&) = delete;
    operation_scope& operator=(const operation_scope&) = delete;

private:
    kvr_dccx_loconet& station_;
    uint32_t tag_ = 0;
    const int exceptions_ = std::uncaught_exceptions();
};

// Runs `body` as (part of) an operation; a kvr_exception leaving it is
// wrapped under `label`.
template <class F>
auto kvr_dccx_loconet::labelled(const char* label, F&& body) -> decltype(body()) {
    const operation_scope scope(*this);
    try {
        return body();
    } catch (const kvr_exception& e) {
        kvr_exception outer(e, label, 0, source_name, __LINE__);
        // The innermost operation sees the raiser's own text.
        if (outer.plain.empty()) outer.plain = words_for(e.where);
        throw outer;
    }
}

void kvr_dccx_loconet::run_labelled(const char* label, const std::function<void()>& body) {
    labelled(label, body);
}

// ---------------------------------------------------------------------------
// Store looks and the wait step

std::optional<kvr_loconet_msg> kvr_dccx_loconet::look_slot(uint8_t slot) const {
    std::lock_guard<std::mutex> lk(stores_mutex_);
    return stores_.slot_data(slot);
}

std::optional<kvr_loconet_msg> kvr_dccx_loconet::look_ack(uint8_t opcode) const {
    std::lock_guard<std::mutex> lk(stores_mutex_);
    return stores_.ack_for(opcode);
}

uint16_t kvr_dccx_loconet::look_address(uint16_t address) const {
    std::lock_guard<std::mutex> lk(stores_mutex_);
    return stores_.slot_of_address(address);
}

bool kvr_dccx_loconet::answer_present(answer a) const {
    switch (a.kind) {
    case answer_kind::ack:
        return look_ack(static_cast<uint8_t>(a.key)).has_value();
    case answer_kind::slot:
        return look_slot(static_cast<uint8_t>(a.key)).has_value();
    case answer_kind::address:
        return look_address(a.key) != no_slot;
    case answer_kind::slot_or_ack:
        return look_slot(static_cast<uint8_t>(a.key)).has_value() || look_ack(a.opcode).has_value();
    case answer_kind::exp_slot:
    case answer_kind::exp_address: {
        if (a.opcode != 0 && look_ack(a.opcode)) return true;
        // An expanded read of a slot the station lacks: B4 66 00.
        if (a.kind == answer_kind::exp_slot && a.opcode != 0 && look_ack(OPC_EXP_RD_SL_DATA)) return true;
        std::lock_guard<std::mutex> lk(stores_mutex_);
        return a.kind == answer_kind::exp_slot ? stores_.exp_slot_data(a.key).has_value()
                                               : stores_.exp_address_data(a.key).has_value();
    }
    }
    return false;
}

// The unit keeps its deadline across wake-ups: a reply filed for something
// else (another slot, another throttle's traffic) only makes us look again,
// it never shortens the unit or counts as one.
bool kvr_dccx_loconet::wait_unit(unsigned ms, answer a) {
    return wait_until(ms, [&] { return answer_present(a); });
}

bool kvr_dccx_loconet::wait_until(unsigned ms, const std::function<bool()>& present) {
    using clock = std::chrono::steady_clock;
    const auto deadline = clock::now() + std::chrono::milliseconds(ms);
    kvr_sys_event* wake = timing_.notice_at_once ? &reply_event_ : nullptr;
    unsigned left = ms;
    for (;;) {
        switch (waiter().wait(abort_, wake, left)) {
        case kvr_wait_result::aborted:
            KVR_RAISE(text_cancel, 0, source_name);
        case kvr_wait_result::timed_out:
            return false;
        case kvr_wait_result::woken:
            if (present()) return true;
            break;
        }
        const auto rest = std::chrono::ceil<std::chrono::milliseconds>(deadline - clock::now());
        if (rest.count() <= 0) return false;
        left = static_cast<unsigned>(rest.count());
    }
}

std::optional<kvr_loconet_msg> kvr_dccx_loconet::await_slot(uint8_t slot, uint32_t budget,
                                                             unsigned unit_ms) {
    uint32_t left = budget;
    for (;;) {
        if (auto data = look_slot(slot)) return data;
        if (wait_unit(unit_ms, {answer_kind::slot, slot})) continue;
        if (budget != 0 && --left == 0) return std::nullopt;
    }
}

// ---------------------------------------------------------------------------
// Request builders

// Every builder queues its one message under its own label, so a failure of
// the link names the request that met it.
void kvr_dccx_loconet::send_labelled(const char* label, const kvr_loconet_msg& msg) {
    labelled(label, [&] { queue(msg, op_tag_); });
}

void kvr_dccx_loconet::send_req_loco_adr(uint32_t address) {
    const byte_pair adr = encode_loco_address(static_cast<uint16_t>(address));
    send_labelled("kvr_dccx_loconet::send_req_loco_adr()", short_message(OPC_LOCO_ADR, adr.high, adr.low));
}

void kvr_dccx_loconet::send_req_sl_data(uint8_t slot) {
    send_labelled("kvr_dccx_loconet::send_req_sl_data()", short_message(OPC_RQ_SL_DATA, slot, 0));
}

void kvr_dccx_loconet::send_move_slot(uint8_t src, uint8_t dst) {
    send_labelled("kvr_dccx_loconet::send_move_slot()", short_message(OPC_MOVE_SLOTS, src, dst));
}

void kvr_dccx_loconet::send_128step(uint8_t slot, uint32_t speed) {
    send_labelled("kvr_dccx_loconet::send_128step()",
                  short_message(OPC_LOCO_SPD, slot, static_cast<uint8_t>(speed)));
}

void kvr_dccx_loconet::send_dirf(uint8_t slot, uint8_t dirf) {
    send_labelled("kvr_dccx_loconet::send_dirf()", short_message(OPC_LOCO_DIRF, slot, dirf));
}

void kvr_dccx_loconet::send_snd(uint8_t slot, uint8_t snd) {
    send_labelled("kvr_dccx_loconet::send_snd()", short_message(OPC_LOCO_SND, slot, snd));
}

// The wire address is the switch number - 1. Switch 200 thrown, on: BD 47 11 14.
void kvr_dccx_loconet::send_sw_req(uint32_t wire_address, uint16_t position, uint16_t on) {
    const byte_pair sw = encode_switch({wire_address + 1, position != 0, on != 0});
    send_labelled("kvr_dccx_loconet::send_sw_req()", short_message(OPC_SW_ACK, sw.high, sw.low));
}

void kvr_dccx_loconet::send_message(const kvr_loconet_msg& msg) {
    send_labelled("kvr_dccx_loconet::send_message()", msg);
}

void kvr_dccx_loconet::send_startup() {
    send_labelled("kvr_dccx_loconet::send_startup()", power_message(OPC_GPON));
}

void kvr_dccx_loconet::send_shutdown() {
    send_labelled("kvr_dccx_loconet::send_shutdown()", power_message(OPC_GPOFF));
}

void kvr_dccx_loconet::send_paged_read(uint32_t cv) {
    send_labelled("kvr_dccx_loconet::send_paged_read()", task_message(pcmd_paged_read, 0, cv, 0));
}

void kvr_dccx_loconet::send_direct_read(uint32_t cv) {
    send_labelled("kvr_dccx_loconet::send_direct_read()", task_message(pcmd_direct_read, 0, cv, 0));
}

void kvr_dccx_loconet::send_register_read(uint32_t reg) {
    send_labelled("kvr_dccx_loconet::send_register_read()",
                  task_message(pcmd_register_read, 0, reg, 0));
}

void kvr_dccx_loconet::send_paged_write(uint32_t cv, uint8_t value) {
    send_labelled("kvr_dccx_loconet::send_paged_write()",
                  task_message(pcmd_paged_write, 0, cv, value));
}

void kvr_dccx_loconet::send_direct_write(uint32_t cv, uint8_t value) {
    send_labelled("kvr_dccx_loconet::send_direct_write()",
                  task_message(pcmd_direct_write, 0, cv, value));
}

void kvr_dccx_loconet::send_register_write(uint32_t reg, uint8_t value) {
    send_labelled("kvr_dccx_loconet::send_register_write()",
                  task_message(pcmd_register_write, 0, reg, value));
}

void kvr_dccx_loconet::send_direct_bit_verify(uint32_t cv, uint8_t bit_value, uint8_t bit_number) {
    send_labelled("kvr_dccx_loconet::send_direct_bit_verify()",
                  task_message(pcmd_direct_bit_verify, 0, cv, bit_task_data(bit_value != 0, bit_number)));
}

void kvr_dccx_loconet::send_direct_mode_bit_write(uint32_t cv, uint8_t bit_value,
                                                  uint8_t bit_number) {
    send_labelled("kvr_dccx_loconet::send_direct_mode_bit_write()",
                  task_message(pcmd_direct_bit_write, 0, cv, bit_task_data(bit_value != 0, bit_number)));
}

void kvr_dccx_loconet::send_ops_write(uint32_t address, uint32_t cv, uint8_t value, bool feedback) {
    const uint8_t pcmd = feedback ? pcmd_ops_write_feedback : pcmd_ops_write;
    send_labelled("kvr_dccx_loconet::send_ops_write()", task_message(pcmd, address, cv, value));
}

void kvr_dccx_loconet::send_ops_read(uint32_t address, uint32_t cv) {
    send_labelled("kvr_dccx_loconet::send_ops_read()",
                  task_message(pcmd_ops_read, address, cv, 0));
}

void kvr_dccx_loconet::send_ops_bit_verify(uint32_t address, uint32_t cv, uint8_t bit_value,
                                           uint8_t bit_number) {
    send_labelled("kvr_dccx_loconet::send_ops_bit_verify()",
                  task_message(pcmd_ops_bit_verify, address, cv, bit_task_data(bit_value != 0, bit_number)));
}

// ---------------------------------------------------------------------------
// Throttle

// Phase 1: the slot of the address, from the address store or by asking the
// command station (OPC_LOCO_ADR), again every `lack_tries` units.
uint16_t kvr_dccx_loconet::find_loco_slot(uint16_t address) {
    for (;;) {
        uint32_t left = lack_tries;
        uint16_t slot = look_address(address);
        if (slot != no_slot) return slot;
        send_req_loco_adr(address);
        for (;;) {
            slot = look_address(address);
            if (slot != no_slot) return slot;
            if (wait_unit(timing_.wait_unit_ms, {answer_kind::address, address})) continue;
            if (--left == 0) break;
        }
    }
}

// Asks for the slot's data and waits for it. The request goes out at most
// twice: after the second one the wait goes on until the data come or the
// user cancels.
kvr_loconet_msg kvr_dccx_loconet::fetch_slot_data(uint8_t slot) {
    for (int round = 0;; ++round) {
        {
            std::lock_guard<std::mutex> lk(stores_mutex_);
            stores_.forget_slot(slot);
        }
        send_req_sl_data(slot);
        if (auto data = await_slot(slot, round == 0 ? write_reply_polls : 0, timing_.slot_wait_ms))
            return *data;
    }
}

// The NULL move marks the slot in use, and the command station answers it
// with the slot's data, or refuses it with OPC_LONG_ACK (LocoNet PE opcode
// summary). That answer is the read-back: a request of our own on top would
// bring a second answer, built before the direction or function message that
// follows, which can reach us after that message and undo it in the slot
// copy. Only a move that got no slot data is followed by a request.
kvr_loconet_msg kvr_dccx_loconet::take_slot(uint8_t slot) {
    {
        std::lock_guard<std::mutex> lk(stores_mutex_);
        stores_.forget_slot(slot);
        stores_.forget_ack(OPC_MOVE_SLOTS);
    }
    send_move_slot(slot, slot);
    for (uint32_t unit = 0; unit < move_reply_polls && !look_ack(OPC_MOVE_SLOTS); ++unit) {
        if (auto data = look_slot(slot)) return *data;
        wait_unit(timing_.slot_wait_ms, {answer_kind::slot, slot});
    }
    if (auto data = look_slot(slot)) return *data;
    return fetch_slot_data(slot);
}

// Phase 3: writes the slot with this program's identity, in use, and asks
// for its new data; any slot data of the slot ends the wait.
kvr_loconet_msg kvr_dccx_loconet::write_slot(kvr_loconet_msg copy, bool code_changed) {
    copy.set_throttle_id(throttle_id);
    if (code_changed) copy.set_speed(0);
    copy.set_in_use();
    copy.set_opcode(OPC_WR_SL_DATA);
    copy.renew_checksum();
    queue(copy, op_tag_);
    return fetch_slot_data(copy[2]);
}

std::optional<kvr_loconet_msg> kvr_dccx_loconet::read_loco(uint16_t address, unsigned units) {
    check_loco(address);
    unsigned used = 0;
    for (;;) {
        {
            std::lock_guard<std::mutex> lk(stores_mutex_);
            stores_.forget_address(address);
        }
        send_req_loco_adr(address);
        for (uint32_t left = lack_tries; left > 0;) {
            {
                std::lock_guard<std::mutex> lk(stores_mutex_);
                if (std::optional<kvr_loconet_msg> data = stores_.address_data(address)) return data;
            }
            if (wait_unit(timing_.wait_unit_ms, {answer_kind::address, address})) continue;
            --left;
            if (units != 0 && ++used >= units) return std::nullopt;
        }
    }
}

kvr_loconet_msg kvr_dccx_loconet::do_read_loco(uint16_t address) {
    return labelled("kvr_dccx_loconet::do_read_loco()", [&] { return *read_loco(address, 0); });
}

std::optional<kvr_loconet_msg> kvr_dccx_loconet::do_find_loco(uint16_t address, unsigned units) {
    return labelled("kvr_dccx_loconet::do_find_loco()", [&] { return read_loco(address, units == 0 ? 1 : units); });
}

kvr_loconet_msg kvr_dccx_loconet::do_take_slot(uint8_t slot) {
    return labelled("kvr_dccx_loconet::do_take_slot()", [&] { return take_slot(slot); });
}

kvr_loconet_msg kvr_dccx_loconet::do_write_slot(const kvr_loconet_msg& data) {
    return labelled("kvr_dccx_loconet::do_write_slot()", [&] {
        kvr_loconet_msg copy = data;
        copy.set_opcode(OPC_WR_SL_DATA);
        copy.renew_checksum();
        send_labelled("kvr_dccx_loconet::send_write_slot()", copy);
        return fetch_slot_data(copy[2]);
    });
}

void kvr_dccx_loconet::send_slot_stat1(uint8_t slot, uint8_t stat) {
    send_labelled("kvr_dccx_loconet::send_slot_stat1()", short_message(OPC_SLOT_STAT1, slot, stat));
}

void kvr_dccx_loconet::send_stop(const kvr_loconet_msg& msg) {
    labelled("kvr_dccx_loconet::send_stop()", [&] {
        if (queued_watch_) queued_watch_(msg);
        link_.send_first(msg);
    });
}

kvr_loconet_msg kvr_dccx_loconet::do_read_slot(uint8_t slot) {
    return labelled("kvr_dccx_loconet::do_read_slot()", [&] { return fetch_slot_data(slot); });
}

kvr_dccx_loconet::loco_slot kvr_dccx_loconet::request_loco(uint32_t address, uint16_t direction,
                                                           uint8_t code) {
    check_loco(address);
    const auto wanted = static_cast<uint16_t>(address);
    for (;;) {
        const uint16_t slot = find_loco_slot(wanted);
        // An address entry whose slot data went missing (a cancelled slot
        // wait) is never used as slot data: ask for it again.
        std::optional<kvr_loconet_msg> found = look_slot(static_cast<uint8_t>(slot));
        kvr_loconet_msg copy = found ? *found : fetch_slot_data(static_cast<uint8_t>(slot));
        // The command station may have given the slot to another locomotive
        // since the address entry was filed: find the slot afresh.
        if (copy.slot_address() != wanted) {
            std::lock_guard<std::mutex> lk(stores_mutex_);
            stores_.forget_address(wanted);
            continue;
        }

        bool write = false;
        bool code_changed = false;
        const uint16_t holder = copy.throttle_id();
        if (holder != 0 && holder != throttle_id) {
            write = true;
            send_move_slot(static_cast<uint8_t>(slot), static_cast<uint8_t>(slot));
        }
        if (code != 0) {
            if (copy.speed_steps() != code) {
                write = code_changed = true;
                copy.set_speed_steps(code);
            }
            if (copy.direction() != direction) {
                write = true;
                copy.set_direction(direction);
            }
        }
        if (!write && !in_use(copy)) {
            // Speed, direction and functions for a slot that is not in use
            // may be lost: the command station may purge the slot or give it
            // to another throttle. The NULL move takes it, as a throttle does
            // after OPC_LOCO_ADR; the slot is then read back.
            copy = take_slot(static_cast<uint8_t>(slot));
            if (copy.slot_address() != wanted) {
                std::lock_guard<std::mutex> lk(stores_mutex_);
                stores_.forget_address(wanted);
                continue;
            }
            // A move the command station refused: the slot write takes it.
            if (!in_use(copy)) write = true;
        }
        if (!write) return {slot, copy};
        return {slot, write_slot(copy, code_changed)};
    }
}

kvr_dccx_loconet::loco_slot kvr_dccx_loconet::request_loco_labelled(uint32_t address,
                                                                   uint16_t direction,
                                                                   uint8_t code) {
    return labelled("kvr_dccx_loconet::do_request_loco()",
                    [&] { return request_loco(address, direction, code); });
}

uint16_t kvr_dccx_loconet::do_request_loco(uint32_t address, uint16_t direction, uint8_t code) {
    return request_loco_labelled(address, direction, code).slot;
}

// The slot copy takes what was just queued, as it takes the echo later: a
// second click before that echo is back builds on the first.
void kvr_dccx_loconet::follow_sent(uint8_t opcode, uint16_t slot, uint8_t value) {
    std::lock_guard<std::mutex> lk(stores_mutex_);
    stores_.follow_loco_message(short_message(opcode, static_cast<uint8_t>(slot), value));
}

void kvr_dccx_loconet::drive_speed(uint16_t slot, uint8_t speed) {
    send_128step(static_cast<uint8_t>(slot), speed);
    follow_sent(OPC_LOCO_SPD, slot, speed);
}

void kvr_dccx_loconet::do_128step(uint16_t address, uint16_t direction, uint16_t speed) {
    labelled("kvr_dccx_loconet::do_128step()", [&] {
        const uint16_t slot = do_request_loco(address, direction, steps_128_code);
        // A data byte carries 7 bits: larger speeds would corrupt the message.
        drive_speed(slot, static_cast<uint8_t>(std::min<uint16_t>(speed, spd_max)));
    });
}

void kvr_dccx_loconet::do_28step(uint16_t address, uint16_t direction, int16_t speed) {
    labelled("kvr_dccx_loconet::do_28step()", [&] {
        const uint16_t slot = do_request_loco(address, direction, steps_28_code);
        const int32_t steps = std::clamp<int32_t>(speed, 0, speed_28_max);
        drive_speed(slot, static_cast<uint8_t>(steps * spd_max / speed_28_max));
    });
}

// The direction and function messages keep what they do not name from the
// slot's copy as the bus last showed it (the stores follow every speed,
// direction and function message), so a click changes only what it names.
void kvr_dccx_loconet::do_change_dir(uint16_t address, uint16_t direction) {
    labelled("kvr_dccx_loconet::do_change_dir()", [&] {
        const loco_slot loco = request_loco_labelled(address, 0, 0);
        // Nonzero is forward, which on the wire is DIRF bit 5 clear.
        const auto dirf = static_cast<uint8_t>((loco.data.dirf() & ~kvr_proto::dirf_reverse) |
                                               (direction ? 0 : kvr_proto::dirf_reverse));
        send_dirf(static_cast<uint8_t>(loco.slot), dirf);
        follow_sent(OPC_LOCO_DIRF, loco.slot, dirf);
    });
}

void kvr_dccx_loconet::do_function_grp1(uint16_t address, uint8_t functions) {
    labelled("kvr_dccx_loconet::do_function_grp1()", [&] {
        const loco_slot loco = request_loco_labelled(address, 0, 0);
        const auto dirf = static_cast<uint8_t>((loco.data.dirf() & ~(dirf_f0 | dirf_f1_f4)) | functions);
        send_dirf(static_cast<uint8_t>(loco.slot), dirf);
        follow_sent(OPC_LOCO_DIRF, loco.slot, dirf);
    });
}

void kvr_dccx_loconet::do_function_grp2(uint16_t address, uint8_t functions) {
    labelled("kvr_dccx_loconet::do_function_grp2()", [&] {
        const loco_slot loco = request_loco_labelled(address, 0, 0);
        const auto snd = static_cast<uint8_t>((loco.data.snd() & ~snd_f5_f8) | functions);
        send_snd(static_cast<uint8_t>(loco.slot), snd);
        follow_sent(OPC_LOCO_SND, loco.slot, snd);
    });
}

// ---------------------------------------------------------------------------
// Switches and power

void kvr_dccx_loconet::do_sw(uint16_t number, uint16_t position, bool on) {
    labelled("kvr_dccx_loconet::do_sw()", [&] {
        // Switch 0 would wrap to the wire address of switch 2048.
        if (number < 1 || number > switch_max) refuse(text_bad_switch);
        send_sw_req(number - 1u, position, on ? 1 : 0);
    });
}

// The acknowledge of an earlier request is forgotten first, so only the
// answer to this one counts.
kvr_loconet_msg kvr_dccx_loconet::do_sw_acknowledged(uint16_t number, uint16_t position, bool on) {
    return labelled("kvr_dccx_loconet::do_sw_acknowledged()", [&] {
        {
            std::lock_guard<std::mutex> lk(stores_mutex_);
            stores_.forget_ack(OPC_SW_ACK);
        }
        do_sw(number, position, on);
        for (;;) {
            if (auto ack = look_ack(OPC_SW_ACK)) return *ack;
            wait_unit(timing_.wait_unit_ms, {answer_kind::ack, OPC_SW_ACK});
        }
    });
}

int kvr_dccx_loconet::do_startup() {
    return labelled("kvr_dccx_loconet::do_startup()", [&] {
        send_startup();
        return 0;
    });
}

// Queues OPC_GPOFF and returns: true means queued, not yet on the bus. The
// command station answers nothing to it; whoever must know that it went
// out waits for the link's queue (busprobe-cli) or sees the power state on
// the bus (the window).
bool kvr_dccx_loconet::do_shutdown(uint8_t) {
    return labelled("kvr_dccx_loconet::do_shutdown()", [&] {
        send_shutdown();
        return true;
    });
}

// ---------------------------------------------------------------------------
// Programming

bool kvr_dccx_loconet::check_lack(uint8_t ack1) {
    if (ack1 == lack_accepted) return true;
    if (ack1 == lack_not_implemented) KVR_RAISE(text_not_implemented, 0, source_name);
    if (ack1 == lack_blind) KVR_RAISE(text_no_reply, code_no_reply, source_name);
    if (ack1 == lack_busy) return false;
    KVR_RAISE(text_lack_other, 0, source_name);
}

bool kvr_dccx_loconet::check_pstat(uint8_t pstat) {
    if (pstat & pstat_user_abort) KVR_RAISE(text_user_abort, 0, source_name);
    if (pstat & pstat_no_read_ack) KVR_RAISE(text_read_compare, 0, source_name);
    if (pstat & pstat_no_write_ack) return false;
    if (pstat & pstat_no_decoder) KVR_RAISE(text_no_decoder, 0, source_name);
    return true;
}

// Both answers are erased before the request is queued, so that an answer
// to an earlier task can never be taken for this one's.
void kvr_dccx_loconet::queue_task(const task_plan& plan) {
    {
        std::lock_guard<std::mutex> lk(stores_mutex_);
        stores_.forget_ack(task_opcode);
        stores_.forget_slot(task_slot);
    }
    plan.send();
}

// True when the task goes on to its final reply: accepted, or busy answers
// used up the budget. False when the budget ran out in waits. Waits and busy
// answers draw on one budget.
bool kvr_dccx_loconet::lack_phase(const task_plan& plan) {
    uint32_t left = lack_tries;
    queue_task(plan);
    for (;;) {
        if (auto ack = look_ack(task_opcode)) {
            if (check_lack((*ack)[kvr_proto::lack_ack1])) return true;
            if (--left == 0) return true;
            queue_task(plan);
            continue;
        }
        if (wait_unit(timing_.wait_unit_ms, {answer_kind::ack, task_opcode})) continue;
        if (--left == 0) return false;
    }
}

// The final reply; nothing when the plan waits for none (after its LACK
// phase) or gives up when a budget runs out.
std::optional<kvr_loconet_msg> kvr_dccx_loconet::run_task(const task_plan& plan) {
    for (;;) {
        if (lack_phase(plan)) {
            if (plan.reply_budget == 0) return std::nullopt;
            if (auto reply = await_slot(task_slot, plan.reply_budget, timing_.wait_unit_ms))
                return reply;
        }
        if (plan.exhaust == on_exhaust::give_up) return std::nullopt;
        if (plan.exhaust == on_exhaust::tone_restart) kvr_tone(retry_tone_hz, retry_tone_ms);
    }
}

uint16_t kvr_dccx_loconet::read_task(const task_plan& plan) {
    const kvr_loconet_msg reply = *run_task(plan);
    return check_pstat(reply.pgm_status()) ? reply.pgm_data() : no_value;
}

void kvr_dccx_loconet::write_task(const task_plan& plan, const char* fail_text) {
    const kvr_loconet_msg reply = *run_task(plan);
    if (!check_pstat(reply.pgm_status())) KVR_RAISE(fail_text, 0, source_name);
}

uint16_t kvr_dccx_loconet::do_paged_read(uint32_t cv) {
    return labelled("kvr_dccx_loconet::do_paged_read()", [&] {
        check_cv(cv);
        return read_task({[&] { send_paged_read(cv); }, read_reply_polls, on_exhaust::restart});
    });
}

uint16_t kvr_dccx_loconet::do_direct_read(uint32_t cv) {
    return labelled("kvr_dccx_loconet::do_direct_read()", [&] {
        check_cv(cv);
        return read_task({[&] { send_direct_read(cv); }, read_reply_polls, on_exhaust::restart});
    });
}

uint16_t kvr_dccx_loconet::do_register_read(uint32_t reg) {
    return labelled("kvr_dccx_loconet::do_register_read()", [&] {
        check_register(reg);
        return read_task({[&] { send_register_read(reg); }, read_reply_polls, on_exhaust::restart});
    });
}

void kvr_dccx_loconet::do_paged_write(uint32_t cv, uint8_t value) {
    labelled("kvr_dccx_loconet::do_paged_write()", [&] {
        check_cv(cv);
        write_task({[&] { send_paged_write(cv, value); }, write_reply_polls, on_exhaust::restart},
                   text_fail);
    });
}

void kvr_dccx_loconet::do_register_write(uint32_t reg, uint8_t value) {
    labelled("kvr_dccx_loconet::do_register_write()", [&] {
        check_register(reg);
        write_task(
            {[&] { send_register_write(reg, value); }, write_reply_polls, on_exhaust::restart},
            text_fail);
    });
}

void kvr_dccx_loconet::do_direct_write(uint32_t cv, uint8_t value) {
    labelled("kvr_dccx_loconet::do_direct_write()", [&] {
        check_cv(cv);
        write_task(
            {[&] { send_direct_write(cv, value); }, write_reply_polls, on_exhaust::tone_restart},
            text_fail_colon);
    });
}

bool kvr_dccx_loconet::do_direct_bit_write(uint32_t cv, uint8_t bit_value, uint8_t bit_number) {
    return labelled("kvr_dccx_loconet::do_direct_bit_write()", [&] {
        check_cv(cv);
        check_bit_number(bit_number);
        const std::optional<kvr_loconet_msg> reply =
            run_task({[&] { send_direct_mode_bit_write(cv, bit_value, bit_number); },
                      write_reply_polls, on_exhaust::give_up});
        if (!reply) return false;
        if (!check_pstat(reply->pgm_status())) KVR_RAISE(text_fail_colon, 0, source_name);
        return true;
    });
}

bool kvr_dccx_loconet::do_direct_bit_verify(uint32_t cv, uint8_t bit_value, uint8_t bit_number) {
    return labelled("kvr_dccx_loconet::do_direct_bit_verify()", [&] {
        check_cv(cv);
        check_bit_number(bit_number);
        const kvr_loconet_msg reply =
            *run_task({[&] { send_direct_bit_verify(cv, bit_value, bit_number); },
                       read_reply_polls, on_exhaust::restart});
        return check_pstat(reply.pgm_status());
    });
}

uint16_t kvr_dccx_loconet::do_direct_readex(uint32_t cv) {
    return labelled("kvr_dccx_loconet::do_direct_readex()", [&] {
        check_cv(cv);
        return value_from_bits([&](uint8_t bit) { return do_direct_bit_verify(cv, 1, bit); });
    });
}

void kvr_dccx_loconet::do_ops_write(uint32_t address, uint32_t cv, uint8_t value, bool feedback) {
    labelled("kvr_dccx_loconet::do_ops_write()", [&] {
        check_ops_loco(address);
        check_cv(cv);
        auto send = [&] { send_ops_write(address, cv, value, feedback); };
        if (feedback) {
            write_task({send, write_reply_polls, on_exhaust::restart}, text_fail_colon);
            return;
        }
        // Without feedback the task ends with its LACK; "NO REPLY" (task
        // accepted blind) is the expected answer there, not a failure.
        try {
            run_task({send, 0, on_exhaust::restart});
        } catch (const kvr_exception& e) {
            if (e.code != code_no_reply) throw;
        }
    });
}

uint16_t kvr_dccx_loconet::do_ops_read(uint32_t address, uint32_t cv) {
    return labelled("kvr_dccx_loconet::do_ops_read()", [&] {
        check_ops_loco(address);
        check_cv(cv);
        return read_task(
            {[&] { send_ops_read(address, cv); }, read_reply_polls, on_exhaust::restart});
    });
}

bool kvr_dccx_loconet::do_ops_bit_verify(uint32_t address, uint32_t cv, uint8_t bit_value,
                                         uint8_t bit_number) {
    return labelled("kvr_dccx_loconet::do_ops_bit_verify()", [&] {
        check_ops_loco(address);
        check_cv(cv);
        check_bit_number(bit_number);
        const kvr_loconet_msg reply =
            *run_task({[&] { send_ops_bit_verify(address, cv, bit_value, bit_number); },
                       read_reply_polls, on_exhaust::restart});
        return check_pstat(reply.pgm_status());
    });
}

uint16_t kvr_dccx_loconet::do_ops_readex(uint32_t address, uint32_t cv) {
    return labelled("kvr_dccx_loconet::do_ops_readex()", [&] {
        check_ops_loco(address);
        check_cv(cv);
        return value_from_bits(
            [&](uint8_t bit) { return do_ops_bit_verify(address, cv, 1, bit); });
    });
}

// Direct mode first sets the extended-address enable bit of CV 29 and waits
// for that task to end, so that its late answers can never be taken for the
// CV 17 write's. A bit write that fails or goes unanswered stops here: a
// late answer to it could still be taken for the next task's.
void kvr_dccx_loconet::do_write_ex_address(uint32_t mode, uint8_t cv17, uint8_t cv18) {
    labelled("kvr_dccx_loconet::do_write_ex_address()", [&] {
        switch (mode) {
        case 0:
            do_paged_write(cv_ex_address_high, cv17);
            do_paged_write(cv_ex_address_low, cv18);
            break;
        case 1:
            if (!do_direct_bit_write(cv_config, 1, cv29_ex_address_bit))
                refuse(text_cv29_silent);
            do_direct_write(cv_ex_address_high, cv17);
            do_direct_write(cv_ex_address_low, cv18);
            break;
        case 2:
            refuse(text_ops_mode);
        default:
            break;
        }
    });
}
