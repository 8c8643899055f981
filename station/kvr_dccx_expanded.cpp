// Expanded slots: a command station that offers them (TRK bit 6) keeps up
// to 400 locos in slots up to 432 and F0..F28 in the slot itself.
//   read loco 3:        BE 00 03 42           -> E6 15 00 01 33 03 00 47 ...
//   take slot 130:      D4 39 02 01 02 ..     -> E6 15 01 02 33 ...   (null move)
//   speed 10, forward:  D5 01 02 ID 0A ..     ID = the slot's byte 18
//   F12 on:             D5 19 02 ID 20 ..     F7..F13 in bits 0..6
//   release:            D4 39 02 60 13 ..     status common, 128 steps
//   read slot 130:      BB 02 41 ..           -> E6 ...

#include "foundation/kvr_exception.h"
#include "station/kvr_dccx_loconet.h"

using namespace kvr_proto;

namespace {

constexpr const char* source_name = "kvr_dccx_loconet";
constexpr const char* text_bad_loco = "ERR:LOCO ADDRESS MUST BE 0 TO 16383";

// Requests of an expanded read: each waited for `lack_tries` units.
constexpr int exp_read_rounds = 2;

kvr_loconet_msg six(uint8_t opcode, uint8_t b1, uint8_t b2, uint8_t b3, uint8_t b4) {
    return kvr_loconet_msg::with_checksum({opcode, b1, b2, b3, b4});
}

}  // namespace

const char* kvr_slot_choice_name(kvr_slot_choice choice) {
    switch (choice) {
    case kvr_slot_choice::classic: return "classic";
    case kvr_slot_choice::expanded: return "expanded";
    case kvr_slot_choice::automatic: break;
    }
    return "auto";
}

std::optional<kvr_slot_choice> kvr_parse_slot_choice(const std::string& word) {
    if (word == "auto") return kvr_slot_choice::automatic;
    if (word == "classic") return kvr_slot_choice::classic;
    if (word == "expanded") return kvr_slot_choice::expanded;
    return std::nullopt;
}

kvr_loconet_msg kvr_dccx_loconet::exp_speed_message(uint16_t slot, uint8_t id, uint8_t spd, bool forward) {
    return six(OPC_EXP_SEND_FUNC, static_cast<uint8_t>((forward ? d5_speed_fwd : d5_speed_rev) | (exp_slot_high(slot) & 3)),
               exp_slot_low(slot), static_cast<uint8_t>(id & 0x7F), static_cast<uint8_t>(spd & 0x7F));
}

kvr_loconet_msg kvr_dccx_loconet::exp_function_message(uint16_t slot, uint8_t id, uint8_t group, uint8_t x) {
    return six(OPC_EXP_SEND_FUNC, static_cast<uint8_t>((group & d5_group_mask) | (exp_slot_high(slot) & 3)),
               exp_slot_low(slot), static_cast<uint8_t>(id & 0x7F), static_cast<uint8_t>(x & 0x7F));
}

kvr_loconet_msg kvr_dccx_loconet::exp_move_message(uint16_t src, uint16_t dst) {
    return six(OPC_LOCO_FUNC_EX, static_cast<uint8_t>(d4x_expanded | (exp_slot_high(src) & 3)), exp_slot_low(src),
               static_cast<uint8_t>(d4x_move | (exp_slot_high(dst) & 3)), exp_slot_low(dst));
}

kvr_loconet_msg kvr_dccx_loconet::exp_status_message(uint16_t slot, uint8_t stat) {
    return six(OPC_LOCO_FUNC_EX, static_cast<uint8_t>(d4x_expanded | (exp_slot_high(slot) & 3)), exp_slot_low(slot),
               d4x_status, static_cast<uint8_t>(stat & 0x7F));
}

kvr_loconet_msg kvr_dccx_loconet::exp_slot_request(uint16_t slot) {
    return kvr_loconet_msg::with_checksum(
        {OPC_RQ_SL_DATA, exp_slot_low(slot), static_cast<uint8_t>(0x40 | exp_slot_high(slot))});
}

bool kvr_dccx_loconet::expanded_offered() {
    return with_stores([](const kvr_reply_stores& st) { return st.expanded_offered(); });
}

void kvr_dccx_loconet::send_expanded(const kvr_loconet_msg& msg) {
    send_labelled("kvr_dccx_loconet::send_expanded()", msg);
}

