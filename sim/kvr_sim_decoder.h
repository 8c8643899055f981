#pragma once
// A simulated DCC decoder: 1024 configuration variables and the eight
// physical registers of register-mode programming.
//
// Physical registers map onto CVs as NMRA register mode defines them:
//   R1 CV1 (short address)  R2 CV2 (start voltage)  R3 CV3 (acceleration)
//   R4 CV4 (deceleration)   R5 CV29 (configuration) R6 page register
//   R7 CV7 (version)        R8 CV8 (manufacturer)
// CV7 and CV8 are read-only; writing 8 to CV8 restores the factory values,
// the usual decoder reset.

#include <array>
#include <cstdint>

class kvr_sim_decoder {
public:
    static constexpr unsigned cv_count = 1024;
    static constexpr unsigned register_count = 8;
    static constexpr uint8_t version = 17;       // CV7
    static constexpr uint8_t manufacturer = 13;  // CV8: public domain and DIY decoders

    // Factory values for a decoder answering to `address`: a short address
    // (1..127) goes into CV1, a long one into CV17/CV18 with CV29 bit 5 set.
    explicit kvr_sim_decoder(uint16_t address = 3);

    // CV numbers count from 1; numbers outside 1..1024 read 0 and refuse writes.
    uint8_t cv(unsigned number) const;
    // False when the decoder does not take the value (read-only CV).
    bool write_cv(unsigned number, uint8_t value);
    bool bit(unsigned number, unsigned bit_number) const;
    bool write_bit(unsigned number, unsigned bit_number, bool value);

    // Registers count from 1; false for numbers outside 1..8.
    bool read_register(unsigned reg, uint8_t& value) const;
    bool write_register(unsigned reg, uint8_t value);

    // Paged-mode access selects the page of four CVs first.
    void select_page_of(unsigned cv_number);

    void reset();
    uint16_t address() const { return address_; }

private:
    static unsigned register_cv(unsigned reg);

    uint16_t address_;
    std::array<uint8_t, cv_count> cvs_{};
    uint8_t page_ = 1;
};
