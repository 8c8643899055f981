#include "apps/cli/cli_functions.h"

#include "apps/cli/cli_main.h"
#include "loconet/kvr_monitor.h"
#include "station/kvr_bus_state.h"

namespace {

// F0..F8 travel in the slot; from F9 on as packets or A3/D4.
constexpr unsigned high_first = kvr_proto::slot_function_max + 1;

}  // namespace

bool cli_only_packet_functions(const cli_command& cmd) {
    if (cmd.speed || cmd.forward || cmd.functions.empty() || cmd.functions_as_opcodes) return false;
    return cmd.functions.begin()->first >= high_first;  // the map is ordered
}

int cli_run_high_functions(kvr_dccx_loconet& station, const cli_command& cmd) {
    // Filled as the functions go out, so two of one group travel together.
    kvr_bus_state sent;
    const kvr_function_send how = cmd.functions_as_opcodes ? kvr_function_send::opcodes : kvr_function_send::packet;
    const auto address = static_cast<uint16_t>(cmd.address);
    for (const auto& [n, on] : cmd.functions)
        if (n >= high_first) station.do_function(address, n, on, sent, how);
    return kvr_cli_ok;
}

int cli_run_clock_set(kvr_dccx_loconet& station, const cli_command& cmd, std::ostream& out) {
    kvr_clock_setting set;
    set.hour = static_cast<uint8_t>(cmd.clock_hour);
    set.minute = static_cast<uint8_t>(cmd.clock_minute);
    if (cmd.clock_rate) set.rate = static_cast<uint8_t>(*cmd.clock_rate);
    set.run = !cmd.clock_stop;
    out << kvr_monitor::to_text(station.do_set_fast_clock(set)) << '\n';
    return kvr_cli_ok;
}
