#pragma once
// Running a parsed bus command: open the link, run the command-station
// operations, let the transmit queue drain, close the link.

#include "apps/cli/cli_command.h"
#include "apps/cli/cli_main.h"

// Returns the exit status (kvr_cli_status). Writes results to ctx.out and
// reports to ctx.err. An unknown port name throws cli_usage_error before
// anything is opened.
int cli_run_bus_command(const cli_command& cmd, kvr_cli_context& ctx);

// "CV 29 = 6 (0x06, 00000110)"
std::string cli_cv_line(unsigned cv, unsigned value);
