// The bus commands of busprobe-cli. Each one runs the same command-station
// operations as the window, from the calling thread, with the abort event
// set by the time-out or Ctrl-C.

#include "apps/cli/cli_bus.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <ostream>
#include <utility>

#include "apps/cli/cli_abort.h"
#include "apps/cli/cli_devices.h"
#include "apps/cli/cli_functions.h"
#include "apps/cli/cli_send.h"
#include "apps/cli/cli_sink.h"
#include "apps/cli/cli_slots.h"
#include "foundation/kvr_exception.h"
#include "foundation/kvr_file.h"
#include "foundation/kvr_ini.h"
#include "foundation/kvr_text.h"
#include "foundation/kvr_build.h"
#include "link/kvr_lntcp_connect.h"
#include "link/kvr_lntcp_share.h"
#include "loconet/kvr_monitor.h"
#include "link/kvr_link.h"
#include "sim/kvr_sim_port.h"
#include "station/kvr_dccx_loconet.h"
#include "station/kvr_throttle.h"

namespace {

constexpr const char* source_name = "busprobe-cli";

// The link, its sink and the command station, in the order in which they
// must be torn down: station, then link (its I/O thread stops in close),
// then the sink the thread posted to.
struct bus_session {
    bus_session(bool monitoring, const cli_command& cmd, kvr_sys_event& abort)
        : sink(monitoring, cmd.show_time, cmd.show_hex, abort), station(link) {
        sink.set_extended(cmd.extended);
        // The slots command takes the messages themselves, with their times.
        sink.set_recording(cmd.verb == cli_verb::record || cmd.verb == cli_verb::slots);
        // After the station, which listens from its construction: the
        // stores hold a message before its line is shown.
        link.add_listener(&sink);
        station.set_abort_event(&abort);
    }
    ~bus_session() {
        link.close();
        link.remove_listener(&sink);
    }
    cli_sink sink;
    kvr_link link;
    kvr_dccx_loconet station;
    kvr_throttle throttle{station, link};
};

// The lost link's report leads with its line in plain words, as every
// report does; the record of the failure follows.
void print_lost(std::ostream& err, const std::string& port, const std::string& report) {
    const std::size_t nl = report.find('\n');
    if (nl != std::string::npos) err << report.substr(0, nl + 1);
    err << "busprobe-cli: the link to " << port << " was lost\n"
        << (nl == std::string::npos ? report : report.substr(nl + 1)) << "\n";
}

bool is_cancel(const kvr_exception& e) {
    // The innermost line of the report names the cause.
    std::size_t last = e.message.rfind('\n');
    std::string inner = last == std::string::npos ? e.message : e.message.substr(last + 1);
    return inner.rfind("CANCEL", 0) == 0;
}

int run_power(bus_session& s, const cli_command& cmd) {
    if (cmd.power_on) s.station.do_startup();
    else s.station.do_shutdown(0);
    return kvr_cli_ok;
}

int run_clock(bus_session& s, std::ostream& out) {
    out << kvr_monitor::to_text(s.station.do_read_slot(kvr_slot_fast_clock)) << '\n';
    return kvr_cli_ok;
}

// The command station acknowledges a switch request, or refuses it when its
// switch FIFO is full; the turnout then stays as it was.
int run_switch(bus_session& s, const cli_command& cmd, std::ostream& err) {
    const kvr_loconet_msg ack = s.station.do_sw_acknowledged(static_cast<uint16_t>(cmd.switch_number),
                                                             cmd.closed ? 1 : 0, cmd.output_on);
    // ACK1 0 refuses a switch request: the command station's switch FIFO is full.
    if (ack[kvr_proto::lack_ack1] != kvr_proto::ack_refused) return kvr_cli_ok;
    err << "busprobe-cli: switch " << cmd.switch_number << " refused by the command station\n"
        << kvr_monitor::to_text(ack) << "\n";
    return kvr_cli_failed;
}

// F9..F28 as DCC packets need no slot; anything else drives the loco.
bool only_packet_functions(const cli_command& cmd, kvr_function_send how) {
    if (cmd.speed || cmd.forward || cmd.functions.empty() || how != kvr_function_send::packet) return false;
    return cmd.functions.begin()->first > kvr_proto::slot_function_max;  // the map is ordered
}

// The window's FUNCSEND setting, unless --functions names the way.
kvr_function_send function_send_of(const cli_command& cmd, const kvr_cli_context& ctx) {
    if (cmd.functions_given) return cmd.functions_as_opcodes ? kvr_function_send::opcodes : kvr_function_send::packet;
    const kvr_ini ini(ctx.settings_path.empty() ? cli_settings_path() : ctx.settings_path);
    return ini.get_string("SETTING", "FUNCSEND", "packet") == "opcodes" ? kvr_function_send::opcodes
                                                                        : kvr_function_send::packet;
}

// --slots, else the window's SLOTS setting, else auto.
kvr_slot_choice slot_choice_of(const cli_command& cmd, const kvr_cli_context& ctx) {
    if (!cmd.slots_choice.empty()) return kvr_parse_slot_choice(cmd.slots_choice).value_or(kvr_slot_choice::automatic);
    const kvr_ini ini(ctx.settings_path.empty() ? cli_settings_path() : ctx.settings_path);
    return kvr_parse_slot_choice(ini.get_string("SETTING", "SLOTS", "auto")).value_or(kvr_slot_choice::automatic);
}

// The command's arguments mapped onto the throttle: without options a read
// that changes nothing; otherwise the read and the take, then each change
// named, one message for the direction and F0..F4 together.
int run_throttle(bus_session& s, const cli_command& cmd, kvr_cli_context& ctx) {
    kvr_throttle& t = s.throttle;
    const kvr_function_send how = function_send_of(cmd, ctx);
    t.set_function_send(how);
    const kvr_slot_choice choice = slot_choice_of(cmd, ctx);
    t.set_slot_choice(choice);
    const auto address = static_cast<uint16_t>(cmd.address);
    if (!cmd.speed && !cmd.forward && cmd.functions.empty()) {
        *ctx.out << kvr_monitor::to_text(s.station.do_read_loco(address)) << '\n';
        return kvr_cli_ok;
    }
    // An expanded slot keeps F9..F28 itself: chosen, they go to the slot (D5).
    if (choice != kvr_slot_choice::expanded && only_packet_functions(cmd, how)) {
        t.send_packet_functions(address, cmd.functions);
        return kvr_cli_ok;
    }
    const kvr_throttle::acquired got = t.acquire(address, cmd.steal);
    if (got.result == kvr_throttle::outcome::held_elsewhere) {
        std::string what;
        string_appendf(what,
                       "busprobe-cli: locomotive %u is in use by throttle %u (0x%04X) in slot %u: nothing was sent "
                       "to it; give --steal to take it",
                       address, got.loco.holder, got.loco.holder, got.loco.slot);
        *ctx.err << what << "\n";
        return kvr_cli_failed;
    }
    if (cmd.speed && cmd.steps_given) t.set_steps(static_cast<int>(cmd.steps));
    if (cmd.forward || !cmd.functions.empty()) t.set_functions(cmd.functions, cmd.forward);
    if (cmd.speed) {
        // --steps 28 counts steps; otherwise the speed is on the wire's 0..127.
        const int steps = t.loco().steps();
        const int step = cmd.steps_given && cmd.steps == 28 ? static_cast<int>(*cmd.speed)
                                                            : kvr_throttle_step(static_cast<uint8_t>(*cmd.speed), steps);
        t.set_speed(step);
    }
    return kvr_cli_ok;
}

// The stop goes out ahead of anything queued. A loco whose slot the command
// station does not name in time is stopped with every other one.
constexpr unsigned stop_find_units = 4;  // 2 s

int run_stop(bus_session& s, const cli_command& cmd, std::ostream& err) {
    if (cmd.stop_all) {
        s.throttle.stop_all();
        return kvr_cli_ok;
    }
    if (s.throttle.stop_loco(static_cast<uint16_t>(cmd.address), stop_find_units)) return kvr_cli_ok;
    err << "busprobe-cli: the command station did not name the slot of locomotive " << cmd.address
        << " in time, so every locomotive was stopped (OPC_IDLE)\n";
    return kvr_cli_failed;
}

int run_cv_read(bus_session& s, const cli_command& cmd, std::ostream& out, std::ostream& err) {
    kvr_dccx_loconet& st = s.station;
    uint16_t v = 0;
    switch (cmd.mode) {
        case cli_cv_mode::paged: v = st.do_paged_read(cmd.cv); break;
        case cli_cv_mode::direct: v = st.do_direct_read(cmd.cv); break;
        case cli_cv_mode::reg: v = st.do_register_read(cmd.cv); break;
        case cli_cv_mode::ops: v = st.do_ops_read(cmd.address, cmd.cv); break;
        case cli_cv_mode::direct_bits: v = st.do_direct_readex(cmd.cv); break;
        case cli_cv_mode::ops_bits: v = st.do_ops_readex(cmd.address, cmd.cv); break;
    }
    if (v == 0xFFFF) {
        err << "CV " << cmd.cv << ": no acknowledge from the decoder\n";
        return kvr_cli_failed;
    }
    out << cli_cv_line(cmd.cv, v) << '\n';
    return kvr_cli_ok;
}

int run_cv_write(bus_session& s, const cli_command& cmd) {
    auto value = static_cast<uint8_t>(cmd.value);
    switch (cmd.mode) {
        case cli_cv_mode::paged: s.station.do_paged_write(cmd.cv, value); break;
        case cli_cv_mode::direct: s.station.do_direct_write(cmd.cv, value); break;
        case cli_cv_mode::reg: s.station.do_register_write(cmd.cv, value); break;
        case cli_cv_mode::ops: s.station.do_ops_write(cmd.address, cmd.cv, value, cmd.feedback); break;
        case cli_cv_mode::direct_bits:
        case cli_cv_mode::ops_bits: break;  // refused by the parser
    }
    return kvr_cli_ok;
}

int run_address_write(bus_session& s, const cli_command& cmd) {
    uint32_t mode = cmd.mode == cli_cv_mode::direct ? 1 : 0;
    s.station.do_write_ex_address(mode, static_cast<uint8_t>(cmd.cv17), static_cast<uint8_t>(cmd.cv18));
    return kvr_cli_ok;
}

// A dated log that cannot be written ends the monitor. The report names the
// folder as the user typed it, quoted: a --log-dir with control characters
// must not drive the terminal.
int log_failed(const cli_command& cmd, const kvr_exception& e, std::ostream& err) {
    err << "busprobe-cli: the log cannot be written in " << cli_quoted(cmd.log_dir.empty() ? "." : cmd.log_dir) << " ("
        << std::strerror(static_cast<int>(e.code)) << ")\n";
    return kvr_cli_failed;
}

// Prints monitor lines until the count is reached or the abort event is set.
int run_monitor(bus_session& s, const cli_command& cmd, kvr_sys_event& abort, std::ostream& out, std::ostream& err) {
    uint64_t shown = 0;
    for (;;) {
        bool stopping = abort.is_set();
        cli_lines batch = s.sink.take_lines();
        if (batch.dropped) out << "\u2026 " << batch.dropped << " lines not shown\n";
        for (cli_line& line : batch.lines) {
            out << line.shown << '\n';
            if (cmd.write_log) {
                try {
                    kvr_global_dated_log().write_line(line.text);
                } catch (const kvr_exception& e) {
                    out.flush();
                    return log_failed(cmd, e, err);
                }
            }
            if (cmd.count && ++shown >= cmd.count) {
                out.flush();
                return kvr_cli_ok;
            }
        }
        out.flush();
        // A closed standard output (monitor | head) ends the monitor quietly.
        if (!out) return kvr_cli_ok;
        if (stopping) break;
        kvr_sys_event::wait_any({&abort, &s.sink.line_ready()}, 1000);
    }
    if (s.sink.lost_report()) return kvr_cli_failed;
    return cmd.count ? kvr_cli_cancelled : kvr_cli_ok;
}

// Writes every message to the capture file until the count is reached or
// the abort event is set. Each batch is flushed, so an interrupted recording
// leaves a file that holds what was seen.
int run_record(bus_session& s, const cli_command& cmd, kvr_sys_event& abort, kvr_cli_context& ctx) {
    kvr_capture_writer file;
    if (!file.open(cmd.file)) {
        *ctx.err << "busprobe-cli record: " << file.error() << "\n";
        return kvr_cli_failed;
    }
    uint64_t lost = 0;
    const auto done = [&](int status) -> int {
        if (!file.close()) {
            *ctx.err << "busprobe-cli record: " << file.error() << "\n";
            return kvr_cli_failed;
        }
        *ctx.out << file.count() << " messages recorded in " << cmd.file << "\n";
        if (lost) {
            *ctx.err << "busprobe-cli record: " << lost << " messages lost: the file was written too slowly\n";
            return kvr_cli_failed;
        }
        return status;
    };
    for (;;) {
        const bool stopping = abort.is_set();
        cli_lines batch = s.sink.take_lines();
        lost += batch.dropped;
        if (batch.dropped &&
            !file.comment(std::to_string(batch.dropped) + " messages lost here: the file was written too slowly"))
            return done(kvr_cli_failed);
        for (const kvr_capture_entry& e : batch.messages) {
            if (!file.write(e.time, e.msg)) return done(kvr_cli_failed);
            if (cmd.count && static_cast<uint64_t>(file.count()) >= cmd.count) return done(kvr_cli_ok);
        }
        if (!file.flush()) return done(kvr_cli_failed);
        if (stopping) break;
        kvr_sys_event::wait_any({&abort, &s.sink.line_ready()}, 1000);
    }
    if (s.sink.lost_report()) return done(kvr_cli_failed);
    return done(cmd.count ? kvr_cli_cancelled : kvr_cli_ok);
}

// Messages a replay hands the link ahead of the bus: enough to keep it busy,
// few enough that memory stays flat whatever the file holds.
constexpr std::size_t replay_queue_max = 32;

// Sends the capture's messages with their recorded gaps (divided by the
// speed), reading as it sends, so any file plays in bounded memory and the
// time-out or a stop signal ends it at the next message. Damaged lines are
// reported and skipped; they make the status 1.
int run_replay(bus_session& s, const cli_command& cmd, kvr_sys_event& abort, kvr_cli_context& ctx) {
    kvr_capture_reader file;
    if (!file.open(cmd.file)) {
        *ctx.err << "busprobe-cli replay: " << file.error() << "\n";
        return kvr_cli_failed;
    }
    file.set_cancel([&abort] { return abort.is_set(); });
    const auto cancelled = [&] { return kvr_exception("CANCEL: replay of " + cmd.file, 0, source_name, __LINE__); };
    using clock = std::chrono::steady_clock;
    const clock::time_point start = clock::now();
    std::optional<int64_t> first_us;
    int64_t last_us = 0;
    bool damaged = false;
    kvr_capture_entry e;
    const char* reason = nullptr;
    for (;;) {
        if (abort.is_set()) throw cancelled();
        const kvr_capture_reader::item it = file.next(e, reason);
        if (file.cancelled()) throw cancelled();
        if (it == kvr_capture_reader::item::end) break;
        if (it == kvr_capture_reader::item::damaged) {
            *ctx.err << cmd.file << ":" << file.line_number() << ": " << reason << "\n";
            damaged = true;
            continue;
        }
        if (!first_us) first_us = last_us = e.time.total_micros();
        // A clock set back on the recording machine counts as no gap.
        last_us = std::max(last_us, e.time.total_micros());
        const double gap_us = std::min(static_cast<double>(last_us - *first_us) / cmd.replay_speed, 1e15);
        const clock::time_point due = start + std::chrono::microseconds(static_cast<int64_t>(gap_us));
        while (clock::now() < due) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(due - clock::now()).count();
            if (kvr_sys_event::wait_any({&abort}, static_cast<unsigned>(std::clamp<int64_t>(left + 1, 1, 1000))) == 0)
                throw cancelled();
        }
        // Messages due together (one time stamp, or a high speed) go out as
        // fast as the bus takes them, not all into the queue at once.
        while (s.link.tx_pending() >= replay_queue_max) {
            if (abort.is_set()) throw cancelled();
            s.link.wait_tx_empty(20);
        }
        s.link.send(e.msg, 0);
    }
    if (!file.error().empty()) {
        *ctx.err << "busprobe-cli replay: " << file.error() << "\n";
        return kvr_cli_failed;
    }
    return damaged ? kvr_cli_failed : kvr_cli_ok;
}

