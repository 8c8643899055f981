#pragma once
// Shared by the link tests: a monitor sink that collects lines, and builders
// for messages with their checksum.

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "loconet/kvr_loconet_msg.h"
#include "loconet/kvr_monitor.h"
#include "link/kvr_link_listener.h"

namespace link_test {

// A message from its bytes; the checksum is appended.
inline kvr_loconet_msg msg_of(std::initializer_list<uint8_t> bytes) {
    return kvr_loconet_msg::with_checksum(bytes);
}

// OPC_SL_RD_DATA for `slot` carrying ADR/ADR2 (or the fields of slots 123/124).
inline kvr_loconet_msg slot_read(uint8_t slot, uint8_t adr, uint8_t adr2, uint8_t spd = 0) {
    return msg_of({OPC_SL_RD_DATA, 0x0E, slot, 0x33, adr, spd, 0x20, 0x07, 0x00, adr2, 0x00, 0x01, 0x00});
}

inline kvr_loconet_msg long_ack(uint8_t lopc, uint8_t code) {
    return msg_of({OPC_LONG_ACK, lopc, code});
}

inline std::vector<uint8_t> bytes_of(const kvr_loconet_msg& m) {
    return std::vector<uint8_t>(m.data(), m.data() + m.length());
}

inline void append(std::vector<uint8_t>& out, const kvr_loconet_msg& m) {
    out.insert(out.end(), m.data(), m.data() + m.length());
}

// The line the monitor shows for a message.
inline std::string line_of(const kvr_loconet_msg& m) {
    return kvr_monitor::to_text(m) + "\r\n";
}

// Listens to a link as a monitor does: collects each message with its
// monitor line, the link's notes and lost-link notices; safe to call from the
// I/O thread while the test thread waits.
class line_sink : public kvr_link_listener {
public:
    void on_message(const kvr_loconet_msg& msg, const kvr_capture_time&) override {
        {
            std::lock_guard<std::mutex> lk(m_);
            messages_.push_back(msg);
        }
        add_line(kvr_monitor::line(msg));
    }
    void on_note(const std::string& line) override { add_line(line); }
    void on_link_lost(const std::string& report) override {
        std::unique_lock<std::mutex> lk(m_);
        reports_.push_back(report);
        lk.unlock();
        cv_.notify_all();
    }

    std::vector<std::string> lines() const { return locked(lines_); }
    std::vector<kvr_loconet_msg> messages() const { return locked(messages_); }
    std::vector<std::string> reports() const { return locked(reports_); }
    bool wait_lines(std::size_t n, unsigned ms) { return wait(ms, [&] { return lines_.size() >= n; }); }
    bool wait_lost(unsigned ms) { return wait(ms, [&] { return !reports_.empty(); }); }

    // Set before the link runs; called on the I/O thread after each line.
    std::function<void(std::size_t lines_so_far)> on_post;

private:
    void add_line(std::string line) {
        std::unique_lock<std::mutex> lk(m_);
        lines_.push_back(std::move(line));
        const std::size_t count = lines_.size();
        lk.unlock();
        cv_.notify_all();
        if (on_post) on_post(count);
    }
    template <class T>
    T locked(const T& v) const {
        std::lock_guard<std::mutex> lk(m_);
        return v;
    }
    template <class Pred>
    bool wait(unsigned ms, Pred pred) {
        std::unique_lock<std::mutex> lk(m_);
        return cv_.wait_for(lk, std::chrono::milliseconds(ms), pred);
    }
    mutable std::mutex m_;
    std::condition_variable cv_;
    std::vector<std::string> lines_, reports_;
    std::vector<kvr_loconet_msg> messages_;
};

}  // namespace link_test
