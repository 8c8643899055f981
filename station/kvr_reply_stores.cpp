#include "station/kvr_reply_stores.h"

#include <algorithm>

#include "loconet/kvr_device_msgs.h"
#include "loconet/kvr_loconet_proto.h"

namespace {

// The slot field that a throttle message replaces, 0 for other messages.
int followed_field(const kvr_loconet_msg& msg) {
    if (msg.length() != 4) return 0;
    switch (msg.opcode()) {
    case OPC_LOCO_SPD: return kvr_proto::slot_spd;
    case OPC_LOCO_DIRF: return kvr_proto::slot_dirf;
    case OPC_LOCO_SND: return kvr_proto::slot_snd;
    default: return 0;
    }
}

void set_field(kvr_loconet_msg& copy, int field, uint8_t value) {
    copy[field] = value;
    copy.renew_checksum();
}

// Slots 121-127 belong to the command station (123 the fast clock, 124 the
// programmer, 126/127 its option switches): their bytes carry no loco
// address. Filed by address, an option-switch slot whose bytes happen to
// read as loco 3 would take the stop meant for loco 3.
bool is_system_slot(uint8_t slot) { return slot > 120 && slot <= 127; }

// SV2 replies and LNCV replies: what a device says (its own requests and
// those of other programs are not answers).
bool is_device_answer(const kvr_loconet_msg& msg) {
    if (msg.opcode() != OPC_PEER_XFER) return false;
    if (auto sv = kvr_parse_sv2(msg)) return kvr_sv2_is_reply(sv->cmd);
    if (auto lncv = kvr_parse_lncv(msg)) return lncv->cmd == kvr_lncv::read_reply;
    return false;
}

}  // namespace

bool kvr_reply_stores::file(const kvr_loconet_msg& msg) {
    if (msg.opcode() == OPC_SL_RD_DATA && msg.length() >= 14) {
        const uint8_t slot = msg[2];
        slots_[slot] = msg;
        if (!is_system_slot(slot)) addresses_[msg.slot_address()] = msg;
        if (msg[kvr_proto::slot_trk] & kvr_proto::trk_offers_expanded) expanded_offered_ = true;
        return true;
    }
    if (msg.opcode() == OPC_EXP_RD_SL_DATA && msg.length() == kvr_proto::exp_slot_bytes &&
        msg[1] == kvr_proto::exp_slot_marker) {
        const auto slot = static_cast<uint16_t>(kvr_proto::exp_slot_join(msg[kvr_proto::exp_slot_hi], msg[kvr_proto::exp_slot_lo]));
        exp_slots_[slot] = msg;
        if (kvr_is_loco_slot(slot))
            exp_addresses_[kvr_proto::decode_loco_address(msg[kvr_proto::exp_adr2], msg[kvr_proto::exp_adr])] = msg;
        if (msg[kvr_proto::exp_trk] & kvr_proto::trk_offers_expanded) expanded_offered_ = true;
        return true;
    }
    if (msg.opcode() == OPC_LONG_ACK) {
        acks_[static_cast<uint8_t>(msg[1] + 128)] = msg;
        return true;
    }
    if (msg.opcode() == OPC_IMM_PACKET && !kvr_parse_lncv(msg)) {
        packet_echo_ = msg;
        return true;
    }
    if (is_device_answer(msg)) {
        device_log_.push_back(msg);
        if (device_log_.size() > device_log_size) device_log_.pop_front();
        ++device_next_;
        return true;
    }
    follow_loco_message(msg);
    return false;
}

std::optional<kvr_loconet_msg> kvr_reply_stores::slot_data(uint8_t slot) const {
    auto it = slots_.find(slot);
    if (it == slots_.end()) return std::nullopt;
    return it->second;
}

void kvr_reply_stores::forget_slot(uint8_t slot) { slots_.erase(slot); }

std::optional<kvr_loconet_msg> kvr_reply_stores::ack_for(uint8_t opcode) const {
    auto it = acks_.find(opcode);
    if (it == acks_.end()) return std::nullopt;
    return it->second;
}

void kvr_reply_stores::forget_ack(uint8_t opcode) { acks_.erase(opcode); }

uint16_t kvr_reply_stores::slot_of_address(uint16_t address) const {
    auto it = addresses_.find(address);
    if (it == addresses_.end()) return 0xFFFF;
    return it->second[2];
}

std::optional<kvr_loconet_msg> kvr_reply_stores::address_data(uint16_t address) const {
    auto it = addresses_.find(address);
    if (it == addresses_.end()) return std::nullopt;
    return it->second;
}

void kvr_reply_stores::forget_address(uint16_t address) { addresses_.erase(address); }

std::optional<kvr_loconet_msg> kvr_reply_stores::packet_echo() const { return packet_echo_; }

void kvr_reply_stores::forget_packet_echo() { packet_echo_.reset(); }

void kvr_reply_stores::follow_loco_message(const kvr_loconet_msg& msg) {
    const int field = followed_field(msg);
    if (field == 0) return;
    const uint8_t slot = msg[1];
    // The system slots carry no locomotive.
    if (slot == kvr_slot_fast_clock || slot == kvr_slot_programmer) return;
    // The command station stores the data byte whole (7 bits).
    const uint8_t value = msg[2];
    if (auto it = slots_.find(slot); it != slots_.end()) set_field(it->second, field, value);
    for (auto& [address, copy] : addresses_)
        if (copy[2] == slot) set_field(copy, field, value);
}

std::vector<kvr_loconet_msg> kvr_reply_stores::device_answers_since(uint64_t mark) const {
    std::vector<kvr_loconet_msg> out;
    const uint64_t first_kept = device_next_ - device_log_.size();
    for (uint64_t n = std::max(mark, first_kept); n < device_next_; ++n)
        out.push_back(device_log_[static_cast<std::size_t>(n - first_kept)]);
    return out;
}

std::optional<kvr_loconet_msg> kvr_reply_stores::exp_slot_data(uint16_t slot) const {
    auto it = exp_slots_.find(slot);
    if (it == exp_slots_.end()) return std::nullopt;
    return it->second;
}

void kvr_reply_stores::forget_exp_slot(uint16_t slot) { exp_slots_.erase(slot); }

std::optional<kvr_loconet_msg> kvr_reply_stores::exp_address_data(uint16_t address) const {
    auto it = exp_addresses_.find(address);
    if (it == exp_addresses_.end()) return std::nullopt;
    return it->second;
}

void kvr_reply_stores::forget_exp_address(uint16_t address) { exp_addresses_.erase(address); }

void kvr_reply_stores::clear() {
    exp_slots_.clear();
    exp_addresses_.clear();
    expanded_offered_ = false;
    device_log_.clear();
    slots_.clear();
    acks_.clear();
    addresses_.clear();
    packet_echo_.reset();
}
