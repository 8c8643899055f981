#include "link/kvr_loconet_port.h"

#include "loconet/kvr_monitor.h"

void kvr_loconet_port::write_bytes(const uint8_t* bytes, int count) {
    if (bytes != nullptr && count > 0) assembly_queue_.insert(assembly_queue_.end(), bytes, bytes + count);
    kvr_frame_all(assembly_queue_, [this](const kvr_loconet_msg& msg) { send(msg, 0); });
}

void kvr_loconet_port::receive_bytes(const uint8_t* bytes, std::size_t count) {
    if (bytes != nullptr && count > 0) rx_queue_.insert(rx_queue_.end(), bytes, bytes + count);
    while (process_one()) {
    }
}

// True when it consumed bytes: a message dispatched, or a stray byte or a
// broken candidate dropped (more complete messages may stand behind it).
// False only when the queue is empty or holds an incomplete message, so a
// burst with garbage in it is still dispatched whole in the same cycle.
bool kvr_loconet_port::process_one() {
    const std::size_t before = rx_queue_.size();
    kvr_loconet_msg msg;
    if (msg.take_from(rx_queue_) == 0) return rx_queue_.size() != before;
    dispatch(msg);
    return true;
}

void kvr_loconet_port::dispatch(const kvr_loconet_msg& msg) {
    bool filed = false;
    {
        std::lock_guard<std::mutex> lk(lock());
        if (msg.opcode() == OPC_SL_RD_DATA && msg.length() >= 14) {
            const uint8_t slot = msg[2];
            slots_[slot] = msg;
            if (slot != kvr_slot_fast_clock && slot != kvr_slot_programmer)
                addresses_[msg.slot_address()] = msg;
            filed = true;
        } else if (msg.opcode() == OPC_LONG_ACK) {
            acks_[static_cast<uint8_t>(msg[1] + 128)] = msg;
            filed = true;
        } else {
            follow_loco_message(msg);
        }
    }
    if (filed) reply_event_.set();
    // Formatting stays outside the lock: the command station waits on it.
    if (has_window()) {
        post_message(msg);
        post_text("%s\r\n", kvr_monitor::to_text(msg).c_str());
    }
}

std::optional<kvr_loconet_msg> kvr_loconet_port::slot_data(uint8_t slot) const {
    auto it = slots_.find(slot);
    if (it == slots_.end()) return std::nullopt;
    return it->second;
}

void kvr_loconet_port::forget_slot(uint8_t slot) {
    slots_.erase(slot);
}

std::optional<kvr_loconet_msg> kvr_loconet_port::ack_for(uint8_t opcode) const {
    auto it = acks_.find(opcode);
    if (it == acks_.end()) return std::nullopt;
    return it->second;
}

void kvr_loconet_port::forget_ack(uint8_t opcode) {
    acks_.erase(opcode);
}

uint16_t kvr_loconet_port::slot_of_address(uint16_t address) const {
    auto it = addresses_.find(address);
    if (it == addresses_.end()) return 0xFFFF;
    return it->second[2];
}

void kvr_loconet_port::forget_address(uint16_t address) {
    addresses_.erase(address);
}

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

void kvr_loconet_port::follow_loco_message(const kvr_loconet_msg& msg) {
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

void kvr_loconet_port::start_afresh() {
    std::lock_guard<std::mutex> lk(lock());
    slots_.clear();
    acks_.clear();
    addresses_.clear();
    rx_queue_.clear();
    reply_event_.reset();
}
