#pragma once
// The command station's loco slots as the bus shows them. Every slot read or
// written in full (OPC_SL_RD_DATA, OPC_WR_SL_DATA) enters the table; the short
// messages then keep it current:
//   B5 05 13   OPC_SLOT_STAT1   slot 5 STAT 0x13 (common, 128 steps)
//   A0 05 28   OPC_LOCO_SPD     slot 5 speed 40
//   A1 05 10   OPC_LOCO_DIRF    slot 5 forward, F0 on
//   A2 05 01   OPC_LOCO_SND     slot 5 F5 on
//   BA 05 05   OPC_MOVE_SLOTS   null move: slot 5 in use
//   BA 05 00   OPC_MOVE_SLOTS   dispatch put: slot 5 handed on, common
// Short messages for a slot whose data were never seen are left out: the
// table would not know the loco. A move between two loco slots changes
// nothing here; the command station's slot data answer it.
//
// Pure: no threads, no clock of its own; the caller gives each message with
// its receive time, on one thread.

#include <array>
#include <bitset>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "loconet/kvr_capture.h"
#include "loconet/kvr_loconet_msg.h"

// Slots 1..119 hold locos; 0 is the dispatch slot, 120..127 belong to the
// command station (123 fast clock, 124 programmer, 127 options).
constexpr uint8_t kvr_slot_loco_first = 1;
constexpr uint8_t kvr_slot_loco_last = 119;
constexpr bool kvr_is_loco_slot(unsigned slot) {
    return slot >= kvr_slot_loco_first && slot <= kvr_slot_loco_last;
}

struct kvr_slot_entry {
    uint8_t slot = 0;
    uint16_t address = 0;  // ADR2 * 128 + ADR
    uint8_t stat = 0;      // STAT: usage bits 5..4, speed steps 2..0
    uint8_t speed = 0;     // SPD: 0 stop, 1 emergency stop, 2..127
    uint8_t dirf = 0;      // direction (bit 5 set: reverse), F0, F1..F4
    uint8_t snd = 0;       // F5..F8
    kvr_capture_time seen;  // the last message about the slot

    uint8_t usage() const { return stat & kvr_proto::stat_usage_mask; }
    bool forward() const { return (dirf & kvr_proto::dirf_reverse) == 0; }
    bool function(unsigned f) const;  // F0..F8
};

// "free", "common", "idle", "in use" by STAT bits 5..4.
const char* kvr_slot_usage_name(uint8_t stat);
// Speed steps by STAT bits 2..0: 28, 14 or 128; 0 for the unused codes 5, 6.
int kvr_slot_steps(uint8_t stat);
// Nine digits, F0 first: "100000000" is F0 on.
std::string kvr_slot_functions(const kvr_slot_entry& e);
// One line per slot, the slot number and the loco address first:
//   "  5  loco 1234  in use  128 steps  speed 40  fwd  F0-F8 100000000"
std::string kvr_slot_line(const kvr_slot_entry& e);

class kvr_slot_table {
public:
    // Takes in one message; true when it changed a slot.
    bool on_message(const kvr_loconet_msg& msg, kvr_capture_time time);

    const std::map<uint8_t, kvr_slot_entry>& entries() const { return slots_; }
    const kvr_slot_entry* find(uint8_t slot) const;
    // The slots changed since the last call, in slot order, for views that
    // update once per batch of messages rather than once per message.
    std::vector<uint8_t> take_changed();
    void clear();

private:
    kvr_slot_entry* known(uint8_t slot, kvr_capture_time time);
    void take_slot_data(const kvr_loconet_msg& msg, kvr_capture_time time);
    bool take_move(uint8_t from, uint8_t to, kvr_capture_time time);

    std::map<uint8_t, kvr_slot_entry> slots_;
    std::bitset<128> changed_;
};
