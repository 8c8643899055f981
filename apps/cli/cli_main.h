#pragma once
// busprobe-cli: the bus from a terminal. Every command opens the link, runs
// the same command-station operations as the window, waits until its
// messages have left the transmit queue and closes the link again.
//
// Exit statuses, for scripts:
//   0  success
//   1  the operation failed (the full failure report on standard error)
//   2  usage error (one line naming the fault, then the usage)
//   3  cancelled by --timeout or by Ctrl-C (SIGINT) / SIGTERM

#include <functional>
#include <iosfwd>
#include <string>
#include <vector>

#include "sim/kvr_sim_options.h"

enum kvr_cli_status {
    kvr_cli_ok = 0,
    kvr_cli_failed = 1,
    kvr_cli_usage = 2,
    kvr_cli_cancelled = 3,
};

struct kvr_cli_context {
    std::istream* in = nullptr;
    std::ostream* out = nullptr;
    std::ostream* err = nullptr;
    // errno of a failed write to `out` (0: none, or not known), so that a
    // reader that went away (EPIPE) can be told from a full disk.
    std::function<int()> out_error;
    // SIGINT and SIGTERM set the abort event while a command runs. Off when
    // the tool runs inside another program (the tests).
    bool handle_signals = true;
    // Settings file that names the default port; empty: the window's
    // (cli_settings_path).
    std::string settings_path;
    // The simulated station behind the port name "SIM", offered on each bus
    // command's own link with these options.
    kvr_sim_options sim;
};

// The window's settings file, which the tool shares: the window program
// `busprobe` is installed beside busprobe-cli, so its file is that of an
// executable `busprobe` in this program's folder: busprobe.ini there, or
// $XDG_CONFIG_HOME/busprobe/busprobe.ini (~/.config/...) when that folder is
// not writable and holds no busprobe.ini.
std::string cli_settings_path_for(const std::string& cli_exe, const char* xdg_config_home, const char* home);
std::string cli_settings_path();

// args excludes the program name.
int kvr_cli_run(const std::vector<std::string>& args, kvr_cli_context& ctx);

int kvr_cli_main(int argc, char** argv);
