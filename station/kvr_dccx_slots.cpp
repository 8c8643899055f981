// The command station's slot table: reading every slot, releasing and
// dispatching one.
//   read slot 5:        BB 05 00 41  -> E7 0E 05 ... (slot data)
//   release slot 5:     B5 05 13 58  (STAT 0x33 in use -> 0x13 common)
//   dispatch slot 5:    BA 05 00 40  -> E7 0E 05 ... or B4 3A 00 (refused)

#include <mutex>

#include "foundation/kvr_exception.h"
#include "station/kvr_dccx_loconet.h"

using namespace kvr_proto;

namespace {

constexpr const char* source_name = "kvr_dccx_loconet";

// Tries of one slot in a read of all: a lost request or answer costs one
// more, a slot the command station does not answer no more than that.
constexpr int slot_read_tries = 2;

// The cancel text every operation ends with when the abort event is set.
constexpr const char* text_cancel = "CANCEL";

// The classic loco slots only: release and dispatch go by OPC_SLOT_STAT1
// and OPC_MOVE_SLOTS, whose one slot byte cannot name an expanded slot.
// The loco slots only the expanded messages reach (128..432).
bool expanded_only(uint16_t slot) { return slot > 127 && kvr_is_loco_slot(slot); }

void check_loco_slot(uint16_t slot) {
    if (slot < kvr_slot_loco_first || slot > kvr_slot_loco_last) KVR_RAISE(kvr_dccx_loconet::text_bad_slot, 0, source_name);
}

}  // namespace

// The slot's data, a refusal (OPC_LONG_ACK for OPC_RQ_SL_DATA), or nothing
// after two requests. Older answers are forgotten first, so only one given
// after the request counts.
kvr_dccx_loconet::slot_answer kvr_dccx_loconet::read_one_slot(uint16_t slot, bool expanded) {
    for (int attempt = 0; attempt < slot_read_tries; ++attempt) {
        with_stores([&](kvr_reply_stores& stores) {
            if (expanded) stores.forget_exp_slot(slot);
            else stores.forget_slot(static_cast<uint8_t>(slot));
            stores.forget_ack(OPC_RQ_SL_DATA);
            stores.forget_ack(OPC_EXP_RD_SL_DATA);
        });
        if (expanded) send_expanded(exp_slot_request(slot));
        else send_req_sl_data(static_cast<uint8_t>(slot));
        const answer wanted = expanded ? answer{answer_kind::exp_slot, slot, OPC_RQ_SL_DATA}
                                       : answer{answer_kind::slot_or_ack, slot, OPC_RQ_SL_DATA};
        while (!answer_present(wanted))
            if (!wait_unit(slot_read_wait_ms, wanted)) break;
        if (expanded ? look_exp_slot(slot).has_value() : look_slot(static_cast<uint8_t>(slot)).has_value())
            return slot_answer::data;
        // Refused as E7 (B4 3B 00) or, for an expanded slot the station
        // lacks, as E6 (B4 66 00).
        if (look_ack(OPC_RQ_SL_DATA) || (expanded && look_ack(OPC_EXP_RD_SL_DATA))) return slot_answer::refused;
    }
    return slot_answer::silent;
}

kvr_dccx_loconet::slot_read_result kvr_dccx_loconet::do_read_all_slots(uint16_t first, uint16_t last,
                                                                       const slot_read_progress& progress,
                                                                       bool expanded) {
    slot_read_result result;
    const unsigned reach = expanded ? kvr_slot_expanded_last : 0x7F;
    run_labelled("kvr_dccx_loconet::do_read_all_slots()", [&] {
        for (unsigned slot = first; slot <= last && slot <= reach; ++slot) {
            // A command station that answers at once leaves no wait in which
            // a cancel would be seen.
            if (abort_ && abort_->is_set()) KVR_RAISE(text_cancel, 0, source_name);
            const slot_answer a = read_one_slot(static_cast<uint16_t>(slot), expanded);
            ++result.asked;
            if (a == slot_answer::data) ++result.answered;
            if (a == slot_answer::refused) ++result.refused;
            if (progress) progress(static_cast<uint16_t>(slot), a);
            // Nothing at all from the first slots: no command station
            // answers here, and asking the rest would only take longer.
            if (result.answered + result.refused == 0 && result.asked >= slot_read_silent_stop) {
                result.station_silent = true;
                return;
            }
        }
    });
    return result;
}