int run_verb(bus_session& s, const cli_command& cmd, kvr_sys_event& abort, kvr_cli_context& ctx) {
    switch (cmd.verb) {
        case cli_verb::monitor: return run_monitor(s, cmd, abort, *ctx.out, *ctx.err);
        case cli_verb::record: return run_record(s, cmd, abort, ctx);
        case cli_verb::replay: return run_replay(s, cmd, abort, ctx);
        case cli_verb::power: return run_power(s, cmd);
        case cli_verb::clock: return run_clock(s, *ctx.out);
        case cli_verb::sw: return run_switch(s, cmd, *ctx.err);
        case cli_verb::throttle: return run_throttle(s, cmd, ctx);
        case cli_verb::stop: return run_stop(s, cmd, *ctx.err);
        case cli_verb::cv_read: return run_cv_read(s, cmd, *ctx.out, *ctx.err);
        case cli_verb::cv_write: return run_cv_write(s, cmd);
        case cli_verb::address_write: return run_address_write(s, cmd);
        case cli_verb::clock_set: return cli_run_clock_set(s.station, cmd, *ctx.out);
        case cli_verb::slots:
            return cli_run_slots(s.station, s.sink, cmd, slot_choice_of(cmd, ctx), abort, *ctx.out, *ctx.err);
        case cli_verb::send: return cli_run_send(s.station, cmd);
        case cli_verb::devices:
        case cli_verb::sv_read:
        case cli_verb::sv_write:
        case cli_verb::sv_change_address:
        case cli_verb::sv_reconfigure:
        case cli_verb::lncv_read:
        case cli_verb::lncv_write:
        case cli_verb::opsw_read:
        case cli_verb::opsw_write: return cli_run_devices(s.station, cmd, *ctx.out, *ctx.err);
        case cli_verb::serve: break;  // runs on a link of its own
    }
    return kvr_cli_failed;
}