std::optional<kvr_loconet_msg> kvr_dccx_loconet::look_exp_slot(uint16_t slot) const {
    std::lock_guard<std::mutex> lk(stores_mutex_);
    return stores_.exp_slot_data(slot);
}

// Asks for the expanded slot's data and waits for it; twice asked, then
// the wait goes on until the data come or the user cancels, as for a
// classic slot.
kvr_loconet_msg kvr_dccx_loconet::fetch_exp_slot(uint16_t slot) {
    for (int round = 0;; ++round) {
        with_stores([&](kvr_reply_stores& st) { st.forget_exp_slot(slot); });
        send_expanded(exp_slot_request(slot));
        for (uint32_t left = write_reply_polls; round > 0 || left > 0;) {
            if (std::optional<kvr_loconet_msg> data = look_exp_slot(slot)) return *data;
            if (wait_unit(timing_.slot_wait_ms, {answer_kind::exp_slot, slot})) continue;
            if (round == 0) --left;
        }
    }
}

kvr_loconet_msg kvr_dccx_loconet::do_read_loco_expanded(uint16_t address) {
    kvr_loconet_msg out;
    run_labelled("kvr_dccx_loconet::do_read_loco_expanded()", [&] { out = [&] {
        if (address > loco_address_max) KVR_RAISE(text_bad_loco, 0, source_name);
        const byte_pair adr = encode_loco_address(address);
        for (int round = 0; round < exp_read_rounds; ++round) {
            with_stores([&](kvr_reply_stores& st) {
                st.forget_exp_address(address);
                st.forget_ack(OPC_EXP_REQ_SLOT);
            });
            send_expanded(kvr_loconet_msg::with_checksum({OPC_EXP_REQ_SLOT, adr.high, adr.low}));
            const answer wanted{answer_kind::exp_address, address, OPC_EXP_REQ_SLOT};
            for (uint32_t left = lack_tries; left > 0;) {
                if (std::optional<kvr_loconet_msg> data =
                        with_stores([&](const kvr_reply_stores& st) { return st.exp_address_data(address); }))
                    return *data;
                // B4 3E 00: no slot for it, or no expanded slots at all.
                if (look_ack(OPC_EXP_REQ_SLOT)) KVR_RAISE(text_no_expanded, 0, source_name);
                if (wait_unit(timing_.wait_unit_ms, wanted)) continue;
                --left;
            }
        }
        KVR_RAISE(text_no_expanded, 0, source_name);
    }(); });
    return out;
}

// As take_slot: the move's own answer is the read-back; a request follows
// only when none came.
kvr_loconet_msg kvr_dccx_loconet::do_take_slot_expanded(uint16_t slot) {
    kvr_loconet_msg out;
    run_labelled("kvr_dccx_loconet::do_take_slot_expanded()", [&] { out = [&] {
        with_stores([&](kvr_reply_stores& st) {
            st.forget_exp_slot(slot);
            st.forget_ack(OPC_LOCO_FUNC_EX);
        });
        send_expanded(exp_move_message(slot, slot));
        for (uint32_t unit = 0; unit < move_reply_polls && !look_ack(OPC_LOCO_FUNC_EX); ++unit) {
            if (std::optional<kvr_loconet_msg> data = look_exp_slot(slot)) return *data;
            wait_unit(timing_.slot_wait_ms, {answer_kind::exp_slot, slot});
        }
        if (std::optional<kvr_loconet_msg> data = look_exp_slot(slot)) return *data;
        return fetch_exp_slot(slot);
    }(); });
    return out;
}

kvr_loconet_msg kvr_dccx_loconet::do_write_slot_expanded(const kvr_loconet_msg& data) {
    kvr_loconet_msg out;
    run_labelled("kvr_dccx_loconet::do_write_slot_expanded()", [&] { out = [&] {
        kvr_loconet_msg copy = data;
        copy.set_opcode(OPC_EXP_WR_SL_DATA);
        copy.renew_checksum();
        send_expanded(copy);
        return fetch_exp_slot(static_cast<uint16_t>(exp_slot_join(copy[exp_slot_hi], copy[exp_slot_lo])));
    }(); });
    return out;
}

kvr_loconet_msg kvr_dccx_loconet::do_read_slot_expanded(uint16_t slot) {
    kvr_loconet_msg out;
    run_labelled("kvr_dccx_loconet::do_read_slot_expanded()", [&] { out = fetch_exp_slot(slot); });
    return out;
}
