#include "station/kvr_reply_stores.h"

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

}  // namespace

bool kvr_reply_stores::file(const kvr_loconet_msg& msg) {
    if (msg.opcode() == OPC_SL_RD_DATA && msg.length() >= 14) {
        const uint8_t slot = msg[2];
        slots_[slot] = msg;
        if (slot != kvr_slot_fast_clock && slot != kvr_slot_programmer) addresses_[msg.slot_address()] = msg;
        return true;
    }
    if (msg.opcode() == OPC_LONG_ACK) {
        acks_[static_cast<uint8_t>(msg[1] + 128)] = msg;
        return true;
    }
    if (msg.opcode() == OPC_IMM_PACKET) {
        packet_echo_ = msg;
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

void kvr_reply_stores::clear() {
    slots_.clear();
    acks_.clear();
    addresses_.clear();
    packet_echo_.reset();
}
