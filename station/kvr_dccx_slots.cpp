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

void check_loco_slot(uint8_t slot) {
    if (!kvr_is_loco_slot(slot)) KVR_RAISE(kvr_dccx_loconet::text_bad_slot, 0, source_name);
}

}  // namespace

// True when the slot's data came. The older entry is forgotten first, so
// only an answer given after the request counts.
bool kvr_dccx_loconet::read_one_slot(uint8_t slot) {
    for (int attempt = 0; attempt < slot_read_tries; ++attempt) {
        with_stores([&](kvr_reply_stores& stores) { stores.forget_slot(slot); });
        send_req_sl_data(slot);
        for (;;) {
            if (look_slot(slot)) return true;
            if (!wait_unit(slot_read_wait_ms, {answer_kind::slot, slot})) break;
        }
        if (look_slot(slot)) return true;
    }
    return false;
}

kvr_dccx_loconet::slot_read_result kvr_dccx_loconet::do_read_all_slots(uint8_t first, uint8_t last,
                                                                       const slot_read_progress& progress) {
    slot_read_result result;
    run_labelled("kvr_dccx_loconet::do_read_all_slots()", [&] {
        for (unsigned slot = first; slot <= last && slot <= 0x7F; ++slot) {
            // A command station that answers at once leaves no wait in which
            // a cancel would be seen.
            if (abort_ && abort_->is_set()) KVR_RAISE(text_cancel, 0, source_name);
            const bool answered = read_one_slot(static_cast<uint8_t>(slot));
            ++result.asked;
            if (answered) ++result.answered;
            if (progress) progress(static_cast<uint8_t>(slot), answered);
        }
    });
    return result;
}

// STAT as the slot store last showed it, read from the command station when
// it holds nothing for the slot.
uint8_t kvr_dccx_loconet::slot_stat_of(uint8_t slot) {
    if (std::optional<kvr_loconet_msg> data = look_slot(slot)) return (*data)[slot_stat];
    return fetch_slot_data(slot)[slot_stat];
}

// OPC_SLOT_STAT1 is not answered on LocoNet; the monitor shows its echo.
// The slot's copy, which still says in use, is forgotten: the throttle that
// drives the loco next reads the slot afresh and takes it again.
void kvr_dccx_loconet::do_release_slot(uint8_t slot) {
    run_labelled("kvr_dccx_loconet::do_release_slot()", [&] {
        check_loco_slot(slot);
        const uint8_t stat = slot_stat_of(slot);
        const auto common = static_cast<uint8_t>((stat & ~stat_usage_mask) | usage_common);
        send_labelled("kvr_dccx_loconet::send_slot_stat1()",
                      kvr_loconet_msg::with_checksum({OPC_SLOT_STAT1, slot, common}));
        with_stores([&](kvr_reply_stores& stores) { stores.forget_slot(slot); });
    });
}

// LocoNet PE opcode summary: a move is answered with the slot data, or
// refused with OPC_LONG_ACK for OPC_MOVE_SLOTS, code 0.
void kvr_dccx_loconet::do_dispatch_slot(uint8_t slot) {
    run_labelled("kvr_dccx_loconet::do_dispatch_slot()", [&] {
        check_loco_slot(slot);
        with_stores([&](kvr_reply_stores& stores) {
            stores.forget_slot(slot);
            stores.forget_ack(OPC_MOVE_SLOTS);
        });
        send_move_slot(slot, 0);
        for (uint32_t left = lack_tries;;) {
            if (look_slot(slot)) return;
            if (std::optional<kvr_loconet_msg> ack = look_ack(OPC_MOVE_SLOTS)) {
                if ((*ack)[lack_ack1] == ack_refused) KVR_RAISE(text_dispatch_refused, 0, source_name);
                return;
            }
            if (wait_unit(timing_.wait_unit_ms, {answer_kind::slot, slot})) continue;
            if (--left == 0) KVR_RAISE(text_dispatch_silent, 0, source_name);
        }
    });
}
