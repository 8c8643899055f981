#pragma once
// The built-in port "SIM": opening it starts the simulated command station on
// a pseudo-terminal pair and opens the serial driver on the other side, so the
// program runs the same serial path as with a real adapter. Closing the link
// stops the station.

#include "sim/kvr_sim_options.h"

// Registers the port name "SIM" with the serial driver. Call once at start-up.
void kvr_sim_register_port(const kvr_sim_options& options);
