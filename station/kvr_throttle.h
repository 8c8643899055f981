#pragma once
// The throttle: one locomotive at a time, driven through the command
// station's slot that holds it. The window and busprobe-cli both drive this
// object and only map their controls or arguments onto it.
//
// It reads before it drives, and sends only what a call names:
//   acquire(3), slot 1 free:    BF 00 03 43   -> E7 0E 01 03 03 ...   the read
//                               BA 01 01 45   -> E7 0E 01 33 03 ...   the take (NULL move)
//   set_direction(forward):     A1 01 00 5F   F0..F4 as the slot shows them
//   set_function(0, true):      A1 01 10 4F   the direction as the slot shows it
//   set_speed(40), 128 steps:   A0 01 29 77   step 40 is speed 41 on the wire
//   emergency_stop():           A0 01 01 5F   ahead of everything queued
//   acquire(5) afterwards:      B5 01 13 58   loco 3 released (common, speed kept)
//
// Speed steps as a throttle counts them: 0 (stop) to 126, 28 or 14. On the
// wire speed 1 is the emergency stop, so step n of 128 is speed n + 1, and
// 28 / 14 steps scale onto 0..127 (step * 127 / steps, truncated).
//
// A command station that offers expanded slots (TRK bit 6 in a slot it
// answered) is driven through the expanded messages under the automatic
// choice (kvr_slot_choice): the read is repeated as BE, and the loco's E6
// slot is taken and driven by D4 and D5:
//   acquire(3):                 BF 00 03 43 -> E7 .. TRK 47, BE 00 03 42 -> E6 ..
//                               D4 38 01 00 01 ..   the null move
//   set_speed(9), forward:      D5 00 01 ID 0A ..   ID = the slot's byte 18
//   set_function(12, true):     D5 18 01 ID 20 ..   F7..F13 as known
//   emergency_stop():           D5 00 01 ID 01 ..   ahead of everything queued
//   release():                  D4 38 01 60 13 ..   common, speed kept
// Otherwise (older stations, or the classic choice) the classic path above.
//
// What the loco was last told follows the bus: every speed, direction and
// function message for its slot (another throttle's and our own echoes),
// slot writes, and what this throttle sends, at once. Slot data (E7) is the
// answer to a read: once the loco is driven only its status and throttle id
// are taken from it, so a late or second copy of an answer never puts back a
// direction or a function that has changed since.
//
// Threads: the calls that drive come from one thread (the window's or the
// command's); the link's I/O thread feeds what the bus shows. The state is
// guarded by the throttle's own mutex, never held while waiting or calling
// the station. emergency_stop() and stop_all() never wait, so a front end
// may call them while another of its operations waits.

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "link/kvr_link_listener.h"
#include "loconet/kvr_loconet_msg.h"
#include "station/kvr_dccx_loconet.h"

// F9..F28 as known for a loco on this bus. Slot data carries F0..F8 only;
// the front end keeps the rest (fed from the bus on its own thread) and the
// throttle reads it when it takes a loco and notes what it sends.
class kvr_function_memory {
public:
    virtual ~kvr_function_memory() = default;
    virtual uint32_t functions(uint16_t address) const = 0;  // bit n = Fn
    virtual void note_sent_functions(uint16_t address, uint32_t mask, uint32_t bits) = 0;
};

// The throttle step (0..steps) of a wire speed, and back.
int kvr_throttle_step(uint8_t spd, int steps);
uint8_t kvr_wire_speed(int step, int steps);
// The speed steps (128, 28 or 14) of a STAT speed-step code (bits 2..0):
// 011 and 111 are 128, 010 is 14, the others 28.
int kvr_steps_of_code(uint8_t code);

// One locomotive as the throttle knows it.
struct kvr_loco_state {
    uint16_t address = 0;   // 0: no loco
    uint16_t slot = 0;      // up to 432 when expanded
    uint8_t stat = 0;       // STAT: usage and speed-step code
    uint8_t spd = 0;        // as on the wire, 0..127 (1: emergency stop)
    bool forward = true;    // DIRF bit 5 clear
    uint32_t functions = 0; // bit n = Fn, 0..28
    uint16_t holder = 0;    // the throttle id in the slot, ID1 << 8 | ID2
    uint8_t snd_high = 0;   // SND bits 7..4, kept as the slot has them
    bool expanded = false;  // taken as an expanded slot: driven by D4 / D5

    int steps() const { return kvr_steps_of_code(stat & 0x07); }
    int step() const { return kvr_throttle_step(spd, steps()); }
    bool in_use() const { return (stat & 0x30) == 0x30; }
    // In use by another throttle: an id that is neither 0 (none written)
    // nor this program's.
    bool held_elsewhere() const;
};

struct kvr_msg_reading;

