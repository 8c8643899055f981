#pragma once
// A scripted LocoNet link for the command-station tests: it records every
// message queued and answers from a script by feeding bytes into its own
// receive path, so answers reach the station's reply stores as from a bus. A wait clock
// replaces real waiting where a test counts wait units.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "foundation/kvr_exception.h"
#include "foundation/kvr_hooks.h"
#include "link/kvr_loconet_port.h"
#include "station/kvr_dccx_loconet.h"
#include "station/kvr_waiter.h"

using bytes = std::vector<uint8_t>;

inline bytes bytes_of(const kvr_loconet_msg& m) { return bytes(m.data(), m.data() + m.length()); }

inline bytes with_checksum(const bytes& b) { return bytes_of(kvr_loconet_msg::with_checksum(b.data(), b.size())); }

// OPC_LONG_ACK for `opcode`: B4 <opcode & 7F> <code> chk.
inline bytes long_ack(uint8_t opcode, uint8_t code) { return bytes_of(kvr_proto::long_ack(opcode, code)); }

// The programmer's final reply (slot 124) to a direct read of CV 29, with
// PSTAT and the value read.
inline bytes task_reply(uint8_t pstat, uint8_t value = 0) {
    const kvr_proto::cv_fields f = kvr_proto::encode_cv(29, value);
    return with_checksum({0xE7, 0x0E, 0x7C, 0x28, pstat, 0, 0, 0, f.cvh, f.cvl, f.data7, 0, 0});
}

struct slot_fields {
    uint8_t slot;
    uint16_t address;
    uint8_t stat = 0x03, spd = 0, dirf = 0, snd = 0;
    uint16_t id = 0;
};

// OPC_SL_RD_DATA of an ordinary slot, TRK 0x07.
inline bytes slot_data(const slot_fields& f) {
    const kvr_proto::byte_pair adr = kvr_proto::encode_loco_address(f.address);
    return with_checksum({0xE7, 0x0E, f.slot, f.stat, adr.low, f.spd, f.dirf, 0x07, 0x00, adr.high, f.snd,
                          static_cast<uint8_t>(f.id >> 8), static_cast<uint8_t>(f.id & 0xFF)});
}

inline bool is_task(const bytes& m) { return m.size() == 14 && m[0] == 0xEF && m[2] == 0x7C; }

inline std::string hex(const bytes& b) {
    static const char digits[] = "0123456789ABCDEF";
    std::string s;
    for (uint8_t v : b) s += {' ', digits[v >> 4], digits[v & 15]};
    return s.empty() ? s : s.substr(1);
}

using strings = std::vector<std::string>;

// Hex of a message with its checksum worked here.
inline std::string w(const bytes& b) { return hex(with_checksum(b)); }

// The label an operation's failures carry.
inline std::string op(const std::string& name) { return "kvr_dccx_loconet::" + name + "()"; }

class fake_link : public kvr_loconet_port {
public:
    void send(const kvr_loconet_msg& msg, uint32_t) override {
        bytes b(msg.data(), msg.data() + msg.length());
        sent.push_back(b);
        if (echo) deliver(b);
        if (on_send) on_send(b);
    }
    // The link has no queue: a stop is recorded as sent, and marked.
    void send_first(const kvr_loconet_msg& msg) override {
        firsts.push_back(sent.size());
        send(msg, 0);
    }
    void open(const std::string&) override {}
    void close() override {}
    // Files a message exactly as the receive thread would.
    void deliver(const bytes& b) { receive_bytes(b.data(), b.size()); }
    // What an open of the real link does before its thread runs.
    void reopen() { start_afresh(); }

    std::vector<bytes> sent;  // queueing thread only
    bool echo = false;        // every message comes back from the bus, as on LocoNet
    std::vector<std::size_t> firsts;  // indexes into `sent` of the messages sent ahead of the queue
    // Script run on the queueing thread after each message is recorded.
    std::function<void(const bytes&)> on_send;
};

// Stands in for time: every wait runs out at once and is counted, so
// budgets can be counted without sleeping. `on_unit` may answer after a
// chosen unit (1-based).
class unit_clock : public kvr_waiter {
public:
    kvr_wait_result wait(kvr_sys_event* abort, kvr_sys_event*, unsigned ms) override {
        if (abort && abort->is_set()) return kvr_wait_result::aborted;
        units.push_back(ms);
        // A loop that never ends would hang the test; fail it instead.
        if (units.size() > 1000) throw std::runtime_error("wait units never end");
        if (on_unit) on_unit(units.size());
        return kvr_wait_result::timed_out;
    }

    std::vector<unsigned> units;
    std::function<void(std::size_t)> on_unit;
};

