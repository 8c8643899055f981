#include "sim/kvr_sim_args.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>

#include "foundation/kvr_text.h"

namespace {

struct flag_option {
    const char* name;
    bool kvr_sim_args::*arg;
    bool kvr_sim_options::*option;
    bool value;
};

constexpr flag_option flags[] = {
    {"--log", &kvr_sim_args::log, nullptr, true},
    {"--loop", &kvr_sim_args::replay_loop, nullptr, true},
    {"--help", &kvr_sim_args::help, nullptr, true},
    {"-h", &kvr_sim_args::help, nullptr, true},
    {"--version", &kvr_sim_args::version, nullptr, true},
    {"--demo", nullptr, &kvr_sim_options::demo, true},
    {"--instant", nullptr, &kvr_sim_options::instant, true},
    {"--pace", nullptr, &kvr_sim_options::pace, true},
    {"--no-decoder", nullptr, &kvr_sim_options::decoder_present, false},
    {"--no-write-ack", nullptr, &kvr_sim_options::decoder_acks_writes, false},
    {"--switch-full", nullptr, &kvr_sim_options::switch_buffer_full, true},
    {"--packet-full", nullptr, &kvr_sim_options::packet_buffer_full, true},
    {"--expanded", nullptr, &kvr_sim_options::expanded, true},
    {"--no-devices", nullptr, &kvr_sim_options::devices, false},
};

struct number_option {
    const char* name;
    unsigned kvr_sim_options::*field;
    unsigned max;
};

constexpr number_option numbers[] = {
    {"--ack-ms", &kvr_sim_options::ack_delay_ms, 60'000},
    {"--read-ms", &kvr_sim_options::read_delay_ms, 60'000},
    {"--write-ms", &kvr_sim_options::write_delay_ms, 60'000},
    {"--busy", &kvr_sim_options::busy_tasks, 1'000'000},
    {"--drop", &kvr_sim_options::drop_answers, 1'000'000},
    {"--noise", &kvr_sim_options::noise_per_mille, 1000},
    {"--traffic", &kvr_sim_options::traffic_per_s, kvr_sim_max_traffic_per_s},
};

bool parse_number(const std::string& text, unsigned max, unsigned& out) {
    const std::optional<uint64_t> v = kvr_parse_number(text, kvr_number_form::decimal, max);
    if (v) out = static_cast<unsigned>(*v);
    return v.has_value();
}

// "--name value" or "--name=value"; advances i past the value.
bool take_value(const std::vector<std::string>& args, std::size_t& i, const std::string& name, std::string& value) {
    const std::string& a = args[i];
    if (a == name) {
        if (i + 1 >= args.size()) return false;
        value = args[++i];
        return true;
    }
    if (a.size() > name.size() && a.compare(0, name.size(), name) == 0 && a[name.size()] == '=') {
        value = a.substr(name.size() + 1);
        return true;
    }
    return false;
}

bool is_option(const std::string& a, const std::string& name) {
    return a == name || (a.size() > name.size() && a.compare(0, name.size() + 1, name + "=") == 0);
}

bool parse_one(const std::vector<std::string>& args, std::size_t& i, kvr_sim_args& r) {
    const std::string& a = args[i];
    for (const flag_option& f : flags) {
        if (a != f.name) continue;
        if (f.arg) r.*f.arg = f.value;
        if (f.option) r.options.*f.option = f.value;
        return true;
    }
    std::string value;
    for (const number_option& n : numbers) {
        if (!is_option(a, n.name)) continue;
        if (!take_value(args, i, n.name, value) || !parse_number(value, n.max, r.options.*n.field)) {
            r.error = std::string("bad value for ") + n.name;
        }
        return true;
    }
    if (is_option(a, "--seed")) {
        unsigned seed = 0;
        if (!take_value(args, i, "--seed", value) || !parse_number(value, std::numeric_limits<unsigned>::max(), seed)) {
            r.error = "bad value for --seed";
        }
        r.options.seed = seed;
        return true;
    }
    if (is_option(a, "--clock-rate")) {
        unsigned rate = 0;
        if (!take_value(args, i, "--clock-rate", value) || !parse_number(value, 127, rate)) {
            r.error = "bad value for --clock-rate";
        }
        r.options.clock_rate = static_cast<uint8_t>(rate);
        return true;
    }
    if (is_option(a, "--tcp")) {
        kvr_lntcp_endpoint ep;
        std::string why;
        if (!take_value(args, i, "--tcp", value) || !kvr_lntcp_parse_endpoint(value, true, ep, why))
            r.error = "bad value for --tcp" + (why.empty() ? std::string() : ": " + why);
        r.tcp = ep;
        return true;
    }
    if (is_option(a, "--replay")) {
        if (!take_value(args, i, "--replay", r.replay) || r.replay.empty()) r.error = "--replay needs a capture file";
        return true;
    }
    if (is_option(a, "--speed")) {
        // A plain positive number: 0.01 (a hundred times slower) to 1000.
        char* end = nullptr;
        const bool got = take_value(args, i, "--speed", value);
        const double x = got && !value.empty() && value[0] != '-' && value[0] != '+' ? std::strtod(value.c_str(), &end) : 0;
        if (!got || end != value.c_str() + value.size() || !std::isfinite(x) || x < 0.01 || x > 1000)
            r.error = "bad value for --speed (0.01 to 1000)";
        else
            r.replay_speed = x;
        return true;
    }
    if (is_option(a, "--link")) {
        if (!take_value(args, i, "--link", r.link) || r.link.empty()) r.error = "--link needs a path";
        return true;
    }
    return false;
}

}  // namespace

kvr_sim_args kvr_sim_parse_args(const std::vector<std::string>& args) {
    kvr_sim_args r;
    bool speed_or_loop = false;
    for (std::size_t i = 0; i < args.size() && r.error.empty(); ++i) {
        if (!parse_one(args, i, r)) r.error = "unknown option " + args[i];
        speed_or_loop = speed_or_loop || is_option(args[i], "--speed") || args[i] == "--loop";
    }
    if (r.error.empty() && speed_or_loop && r.replay.empty()) r.error = "--speed and --loop go with --replay FILE";
    return r;
}

std::string kvr_sim_usage() {
    return "Usage: busprobe-sim [options]\n"
           "A simulated LocoNet command station with its layout on a pseudo-terminal.\n"
           "Prints the device path on the first line (with --tcp, the address it listens on\n"
           "on the second), then serves until SIGINT or SIGTERM\n"
           "(exit status 0) or SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGPIPE (128 + signal).\n"
           "The link is removed on the way out, if it still points at this device.\n"
           "\n"
           "  --link PATH       make a symbolic link PATH to the device\n"
           "  --tcp [ADDR:]PORT also share the bus with LocoNet-over-TCP clients; ADDR is\n"
           "                    127.0.0.1 unless named (anyone who reaches the address\n"
           "                    can drive trains); port 0 takes any free port; client\n"
           "                    connects and disconnects go to standard error\n"
           "  --log             print each message on the bus as a monitor line; when\n"
           "                    the reader falls behind, lines are left out and counted\n"
           "  --demo            fast-clock broadcasts and sensor/turnout reports\n"
           "  --clock-rate N    fast-clock rate, 0..127 (default 4)\n"
           "  --traffic N       other nodes' sensor and turnout reports, N a second\n"
           "                    (0..400; about 220 fill the bus with the gaps\n"
           "                    LocoNet demands); the bus is then paced at its\n"
           "                    byte rate and timing, as with --pace. With\n"
           "                    --expanded one in eight is another throttle's\n"
           "                    (IDs 417, 418 driving locos 1001, 1002 by BE, EE, D5)\n"
           "  --expanded        a station with expanded slots: TRK bit 6 (0x47) in\n"
           "                    every slot, 400 loco slots (1-120, 128-247, 257-375,\n"
           "                    385-425), BE answered E6, BB as E6 when byte 2 bit 6\n"
           "                    is set, EE writes, D5 speed and F0-F28, D4 moves,\n"
           "                    links and status, status slots 248-251, option\n"
           "                    switches 65-128 in slot 126\n"
           "Devices (on the bus unless --no-devices; each answers --ack-ms after):\n"
           "  SV2 module        address 3, manufacturer 13, developer 1, product 4660\n"
           "                    (0x1234), serial 22136 (0x5678); SVs 0..255, SV 0 = 1\n"
           "                    read-only, SV 1/2 = its address (counts from the next\n"
           "                    reconfigure); answers its address and 0\n"
           "  LNCV module       article 6861, module address 1; LNCV 0 = address,\n"
           "                    1 = 2, 2..14 = 0 (0..255), 15 = 7 read-only, 16 and up\n"
           "                    unsupported; answers reads and writes only between a\n"
           "                    start (also a discover by start) and an end\n"
           "  board             occupancy detector (type 1), board 1, OpSw 1..64\n"
           "                    thrown at start (D0 62/72, answered B4 50 vv)\n"
           "  option switches   the station's OpSw 1-64 in slot 127 (65-128 in slot 126\n"
           "                    with --expanded), all thrown at start, kept when written\n"
           "  --no-devices      take the SV2 module, the LNCV module and the board off\n"
           "                    the bus (the option switches stay)\n"
           "Replay:\n"
           "  --replay FILE     play the capture file FILE (busprobe-cli record) as the\n"
           "                    layout's bus traffic, from the moment the first client\n"
           "                    has opened the device; the station answers as usual.\n"
           "                    Damaged lines are reported with their numbers and left out\n"
           "  --speed X         play X times as fast, 0.01..1000 (default 1)\n"
           "  --loop            start the file over after its last message\n"
           "Timing:\n"
           "  --instant         answer at once\n"
           "  --ack-ms N        delay of acknowledges and slot data (default 20)\n"
           "  --read-ms N       programming read time (default 150)\n"
           "  --write-ms N      programming write time (default 100)\n"
           "  --pace            send at the LocoNet byte rate (16457 baud), with\n"
           "                    the gaps between messages the bus demands\n"
           "Faults:\n"
           "  --busy N          answer the next N programming tasks busy\n"
           "  --drop N          leave the next N answers out\n"
           "  --no-decoder      no decoder on the programming track\n"
           "  --no-write-ack    the decoder never acknowledges writes\n"
           "  --switch-full     the switch command buffer is full\n"
           "  --packet-full     the immediate-packet buffer is full\n"
           "  --noise N         noise bytes and damaged messages per 1000 messages\n"
           "  --seed N          seed of the noise and the demo life\n"
           "  -h, --help        this text\n"
           "  --version         the program's version\n";
}
