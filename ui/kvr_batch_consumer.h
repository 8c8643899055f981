#pragma once
// A part of the window fed from the monitor sink. The dialog drains the
// sink on the GUI thread and hands every run of lines, in order, to each
// consumer in its list; the bus state has taken each message in before the
// first consumer sees the batch, so every consumer reads the same state.
// A lost-link or refusal report ends a run: the lines before it are handed
// on first.
//
// forget(): another layout, or none. Called at every Connect (after the
// lines of the link before it were handed on) and at every Close and loss.

#include <span>

#include "ui/kvr_monitor_sink.h"

class kvr_batch_consumer {
public:
    virtual ~kvr_batch_consumer() = default;
    // Monitor lines and messages, oldest first; never a lost or refused report.
    virtual void on_batch(std::span<const kvr_drained> batch) = 0;
    virtual void forget() = 0;
};
