#pragma once
// One bus with the simulated station on it, driven at message level:
// requests in, bus bytes out, with times chosen by the test.

#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <string>

#include "loconet/kvr_loconet_msg.h"
#include "loconet/kvr_monitor.h"
#include "pty_client.h"
#include "sim/kvr_sim_station.h"

using std::chrono::milliseconds;

inline constexpr kvr_sim_options instant{.instant = true};

// Bytes of a message with its checksum appended.
inline bytes with_checksum(const bytes& b) {
    const kvr_loconet_msg m = kvr_loconet_msg::with_checksum(b.data(), b.size());
    return bytes(m.data(), m.data() + m.length());
}

inline kvr_loconet_msg to_msg(const bytes& b) {
    kvr_loconet_msg m;
    for (uint8_t x : b) m.append(x);
    return m;
}

// Frames bus bytes the way a receiver does; only whole, valid messages come out.
inline msgs frame(const bytes& wire) {
    std::deque<uint8_t> q(wire.begin(), wire.end());
    return ::frame(q);
}

// One bus with the station on it and the test's clock.
struct bus {
    explicit bus(const kvr_sim_options& o = instant) : station(o) {}

    // Puts a request on the bus now and returns what is on the bus by then.
    msgs send(const bytes& request) {
        station.receive(request.data(), request.size(), now);
        return frame(station.poll(now));
    }
    // Lets time pass and returns what the station said meanwhile.
    msgs after(milliseconds ms) {
        now += ms;
        return frame(station.poll(now));
    }
    // The answers alone, the echo left out.
    msgs answers(const bytes& request) {
        msgs all = send(request);
        if (all.empty() || all.front() != request) {
            ADD_FAILURE() << "no echo first";
            return all;
        }
        all.erase(all.begin());
        return all;
    }
    std::string monitor_line(const bytes& request) {
        msgs a = answers(request);
        return a.empty() ? std::string() : kvr_monitor::to_text(to_msg(a.back()));
    }

    kvr_sim_station station;
    kvr_sim_time now{0};
};

