#pragma once
// Sets the abort event when the time-out runs out or the user presses Ctrl-C
// (SIGINT, also SIGTERM), so that a waiting command-station operation ends
// with its "CANCEL" report and the link is closed in order.
//
// A signal handler may not lock a mutex, and setting the event does. The
// handler therefore only writes one byte into a pipe; a small watcher thread
// waits on that pipe with the time-out as its poll limit and sets the event.
// A second Ctrl-C while the first is still being handled ends the program at
// once with status 3.

#include <atomic>
#include <chrono>
#include <thread>

#include "foundation/kvr_sys_event.h"

enum class cli_abort_reason { none, timeout, interrupt };

class cli_abort_watch {
public:
    // timeout_s 0: no time limit. Only one watch may catch signals at a time.
    cli_abort_watch(kvr_sys_event& abort, double timeout_s, bool catch_signals);
    cli_abort_watch(const cli_abort_watch&) = delete;
    cli_abort_watch& operator=(const cli_abort_watch&) = delete;
    ~cli_abort_watch();

    // What set the abort event, if this watch did.
    cli_abort_reason reason() const { return reason_.load(); }

private:
    void run(std::chrono::steady_clock::time_point deadline, bool has_deadline);
    void fire(cli_abort_reason why);

    kvr_sys_event& abort_;
    bool signals_;
    int pipe_[2] = {-1, -1};
    std::atomic<cli_abort_reason> reason_{cli_abort_reason::none};
    std::thread thread_;
};
