#pragma once
// What a message is about, for reading a busy bus: its kind (by opcode)
// and the number of the loco, turnout or sensor it concerns.
//
//   B0 0A 30 75                 switch, 11         (OPC_SW_REQ: SW1/SW2 + 1)
//   B2 05 50 18                 sensor, 11         (OPC_INPUT_REP: address * 2 + I + 1)
//   BF 00 03 43                 loco, 3            (OPC_LOCO_ADR)
//   E7 0E 05 33 03 ...          loco, 3            (slot 5 holds loco 3; learnt)
//   A0 05 3F 65                 loco, 3            (speed to slot 5, known to hold 3)
//   E7 0E 7B ...                clock              (slot 123)
//   EF 0E 7C ...                programming        (slot 124)
//   83 7C                       power
//
// Speed, direction and function messages name only a slot; the classifier
// keeps which loco each slot held when the bus last showed its data, so
// it is fed every message in the order received.

#include <array>
#include <cstdint>

#include "loconet/kvr_loconet_msg.h"

enum class kvr_msg_kind : uint8_t { other, loco, switch_, sensor, power, programming, clock };

// The kinds in the order a user picks them, each with its name. The first
// row stands for every kind.
struct kvr_msg_kind_row {
    bool any;
    kvr_msg_kind kind;
    const char* name;
};
inline constexpr kvr_msg_kind_row kvr_msg_kind_rows[] = {
    {true, kvr_msg_kind::other, "All messages"},
    {false, kvr_msg_kind::loco, "Locos and slots"},
    {false, kvr_msg_kind::switch_, "Switches and turnouts"},
    {false, kvr_msg_kind::sensor, "Sensors"},
    {false, kvr_msg_kind::power, "Power"},
    {false, kvr_msg_kind::programming, "Programming"},
    {false, kvr_msg_kind::clock, "Fast clock"},
    {false, kvr_msg_kind::other, "Other"},
};

struct kvr_msg_subject {
    kvr_msg_kind kind = kvr_msg_kind::other;
    int number = -1;  // loco address, switch or sensor number; -1 none or not known
};

class kvr_msg_classifier {
public:
    kvr_msg_subject classify(const kvr_loconet_msg& msg);
    void forget() { slot_loco_.fill(0); }

private:
    int loco_in_slot(uint8_t slot) const;
    std::array<uint16_t, 128> slot_loco_{};  // 0: not known
};
