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

}  // namespace

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
