#include "soak/soak_traffic.h"

#include <chrono>
#include <thread>

#include "loconet/kvr_monitor.h"

void soak_traffic::start() {
    std::lock_guard<std::mutex> lk(m_);
    started_ = true;
}

void soak_traffic::on_bus(const kvr_loconet_msg& msg) {
    std::lock_guard<std::mutex> lk(m_);
    if (!started_) return;
    ++c_.bus;
    waiting_.push_back(msg);
    if (!sent_.empty() && sent_.front() == msg) {
        sent_.pop_front();
        ++c_.echoed;
    }
}

void soak_traffic::on_received(const kvr_loconet_msg& msg) {
    std::lock_guard<std::mutex> lk(m_);
    line_of_ = msg;
    line_due_ = true;
    if (!started_) return;
    std::size_t at = 0;
    while (at < waiting_.size() && at < lookahead && !(waiting_[at] == msg)) ++at;
    if (at < waiting_.size() && at < lookahead) {
        c_.lost += at;
        waiting_.erase(waiting_.begin(), waiting_.begin() + static_cast<std::ptrdiff_t>(at) + 1);
        ++c_.received;
        last_ = msg;
    } else if (c_.received > 0 && msg == last_) {
        ++c_.duplicated;
    } else {
        ++c_.unexpected;
    }
}

void soak_traffic::on_line(const std::string& text) {
    std::lock_guard<std::mutex> lk(m_);
    const bool ok = line_due_ && text == kvr_monitor::to_text(line_of_) + "\r\n";
    line_due_ = false;
    if (!started_) return;
    ++c_.lines;
    if (!ok) ++c_.bad_lines;
}

void soak_traffic::on_link_lost() {
    std::lock_guard<std::mutex> lk(m_);
    ++c_.links_lost;
}

void soak_traffic::on_sent(const kvr_loconet_msg& msg) {
    std::lock_guard<std::mutex> lk(m_);
    if (!started_) return;
    ++c_.sent;
    sent_.push_back(msg);
}

std::size_t soak_traffic::unechoed() const {
    std::lock_guard<std::mutex> lk(m_);
    return sent_.size();
}

bool soak_traffic::drain(unsigned ms) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        {
            std::lock_guard<std::mutex> lk(m_);
            if (waiting_.empty() && sent_.empty()) return true;
        }
        if (std::chrono::steady_clock::now() >= until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

soak_counts soak_traffic::finish() {
    std::lock_guard<std::mutex> lk(m_);
    c_.lost += waiting_.size();
    waiting_.clear();
    started_ = false;
    return c_;
}

soak_counts soak_traffic::snapshot() const {
    std::lock_guard<std::mutex> lk(m_);
    return c_;
}
