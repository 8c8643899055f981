#pragma once
// A serial device shared over LocoNet over TCP on an ephemeral loopback port,
// as `busprobe-cli serve` shares a port; and the simulated layout on its
// pseudo-terminal shared that way.

#include <string>

#include "link/kvr_lntcp_share.h"
#include "link/kvr_link.h"
#include "sim/kvr_sim_runner.h"

struct shared_port {
    explicit shared_port(const std::string& device) {
        bus_link.open(device);
        bus_link.add_listener(&share);
        share.start();
    }
    ~shared_port() {
        share.stop();
        bus_link.close();
    }
    std::string url() { return "tcp://127.0.0.1:" + std::to_string(share.server().port()); }

    static kvr_lntcp_server_options options() {
        kvr_lntcp_server_options o;
        o.listen = {"127.0.0.1", 0};
        o.version = "Busprobe test";
        return o;
    }

    kvr_link bus_link;
    kvr_lntcp_share share{bus_link, options(), nullptr};
};

struct shared_sim {
    std::string url() { return port.url(); }

    kvr_sim_runner runner{kvr_sim_options{.instant = true}};
    shared_port port{runner.device_path()};
};