// Waits until every queued message has been written to the port. False when
// the abort event ended the wait first.
bool drain(bus_session& s, kvr_sys_event& abort) {
    while (!s.link.wait_tx_empty(20))
        if (abort.is_set()) return s.link.tx_pending() == 0;
    return true;
}

constexpr const char* accepted_ports = "COM1 to COM4, SIM, a device path or tcp://HOST[:PORT]";

// The port to open; `settings` names the file it came from, empty for -p.
// The adapter kind stored beside a stored port ("auto" when none).
struct port_choice {
    std::string name;
    std::string settings;
    std::string adapter;
};

// No stored port is no port: a fallback to COM1 would open /dev/ttyS0, on
// many machines the console.
port_choice port_of(const cli_command& cmd, const kvr_cli_context& ctx) {
    if (!cmd.port.empty()) return {cmd.port, {}, {}};
    const std::string path = ctx.settings_path.empty() ? cli_settings_path() : ctx.settings_path;
    const kvr_ini ini(path);
    port_choice stored{ini.get_string("SETTING", "COMMPORT", ""), path, "auto"};
    if (!stored.name.empty()) stored.adapter = ini.get_string("SETTING", "ADAPTER", "auto");
    return stored;
}

// The adapter kind the window stored for its port applies to that port: an
// MS100 chosen on /dev/ttyUSB0 must not be opened as a LocoBuffer. An
// unknown name counts as "auto", as in the window, with a note.
kvr_adapter adapter_of(const cli_command& cmd, const port_choice& chosen, std::ostream& err) {
    if (cmd.adapter_given || chosen.settings.empty() || chosen.adapter == "auto") return cmd.adapter;
    if (const std::optional<kvr_adapter> kind = kvr_adapter_parse(chosen.adapter)) return *kind;
    err << "busprobe-cli: unknown adapter " << cli_quoted(chosen.adapter) << " in ADAPTER of "
        << cli_quoted(chosen.settings) << ": chosen by the port\n";
    return kvr_adapter::automatic;
}

