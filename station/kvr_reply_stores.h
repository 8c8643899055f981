#pragma once
// The command station's memory of the bus: the latest answer for each key,
// so an operation finds the reply to its request. Pure: no threads, no
// lock (the station that owns it guards it).
//
//   slot store     slot -> latest OPC_SL_RD_DATA of that slot
//   ack store      byte 1 of OPC_LONG_ACK + 128 (the full acknowledged
//                  opcode) -> latest OPC_LONG_ACK for it
//   address store  ADR2*128+ADR -> latest OPC_SL_RD_DATA carrying that
//                  address, the command station's slots 121-127 excluded
//   expanded       slot -> latest E6 (slots up to 432) and ADR2*128+ADR ->
//                  latest E6 carrying it, kept apart from the E7 copies:
//                  their fields sit at other places
//   echo store     the latest OPC_IMM_PACKET seen on the bus: a command
//                  station that does not acknowledge packets leaves the
//                  echo as the only sign that one went out
//   device log     the answers of devices (SV2 replies, LNCV read replies)
//                  in the order they came, numbered: a discover collects
//                  many answers to one request, so the latest alone is not
//                  enough; the last `device_log_size` are kept
//
// A slot's copy follows the bus as the command station's own slot does:
// every OPC_LOCO_SPD, OPC_LOCO_DIRF and OPC_LOCO_SND seen for a slot the
// stores hold (our own echoes and other throttles' messages alike) replaces
// SPD, DIRF or SND in that slot's copies. Otherwise a throttle would build
// its next message from the slot as it was when it was last read, and send
// back a direction or functions that have changed since.

#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <vector>

#include "loconet/kvr_loconet_msg.h"

class kvr_reply_stores {
public:
    // Files slot data and long acknowledges, and follows throttle messages.
    // True when a reply was filed (a waiting operation should look again).
    bool file(const kvr_loconet_msg& msg);

    std::optional<kvr_loconet_msg> slot_data(uint8_t slot) const;
    void forget_slot(uint8_t slot);
    std::optional<kvr_loconet_msg> ack_for(uint8_t opcode) const;
    void forget_ack(uint8_t opcode);
    uint16_t slot_of_address(uint16_t address) const;  // 0xFFFF when unknown
    std::optional<kvr_loconet_msg> packet_echo() const;
    void forget_packet_echo();
    // The latest slot data that carried `address`.
    std::optional<kvr_loconet_msg> address_data(uint16_t address) const;
    void forget_address(uint16_t address);
    // Applies an OPC_LOCO_SPD, OPC_LOCO_DIRF or OPC_LOCO_SND to the copies
    // of its slot; other messages and slots the stores do not hold are left
    // alone.
    void follow_loco_message(const kvr_loconet_msg& msg);
    // The number the next device answer gets; the answers from a mark on
    // are those filed after it was taken.
    uint64_t device_mark() const { return device_next_; }
    std::vector<kvr_loconet_msg> device_answers_since(uint64_t mark) const;
    static constexpr std::size_t device_log_size = 512;
    // Expanded slot data (E6, 21 bytes, byte 1 = 0x15).
    std::optional<kvr_loconet_msg> exp_slot_data(uint16_t slot) const;
    void forget_exp_slot(uint16_t slot);
    std::optional<kvr_loconet_msg> exp_address_data(uint16_t address) const;
    void forget_exp_address(uint16_t address);
    // Bit 6 of TRK in any slot data the command station answered (E7 or
    // E6): it offers expanded slots.
    bool expanded_offered() const { return expanded_offered_; }
    // Forgets everything: another open may be another bus, where the slot
    // numbers and acknowledges learned here mean nothing.
    void clear();

private:
    std::map<uint8_t, kvr_loconet_msg> slots_;
    std::map<uint8_t, kvr_loconet_msg> acks_;
    std::map<uint16_t, kvr_loconet_msg> addresses_;
    std::optional<kvr_loconet_msg> packet_echo_;
    std::deque<kvr_loconet_msg> device_log_;  // the newest last
    uint64_t device_next_ = 0;               // number of the next answer filed
    std::map<uint16_t, kvr_loconet_msg> exp_slots_;
    std::map<uint16_t, kvr_loconet_msg> exp_addresses_;
    bool expanded_offered_ = false;
};
