#include "station/kvr_waiter.h"

// The abort event comes first so that a set abort wins over a filed reply.
kvr_wait_result kvr_waiter::wait(kvr_sys_event* abort, kvr_sys_event* wake, unsigned ms) {
    switch (kvr_sys_event::wait_any({abort, wake}, ms)) {
    case 0:
        return kvr_wait_result::aborted;
    case 1:
        return kvr_wait_result::woken;
    default:
        return kvr_wait_result::timed_out;
    }
}
