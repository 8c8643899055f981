#pragma once
// The built-in port "SIM": opening it starts the simulated command station on
// a pseudo-terminal pair and opens the serial driver on the other side, so the
// program runs the same serial path as with a real adapter. Closing the link
// stops the station.

#include "sim/kvr_sim_options.h"

class kvr_link;

// The name a user picks for the simulated layout.
inline constexpr const char* kvr_sim_port_name = "SIM";

// Offers "SIM" on `link`, with these options. Each link keeps its own: the
// window, a command of the command-line tool and a test in one process each
// get the layout they asked for. Call while the link is closed; a second call
// replaces the options for the next open.
void kvr_sim_register_port(kvr_link& link, const kvr_sim_options& options);
