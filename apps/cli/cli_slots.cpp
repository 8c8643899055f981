// busprobe-cli slots: every slot the bus shows, or every loco slot read from
// the command station, fed into the same bus state as the window's.

#include "apps/cli/cli_slots.h"

#include <chrono>
#include <mutex>

#include "apps/cli/cli_main.h"
#include "foundation/kvr_exception.h"
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
        // The expanded answers come after the classic ones and carry F0..F28.
        for (unsigned s = kvr_slot_loco_first; s <= kvr_slot_expanded_last; ++s)
            if (std::optional<kvr_loconet_msg> data = stores.exp_slot_data(static_cast<uint16_t>(s)))
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

// The slots asked for so far and how many answered, kept as they come so
// that a read stopped early can say how far it came.
struct read_progress {
    unsigned asked = 0;
    unsigned answered = 0;
    unsigned refused = 0;
};

void print_table(const kvr_bus_state& table, const cli_command& cmd, std::ostream& out, std::ostream& err,
                 bool say_none) {
    unsigned shown = 0;
    for (const auto& [slot, e] : table.loco_slots()) {
        if (!cmd.all_slots && e.usage() != kvr_proto::usage_in_use) continue;
        out << kvr_slot_line(e) << '\n';
        ++shown;
    }
    out.flush();
    if (shown == 0 && say_none) err << "busprobe-cli: no slot " << (cmd.all_slots ? "seen" : "in use") << "\n";
}

void print_count(const read_progress& p, std::ostream& err) {
    err << "busprobe-cli: " << p.answered << " of " << p.asked << " slots answered";
    if (p.refused > 0) err << ", " << p.refused << " refused by the command station";
}

// A read stopped by the time-out, Ctrl-C or a refusal of the link: what it
// read is printed before the failure is reported (by the caller, which
// names the cause).
int read_slots(kvr_dccx_loconet& station, cli_sink& sink, const cli_command& cmd, kvr_slot_choice choice,
               std::ostream& out, std::ostream& err) {
    kvr_bus_state table;
    read_progress p;
    read_progress x;  // the expanded read
    kvr_dccx_loconet::slot_read_result r;
    try {
        const auto count = [&](read_progress& n) {
            return [&sink, &table, c = &n](uint16_t, kvr_dccx_loconet::slot_answer a) {
                ++c->asked;
                if (a == kvr_dccx_loconet::slot_answer::data) ++c->answered;
                if (a == kvr_dccx_loconet::slot_answer::refused) ++c->refused;
                take_messages(sink, table);
            };
        };
        r = station.do_read_loco_slots(choice, count(p), count(x)).classic;
    } catch (const kvr_exception&) {
        take_messages(sink, table);
        take_stored(station, table);
        print_table(table, cmd, out, err, false);
        print_count(p, err);
        if (x.asked > 0) err << "; expanded slots: " << x.answered << " of " << x.asked << " answered";
        err << " before the read stopped\n";
        throw;
    }
    take_messages(sink, table);
    take_stored(station, table);
    if (r.station_silent) {
        err << "busprobe-cli: no answer from the command station: slots 1 to " << r.asked
            << " were asked for twice each, and nothing came\n";
        return kvr_cli_failed;
    }
    print_table(table, cmd, out, err, true);
    print_count(p, err);
    if (x.asked > 0) err << "; expanded slots: " << x.answered << " of " << x.asked << " answered";
    err << "\n";
    return kvr_cli_ok;
}

}  // namespace

int cli_run_slots(kvr_dccx_loconet& station, cli_sink& sink, const cli_command& cmd, kvr_slot_choice choice,
                  kvr_sys_event& abort, std::ostream& out, std::ostream& err) {
    if (cmd.release_slot != 0) {
        station.do_release_slot(static_cast<uint16_t>(cmd.release_slot));
        return kvr_cli_ok;
    }
    if (cmd.dispatch_slot != 0) {
        station.do_dispatch_slot(static_cast<uint16_t>(cmd.dispatch_slot));
        return kvr_cli_ok;
    }
    if (cmd.read_slots) return read_slots(station, sink, cmd, choice, out, err);
    kvr_bus_state table;
    listen(sink, table, abort);
    print_table(table, cmd, out, err, true);
    return kvr_cli_ok;
}
