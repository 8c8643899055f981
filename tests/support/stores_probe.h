#pragma once
// Reply stores that listen to a link as the command station's do, for tests
// that drive a link without a station: what the link delivered, filed and
// forgotten on every open.

#include <mutex>

#include "link/kvr_port.h"
#include "station/kvr_reply_stores.h"

class stores_probe : public kvr_link_listener {
public:
    explicit stores_probe(kvr_port& link) : link_(link) { link_.add_listener(this); }
    ~stores_probe() override { link_.remove_listener(this); }
    stores_probe(const stores_probe&) = delete;
    stores_probe& operator=(const stores_probe&) = delete;

    void on_message(const kvr_loconet_msg& msg, const kvr_capture_time&) override {
        std::lock_guard<std::mutex> lk(m_);
        stores_.file(msg);
    }
    void on_open() override {
        std::lock_guard<std::mutex> lk(m_);
        stores_.clear();
    }

    std::optional<kvr_loconet_msg> slot_data(uint8_t slot) const {
        std::lock_guard<std::mutex> lk(m_);
        return stores_.slot_data(slot);
    }
    std::optional<kvr_loconet_msg> ack_for(uint8_t opcode) const {
        std::lock_guard<std::mutex> lk(m_);
        return stores_.ack_for(opcode);
    }
    uint16_t slot_of_address(uint16_t address) const {
        std::lock_guard<std::mutex> lk(m_);
        return stores_.slot_of_address(address);
    }

private:
    kvr_port& link_;
    mutable std::mutex m_;
    kvr_reply_stores stores_;
};
