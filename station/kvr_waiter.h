#pragma once
// One wait step of a command-station operation. The default blocks the
// calling thread; the window installs one that keeps its event loop running
// and offers Cancel.

#include "foundation/kvr_sys_event.h"

enum class kvr_wait_result {
    timed_out,  // the whole time ran out
    woken,      // `wake` was set: a reply was filed, look again
    aborted,    // the abort event is set
};

class kvr_waiter {
public:
    virtual ~kvr_waiter() = default;
    // Waits up to `ms` on `abort` and `wake` (either may be null). The abort
    // event is manual-reset and must stay set.
    virtual kvr_wait_result wait(kvr_sys_event* abort, kvr_sys_event* wake, unsigned ms);
};
