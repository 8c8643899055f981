#pragma once
// busprobe-cli send: one LocoNet message typed by hand.
//   busprobe-cli -p SIM send B0 0B 30      (checksum added: B0 0B 30 74)
//   busprobe-cli -p SIM send "B0 0B 30 74"
// A bad message is a usage error (status 2) found before any port opens,
// so nothing is sent.

#include <string>
#include <vector>

#include "apps/cli/cli_command.h"

class kvr_dccx_loconet;

// The words after "send" (each may hold several bytes). Throws
// cli_usage_error naming the fault.
void cli_parse_send(const std::vector<std::string>& words, cli_command& cmd);

// Queues the message; whether it went out is decided as for every command
// (the transmit queue drained, no collision gave it up, no server refused it).
int cli_run_send(kvr_dccx_loconet& station, const cli_command& cmd);
