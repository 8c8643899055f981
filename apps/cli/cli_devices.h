#pragma once
// busprobe-cli devices, sv, lncv and opsw: the devices on the bus, their
// variables and the option switches, through the station's exchanges
// (station/kvr_devices.h). One line per device or variable on standard
// output, nothing else on it:
//     sv2 3 manufacturer 13 developer 1 product 4660 serial 22136
//     lncv 1 article 6861
//     SV 10 = 133
//     LNCV 1 = 2
//     OpSw 5 closed
// A failure raises the station's report (exit 1): the device, the variable
// and what came back.

#include <ostream>

#include "apps/cli/cli_command.h"
#include "station/kvr_dccx_loconet.h"

// Returns the exit status.
int cli_run_devices(kvr_dccx_loconet& station, const cli_command& cmd, std::ostream& out, std::ostream& err);
