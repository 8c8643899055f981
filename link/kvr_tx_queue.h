#pragma once
// The link's transmit queue: what waits for the bus, oldest first, shared
// by the threads that send and the I/O thread's transport that writes.
//
// The front message stays queued while a transport writes it and waits for
// its confirmation (the MS100's echo, the server's SENT): it is "in flight".
// Nothing moves ahead of it and nothing takes it back then, since its bytes
// may already be on the line. Everything else may be withdrawn by its tag,
// and a stop (send_first) goes ahead of everything not in flight, because a
// stop that waits behind a queue of speed and function messages is no stop.
//
// Every call takes the queue's own lock for a few steps; nothing is written
// to a device under it.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>

#include "loconet/kvr_loconet_msg.h"

class kvr_tx_queue {
public:
    // Any thread.
    void push(const kvr_loconet_msg& msg, uint32_t tag);
    void push_first(const kvr_loconet_msg& msg);
    // Removes the queued messages of `tag` (never 0) except one in flight;
    // returns how many went.
    std::size_t withdraw(uint32_t tag);
    std::size_t size() const;
    bool wait_empty(std::chrono::milliseconds within) const;
    // Everything goes, the message in flight too (the link closes or opens).
    void clear();

    // The I/O thread's transport. The front message, now in flight; nothing
    // when the queue is empty.
    std::optional<kvr_loconet_msg> start_front();
    // The front was not written after all (the line was busy): it stays
    // first, no longer in flight.
    void release_front();
    // Another node started with the front: it goes again later, no longer
    // in flight, or, at its `max_tries`th collision, leaves the queue and is
    // returned as given up.
    std::optional<kvr_loconet_msg> collided_front(int max_tries);
    // The front leaves the queue (confirmed, written, or given up); returns
    // it, or nothing when it was cleared meanwhile.
    std::optional<kvr_loconet_msg> finish_front();
    // The front message when one is in flight.
    std::optional<kvr_loconet_msg> in_flight() const;

private:
    struct entry {
        kvr_loconet_msg msg;
        uint32_t tag = 0;
        bool first = false;  // a stop, queued by push_first
        int collisions = 0;
    };
    mutable std::mutex mutex_;
    mutable std::condition_variable emptied_;
    std::deque<entry> q_;         // guarded by mutex_
    bool front_in_flight_ = false;  // guarded by mutex_
};