// What the programmer answers to one task: a LACK code and a final reply
// with PSTAT and value; `none` leaves either out.
constexpr int none = -1;
struct task_answer {
    int lack = 0x01, pstat = 0x00;
    uint8_t value = 0;
};

// A command station just big enough for the throttle: it keeps slot data by
// slot number, takes OPC_WR_SL_DATA, the NULL move (in use) and speed,
// direction and function messages into it and, unless `silent`, answers
// OPC_RQ_SL_DATA, OPC_LOCO_ADR and the NULL move from it.
struct slot_keeper {
    std::map<uint8_t, bytes> slots;  // E7 ...
    bool silent = false;
    bool refuse_moves = false;  // the moves change nothing

    void answer(fake_link& link, const bytes& m) {
        if (m[0] == 0xEF && m[2] != 0x7C) {
            bytes rd(m.begin(), m.end() - 1);
            rd[0] = 0xE7;
            put(with_checksum(rd));
        }
        if (m[0] >= 0xA0 && m[0] <= 0xA2 && slots.count(m[1]))
            change(m[1], m[0] == 0xA0 ? 5 : m[0] == 0xA1 ? 6 : 10, m[2]);
        if (m[0] == 0xB5 && slots.count(m[1])) change(m[1], 3, m[2]);
        if (m[0] == 0xBA && m[1] == m[2] && slots.count(m[1]) && !refuse_moves) {
            change(m[1], 3, slots[m[1]][3] | 0x30);  // LocoNet PE: the NULL move marks the slot in use
            if (!silent) link.deliver(slots[m[1]]);
        }
        for (const auto& [n, s] : slots)
            if (!silent && ((m[0] == 0xBB && n == m[1]) || (m[0] == 0xBF && s[9] == m[1] && s[4] == m[2])))
                link.deliver(s);
    }
    void put(const bytes& s) { slots[s[2]] = s; }
    void change(uint8_t slot, int field, uint8_t value) {
        bytes b(slots[slot].begin(), slots[slot].end() - 1);
        b[field] = value;
        put(with_checksum(b));
    }
};

// Runs `call`, expecting a kvr_exception whose report lines begin with
// `labels`, outermost first; a non-zero `inner_code` must show on the last.
template <class F>
void expect_failure(F&& call, const std::vector<std::string>& labels, uint32_t inner_code = 0) {
    try {
        call();
        ADD_FAILURE() << "no exception, expected " << labels.back();
    } catch (const kvr_exception& e) {
        std::istringstream in(e.message);
        std::string line;
        for (const std::string& label : labels)
            ASSERT_TRUE(std::getline(in, line) && line.rfind(label + " ", 0) == 0) << label << "\n" << e.message;
        char tag[16];
        std::snprintf(tag, sizeof tag, "(%04x)", inner_code);
        EXPECT_TRUE(inner_code == 0 || line.find(tag) != std::string::npos) << tag << "\n" << e.message;
    }
}

// The station on the scripted link: the keeper answers slot requests, the
// script (or `by_pattern`) answers programming tasks, the tone is recorded.
class Station : public ::testing::Test {
protected:
    Station() {
        station.set_waiter(&clock);
        station.set_abort_event(&abort);
        link.on_send = [this](const bytes& m) {
            keeper.answer(link, m);
            if (is_task(m) && (by_pattern || !script.empty())) {
                deliver(by_pattern ? by_pattern(m) : script.front());
                if (!by_pattern) script.pop_front();
            }
        };
        kvr_set_tone_hook([this](unsigned hz, unsigned ms) { tones.push_back({hz, ms, unsigned(tasks())}); });
    }
    ~Station() override { kvr_set_tone_hook({}); }

    void deliver(const task_answer& a) {
        if (a.lack != none) link.deliver(long_ack(0xEF, static_cast<uint8_t>(a.lack)));
        if (a.pstat != none) link.deliver(task_reply(static_cast<uint8_t>(a.pstat), a.value));
    }
    // Files slot data as the receive thread would and lets the keeper know it.
    void seen(const bytes& s) { keeper.put(s); link.deliver(s); }
    std::size_t tasks() const { return std::count_if(link.sent.begin(), link.sent.end(), is_task); }
    strings sent() const {
        std::vector<std::string> out;
        for (const bytes& b : link.sent) out.push_back(hex(b));
        return out;
    }
    void restart() { link.sent.clear(); clock.units.clear(); }

    fake_link link;
    unit_clock clock;
    kvr_sys_event abort{true};
    slot_keeper keeper;
    std::deque<task_answer> script;
    std::function<task_answer(const bytes&)> by_pattern;
    std::vector<std::array<unsigned, 3>> tones;  // Hz, ms, tasks sent before
    kvr_dccx_loconet station{link};
};
