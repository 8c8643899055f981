#pragma once
// A realistic mix of LocoNet traffic, as a busy layout puts it on the bus:
// mostly throttle updates and sensor reports, some turnout commands and
// their reports, slot reads with their acknowledges, fast-clock slot data and
// a programming task with its answers. Checksums are appended.

#include <cstdint>
#include <initializer_list>
#include <vector>

#include "loconet/kvr_loconet_msg.h"

namespace traffic_mix {

inline kvr_loconet_msg make(std::initializer_list<uint8_t> bytes) {
    return kvr_loconet_msg::with_checksum(bytes);
}

// One round of traffic, oldest first.
inline std::vector<kvr_loconet_msg> messages() {
    std::vector<kvr_loconet_msg> mix;
    auto add = [&mix](int times, const kvr_loconet_msg& m) {
        for (int i = 0; i < times; ++i) mix.push_back(m);
    };
    // Throttles: speed, direction and F0-F4, F5-F8.
    add(6, make({OPC_LOCO_SPD, 0x05, 0x3F}));
    add(2, make({OPC_LOCO_SPD, 0x07, 0x00}));
    add(3, make({OPC_LOCO_DIRF, 0x05, 0x30}));
    add(2, make({OPC_LOCO_SND, 0x05, 0x05}));
    // Occupancy sensors going on and off.
    add(5, make({OPC_INPUT_REP, 0x12, 0x51}));
    add(4, make({OPC_INPUT_REP, 0x12, 0x41}));
    // Turnouts: request, output report, sensor report of the switch.
    add(3, make({OPC_SW_REQ, 0x0A, 0x30}));
    add(2, make({OPC_SW_REP, 0x0A, 0x30}));
    add(1, make({OPC_SW_REP, 0x0A, 0x50}));
    add(1, make({OPC_SW_ACK, 0x0A, 0x30}));
    add(1, make({OPC_LONG_ACK, 0x3D, 0x7F}));
    // A throttle asking for a locomotive, the slot data, the null move.
    add(1, make({OPC_LOCO_ADR, 0x02, 0x2C}));
    add(2, make({OPC_SL_RD_DATA, 0x0E, 0x03, 0x33, 0x2C, 0x00, 0x20, 0x07, 0x00, 0x02, 0x00, 0x01, 0x00}));
    add(1, make({OPC_MOVE_SLOTS, 0x03, 0x03}));
    add(1, make({OPC_RQ_SL_DATA, 0x03, 0x00}));
    add(1, make({OPC_WR_SL_DATA, 0x0E, 0x03, 0x33, 0x2C, 0x10, 0x20, 0x07, 0x00, 0x02, 0x00, 0x01, 0x00}));
    add(1, make({OPC_LONG_ACK, 0x6F, 0x7F}));
    // Fast clock.
    add(1, make({OPC_SL_RD_DATA, 0x0E, 0x7B, 0x04, 0x7F, 0x7B, 0x43, 0x07, 0x6C, 0x02, 0x20, 0x00, 0x00}));
    // A direct-mode read of CV 8: task, acknowledge, final reply.
    add(1, make({OPC_WR_SL_DATA, 0x0E, 0x7C, 0x28, 0x00, 0x00, 0x00, 0x00, 0x00, 0x07, 0x00, 0x00, 0x00}));
    add(1, make({OPC_LONG_ACK, 0x6F, 0x01}));
    add(1, make({OPC_SL_RD_DATA, 0x0E, 0x7C, 0x28, 0x00, 0x00, 0x00, 0x07, 0x00, 0x07, 0x0D, 0x00, 0x00}));
    // Track power.
    add(1, make({OPC_GPON}));
    return mix;
}

inline std::vector<uint8_t> bytes_of(const std::vector<kvr_loconet_msg>& msgs) {
    std::vector<uint8_t> out;
    for (const kvr_loconet_msg& m : msgs) out.insert(out.end(), m.data(), m.data() + m.length());
    return out;
}

}  // namespace traffic_mix