kvr_dccx_loconet::slot_read_result kvr_dccx_loconet::do_read_expanded_slots(const slot_read_progress& progress) {
    slot_read_result result;
    run_labelled("kvr_dccx_loconet::do_read_expanded_slots()", [&] {
        for (unsigned slot = 128; slot <= kvr_slot_expanded_last; ++slot) {
            if (!kvr_is_loco_slot(slot)) continue;
            if (abort_ && abort_->is_set()) KVR_RAISE(text_cancel, 0, source_name);
            const slot_answer a = read_one_slot(static_cast<uint16_t>(slot), true);
            ++result.asked;
            if (a == slot_answer::data) ++result.answered;
            if (a == slot_answer::refused) ++result.refused;
            if (progress) progress(static_cast<uint16_t>(slot), a);
            if (a != slot_answer::data) return;
        }
    });
    return result;
}

kvr_dccx_loconet::loco_slots_read_result kvr_dccx_loconet::do_read_loco_slots(
    kvr_slot_choice choice, const slot_read_progress& progress, const slot_read_progress& expanded_progress) {
    loco_slots_read_result r;
    r.classic = do_read_all_slots(kvr_slot_loco_first, kvr_slot_loco_last, progress);
    if (r.classic.station_silent || choice == kvr_slot_choice::classic) return r;
    if (choice == kvr_slot_choice::automatic && !expanded_offered()) return r;
    r.expanded_read = true;
    const auto add = [](slot_read_result& to, const slot_read_result& from) {
        to.asked += from.asked;
        to.answered += from.answered;
        to.refused += from.refused;
    };
    add(r.expanded, do_read_all_slots(kvr_slot_loco_first, 120, expanded_progress, true));
    add(r.expanded, do_read_expanded_slots(expanded_progress));
    return r;
}

// STAT as the slot store last showed it, read from the command station when
// it holds nothing for the slot; a slot it does not answer for fails.
uint8_t kvr_dccx_loconet::slot_stat_of(uint8_t slot) {
    if (std::optional<kvr_loconet_msg> data = look_slot(slot)) return (*data)[slot_stat];
    if (std::optional<kvr_loconet_msg> data = ask_slot(slot)) return (*data)[slot_stat];
    KVR_RAISE(text_slot_silent, 0, source_name);
}

// OPC_SLOT_STAT1 is not answered on LocoNet; the monitor shows its echo.
// The slot's copy, which still says in use, is forgotten: the throttle that
// drives the loco next reads the slot afresh and takes it again.
// An expanded slot's STAT as last seen, else asked for twice (BB SL 4x).
uint8_t kvr_dccx_loconet::exp_stat_of(uint16_t slot) {
    if (std::optional<kvr_loconet_msg> data = look_exp_slot(slot)) return (*data)[exp_stat];
    for (int round = 0; round < 2; ++round) {
        with_stores([&](kvr_reply_stores& st) { st.forget_exp_slot(slot); });
        send_expanded(exp_slot_request(slot));
        for (uint32_t left = write_reply_polls; left > 0;) {
            if (std::optional<kvr_loconet_msg> data = look_exp_slot(slot)) return (*data)[exp_stat];
            if (!wait_unit(timing_.slot_wait_ms, {answer_kind::exp_slot, slot})) --left;
        }
    }
    KVR_RAISE(text_slot_silent, 0, source_name);
}