bool known_port(const std::string& port) {
    return port == kvr_sim_port_name || kvr_lntcp_is_url(port) || !kvr_link::device_path_for(port).empty();
}

std::string cancel_text(cli_abort_reason why, double timeout_s) {
    if (why != cli_abort_reason::timeout) return "busprobe-cli: cancelled by signal";
    std::string s;
    string_appendf(s, "busprobe-cli: cancelled: time-out after %g s", timeout_s);
    return s;
}

// A cancel ends the wait for an answer, not what the command station does
// with a request it already has: a write it got may still be carried out.
constexpr const char* sent_note = "the request was sent and its answer not awaited, so ";
constexpr const char* maybe_sent_note = "the request may have been sent and its answer was not awaited, so ";

const char* effect_of(cli_verb verb) {
    switch (verb) {
        case cli_verb::cv_write:
        case cli_verb::address_write: return "the decoder may have been written";
        case cli_verb::sw: return "the turnout may have been set";
        case cli_verb::clock_set: return "the fast clock may have been set";
        case cli_verb::sv_write:
        case cli_verb::sv_change_address:
        case cli_verb::lncv_write: return "the device may have been written";
        case cli_verb::opsw_write: return "the option switch may have been written";
        default: return nullptr;
    }
}

int run_on_link(const cli_command& cmd, const std::string& port, kvr_cli_context& ctx) {
    kvr_sys_event abort(true);
    cli_abort_watch watch(abort, cmd.timeout_s, ctx.handle_signals);
    bus_session s(cmd.verb == cli_verb::monitor || cmd.verb == cli_verb::record || cmd.verb == cli_verb::slots, cmd,
                  abort);
    kvr_sim_register_port(s.link, ctx.sim);
    s.link.set_adapter(cmd.adapter);
    int status = kvr_cli_failed;
    try {
        s.link.open(port);
        status = run_verb(s, cmd, abort, ctx);
        if (!drain(s, abort) && !s.sink.lost_report() && !s.sink.refused_report()) {
            *ctx.err << cancel_text(watch.reason(), cmd.timeout_s) << " before every message was sent\n";
            status = kvr_cli_cancelled;
        }
        // An MS100 that met a collision at every try gave the message up.
        if (const std::size_t unsent = s.link.not_sent()) {
            *ctx.err << "busprobe-cli: " << unsent << (unsent == 1 ? " message" : " messages")
                     << " not sent: another node collided with every try\n";
            if (status == kvr_cli_ok) status = kvr_cli_failed;
        }
    } catch (const kvr_exception& e) {
        if (s.sink.refused_report() && is_cancel(e)) {
            // Told below: the refusal ended the wait, not the user.
        } else if (!s.sink.lost_report() && watch.reason() != cli_abort_reason::none && is_cancel(e)) {
            *ctx.err << cancel_text(watch.reason(), cmd.timeout_s) << "\n" << e.message << "\n";
            if (const char* effect = effect_of(cmd.verb))
                *ctx.err << "busprobe-cli: " << (s.link.tx_pending() == 0 ? sent_note : maybe_sent_note) << effect
                         << "\n";
            status = kvr_cli_cancelled;
        } else if (!s.sink.lost_report()) {
            *ctx.err << e.report() << "\n";
            status = kvr_cli_failed;
        }
    }
    if (std::optional<std::string> lost = s.sink.lost_report()) {
        print_lost(*ctx.err, port, *lost);
        status = kvr_cli_failed;
    } else if (std::optional<std::string> refused = s.sink.refused_report()) {
        // Over LocoNet over TCP a command succeeds only once the server
        // confirmed what it sent; a refusal fails it with the server's words.
        *ctx.err << "busprobe-cli: a message to " << port << " failed\n" << *refused << "\n";
        status = kvr_cli_failed;
    }
    return status;
}

