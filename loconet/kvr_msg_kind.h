#pragma once
// What a message is about, for reading a busy bus: its kind and the number
// of the loco, turnout or sensor it concerns, as the monitor line shows it.
// kvr_read_message (kvr_msg_reading.h) gives both for one message; the slot
// messages that name no loco get theirs from the bus state, which knows
// which loco each slot held when the bus last showed its data.

#include <cstdint>

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
