#include "sim/kvr_sim_decoder.h"

namespace {

constexpr unsigned cv_version = 7;
constexpr unsigned cv_manufacturer = 8;
constexpr unsigned cv_long_high = 17;
constexpr unsigned cv_long_low = 18;
constexpr unsigned cv_config = 29;
constexpr unsigned page_register = 6;

// CV29: bit 1 (0x02) 28/128 speed steps, bit 2 (0x04) analog operation,
// bit 5 (0x20) long address in use.
constexpr uint8_t config_short = 0x06;
constexpr uint8_t config_long = 0x26;

// A long address the decoder keeps in CV17/18 while it runs on a short one.
constexpr uint16_t spare_long_address = 1234;

}  // namespace

kvr_sim_decoder::kvr_sim_decoder(uint16_t address) : address_(address) { reset(); }

void kvr_sim_decoder::reset() {
    cvs_.fill(0);
    const bool is_long = address_ > 127;
    const uint16_t long_address = is_long ? address_ : spare_long_address;
    cvs_[1 - 1] = is_long || address_ == 0 ? 3 : static_cast<uint8_t>(address_);
    cvs_[3 - 1] = 2;
    cvs_[4 - 1] = 2;
    cvs_[cv_version - 1] = version;
    cvs_[cv_manufacturer - 1] = manufacturer;
    // CV17 carries 0xC0 plus address bits 13..8, CV18 bits 7..0.
    cvs_[cv_long_high - 1] = static_cast<uint8_t>(0xC0 | ((long_address >> 8) & 0x3F));
    cvs_[cv_long_low - 1] = static_cast<uint8_t>(long_address & 0xFF);
    cvs_[cv_config - 1] = is_long ? config_long : config_short;
    page_ = 1;
}

uint8_t kvr_sim_decoder::cv(unsigned number) const {
    if (number < 1 || number > cv_count) return 0;
    return cvs_[number - 1];
}

bool kvr_sim_decoder::write_cv(unsigned number, uint8_t value) {
    if (number < 1 || number > cv_count) return false;
    if (number == cv_manufacturer && value == 8) {
        reset();
        return true;
    }
    if (number == cv_version || number == cv_manufacturer) return false;
    cvs_[number - 1] = value;
    return true;
}

bool kvr_sim_decoder::bit(unsigned number, unsigned bit_number) const {
    return (cv(number) >> (bit_number & 7)) & 1;
}

bool kvr_sim_decoder::write_bit(unsigned number, unsigned bit_number, bool value) {
    const uint8_t mask = static_cast<uint8_t>(1u << (bit_number & 7));
    const uint8_t old = cv(number);
    return write_cv(number, static_cast<uint8_t>(value ? (old | mask) : (old & ~mask)));
}

unsigned kvr_sim_decoder::register_cv(unsigned reg) {
    static constexpr unsigned map[register_count] = {1, 2, 3, 4, cv_config, 0, cv_version,
                                                     cv_manufacturer};
    return map[reg - 1];
}

bool kvr_sim_decoder::read_register(unsigned reg, uint8_t& value) const {
    if (reg < 1 || reg > register_count) return false;
    value = reg == page_register ? page_ : cv(register_cv(reg));
    return true;
}

bool kvr_sim_decoder::write_register(unsigned reg, uint8_t value) {
    if (reg < 1 || reg > register_count) return false;
    if (reg == page_register) {
        page_ = value;
        return true;
    }
    return write_cv(register_cv(reg), value);
}

void kvr_sim_decoder::select_page_of(unsigned cv_number) {
    // Page n holds CVs 4n-3 .. 4n.
    if (cv_number >= 1 && cv_number <= cv_count) page_ = static_cast<uint8_t>((cv_number - 1) / 4 + 1);
}
