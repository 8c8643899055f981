#pragma once
// F9 to F28 of every locomotive, as far as this program can know them.
//
// Slot data carries F0 to F8 only: the higher functions travel as DCC
// packets inside OPC_IMM_PACKET (by locomotive address) or as the A3 / D4
// function messages (by slot), and a command station keeps neither. So the
// state is what this program sent and what it saw on the bus: every framed
// message goes through on_message, slot data teaches which slot holds which
// address, and the function messages set the functions they name.
//
// Pure: no threads, no locks. The window feeds it on the GUI thread where it
// takes the link's messages; the command-line tool from its own sink.

#include <cstdint>
#include <map>

#include "loconet/kvr_capture.h"
#include "loconet/kvr_loconet_msg.h"

class kvr_loco_functions {
public:
    static constexpr unsigned first = 9;
    static constexpr unsigned last = 28;

    // One framed message from the bus and when it came.
    // The time is not needed to keep the state; it is taken so that every
    // table of the bus is fed the same way.
    void on_message(const kvr_loconet_msg& msg, kvr_capture_time time);

    // Function n (9..28) of `address` as last sent or seen; off when unknown.
    bool get(uint16_t address, unsigned n) const;
    // Bit n is Fn (9..28) on.
    uint32_t bits(uint16_t address) const;
    // What this program sent, before its echo is back: a second click builds
    // on the first.
    void set(uint16_t address, unsigned n, bool on);

    // Grows with every change, so a view redraws only when it moved.
    uint64_t version() const { return version_; }

private:
    void apply(uint16_t address, uint32_t mask, uint32_t on);

    std::map<uint16_t, uint32_t> locos_;  // address -> bit n = Fn on
    std::map<uint8_t, uint16_t> slot_address_;  // from slot data seen
    uint64_t version_ = 0;
};
