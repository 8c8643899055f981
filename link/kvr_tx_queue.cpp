#include "link/kvr_tx_queue.h"

#include <algorithm>

void kvr_tx_queue::push(const kvr_loconet_msg& msg, uint32_t tag) {
    std::lock_guard<std::mutex> lk(mutex_);
    q_.push_back({msg, tag, false, 0});
}

// Behind the one in flight and behind the stops queued before it, so two
// stops keep their order; ahead of everything else.
void kvr_tx_queue::push_first(const kvr_loconet_msg& msg) {
    std::lock_guard<std::mutex> lk(mutex_);
    auto at = q_.begin() + (front_in_flight_ ? 1 : 0);
    while (at != q_.end() && at->first) ++at;
    q_.insert(at, {msg, 0, true, 0});
}

std::size_t kvr_tx_queue::withdraw(uint32_t tag) {
    if (tag == 0) return 0;
    std::lock_guard<std::mutex> lk(mutex_);
    const auto first = q_.begin() + (front_in_flight_ ? 1 : 0);
    const auto kept = std::remove_if(first, q_.end(), [tag](const entry& e) { return e.tag == tag; });
    const auto gone = static_cast<std::size_t>(q_.end() - kept);
    q_.erase(kept, q_.end());
    if (q_.empty()) emptied_.notify_all();
    return gone;
}

std::size_t kvr_tx_queue::size() const {
    std::lock_guard<std::mutex> lk(mutex_);
    return q_.size();
}

bool kvr_tx_queue::wait_empty(std::chrono::milliseconds within) const {
    std::unique_lock<std::mutex> lk(mutex_);
    return emptied_.wait_for(lk, within, [this] { return q_.empty(); });
}

void kvr_tx_queue::clear() {
    std::lock_guard<std::mutex> lk(mutex_);
    q_.clear();
    front_in_flight_ = false;
    emptied_.notify_all();
}

std::optional<kvr_loconet_msg> kvr_tx_queue::start_front() {
    std::lock_guard<std::mutex> lk(mutex_);
    if (q_.empty()) return std::nullopt;
    front_in_flight_ = true;
    return q_.front().msg;
}

void kvr_tx_queue::release_front() {
    std::lock_guard<std::mutex> lk(mutex_);
    front_in_flight_ = false;
}

// One step under the lock: a stop queued between a release and a pop would
// be the message given up instead.
std::optional<kvr_loconet_msg> kvr_tx_queue::collided_front(int max_tries) {
    std::lock_guard<std::mutex> lk(mutex_);
    if (!front_in_flight_ || q_.empty()) return std::nullopt;
    front_in_flight_ = false;
    if (++q_.front().collisions < max_tries) return std::nullopt;
    const kvr_loconet_msg msg = q_.front().msg;
    q_.pop_front();
    if (q_.empty()) emptied_.notify_all();
    return msg;
}

std::optional<kvr_loconet_msg> kvr_tx_queue::finish_front() {
    std::lock_guard<std::mutex> lk(mutex_);
    // Cleared while it was written (close, open): nothing of it is left.
    if (!front_in_flight_ || q_.empty()) return std::nullopt;
    front_in_flight_ = false;
    const kvr_loconet_msg msg = q_.front().msg;
    q_.pop_front();
    if (q_.empty()) emptied_.notify_all();
    return msg;
}

std::optional<kvr_loconet_msg> kvr_tx_queue::in_flight() const {
    std::lock_guard<std::mutex> lk(mutex_);
    if (!front_in_flight_ || q_.empty()) return std::nullopt;
    return q_.front().msg;
}
