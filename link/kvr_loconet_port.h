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

    // Queues one message for the bus and returns at once. `tag` marks the
    // operation it belongs to (new_tx_tag), so an operation that ends early
    // can take back what it has not sent: a cancelled takeover's slot write
    // must never reach the bus later, nor the next station after Close and
    // Connect. Tag 0 marks no operation. Whether the bus carried it is seen
    // on the bus (its echo) or from the link's queue, never from here.
    virtual void send(const kvr_loconet_msg& msg, uint32_t tag = 0) = 0;
    // Queues a stop (emergency stop, stop all, power off) ahead of every
    // queued message but the one being written, behind stops queued before.
    // It is never withdrawn. A port without a queue sends it at once.
    virtual void send_first(const kvr_loconet_msg& msg) { send(msg, 0); }
    // Removes the queued messages carrying `tag` (never 0) except one being
    // written at this moment; returns how many went. A port that writes at
    // once has nothing to take back.
    virtual std::size_t withdraw(uint32_t tag) {
        (void)tag;
        return 0;
    }
    // Waits up to `ms` for every queued message to be written, for a last
    // message before a close (the loco handed back), which a close would
    // otherwise drop with the queue. False when some were still queued. A
    // port that writes at once has nothing queued.
    virtual bool wait_sent(unsigned ms) {
        (void)ms;
        return true;
    }
    // A tag no operation of this port holds yet; never 0.
    uint32_t new_tx_tag() {
        uint32_t tag = 0;
        while (tag == 0) tag = next_tx_tag_.fetch_add(1) + 1;
        return tag;
    }

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
    std::atomic<uint32_t> next_tx_tag_{0};
};