// Connect and disconnect lines of the server, handed from its thread to the
// command's thread, which prints them.
class report_lines {
public:
    void push(std::string line) {
        {
            std::lock_guard<std::mutex> lk(m_);
            lines_.push_back(std::move(line));
        }
        ready_.set();
    }
    std::deque<std::string> take() {
        std::lock_guard<std::mutex> lk(m_);
        return std::exchange(lines_, {});
    }
    kvr_sys_event& ready() { return ready_; }

private:
    std::mutex m_;
    std::deque<std::string> lines_;
    kvr_sys_event ready_{false};
};

void print_pending(report_lines& reports, cli_sink& sink, std::ostream& out) {
    for (std::string& line : reports.take()) out << line << '\n';
    cli_lines batch = sink.take_lines();
    if (batch.dropped) out << "\u2026 " << batch.dropped << " lines not shown\n";
    for (cli_line& line : batch.lines) out << line.shown << '\n';
    out.flush();
}

// busprobe-cli serve: the port shared with LocoNet-over-TCP clients until
// SIGINT or SIGTERM. The time-out of the other commands does not apply.
int run_serve(const cli_command& cmd, const std::string& port, kvr_cli_context& ctx) {
    kvr_lntcp_server_options opt;
    opt.version = "Busprobe " BUSPROBE_VERSION;
    std::string why;
    if (!cmd.listen.empty() && !kvr_lntcp_parse_endpoint(cmd.listen, true, opt.listen, why))
        throw cli_usage_error{"--listen '" + cmd.listen + "': " + why, "serve"};

    kvr_sys_event abort(true);
    cli_abort_watch watch(abort, 0, ctx.handle_signals);
    cli_sink sink(cmd.write_log, false, false, abort);
    report_lines reports;
    kvr_link link;
    kvr_lntcp_share share(link, opt, [&reports](const kvr_lntcp_report& r) { reports.push(r.text()); });
    sink.set_refusal_ends(false);
    link.add_listener(&share);
    link.add_listener(&sink);
    kvr_sim_register_port(link, ctx.sim);
    link.set_adapter(cmd.adapter);
    try {
        link.open(port);
        share.start();
    } catch (const kvr_exception& e) {
        link.close();
        link.remove_listener(&sink);
        link.remove_listener(&share);
        *ctx.err << e.report() << "\n";
        return kvr_cli_failed;
    }
    *ctx.out << "busprobe-cli: serving " << port << " on " << share.server().address() << '\n';
    ctx.out->flush();
    while (!abort.is_set()) {
        print_pending(reports, sink, *ctx.out);
        kvr_sys_event::wait_any({&abort, &sink.line_ready(), &reports.ready()}, 1000);
    }
    share.stop();  // every client is told, and reported
    link.close();
    link.remove_listener(&sink);
    link.remove_listener(&share);
    print_pending(reports, sink, *ctx.out);
    if (std::optional<std::string> lost = sink.lost_report()) {
        print_lost(*ctx.err, port, *lost);
        return kvr_cli_failed;
    }
    return kvr_cli_ok;
}

}  // namespace

