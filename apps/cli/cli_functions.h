#pragma once
// busprobe-cli: throttle --f for F9 to F28, and clock set.

#include <ostream>

#include "apps/cli/cli_command.h"
#include "station/kvr_dccx_loconet.h"

// True when the throttle command names only F9..F28 and sends them as DCC
// packets: nothing of the locomotive's slot is needed then.
bool cli_only_packet_functions(const cli_command& cmd);

// Sends every --f of F9..F28, lowest first. A command station does not keep
// these functions, so the others of a group that this command does not name
// go out off.
int cli_run_high_functions(kvr_dccx_loconet& station, const cli_command& cmd);

// Writes the fast clock and prints the monitor line of the slot read back.
int cli_run_clock_set(kvr_dccx_loconet& station, const cli_command& cmd, std::ostream& out);
