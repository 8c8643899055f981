#pragma once
// Received bytes become LocoNet messages; every message is filed in the
// reply stores it belongs to and shown as a monitor line.
//
// Stores (guarded by the port lock; callers take lock() around every look and
// copy the message out before releasing it):
//   slot store     slot -> latest OPC_SL_RD_DATA of that slot
//   ack store      byte 1 of OPC_LONG_ACK + 128 (the full acknowledged
//                  opcode) -> latest OPC_LONG_ACK for it
//   address store  ADR2*128+ADR -> latest OPC_SL_RD_DATA carrying that
//                  address, slots 123 and 124 excluded
//
// A slot's copy follows the bus as the command station's own slot does:
// every OPC_LOCO_SPD, OPC_LOCO_DIRF and OPC_LOCO_SND seen for a slot the
// stores hold (our own echoes and other throttles' messages alike) replaces
// SPD, DIRF or SND in that slot's copies. Otherwise a throttle would build
// its next message from the slot as it was when it was last read, and send
// back a direction or functions that have changed since.
//
// Every open starts with empty stores: another open may be another bus,
// where the slot numbers and acknowledges learned here mean nothing.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>

#include "loconet/kvr_loconet_msg.h"
#include "link/kvr_port.h"

class kvr_loconet_port : public kvr_port {
public:
    kvr_loconet_port() = default;
    ~kvr_loconet_port() override = default;

    // Queue one message for the bus and signal the completion event of `key`
    // with result 0. Returns at once.
    virtual void send(const kvr_loconet_msg& msg, uint8_t key) = 0;

    // Transmit tags. Every message queued while a tag is current carries it,
    // so an operation that ends early can take back what it has not sent:
    // a cancelled takeover's slot write must never reach the bus later, nor
    // the next station after Close and Connect. Tag 0 marks no operation.
    uint32_t new_tx_tag() {
        uint32_t tag = 0;
        while (tag == 0) tag = next_tx_tag_.fetch_add(1) + 1;
        return tag;
    }
    void set_tx_tag(uint32_t tag) { tx_tag_.store(tag); }
    uint32_t tx_tag() const { return tx_tag_.load(); }
    // Removes the queued messages carrying `tag` (never 0) except one being
    // written at this moment; returns how many went. A port that writes at
    // once has nothing to take back.
    virtual std::size_t withdraw(uint32_t tag) {
        (void)tag;
        return 0;
    }

    // Frames raw bytes and sends each whole message with key 0.
    void write_bytes(const uint8_t* bytes, int count) override;
    void purge() override {}

    // I/O thread: appends received bytes and dispatches every complete
    // message they finish, oldest first.
    void receive_bytes(const uint8_t* bytes, std::size_t count);
    // Frames and dispatches one message; false when nothing was taken.
    bool process_one();
    // True while received bytes wait to be framed.
    bool receive_pending() const { return !rx_queue_.empty(); }

    // Store access; hold lock() while calling and while using the result.
    std::optional<kvr_loconet_msg> slot_data(uint8_t slot) const;
    void forget_slot(uint8_t slot);
    std::optional<kvr_loconet_msg> ack_for(uint8_t opcode) const;
    void forget_ack(uint8_t opcode);
    uint16_t slot_of_address(uint16_t address) const;  // 0xFFFF when unknown
    void forget_address(uint16_t address);
    // Applies an OPC_LOCO_SPD, OPC_LOCO_DIRF or OPC_LOCO_SND to the copies
    // of its slot; other messages and slots the stores do not hold are left
    // alone. The receive path calls it for every message; the command
    // station for each one it queues, so a second click right after the
    // first builds on the first even before its echo is back.
    void follow_loco_message(const kvr_loconet_msg& msg);
    uint16_t throttle_id() const { return 0x0100; }

    // Auto-reset event set whenever slot data or a long acknowledge is filed,
    // so a waiting operation can look again at once.
    kvr_sys_event& reply_event() { return reply_event_; }

protected:
    void dispatch(const kvr_loconet_msg& msg);
    // Empties the reply stores and the receive queue, for an open: call it
    // while no I/O thread runs.
    void start_afresh();

private:
    std::deque<uint8_t> rx_queue_;        // I/O thread only
    std::deque<uint8_t> assembly_queue_;  // write_bytes callers
    std::map<uint8_t, kvr_loconet_msg> slots_;
    std::map<uint8_t, kvr_loconet_msg> acks_;
    std::map<uint16_t, kvr_loconet_msg> addresses_;
    kvr_sys_event reply_event_{false};
    std::atomic<uint32_t> next_tx_tag_{0};
    std::atomic<uint32_t> tx_tag_{0};
};
