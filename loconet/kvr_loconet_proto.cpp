#include "loconet/kvr_loconet_proto.h"

#include "loconet/kvr_loconet_msg.h"

namespace kvr_proto {
namespace {

// Field offsets of the hours and minutes (see the header).
constexpr uint8_t hours_base = 0x68;
constexpr uint8_t minutes_base = 0x43;

// Bit `from` of `value`, moved to bit `to`.
constexpr uint8_t bit_of(unsigned value, int from, int to) {
    return static_cast<uint8_t>(((value >> from) & 1u) << to);
}

// Where F0..F28 sit in the expanded slot bytes 9..13: the byte (0 = byte 9)
// and the bit.
struct fn_place {
    uint8_t byte;
    uint8_t bit;
};
constexpr fn_place exp_places[29] = {
    {1, 4}, {1, 0}, {1, 1}, {1, 2}, {1, 3},                  // F0, F1..F4 (as DIRF)
    {2, 0}, {2, 1}, {2, 2}, {2, 3}, {2, 4}, {2, 5}, {2, 6},  // F5..F11
    {0, 4},                                                  // F12
    {3, 0}, {3, 1}, {3, 2}, {3, 3}, {3, 4}, {3, 5}, {3, 6},  // F13..F19
    {0, 5},                                                  // F20
    {4, 0}, {4, 1}, {4, 2}, {4, 3}, {4, 4}, {4, 5}, {4, 6},  // F21..F27
    {0, 6},                                                  // F28
};

// The first function of a D5 group and the bit of each function of it.
int d5_bit_of(uint8_t group, unsigned f) {
    switch (group) {
    case d5_f0_f6:
        if (f == 0) return 4;
        if (f <= 4) return static_cast<int>(f) - 1;
        return f <= 6 ? static_cast<int>(f) : -1;
    case d5_f7_f13: return f >= 7 && f <= 13 ? static_cast<int>(f) - 7 : -1;
    case d5_f14_f20: return f >= 14 && f <= 20 ? static_cast<int>(f) - 14 : -1;
    case d5_f21_f28_off:
    case d5_f21_f28_on: return f >= 21 && f <= 27 ? static_cast<int>(f) - 21 : -1;
    default: return -1;
    }
}

}  // namespace

uint32_t exp_functions_of(uint8_t fhi, uint8_t dirf, uint8_t f5_f11, uint8_t f13_f19, uint8_t f21_f27) {
    const uint8_t bytes[5] = {fhi, dirf, f5_f11, f13_f19, f21_f27};
    uint32_t on = 0;
    for (unsigned f = 0; f < 29; ++f)
        if ((bytes[exp_places[f].byte] >> exp_places[f].bit) & 1) on |= 1u << f;
    return on;
}

exp_function_bytes exp_slot_function_bytes(uint32_t functions) {
    uint8_t bytes[5] = {};
    for (unsigned f = 0; f < 29; ++f)
        if ((functions >> f) & 1) bytes[exp_places[f].byte] |= static_cast<uint8_t>(1u << exp_places[f].bit);
    return {bytes[0], bytes[1], bytes[2], bytes[3], bytes[4]};
}

uint32_t d5_group_mask_of(uint8_t group) {
    uint32_t mask = 0;
    for (unsigned f = 0; f <= 28; ++f)
        if (d5_bit_of(group, f) >= 0) mask |= 1u << f;
    if (group == d5_f21_f28_off || group == d5_f21_f28_on) mask |= 1u << 28;
    return mask;
}

uint32_t d5_functions(uint8_t group, uint8_t x) {
    uint32_t on = 0;
    for (unsigned f = 0; f <= 28; ++f) {
        const int bit = d5_bit_of(group, f);
        if (bit >= 0 && ((x >> bit) & 1)) on |= 1u << f;
    }
    if (group == d5_f21_f28_on) on |= 1u << 28;
    return on;
}

d5_group_bytes d5_bytes_for(unsigned f, uint32_t functions) {
    uint8_t group = d5_group_of(f);
    if (group == d5_f21_f28_off && ((functions >> 28) & 1)) group = d5_f21_f28_on;
    uint8_t x = 0;
    for (unsigned n = 0; n <= 28; ++n) {
        const int bit = d5_bit_of(group, n);
        if (bit >= 0 && ((functions >> n) & 1)) x |= static_cast<uint8_t>(1u << bit);
    }
    return {group, x};
}

cv_fields encode_cv(unsigned cv, uint8_t data) {
    // CV 0 and anything above 1024 wrap into the ten bits.
    const unsigned c = (cv - 1) & 0x3FF;
    return {static_cast<uint8_t>(bit_of(c, 7, 0) | bit_of(data, 7, 1) | bit_of(c, 8, 4) | bit_of(c, 9, 5)),
            static_cast<uint8_t>(c & 0x7F), static_cast<uint8_t>(data & 0x7F)};
}

unsigned decode_cv(uint8_t cvh, uint8_t cvl) {
    const unsigned high = (((cvh >> 5) & 1u) << 9) | (((cvh >> 4) & 1u) << 8) | ((cvh & 1u) << 7);
    return high + (cvl & 0x7Fu) + 1;
}

uint8_t decode_cv_data(uint8_t cvh, uint8_t data7) {
    return static_cast<uint8_t>(((cvh & 0x02) << 6) | (data7 & 0x7F));
}

clock_bytes encode_clock_time(clock_time t) {
    return {static_cast<uint8_t>(hours_base + t.hour % 24), static_cast<uint8_t>(minutes_base + t.minute % 60)};
}

// The bytes count upwards towards 128, so the time is the complement of
// what is left to the wrap: 256 - HRS and 255 - MINS, taken to 7 bits.
clock_time decode_clock_time(clock_bytes b) {
    return {static_cast<uint8_t>((24 - (((256 - b.hrs) & 0x7F) % 24)) % 24),
            static_cast<uint8_t>((60 - (((255 - b.mins) & 0x7F) % 60)) % 60)};
}

byte_pair encode_switch(const switch_fields& sw) {
    const unsigned wire = (sw.number - 1) & 0x7FF;
    return {static_cast<uint8_t>(wire & 0x7F),
            static_cast<uint8_t>(((wire >> 7) & sw2_address_high) | (sw.on ? sw2_on : 0) |
                                 (sw.closed ? sw2_closed : 0))};
}

switch_fields decode_switch(uint8_t sw1, uint8_t sw2) {
    return {decode_switch_number(sw1, sw2), (sw2 & sw2_closed) != 0, (sw2 & sw2_on) != 0};
}

byte_pair encode_sensor(const sensor_fields& s) {
    const unsigned n = (s.number - 1) & 0xFFF;
    const unsigned address = n >> 1;
    return {static_cast<uint8_t>(address & 0x7F),
            static_cast<uint8_t>(in2_control | ((n & 1) ? in2_switch_input : 0) | (s.level ? in2_level : 0) |
                                 ((address >> 7) & sw2_address_high))};
}

sensor_fields decode_sensor(uint8_t in1, uint8_t in2) {
    const unsigned address = (in1 & 0x7Fu) + (in2 & sw2_address_high) * 128u;
    return {address * 2 + ((in2 & in2_switch_input) ? 1 : 0) + 1, (in2 & in2_level) != 0};
}

kvr_loconet_msg slot_message(uint8_t opcode, uint8_t slot, const std::array<uint8_t, slot_field_count>& fields) {
    uint8_t bytes[3 + slot_field_count] = {opcode, slot_msg_count, slot};
    for (int i = 0; i < slot_field_count; ++i) bytes[3 + i] = fields[i];
    return kvr_loconet_msg::with_checksum(bytes, sizeof bytes);
}

kvr_loconet_msg programming_task(uint8_t pcmd, uint16_t loco, unsigned cv, uint8_t data) {
    const byte_pair ops = encode_loco_address(loco);
    const cv_fields f = encode_cv(cv, data);
    return slot_message(OPC_WR_SL_DATA, kvr_slot_programmer,
                        {pcmd, 0, ops.high, ops.low, 0, f.cvh, f.cvl, f.data7, 0, 0});
}

kvr_loconet_msg long_ack(uint8_t opcode, uint8_t code) {
    return kvr_loconet_msg::with_checksum({OPC_LONG_ACK, ack_opcode(opcode), static_cast<uint8_t>(code & 0x7F)});
}

}  // namespace kvr_proto
