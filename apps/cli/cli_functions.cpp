#include "apps/cli/cli_functions.h"

#include "apps/cli/cli_main.h"
#include "loconet/kvr_monitor.h"

int cli_run_clock_set(kvr_dccx_loconet& station, const cli_command& cmd, std::ostream& out) {
    kvr_clock_setting set;
    set.hour = static_cast<uint8_t>(cmd.clock_hour);
    set.minute = static_cast<uint8_t>(cmd.clock_minute);
    if (cmd.clock_rate) set.rate = static_cast<uint8_t>(*cmd.clock_rate);
    set.run = !cmd.clock_stop;
    out << kvr_monitor::to_text(station.do_set_fast_clock(set)) << '\n';
    return kvr_cli_ok;
}
