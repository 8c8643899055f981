#pragma once
// Sets the abort event when the time-out runs out or a stop signal comes
// (SIGINT from Ctrl-C, SIGTERM, SIGHUP from a closed terminal, SIGQUIT), so
// that a waiting command-station operation ends with its "CANCEL" report
// and the link is closed in order.
//
// A signal handler may not lock a mutex, and setting the event does. The
// handler therefore only writes one byte into a pipe; a small watcher thread
// waits on that pipe with the time-out as its poll limit and sets the event.
//
// Every way out releases the port: an exclusive lock left on a terminal
// whose other side stays open (a simulator's) outlives the program and
// locks out every later command of an ordinary user. A second stop signal
// while the first is being handled ends the program at once with status 3,
// and so does a command still running 0.8 s after the stop (its output or a
// FIFO blocks the orderly way out, which takes milliseconds), so that every
// stop ends the program within a second; both release the held ports first.

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

    // How long the orderly way out may take after a stop. The ordinary way
    // out (closing the link, the server's clients, the last flush) takes a
    // fifth of this. A ThreadSanitizer build runs every step of it five to
    // fifteen times slower, and a way out that is slow but moving must not
    // be cut short as if it were blocked.
#if defined(__SANITIZE_THREAD__)
    static constexpr std::chrono::milliseconds stop_grace{8000};
#else
    static constexpr std::chrono::milliseconds stop_grace{800};
#endif

    kvr_sys_event& abort_;
    bool signals_;
    int pipe_[2] = {-1, -1};
    std::atomic<cli_abort_reason> reason_{cli_abort_reason::none};
    std::thread thread_;
};
