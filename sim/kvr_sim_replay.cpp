#include "sim/kvr_sim_replay.h"

#include <algorithm>
#include <cmath>

#include "sim/kvr_sim_station.h"

kvr_sim_replay::kvr_sim_replay(std::string path, double speed, bool loop)
    : path_(std::move(path)), speed_(speed > 0 ? speed : 1.0), loop_(loop) {}

bool kvr_sim_replay::open() {
    if (!reader_.open(path_)) {
        error_ = reader_.error();
        return false;
    }
    if (!read_next()) {
        if (error_.empty()) error_ = path_ + " holds no message";
        return false;
    }
    first_us_ = last_us_ = ahead_.time.total_micros();
    return true;
}

// Damaged lines are passed over here; the program reports them by number
// before it plays the file.
bool kvr_sim_replay::read_next() {
    const char* reason = nullptr;
    for (;;) {
        switch (reader_.next(ahead_, reason)) {
        case kvr_capture_reader::item::message: return have_ahead_ = true;
        case kvr_capture_reader::item::damaged: continue;
        case kvr_capture_reader::item::end:
            if (!reader_.error().empty()) error_ = reader_.error();
            return have_ahead_ = false;
        }
    }
}

void kvr_sim_replay::start(kvr_sim_time at) {
    if (started_) return;
    started_ = true;
    round_start_ = due_ = at;
}

std::optional<kvr_sim_time> kvr_sim_replay::next_due() const {
    if (!started_ || !have_ahead_) return std::nullopt;
    return due_;
}

void kvr_sim_replay::advance() {
    ++played_;
    // The bus carries one message at a time: the next one is not due before
    // this one has had its time on the wire, however close the recorded
    // times (a capture whose messages share one time stamp, played in a
    // loop, would otherwise fall due all at once, for ever).
    const kvr_sim_time wire_free =
        due_ + kvr_sim_station::byte_time * static_cast<int64_t>(ahead_.msg.length());
    if (!read_next()) {
        if (!loop_ || !reader_.open(path_) || !read_next()) return;
        // A new round begins right after the last message of the old one.
        round_start_ = wire_free;
        first_us_ = last_us_ = ahead_.time.total_micros();
    }
    // Times that run backwards count as no gap: the file's order stands.
    last_us_ = std::max(last_us_, ahead_.time.total_micros());
    // Capped at about 30 years, so a slow speed cannot overflow the clock.
    const double gap = std::min(static_cast<double>(last_us_ - first_us_) / speed_, 1e15);
    due_ = std::max(wire_free, round_start_ + kvr_sim_time{static_cast<int64_t>(std::llround(gap))});
}
