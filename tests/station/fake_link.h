#pragma once
// A scripted LocoNet link for the command-station tests: it records every
// message queued and answers from a script by feeding bytes into its own
// receive path, so answers land in the real reply stores. A wait clock
// replaces real waiting where a test counts wait units.

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "foundation/kvr_exception.h"
#include "loconet/kvr_loconet_port.h"
#include "station/kvr_waiter.h"

using bytes = std::vector<uint8_t>;

inline bytes with_checksum(bytes b) {
    uint8_t x = 0;
    for (uint8_t v : b) x ^= v;
    b.push_back(static_cast<uint8_t>(~x));
    return b;
}

// OPC_LONG_ACK for `opcode`: B4 <opcode & 7F> <code> chk.
inline bytes long_ack(uint8_t opcode, uint8_t code) {
    return with_checksum({0xB4, static_cast<uint8_t>(opcode & 0x7F), code});
}

// The programmer's final reply (slot 124) with PSTAT and the value read.
inline bytes task_reply(uint8_t pstat, uint8_t value = 0) {
    return with_checksum({0xE7, 0x0E, 0x7C, 0x28, pstat, 0, 0, 0,
                          static_cast<uint8_t>((value >> 6) & 0x02), 0x1C,
                          static_cast<uint8_t>(value & 0x7F), 0, 0});
}

struct slot_fields {
    uint8_t slot;
    uint16_t address;
    uint8_t stat = 0x03;
    uint8_t spd = 0;
    uint8_t dirf = 0;
    uint8_t snd = 0;
    uint16_t id = 0;
};

// OPC_SL_RD_DATA of an ordinary slot, TRK 0x07.
inline bytes slot_data(const slot_fields& f) {
    return with_checksum({0xE7, 0x0E, f.slot, f.stat, static_cast<uint8_t>(f.address & 0x7F),
                          f.spd, f.dirf, 0x07, 0x00, static_cast<uint8_t>(f.address >> 7), f.snd,
                          static_cast<uint8_t>(f.id >> 8), static_cast<uint8_t>(f.id & 0xFF)});
}

inline bool is_task(const bytes& m) { return m.size() == 14 && m[0] == 0xEF && m[2] == 0x7C; }

inline std::string hex(const bytes& b) {
    std::string s;
    char buf[4];
    for (uint8_t v : b) {
        std::snprintf(buf, sizeof buf, "%02X ", v);
        s += buf;
    }
    if (!s.empty()) s.pop_back();
    return s;
}

inline std::vector<std::string> hex_all(const std::vector<bytes>& list) {
    std::vector<std::string> out;
    for (const bytes& b : list) out.push_back(hex(b));
    return out;
}

// Report lines of an exception, outermost label first.
inline std::vector<std::string> report_lines(const kvr_exception& e) {
    std::vector<std::string> lines;
    std::string line;
    for (char c : e.message) {
        if (c == '\n') {
            lines.push_back(line);
            line.clear();
        } else {
            line += c;
        }
    }
    if (!line.empty()) lines.push_back(line);
    return lines;
}

// True when the report's lines begin with `labels`, in that order.
inline ::testing::AssertionResult has_labels(const kvr_exception& e,
                                             const std::vector<std::string>& labels) {
    const std::vector<std::string> lines = report_lines(e);
    if (lines.size() < labels.size())
        return ::testing::AssertionFailure() << "report too short:\n" << e.message;
    for (std::size_t i = 0; i < labels.size(); ++i)
        if (lines[i].rfind(labels[i] + " ", 0) != 0)
            return ::testing::AssertionFailure()
                   << "line " << i << " is not labelled \"" << labels[i] << "\":\n" << e.message;
    return ::testing::AssertionSuccess();
}

class fake_link : public kvr_loconet_port {
public:
    ~fake_link() override = default;

    void send(const kvr_loconet_msg& msg, uint8_t key) override {
        bytes b(msg.data(), msg.data() + msg.length());
        sent.push_back(b);
        keys.push_back(key);
        event(key).signal(0);
        if (on_send) on_send(b);
    }
    void open(const std::string&) override {}
    void close() override {}

    // Files a message exactly as the receive thread would.
    void deliver(const bytes& b) { receive_bytes(b.data(), b.size()); }

