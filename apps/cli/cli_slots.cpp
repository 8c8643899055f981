// busprobe-cli slots: every slot the bus shows, or every loco slot read from
// the command station, fed into the same bus state as the window's.

#include "apps/cli/cli_slots.h"

#include <chrono>
#include <mutex>

#include "apps/cli/cli_main.h"
#include "station/kvr_bus_state.h"

namespace {

void take_messages(cli_sink& sink, kvr_bus_state& table) {
    cli_lines batch = sink.take_lines();
    for (const kvr_capture_entry& e : batch.messages) table.on_message(e.msg, e.time);
}

// The slot store follows every message the link has framed, so after the
// sink's messages its copies are the newest word on each slot read.
void take_stored(kvr_dccx_loconet& station, kvr_bus_state& table) {
    const kvr_capture_time now = kvr_capture_time::now();
    station.with_stores([&](const kvr_reply_stores& stores) {
        for (unsigned s = kvr_slot_loco_first; s <= kvr_slot_loco_last; ++s)
            if (std::optional<kvr_loconet_msg> data = stores.slot_data(static_cast<uint8_t>(s)))
                table.on_message(*data, now);
    });
}

// Until the listening time is over or the abort event (time-out, Ctrl-C)
// is set.
void listen(cli_sink& sink, kvr_bus_state& table, kvr_sys_event& abort) {
    using clock = std::chrono::steady_clock;
    const auto end = clock::now() + std::chrono::milliseconds(cli_slots_listen_ms);
    for (;;) {
        take_messages(sink, table);
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(end - clock::now()).count();
        if (left <= 0 || abort.is_set()) return;
        kvr_sys_event::wait_any({&abort, &sink.line_ready()}, static_cast<unsigned>(left));
    }
}

}  // namespace

int cli_run_slots(kvr_dccx_loconet& station, cli_sink& sink, const cli_command& cmd,
                  kvr_sys_event& abort, std::ostream& out, std::ostream& err) {
    kvr_bus_state table;
    if (cmd.read_slots) {
        const auto r = station.do_read_all_slots(kvr_slot_loco_first, kvr_slot_loco_last,
                                                 [&](uint8_t, bool) { take_messages(sink, table); });
        take_messages(sink, table);
        take_stored(station, table);
        err << "busprobe-cli: " << r.answered << " of " << r.asked << " slots answered\n";
    } else {
        listen(sink, table, abort);
    }
    unsigned shown = 0;
    for (const auto& [slot, e] : table.loco_slots()) {
        if (!cmd.all_slots && e.usage() != kvr_proto::usage_in_use) continue;
        out << kvr_slot_line(e) << '\n';
        ++shown;
    }
    if (shown == 0) err << "busprobe-cli: no slot " << (cmd.all_slots ? "seen" : "in use") << "\n";
    return kvr_cli_ok;
}
