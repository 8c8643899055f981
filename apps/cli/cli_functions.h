#pragma once
// busprobe-cli: clock set.

#include <ostream>

#include "apps/cli/cli_command.h"
#include "station/kvr_dccx_loconet.h"

// Writes the fast clock and prints the monitor line of the slot read back.
int cli_run_clock_set(kvr_dccx_loconet& station, const cli_command& cmd, std::ostream& out);
