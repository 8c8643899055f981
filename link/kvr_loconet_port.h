#pragma once
// Received bytes become LocoNet messages; each one is published once to the
// listeners (kvr_link_listener.h) with the time it was framed. The port
// keeps nothing of what it received but the bytes of a message still
// arriving: the replies an operation waits for are the command station's
// to keep (station/kvr_reply_stores.h).
//
// Every open starts afresh: the bytes left from the last bus are dropped
// and the listeners are told (on_open).

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>

#include "loconet/kvr_loconet_msg.h"
#include "link/kvr_port.h"

class kvr_loconet_port : public kvr_port {
public:
    kvr_loconet_port() = default;
    ~kvr_loconet_port() override = default;

    // Queue one message for the bus and signal the completion event of `key`
    // with result 0. Returns at once.
    virtual void send(const kvr_loconet_msg& msg, uint8_t key) = 0;
    // Queue one message ahead of everything waiting (behind only a message
    // being written at this moment), untagged, so no withdrawal takes it
    // back: the stops. A port without a queue sends it as any other.
    virtual void send_first(const kvr_loconet_msg& msg) { send(msg, 0); }

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

protected:
    void dispatch(const kvr_loconet_msg& msg);
    // Drops the bytes left in the receive queue and tells the listeners, for
    // an open: call it while no I/O thread runs.
    void start_afresh();

private:
    std::deque<uint8_t> rx_queue_;        // I/O thread only
    std::deque<uint8_t> assembly_queue_;  // write_bytes callers
    std::atomic<uint32_t> next_tx_tag_{0};
    std::atomic<uint32_t> tx_tag_{0};
};