// An expanded slot (128..432) goes by D4: status (D4 38|hi SL 60 ST), and
// the dispatch move to slot 0 (D4 38|hi SL 00 00), answered by its E6 or
// refused (OPC_LONG_ACK for D4).
void kvr_dccx_loconet::dispatch_expanded(uint16_t slot, const char*& failure) {
    const uint8_t stat = exp_stat_of(slot);
    with_stores([&](kvr_reply_stores& st) {
        st.forget_exp_slot(slot);
        st.forget_ack(OPC_LOCO_FUNC_EX);
    });
    send_expanded(exp_status_message(slot, static_cast<uint8_t>((stat & ~stat_usage_mask) | usage_common)));
    send_expanded(exp_move_message(slot, 0));
    const answer wanted{answer_kind::exp_slot, slot, OPC_LOCO_FUNC_EX};
    for (uint32_t left = lack_tries;;) {
        if (look_exp_slot(slot)) return;
        if (std::optional<kvr_loconet_msg> ack = look_ack(OPC_LOCO_FUNC_EX)) {
            if ((*ack)[lack_ack1] == ack_refused) break;
            return;
        }
        if (wait_unit(timing_.wait_unit_ms, wanted)) continue;
        if (--left == 0) {
            failure = text_dispatch_silent;
            send_expanded(exp_status_message(slot, stat));
            return;
        }
    }
    failure = text_dispatch_refused;
    send_expanded(exp_status_message(slot, stat));
}

void kvr_dccx_loconet::do_release_slot(uint16_t number) {
    run_labelled("kvr_dccx_loconet::do_release_slot()", [&] {
        if (expanded_only(number)) {
            const uint8_t stat = exp_stat_of(number);
            send_expanded(exp_status_message(number, static_cast<uint8_t>((stat & ~stat_usage_mask) | usage_common)));
            with_stores([&](kvr_reply_stores& stores) { stores.forget_exp_slot(number); });
            return;
        }
        check_loco_slot(number);
        const auto slot = static_cast<uint8_t>(number);
        const uint8_t stat = slot_stat_of(slot);
        send_slot_stat1(slot, static_cast<uint8_t>((stat & ~stat_usage_mask) | usage_common));
        with_stores([&](kvr_reply_stores& stores) { stores.forget_slot(slot); });
    });
}

// LocoNet PE opcode summary: a move is answered with the slot data, or
// refused with OPC_LONG_ACK for OPC_MOVE_SLOTS, code 0. Nothing when the
// move was taken, else the failure's text.
const char* kvr_dccx_loconet::await_dispatch(uint8_t slot) {
    const answer wanted{answer_kind::slot_or_ack, slot, OPC_MOVE_SLOTS};
    for (uint32_t left = lack_tries;;) {
        if (look_slot(slot)) return nullptr;
        if (std::optional<kvr_loconet_msg> ack = look_ack(OPC_MOVE_SLOTS))
            return (*ack)[lack_ack1] == ack_refused ? text_dispatch_refused : nullptr;
        if (wait_unit(timing_.wait_unit_ms, wanted)) continue;
        if (--left == 0) return text_dispatch_silent;
    }
}

// The move alone leaves the slot's status as it was (JMRI SlotManager): a
// slot still in use would go to the next throttle marked as ours. So the
// status goes common first, then the move; when the move fails the status
// written is taken back, and the slot shows what it showed before. (Not
// after a cancel: the user gave the wait up, not the slot, and the move
// may still be carried out.)
void kvr_dccx_loconet::do_dispatch_slot(uint16_t number) {
    static constexpr const char* label = "kvr_dccx_loconet::do_dispatch_slot()";
    const char* failure = nullptr;
    run_labelled(label, [&] {
        if (expanded_only(number)) {
            dispatch_expanded(number, failure);
            return;
        }
        check_loco_slot(number);
        const auto slot = static_cast<uint8_t>(number);
        const uint8_t stat = slot_stat_of(slot);
        with_stores([&](kvr_reply_stores& stores) {
            stores.forget_slot(slot);
            stores.forget_ack(OPC_MOVE_SLOTS);
        });
        send_slot_stat1(slot, static_cast<uint8_t>((stat & ~stat_usage_mask) | usage_common));
        send_move_slot(slot, 0);
        failure = await_dispatch(slot);
        if (failure) send_slot_stat1(slot, stat);
    });
    // Raised outside the operation that queued the status put back: an
    // operation that ends by an exception takes back what it has not sent.
    if (failure) run_labelled(label, [&] { KVR_RAISE(failure, 0, source_name); });
}
