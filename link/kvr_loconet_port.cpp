#include "link/kvr_loconet_port.h"

void kvr_loconet_port::receive_bytes(const uint8_t* bytes, std::size_t count) {
    if (bytes != nullptr && count > 0) rx_queue_.insert(rx_queue_.end(), bytes, bytes + count);
    while (process_one()) {
    }
}

// True when it consumed bytes: a message dispatched, or a stray byte or a
// broken candidate dropped (more complete messages may stand behind it).
// False only when the queue is empty or holds an incomplete message, so a
// burst with garbage in it is still dispatched whole in the same cycle.
bool kvr_loconet_port::process_one() {
    const std::size_t before = rx_queue_.size();
    kvr_loconet_msg msg;
    if (msg.take_from(rx_queue_) == 0) return rx_queue_.size() != before;
    dispatch(msg);
    return true;
}

// One stamp and one call per listener; a message nobody listens to costs
// nothing more than its framing.
void kvr_loconet_port::dispatch(const kvr_loconet_msg& msg) {
    if (!has_listeners()) return;
    const kvr_capture_time now = kvr_capture_time::now();
    tell([&](kvr_link_listener& l) { l.on_message(msg, now); });
}

void kvr_loconet_port::start_afresh() {
    rx_queue_.clear();
    tell([](kvr_link_listener& l) { l.on_open(); });
}
