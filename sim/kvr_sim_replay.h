#pragma once
// A capture file played as bus traffic, on the simulator's clock. The file
// is streamed one message ahead, so any length plays in bounded memory.
//
// Times: the first message falls due at the start time, every later one
// after the gap between its receive time and the first one's, divided by
// `speed` (2 plays twice as fast). A receive time earlier than the one
// before it (the recording machine's clock was set back) counts as no gap,
// so the order of the file is kept. No message falls due before the one
// before it has had its time on the bus (10 bits a byte at 16457 baud), so
// messages recorded at one time follow each other at the bus rate. With
// `loop` the file starts over once its last message has been played, the
// first message of the new round right after the last one of the old.

#include <cstdint>
#include <optional>
#include <string>

#include "loconet/kvr_capture.h"
#include "sim/kvr_sim_clock.h"

class kvr_sim_replay {
public:
    kvr_sim_replay(std::string path, double speed, bool loop);
    kvr_sim_replay(const kvr_sim_replay&) = delete;
    kvr_sim_replay& operator=(const kvr_sim_replay&) = delete;
    virtual ~kvr_sim_replay() = default;

    // Opens the file and reads its first message. False with the reason in
    // error() when it cannot be read or holds no message at all.
    bool open();
    const std::string& error() const { return error_; }

    // Starts the clock of the file at `at`; nothing falls due before.
    void start(kvr_sim_time at);
    bool started() const { return started_; }
    // When the next message falls due; nothing before start() and after the
    // end of a file played once.
    std::optional<kvr_sim_time> next_due() const;
    // Hands every message due by `now` to `on_message`, oldest first.
    template <class F>
    void take_due(kvr_sim_time now, F&& on_message) {
        while (const std::optional<kvr_sim_time> due = next_due()) {
            if (*due > now) return;
            on_message(ahead_.msg);
            advance();
        }
    }
    // Messages played so far (all rounds).
    uint64_t played() const { return played_; }

private:
    bool read_next();  // into ahead_; false at the end of the file
    void advance();

    std::string path_;
    double speed_;
    bool loop_;
    std::string error_;
    kvr_capture_reader reader_;
    bool have_ahead_ = false;
    kvr_capture_entry ahead_;
    bool started_ = false;
    kvr_sim_time round_start_{0};
    int64_t first_us_ = 0;   // receive time of the round's first message
    int64_t last_us_ = 0;    // the latest receive time of the round so far
    kvr_sim_time due_{0};
    uint64_t played_ = 0;
};