class kvr_throttle : private kvr_link_listener {
public:
    // `link` is the station's; the throttle listens to it from here on.
    kvr_throttle(kvr_dccx_loconet& station, kvr_loconet_port& link);
    ~kvr_throttle() override;
    kvr_throttle(const kvr_throttle&) = delete;
    kvr_throttle& operator=(const kvr_throttle&) = delete;

    // Not owned; null: F9..F28 start off for every loco.
    void set_memory(kvr_function_memory* memory);
    // How F9..F28 go out (kvr_function_send).
    void set_function_send(kvr_function_send how) { how_ = how; }
    // Classic or expanded slots for the next acquire (automatic: expanded
    // when the command station offers them).
    void set_slot_choice(kvr_slot_choice choice) { choice_ = choice; }
    kvr_slot_choice slot_choice() const { return choice_; }

    // The loco's slot as the command station shows it now (OPC_LOCO_ADR),
    // F9..F28 as the memory knows them. Sends nothing else.
    kvr_loco_state read(uint16_t address);

    enum class outcome { driving, held_elsewhere };
    struct acquired {
        outcome result;
        kvr_loco_state loco;  // as read (held_elsewhere) or as now driven
    };
    // Reads the loco's slot. Another throttle holding it is reported and
    // nothing else is sent (the loco driven before stays driven) unless
    // `steal`. Otherwise the loco driven before is released, the slot is
    // taken when not in use (the NULL move; never a write: its speed,
    // direction, functions and decoder type stay) and the loco is driven.
    acquired acquire(uint16_t address, bool steal = false);

    bool driving() const;
    kvr_loco_state loco() const;  // address 0: none
    // Bumped whenever what loco() says changes.
    uint64_t version() const;

    // Each sends one message (F9..F28: one per group) to the loco driven;
    // refused with a report when none is.
    void set_speed(int step);          // 0..steps(); over the top is the top
    void set_direction(bool forward);
    void set_function(unsigned n, bool on);
    // Every function named, one message per function group; a direction
    // given goes in the DIRF message with F0..F4 (sent even when none of
    // them is named).
    void set_functions(const std::map<unsigned, bool>& wanted, std::optional<bool> forward = {});
    // F9..F28 of `address` as DCC packets, which need no slot: one packet per
    // group named, the group's other functions as known (the loco driven,
    // else the memory).
    void send_packet_functions(uint16_t address, const std::map<unsigned, bool>& wanted);
    // 28 or 128: rewrites the slot's speed-step code when it differs (the
    // speed kept on the wire's 0..127 scale); nothing when it is the mode.
    void set_steps(int steps);

    // Speed 1 to the loco driven, ahead of everything queued; never waits.
    // False (nothing sent) when no loco is driven.
    bool emergency_stop();
    // OPC_IDLE ahead of everything queued: every loco on the layout stops.
    void stop_all();
    // Stops loco `address`: its slot when it is the loco driven or the
    // command station names it within `units` wait units, otherwise every
    // loco (OPC_IDLE). True when only that loco was stopped.
    bool stop_loco(uint16_t address, unsigned units);

    // The loco driven goes back to the command station (status common,
    // speed kept, so it runs on as other throttles leave a loco); none is
    // driven afterwards.
    void release();

    static constexpr const char* text_no_loco = "ERR:NO LOCO IS DRIVEN";
    static constexpr const char* text_lost = "ERR:THE SLOT NOW HOLDS ANOTHER LOCO";

private:
    void on_message(const kvr_loconet_msg& msg, const kvr_capture_time& time) override;
    void follow(const kvr_msg_reading& r);
    void on_open() override;

    kvr_loco_state from_slot(const kvr_loconet_msg& data) const;
    // The loco driven, or a refusal under `label`.
    kvr_loco_state current(const char* label) const;
    void apply_sent(uint8_t opcode, uint8_t value);
    void apply_sent(const kvr_loconet_msg& msg);
    kvr_loconet_msg read_slot_of(uint16_t address, bool& expanded);
    void send_expanded_groups(const kvr_loco_state& loco, uint32_t mask, uint32_t now, std::optional<bool> forward);
    void set_steps_expanded(const kvr_loco_state& loco, uint8_t stat);
    void send_function_groups(const kvr_loco_state& loco, uint32_t mask, uint32_t bits, std::optional<bool> forward);
    void send_high_functions(const kvr_loco_state& loco, uint32_t high, uint32_t now, kvr_function_send how);

    kvr_dccx_loconet& station_;
    kvr_loconet_port& link_;
    kvr_function_memory* memory_ = nullptr;
    kvr_function_send how_ = kvr_function_send::packet;
    kvr_slot_choice choice_ = kvr_slot_choice::automatic;

    mutable std::mutex mutex_;
    kvr_loco_state loco_;  // guarded by mutex_
    bool lost_ = false;    // guarded: the slot was given to another loco
    uint64_t version_ = 0; // guarded
};
