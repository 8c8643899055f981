#pragma once
// busprobe-cli slots [--read] [--all]: the command station's loco slots, one
// line each, the slot number and the loco address first:
//     5  loco 1234  in use  128 steps  speed 40  fwd  F0-F8 100000000
// an expanded slot with F0..F28 from the slot itself:
//   130  loco 3  in use  128 steps  speed 10  fwd  F0-F28 10000000000010000000000000000
// busprobe-cli slots --release N / --dispatch N: the command station's
// release and dispatch of one loco slot.

#include <ostream>

#include "apps/cli/cli_command.h"
#include "apps/cli/cli_sink.h"
#include "station/kvr_dccx_loconet.h"

// How long `slots` without --read listens to the bus.
constexpr unsigned cli_slots_listen_ms = 5000;

// `sink` must be set to recording (it hands over every message with its
// time). Returns the exit status.
// `choice`: whether --read also asks for the expanded slots (expanded:
// always; automatic: when the command station offers them).
int cli_run_slots(kvr_dccx_loconet& station, cli_sink& sink, const cli_command& cmd, kvr_slot_choice choice,
                  kvr_sys_event& abort, std::ostream& out, std::ostream& err);