    // Messages queued, in order, and their completion keys. Queueing thread only.
    std::vector<bytes> sent;
    std::vector<uint8_t> keys;
    // Script run on the queueing thread after each message is recorded.
    std::function<void(const bytes&)> on_send;
};

// Stands in for time: every wait runs out at once and is counted, so
// budgets can be counted without sleeping. `on_unit` may answer after a
// chosen unit.
class unit_clock : public kvr_waiter {
public:
    kvr_wait_result wait(kvr_sys_event* abort, kvr_sys_event*, unsigned ms) override {
        if (abort && abort->is_set()) return kvr_wait_result::aborted;
        units.push_back(ms);
        // A loop that never ends would hang the test; fail it instead.
        if (units.size() > limit) throw std::runtime_error("wait units never end");
        if (on_unit) on_unit(units.size());
        return kvr_wait_result::timed_out;
    }

    std::vector<unsigned> units;
    std::function<void(std::size_t)> on_unit;  // 1-based number of the unit that ran out
    std::size_t limit = 1000;
};

// A second thread that delivers answers at chosen times, as the link's
// receive thread would. All deliveries of a test go through it.
class bus_thread {
public:
    explicit bus_thread(fake_link& link) : link_(link), thread_([this] { run(); }) {}
    ~bus_thread() {
        {
            std::lock_guard<std::mutex> lk(m_);
            stop_ = true;
        }
        cv_.notify_all();
        thread_.join();
    }

    void deliver_after(unsigned ms, bytes b) {
        {
            std::lock_guard<std::mutex> lk(m_);
            items_.push_back({clock::now() + std::chrono::milliseconds(ms), std::move(b)});
        }
        cv_.notify_all();
    }

    // Delivers at once and returns when the message is filed.
    void deliver_now(bytes b) {
        deliver_after(0, std::move(b));
        std::unique_lock<std::mutex> lk(m_);
        cv_.wait(lk, [this] { return items_.empty() && !busy_; });
    }

private:
    using clock = std::chrono::steady_clock;
    struct item {
        clock::time_point due;
        bytes b;
    };

    void run() {
        std::unique_lock<std::mutex> lk(m_);
        while (!stop_) {
            if (items_.empty()) {
                cv_.wait(lk);
                continue;
            }
            auto first = items_.begin();
            for (auto it = items_.begin(); it != items_.end(); ++it)
                if (it->due < first->due) first = it;
            if (clock::now() < first->due) {
                cv_.wait_until(lk, first->due);
                continue;
            }
            bytes b = std::move(first->b);
            items_.erase(first);
            busy_ = true;
            lk.unlock();
            link_.deliver(b);
            lk.lock();
            busy_ = false;
            cv_.notify_all();
        }
    }

    fake_link& link_;
    std::mutex m_;
    std::condition_variable cv_;
    std::deque<item> items_;
    bool busy_ = false;
    bool stop_ = false;
    std::thread thread_;
};

// What the programmer answers to one task: a LACK code and a final reply
// with PSTAT and value; `none` leaves either out.
constexpr int none = -1;
struct task_answer {
    int lack = 0x01;
    int pstat = 0x00;
    uint8_t value = 0;
};

// A command station just big enough for the throttle: it keeps slot data,
// answers OPC_LOCO_ADR and OPC_RQ_SL_DATA with it and takes OPC_WR_SL_DATA
// into it. `silent` keeps it from answering requests.
struct slot_keeper {
    std::vector<bytes> slots;  // slot data, E7 ...
    bool silent = false;

    void answer(fake_link& link, const bytes& m) {
        if (m.size() == 14 && m[0] == 0xEF && m[2] != 0x7C) {
            bytes rd(m.begin(), m.end() - 1);
            rd[0] = 0xE7;
            put(with_checksum(rd));
        } else if (silent) {
            return;
        } else if (m[0] == 0xBB) {
            for (const bytes& s : slots)
                if (s[2] == m[1]) link.deliver(s);
        } else if (m[0] == 0xBF) {
            for (const bytes& s : slots)
                if (s[9] == m[1] && s[4] == m[2]) link.deliver(s);
        }
    }
    void put(const bytes& s) {
        for (bytes& old : slots)
            if (old[2] == s[2]) {
                old = s;
                return;
            }
        slots.push_back(s);
    }
};
