#pragma once
// Rate limit for failure records: the first failure passes, then at most one
// per period, carrying the count of failures left out since the last record.
// A port that keeps failing every poll cycle would otherwise add a hundred
// records a second to the dated log.

#include <chrono>

class kvr_repeat_gate {
public:
    using clock = std::chrono::steady_clock;

    explicit kvr_repeat_gate(clock::duration period = std::chrono::minutes(1)) : period_(period) {}

    // True when a record may be written at `now`; `left_out` then receives the
    // number of failures that did not pass since the previous record.
    bool pass(clock::time_point now, unsigned& left_out) {
        if (recorded_ && now - last_ < period_) {
            ++left_out_;
            return false;
        }
        left_out = left_out_;
        left_out_ = 0;
        last_ = now;
        recorded_ = true;
        return true;
    }

    void reset() {
        recorded_ = false;
        left_out_ = 0;
    }

private:
    clock::duration period_;
    clock::time_point last_{};
    bool recorded_ = false;
    unsigned left_out_ = 0;
};