std::string cli_cv_line(unsigned cv, unsigned value) {
    std::string bits;
    for (int b = 7; b >= 0; --b) bits += (value >> b) & 1 ? '1' : '0';
    std::string s;
    string_appendf(s, "CV %u = %u (0x%02X, %s)", cv, value, value, bits.c_str());
    return s;
}

int cli_run_bus_command(const cli_command& cmd, kvr_cli_context& ctx) {
    const port_choice chosen = port_of(cmd, ctx);
    const std::string& port = chosen.name;
    if (port.empty()) throw cli_usage_error{std::string("no port: give -p PORT (") + accepted_ports + ")", ""};
    if (!known_port(port)) {
        std::string where = chosen.settings.empty() ? "" : " in COMMPORT of " + cli_quoted(chosen.settings);
        throw cli_usage_error{"unknown port name " + cli_quoted(port) + where + " (" + accepted_ports + ")", ""};
    }
    kvr_lntcp_endpoint server;
    std::string why;
    if (kvr_lntcp_is_url(port) && !kvr_lntcp_parse_url(port, server, why))
        throw cli_usage_error{cli_quoted(port) + ": " + why + " (tcp://HOST[:PORT], PORT 1..65535)", ""};
    if (cmd.verb == cli_verb::serve && kvr_lntcp_is_url(port)) {
        // Serving a server of its own: every SEND would come back to it as a
        // client's SEND, round and round.
        kvr_lntcp_endpoint listen;
        const bool parsed = cmd.listen.empty() || kvr_lntcp_parse_endpoint(cmd.listen, true, listen, why);
        if (parsed && kvr_lntcp_reaches_listener(server, listen))
            throw cli_usage_error{"serve: -p " + cli_quoted(port) + " is the address it would listen on (--listen " +
                                      listen.text() + "): it would serve itself",
                                  "serve"};
    }
    // Replayed throttle and switch messages move real trains and turnouts.
    if (cmd.verb == cli_verb::replay && port != kvr_sim_port_name && !cmd.live)
        throw cli_usage_error{"replay onto " + cli_quoted(port) +
                                  " sends real commands to the layout: give --live to allow it (SIM needs none)",
                              "replay"};
    if (!cmd.log_dir.empty()) kvr_global_dated_log().set_directory(cmd.log_dir);
    cli_command on_port = cmd;
    on_port.adapter = adapter_of(cmd, chosen, *ctx.err);
    try {
        if (cmd.verb == cli_verb::serve) return run_serve(on_port, port, ctx);
        return run_on_link(on_port, port, ctx);
    } catch (const kvr_exception& e) {
        // Failures outside the link's life, such as a lost pipe for the watch.
        *ctx.err << e.report() << "\n";
        return kvr_cli_failed;
    }
}
