#pragma once
// The lines of busprobe-sim --log, written to a descriptor by a thread of
// their own. The bus thread only queues a line and goes on: a reader that
// falls behind, or never reads (`busprobe-sim --log | sleep 600`), must not
// stall the bus, and a stop signal must end the program whatever the reader
// does.
//
// At most `max_lines` lines wait. Past that, new lines are dropped and
// counted; when there is room again the count is written where they would
// have stood: "… 1200 lines not shown".

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <thread>

class kvr_sim_log {
public:
    explicit kvr_sim_log(int fd, std::size_t max_lines = 4096);
    kvr_sim_log(const kvr_sim_log&) = delete;
    kvr_sim_log& operator=(const kvr_sim_log&) = delete;
    ~kvr_sim_log();

    // Called on the writer thread once, when the reader has gone (EPIPE).
    // Set before start().
    std::function<void()> on_reader_gone;

    // Begins writing. Lines queued before wait until then.
    void start();
    // Queues one line (without its line end). Never waits for the reader.
    void push(std::string line);
    // Ends the writer: lines the descriptor takes without waiting are still
    // written, then it stops. True when the writer ended within `grace_ms`;
    // otherwise it is left blocked in a write (a terminal held with Ctrl-S)
    // and ends with the process.
    bool stop(unsigned grace_ms = 500);

    // The text that stands for `n` dropped lines.
    static std::string dropped_text(std::size_t n);

private:
    struct state;  // shared with the writer thread, which may outlive us
    std::shared_ptr<state> s_;
    std::thread writer_;
};
