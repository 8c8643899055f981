#include "station/kvr_loco_functions.h"

#include "loconet/kvr_dcc_packet.h"

namespace {

// Bits 9..28: the only functions kept here.
constexpr uint32_t kept_mask = ((1u << 29) - 1) & ~((1u << 9) - 1);

bool is_slot_data(const kvr_loconet_msg& m) {
    return (m.opcode() == OPC_SL_RD_DATA || m.opcode() == OPC_WR_SL_DATA) &&
           m.length() == 14;
}

}  // namespace

void kvr_loco_functions::on_message(const kvr_loconet_msg& msg, kvr_capture_time) {
    if (is_slot_data(msg)) {
        const uint8_t slot = msg[2];
        // The system slots carry no locomotive.
        if (slot == kvr_slot_fast_clock || slot == kvr_slot_programmer) return;
        slot_address_[slot] = msg.slot_address();
        return;
    }
    if (const auto imm = kvr_dcc::decode_imm_packet(msg)) {
        if (const auto p = kvr_dcc::decode_function(imm->bytes)) {
            const kvr_dcc::function_set set = kvr_dcc::functions_of(*p);
            apply(p->address, set.mask, set.on);
        }
        return;
    }
    if (const auto f = kvr_dcc::decode_function_opcode(msg)) {
        // A function message for a slot whose locomotive is not known yet
        // tells nothing usable.
        const auto it = slot_address_.find(f->slot);
        if (it != slot_address_.end()) apply(it->second, f->set.mask, f->set.on);
    }
}

void kvr_loco_functions::apply(uint16_t address, uint32_t mask, uint32_t on) {
    mask &= kept_mask;
    if (mask == 0) return;
    uint32_t& kept = locos_[address];
    const uint32_t now = (kept & ~mask) | (on & mask);
    if (now == kept) return;
    kept = now;
    ++version_;
}

bool kvr_loco_functions::get(uint16_t address, unsigned n) const {
    return n >= first && n <= last && ((bits(address) >> n) & 1);
}

uint32_t kvr_loco_functions::bits(uint16_t address) const {
    const auto it = locos_.find(address);
    return it == locos_.end() ? 0 : it->second;
}

void kvr_loco_functions::set(uint16_t address, unsigned n, bool on) {
    if (n < first || n > last) return;
    apply(address, 1u << n, on ? 1u << n : 0);
}
