#pragma once
// Command line of the standalone simulated station (busprobe-sim).

#include <optional>
#include <string>
#include <vector>

#include "link/kvr_lntcp_server.h"
#include "sim/kvr_sim_options.h"

struct kvr_sim_args {
    kvr_sim_options options;
    std::string link;  // --link PATH: a symbolic link to the device
    bool log = false;  // --log: each message on the bus as a monitor line
    // --tcp [ADDR:]PORT: also serve the bus to LocoNet-over-TCP clients.
    std::optional<kvr_lntcp_endpoint> tcp;
    // --replay FILE [--speed X] [--loop]: a capture played as bus traffic
    std::string replay;
    double replay_speed = 1;
    bool replay_loop = false;
    bool help = false;
    bool version = false;  // --version
    std::string error;  // set when the command line is not understood
};

// Arguments without the program name. Realistic timing unless told otherwise.
kvr_sim_args kvr_sim_parse_args(const std::vector<std::string>& args);
// The text of --help.
std::string kvr_sim_usage();
