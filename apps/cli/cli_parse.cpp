// Command-line parsing of the bus commands. Everything a command will send
// is checked here, before any link is opened.

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <string_view>

#include "apps/cli/cli_command.h"
#include "apps/cli/cli_send.h"
#include "foundation/kvr_text.h"
#include "link/kvr_lntcp_server.h"

namespace {

struct mode_name {
    const char* name;
    cli_cv_mode mode;
};

constexpr mode_name read_modes[] = {
    {"paged", cli_cv_mode::paged},     {"direct", cli_cv_mode::direct},
    {"register", cli_cv_mode::reg},    {"ops", cli_cv_mode::ops},
    {"direct-bits", cli_cv_mode::direct_bits}, {"ops-bits", cli_cv_mode::ops_bits},
};
constexpr mode_name write_modes[] = {
    {"paged", cli_cv_mode::paged},
    {"direct", cli_cv_mode::direct},
    {"register", cli_cv_mode::reg},
    {"ops", cli_cv_mode::ops},
};
constexpr mode_name address_modes[] = {
    {"paged", cli_cv_mode::paged},
    {"direct", cli_cv_mode::direct},
};

[[noreturn]] void refuse(std::string message, const std::string& topic) {
    throw cli_usage_error{std::move(message), topic};
}

// "-5" is a number that is out of range, not an option.
bool is_negative_number(const std::string& arg) {
    return arg.size() > 1 && arg[0] == '-' && (std::isdigit(static_cast<unsigned char>(arg[1])) || arg[1] == '.');
}

bool is_option(const std::string& arg) { return arg.size() > 1 && arg[0] == '-' && !is_negative_number(arg); }

[[noreturn]] void refuse_unknown_option(const std::string& arg, const std::string& topic) {
    refuse("unknown option " + cli_quoted(arg), topic);
}

// The arguments of one command after its command words, walked in order.
class arg_cursor {
public:
    arg_cursor(std::vector<std::string> args, std::string topic)
        : args_(std::move(args)), topic_(std::move(topic)) {}

    bool done() const { return pos_ >= args_.size(); }
    const std::string& next() { return args_[pos_++]; }
    // The value of an option: "--opt VALUE" or "--opt=VALUE" (split before).
    const std::string& value_of(const std::string& option) {
        if (done()) refuse(option + " needs a value", topic_);
        return next();
    }
    const std::string& topic() const { return topic_; }

private:
    std::vector<std::string> args_;
    std::size_t pos_ = 0;
    std::string topic_;
};

unsigned number_in_range(const std::string& text, const char* what, unsigned lo, unsigned hi,
                         const std::string& topic, const char* note = nullptr) {
    std::optional<uint64_t> n = cli_parse_number(text);
    const std::string range = std::to_string(lo) + " to " + std::to_string(hi);
    if (!n && is_negative_number(text) && cli_parse_number(text.substr(1)))
        refuse(std::string(what) + " " + text + " is out of range (" + range + ")", topic);
    if (!n) refuse(std::string(what) + " " + cli_quoted(text) + " is not a number", topic);
    if (*n < lo || *n > hi) {
        std::string msg = std::string(what) + " " + text + " is outside " + range;
        if (note) msg += std::string(" (") + note + ")";
        refuse(msg, topic);
    }
    return static_cast<unsigned>(*n);
}

template <std::size_t N>
cli_cv_mode mode_from(const std::string& text, const mode_name (&table)[N], const std::string& topic) {
    std::string names;
    for (const mode_name& m : table) {
        if (text == m.name) return m.mode;
        names += names.empty() ? "" : ", ";
        names += m.name;
    }
    refuse("unknown mode " + cli_quoted(text) + " (" + names + ")", topic);
}

constexpr double max_timeout_s = 1e6;

double timeout_from(const std::string& text) {
    const char* begin = text.c_str();
    char* end = nullptr;
    errno = 0;
    double s = std::strtod(begin, &end);
    bool plain = !text.empty() && (std::isdigit(static_cast<unsigned char>(text[0])) || text[0] == '.');
    bool whole = end == begin + text.size() && errno == 0 && std::isfinite(s);
    if (whole && (s > max_timeout_s || (!plain && is_negative_number(text))))
        refuse("--timeout " + text + " is out of range (0 to 1000000 seconds)", "");
    if (!plain || !whole) refuse("--timeout " + cli_quoted(text) + " is not a number of seconds", "");
    return s;
}

void expect_count(const std::vector<std::string>& pos, std::size_t n, const std::string& topic) {
    if (pos.size() < n) refuse("too few arguments", topic);
    if (pos.size() > n) refuse("unexpected argument " + cli_quoted(pos[n]), topic);
}

uint64_t count_from(const std::string& v, const std::string& topic) {
    std::optional<uint64_t> n = cli_parse_number(v);
    if (!n && is_negative_number(v) && cli_parse_number(v.substr(1)))
        refuse("--count " + v + " is out of range (1 or more)", topic);
    if (!n || *n == 0) refuse("--count " + cli_quoted(v) + " is not a positive number", topic);
    return *n;
}

double speed_from(const std::string& text, const std::string& topic) {
    char* end = nullptr;
    errno = 0;
    const double x = std::strtod(text.c_str(), &end);
    const bool plain = !text.empty() && (std::isdigit(static_cast<unsigned char>(text[0])) || text[0] == '.');
    const bool whole = end == text.c_str() + text.size() && errno == 0 && std::isfinite(x);
    if (whole && is_negative_number(text)) refuse("--speed " + text + " is out of range (0.01 to 1000)", topic);
    if (!plain || !whole) refuse("--speed " + cli_quoted(text) + " is not a number", topic);
    if (x < cli_speed_min || x > cli_speed_max)
        refuse("--speed " + text + " is out of range (0.01 to 1000)", topic);
    return x;
}

std::string capture_file_from(const std::string& name, const std::string& topic) {
    if (name.empty()) refuse("the capture file name is empty", topic);
    return name;
}

void parse_record(arg_cursor& c, cli_command& cmd) {
    std::vector<std::string> pos;
    while (!c.done()) {
        const std::string& a = c.next();
        if (a == "--count") cmd.count = count_from(c.value_of(a), c.topic());
        else if (is_option(a)) refuse_unknown_option(a, c.topic());
        else pos.push_back(a);
    }
    expect_count(pos, 1, c.topic());
    cmd.file = capture_file_from(pos[0], c.topic());
}

void parse_replay(arg_cursor& c, cli_command& cmd) {
    std::vector<std::string> pos;
    while (!c.done()) {
        const std::string& a = c.next();
        if (a == "--speed") cmd.replay_speed = speed_from(c.value_of(a), c.topic());
        else if (a == "--live") cmd.live = true;
        else if (is_option(a)) refuse_unknown_option(a, c.topic());
        else pos.push_back(a);
    }
    expect_count(pos, 1, c.topic());
    cmd.file = capture_file_from(pos[0], c.topic());
}

void parse_monitor(arg_cursor& c, cli_command& cmd) {
    std::vector<std::string> pos;
    while (!c.done()) {
        const std::string& a = c.next();
        if (a == "--time") cmd.show_time = true;
        else if (a == "--hex") cmd.show_hex = true;
        else if (a == "--extended") cmd.extended = true;
        else if (a == "--log") cmd.write_log = true;
        else if (a == "--count") cmd.count = count_from(c.value_of(a), c.topic());
        else if (is_option(a)) refuse_unknown_option(a, c.topic());
        else pos.push_back(a);
    }
    expect_count(pos, 0, c.topic());
}

std::vector<std::string> positionals_only(arg_cursor& c) {
    std::vector<std::string> pos;
    while (!c.done()) {
        const std::string& a = c.next();
        if (is_option(a)) refuse_unknown_option(a, c.topic());
        pos.push_back(a);
    }
    return pos;
}

void parse_serve(arg_cursor& c, cli_command& cmd) {
    std::vector<std::string> pos;
    while (!c.done()) {
        const std::string& a = c.next();
        if (a == "--log") cmd.write_log = true;
        else if (a == "--listen") {
            cmd.listen = c.value_of(a);
            kvr_lntcp_endpoint ep;
            std::string why;
            if (!kvr_lntcp_parse_endpoint(cmd.listen, true, ep, why))
                refuse("--listen '" + cmd.listen + "': " + why, c.topic());
        } else if (is_option(a)) refuse("unknown option '" + a + "'", c.topic());
        else pos.push_back(a);
    }
    expect_count(pos, 0, c.topic());
}

void parse_power(arg_cursor& c, cli_command& cmd) {
    std::vector<std::string> pos = positionals_only(c);
    expect_count(pos, 1, c.topic());
    if (pos[0] == "on") cmd.power_on = true;
    else if (pos[0] == "off") cmd.power_on = false;
    else refuse("power must be 'on' or 'off', not " + cli_quoted(pos[0]), c.topic());
}

void parse_switch(arg_cursor& c, cli_command& cmd) {
    std::vector<std::string> pos;
    while (!c.done()) {
        const std::string& a = c.next();
        if (a == "--off") cmd.output_on = false;
        else if (is_option(a)) refuse_unknown_option(a, c.topic());
        else pos.push_back(a);
    }
    expect_count(pos, 2, c.topic());
    cmd.switch_number = number_in_range(pos[0], "switch", cli_switch_min, cli_switch_max, c.topic());
    if (pos[1] == "closed") cmd.closed = true;
    else if (pos[1] == "thrown") cmd.closed = false;
    else refuse("position must be 'closed' or 'thrown', not " + cli_quoted(pos[1]), c.topic());
}

// "--slots classic|expanded|auto"
void parse_slots_choice(const std::string& v, cli_command& cmd, const std::string& topic) {
    if (v != "classic" && v != "expanded" && v != "auto")
        refuse("--slots must be 'classic', 'expanded' or 'auto', not " + cli_quoted(v), topic);
    cmd.slots_choice = v;
}

// "--f N=on|off"
void parse_function(const std::string& v, cli_command& cmd, const std::string& topic) {
    std::size_t eq = v.find('=');
    std::string num = v.substr(0, eq);
    std::string state = eq == std::string::npos ? "" : v.substr(eq + 1);
    if (eq == std::string::npos || (state != "on" && state != "off"))
        refuse("--f takes N=on or N=off, not " + cli_quoted(v), topic);
    unsigned f = number_in_range(num, "function", 0, cli_function_max, topic);
    cmd.functions[f] = state == "on";
}

void parse_throttle(arg_cursor& c, cli_command& cmd) {
    std::vector<std::string> pos;
    std::optional<std::string> speed_text;
    while (!c.done()) {
        const std::string& a = c.next();
        if (a == "--speed") speed_text = c.value_of(a);
        else if (a == "--steps") {
            const std::string& v = c.value_of(a);
            if (v != "28" && v != "128") refuse("--steps must be 28 or 128, not " + cli_quoted(v), c.topic());
            cmd.steps = v == "28" ? 28 : 128;
            cmd.steps_given = true;
        } else if (a == "--fwd" || a == "--rev") {
            bool fwd = a == "--fwd";
            if (cmd.forward && *cmd.forward != fwd) refuse("--fwd and --rev exclude each other", c.topic());
            cmd.forward = fwd;
        } else if (a == "--f") parse_function(c.value_of(a), cmd, c.topic());
        else if (a == "--functions") {
            const std::string& v = c.value_of(a);
            if (v != "packet" && v != "opcodes")
                refuse("--functions must be 'packet' or 'opcodes', not " + cli_quoted(v), c.topic());
            cmd.functions_as_opcodes = v == "opcodes";
            cmd.functions_given = true;
        } else if (a == "--steal") cmd.steal = true;
        else if (a == "--slots") parse_slots_choice(c.value_of(a), cmd, c.topic());
        else if (is_option(a)) refuse_unknown_option(a, c.topic());
        else pos.push_back(a);
    }
    expect_count(pos, 1, c.topic());
    cmd.address = number_in_range(pos[0], "address", cli_address_min, cli_address_max, c.topic());
    if (cmd.steps_given && !speed_text) refuse("--steps needs --speed", c.topic());
    if (speed_text) {
        const char* note = cmd.steps == 28 ? "28 steps" : "128 steps";
        unsigned top = cmd.steps == 28 ? kvr_proto::speed_28_max : kvr_proto::spd_max;
        cmd.speed = number_in_range(*speed_text, "speed", 0, top, c.topic(), note);
        // On the wire speed 1 is the emergency stop, never a speed.
        if (cmd.steps == 128 && *cmd.speed == 1)
            refuse("speed 1 is the emergency stop on the wire, not a speed: use 'busprobe-cli stop " + pos[0] +
                       "' to stop the locomotive, or speed 2 for the slowest step",
                   c.topic());
    }
}

// "stop ADDRESS" or "stop --all"
void parse_stop(arg_cursor& c, cli_command& cmd) {
    std::vector<std::string> pos;
    while (!c.done()) {
        const std::string& a = c.next();
        if (a == "--all") cmd.stop_all = true;
        else if (is_option(a)) refuse_unknown_option(a, c.topic());
        else pos.push_back(a);
    }
    if (cmd.stop_all) {
        if (!pos.empty()) refuse("stop takes ADDRESS or --all, not both", c.topic());
        return;
    }
    expect_count(pos, 1, c.topic());
    cmd.address = number_in_range(pos[0], "address", cli_address_min, cli_address_max, c.topic());
}

// "HH:MM", 00:00 to 23:59; one-digit hours allowed.
void parse_clock_time(const std::string& text, cli_command& cmd, const std::string& topic) {
    const std::size_t colon = text.find(':');
    const bool shaped = colon != std::string::npos && colon >= 1 && colon <= 2 && text.size() == colon + 3;
    const std::optional<uint64_t> h = shaped ? kvr_parse_number(text.substr(0, colon), kvr_number_form::decimal) : std::nullopt;
    const std::optional<uint64_t> m = shaped ? kvr_parse_number(text.substr(colon + 1), kvr_number_form::decimal) : std::nullopt;
    if (!h || !m || *h > 23 || *m > 59) refuse("time " + cli_quoted(text) + " is not HH:MM (00:00 to 23:59)", topic);
    cmd.clock_hour = static_cast<unsigned>(*h);
    cmd.clock_minute = static_cast<unsigned>(*m);
}

void parse_clock_set(arg_cursor& c, cli_command& cmd) {
    std::vector<std::string> pos;
    while (!c.done()) {
        const std::string& a = c.next();
        if (a == "--rate") cmd.clock_rate = number_in_range(c.value_of(a), "rate", 1, 127, c.topic());
        else if (a == "--stop") cmd.clock_stop = true;
        else if (is_option(a)) refuse_unknown_option(a, c.topic());
        else pos.push_back(a);
    }
    // A stopped clock is written as rate 0: the rate asked for would be lost.
    if (cmd.clock_stop && cmd.clock_rate) refuse("--stop holds the clock (rate 0) and takes no --rate", c.topic());
    expect_count(pos, 1, c.topic());
    parse_clock_time(pos[0], cmd, c.topic());
}

bool is_ops(cli_cv_mode m) { return m == cli_cv_mode::ops || m == cli_cv_mode::ops_bits; }

// The options shared by cv read and cv write; the positionals are returned.
template <std::size_t N>
std::vector<std::string> parse_cv_options(arg_cursor& c, cli_command& cmd, const mode_name (&modes)[N],
                                          bool allow_feedback) {
    std::vector<std::string> pos;
    std::optional<std::string> address_text;
    while (!c.done()) {
        const std::string& a = c.next();
        if (a == "--mode") cmd.mode = mode_from(c.value_of(a), modes, c.topic());
        else if (a == "--address") address_text = c.value_of(a);
        else if (allow_feedback && a == "--feedback") cmd.feedback = true;
        else if (is_option(a)) refuse_unknown_option(a, c.topic());
        else pos.push_back(a);
    }
    if (is_ops(cmd.mode) && !address_text)
        refuse("operations mode needs the locomotive's --address", c.topic());
    if (!is_ops(cmd.mode) && address_text)
        refuse("--address is for operations mode (--mode ops) only", c.topic());
    if (cmd.feedback && cmd.mode != cli_cv_mode::ops)
        refuse("--feedback is for operations mode (--mode ops) only", c.topic());
    if (address_text) {
        cmd.address = number_in_range(*address_text, "address", cli_address_min, cli_address_max, c.topic(),
                                      "operations mode");
        cmd.address_given = true;
    }
    return pos;
}

void parse_cv_number(const std::string& text, cli_command& cmd, const std::string& topic) {
    if (cmd.mode == cli_cv_mode::reg)
        cmd.cv = number_in_range(text, "register", cli_register_min, cli_register_max, topic);
    else
        cmd.cv = number_in_range(text, "CV", cli_cv_min, cli_cv_max, topic);
}

void parse_cv_read(arg_cursor& c, cli_command& cmd) {
    std::vector<std::string> pos = parse_cv_options(c, cmd, read_modes, false);
    expect_count(pos, 1, c.topic());
    parse_cv_number(pos[0], cmd, c.topic());
}

void parse_cv_write(arg_cursor& c, cli_command& cmd) {
    std::vector<std::string> pos = parse_cv_options(c, cmd, write_modes, true);
    expect_count(pos, 2, c.topic());
    parse_cv_number(pos[0], cmd, c.topic());
    cmd.value = number_in_range(pos[1], "value", 0, cli_value_max, c.topic());
}

void parse_address_write(arg_cursor& c, cli_command& cmd) {
    std::vector<std::string> pos;
    while (!c.done()) {
        const std::string& a = c.next();
        if (a == "--mode") cmd.mode = mode_from(c.value_of(a), address_modes, c.topic());
        else if (is_option(a)) refuse_unknown_option(a, c.topic());
        else pos.push_back(a);
    }
    expect_count(pos, 2, c.topic());
    cmd.cv17 = number_in_range(pos[0], "CV17 value", 0, cli_value_max, c.topic());
    cmd.cv18 = number_in_range(pos[1], "CV18 value", 0, cli_value_max, c.topic());
}

// A loco slot the classic messages reach (1 to 119) or an expanded one
// (128-247, 257-375, 385-432).
unsigned loco_slot_number(const std::string& v, const std::string& topic) {
    const unsigned n = number_in_range(v, "slot", 1, kvr_slot_expanded_last, topic);
    if (n > kvr_slot_loco_last && (n < 128 || !kvr_is_loco_slot(n)))
        refuse("slot " + v + " holds no loco: loco slots are 1 to 119 and the expanded 128-247, 257-375, 385-432",
               topic);
    return n;
}

void parse_slots(arg_cursor& c, cli_command& cmd) {
    std::vector<std::string> pos;
    while (!c.done()) {
        const std::string& a = c.next();
        if (a == "--read") cmd.read_slots = true;
        else if (a == "--all") cmd.all_slots = true;
        else if (a == "--slots") parse_slots_choice(c.value_of(a), cmd, c.topic());
        else if (a == "--release") cmd.release_slot = loco_slot_number(c.value_of(a), c.topic());
        else if (a == "--dispatch") cmd.dispatch_slot = loco_slot_number(c.value_of(a), c.topic());
        else if (is_option(a)) refuse_unknown_option(a, c.topic());
        else pos.push_back(a);
    }
    expect_count(pos, 0, c.topic());
    const bool changes = cmd.release_slot != 0 || cmd.dispatch_slot != 0;
    if (cmd.release_slot != 0 && cmd.dispatch_slot != 0) refuse("--release and --dispatch: one at a time", c.topic());
    if (changes && (cmd.read_slots || cmd.all_slots))
        refuse(std::string(cmd.release_slot ? "--release" : "--dispatch") + " prints no slots: it takes no --read or --all",
               c.topic());
}

// --- the devices on the bus ---------------------------------------------

constexpr unsigned sv2_dest_max = 0xFFFF;
constexpr unsigned sv_max = 0xFFFF;
constexpr unsigned sv_value_max = 255;
constexpr unsigned lncv_max = 0xFFFF;   // article, module, LNCV number, value
constexpr unsigned lncv_all = 0xFFFF;   // every module
constexpr unsigned read_count_max = 256;
constexpr double devices_wait_max_s = 600;

// Options and positionals of the device commands; what an option means is
// checked by the command that takes it.
std::vector<std::string> device_args(arg_cursor& c, cli_command& cmd, bool takes_all, bool takes_yes) {
    std::vector<std::string> pos;
    while (!c.done()) {
        const std::string& a = c.next();
        if (takes_all && a == "--all") cmd.broadcast_ok = true;
        else if (takes_yes && a == "--yes") cmd.yes = true;
        else if (is_option(a)) refuse_unknown_option(a, c.topic());
        else pos.push_back(a);
    }
    return pos;
}

void parse_devices(arg_cursor& c, cli_command& cmd) {
    std::vector<std::string> pos;
    while (!c.done()) {
        const std::string& a = c.next();
        if (a == "--article") cmd.articles.push_back(number_in_range(c.value_of(a), "article", 0, lncv_max - 1, c.topic()));
        else if (a == "--wait") {
            const std::string& v = c.value_of(a);
            char* end = nullptr;
            const double x = std::strtod(v.c_str(), &end);
            const bool plain = !v.empty() && (std::isdigit(static_cast<unsigned char>(v[0])) || v[0] == '.');
            if (!plain || end != v.c_str() + v.size() || !std::isfinite(x) || x <= 0 || x > devices_wait_max_s)
                refuse("--wait " + cli_quoted(v) + " is not a number of seconds (above 0, up to 600)", c.topic());
            cmd.wait_s = x;
        } else if (is_option(a)) refuse_unknown_option(a, c.topic());
        else pos.push_back(a);
    }
    expect_count(pos, 0, c.topic());
}

unsigned count_arg(const std::vector<std::string>& pos, std::size_t i, const std::string& topic) {
    return pos.size() > i ? number_in_range(pos[i], "COUNT", 1, read_count_max, topic) : 1;
}

void parse_sv_read(arg_cursor& c, cli_command& cmd) {
    std::vector<std::string> pos = device_args(c, cmd, false, false);
    if (pos.size() < 2) refuse("too few arguments", c.topic());
    if (pos.size() > 3) refuse("unexpected argument " + cli_quoted(pos[3]), c.topic());
    cmd.dest = number_in_range(pos[0], "destination", 1, sv2_dest_max, c.topic());
    cmd.variable = number_in_range(pos[1], "SV", 0, sv_max, c.topic());
    cmd.var_count = count_arg(pos, 2, c.topic());
    if (cmd.variable + cmd.var_count - 1 > sv_max) refuse("the SVs read would pass SV 65535", c.topic());
}

void parse_sv_write(arg_cursor& c, cli_command& cmd) {
    std::vector<std::string> pos = device_args(c, cmd, true, false);
    // One value, or four for SV..SV+3 in one message.
    expect_count(pos, pos.size() > 3 ? 6 : 3, c.topic());
    cmd.dest = number_in_range(pos[0], "destination", 0, sv2_dest_max, c.topic());
    cmd.variable = number_in_range(pos[1], "SV", 0, sv_max, c.topic());
    cmd.value = number_in_range(pos[2], "value", 0, sv_value_max, c.topic());
    for (std::size_t i = 3; i < pos.size(); ++i)
        cmd.more_values.push_back(number_in_range(pos[i], "value", 0, sv_value_max, c.topic()));
    if (cmd.variable + (cmd.more_values.empty() ? 0u : 3u) > sv_max) refuse("the SVs written would pass SV 65535", c.topic());
    if (cmd.dest == 0 && !cmd.broadcast_ok)
        refuse("destination 0 writes every SV2 device on the bus: give --all to allow it", c.topic());
}

void parse_sv_change_address(arg_cursor& c, cli_command& cmd) {
    std::vector<std::string> pos;
    while (!c.done()) {
        const std::string& a = c.next();
        if (a == "--product") cmd.product = number_in_range(c.value_of(a), "product", 0, 0xFFFF, c.topic());
        else if (is_option(a)) refuse_unknown_option(a, c.topic());
        else pos.push_back(a);
    }
    expect_count(pos, 2, c.topic());
    cmd.serial = number_in_range(pos[0], "serial", 0, 0xFFFF, c.topic());
    cmd.dest = number_in_range(pos[1], "new destination", 1, sv2_dest_max - 1, c.topic());
}

void parse_sv_reconfigure(arg_cursor& c, cli_command& cmd) {
    std::vector<std::string> pos = device_args(c, cmd, true, false);
    expect_count(pos, 1, c.topic());
    cmd.dest = number_in_range(pos[0], "destination", 0, sv2_dest_max, c.topic());
    if (cmd.dest == 0 && !cmd.broadcast_ok)
        refuse("destination 0 restarts every SV2 device on the bus: give --all to allow it", c.topic());
}

void parse_lncv_target(const std::vector<std::string>& pos, cli_command& cmd, const std::string& topic) {
    cmd.article = number_in_range(pos[0], "article", 0, lncv_max - 1, topic);
    cmd.dest = number_in_range(pos[1], "module", 0, lncv_max, topic);
    cmd.variable = number_in_range(pos[2], "LNCV", 0, lncv_max, topic);
}

void parse_lncv_read(arg_cursor& c, cli_command& cmd) {
    std::vector<std::string> pos = device_args(c, cmd, false, false);
    if (pos.size() < 3) refuse("too few arguments", c.topic());
    if (pos.size() > 4) refuse("unexpected argument " + cli_quoted(pos[4]), c.topic());
    parse_lncv_target(pos, cmd, c.topic());
    if (cmd.dest == lncv_all) refuse("module 65535 is every module: read one module at a time", c.topic());
    cmd.var_count = count_arg(pos, 3, c.topic());
    if (cmd.variable + cmd.var_count - 1 > lncv_max) refuse("the LNCVs read would pass LNCV 65535", c.topic());
}

void parse_lncv_write(arg_cursor& c, cli_command& cmd) {
    std::vector<std::string> pos = device_args(c, cmd, true, false);
    expect_count(pos, 4, c.topic());
    parse_lncv_target(pos, cmd, c.topic());
    cmd.value = number_in_range(pos[3], "value", 0, lncv_max, c.topic());
    if (cmd.dest == lncv_all && !cmd.broadcast_ok)
        refuse("module 65535 writes every module of the article: give --all to allow it", c.topic());
}

constexpr const char* board_types[] = {"power-manager", "detector", "signal", "decoder"};

unsigned board_type_from(const std::string& text, const std::string& topic) {
    for (unsigned i = 0; i < std::size(board_types); ++i)
        if (text == board_types[i]) return i;
    if (std::optional<uint64_t> n = cli_parse_number(text); n && *n <= 7) return static_cast<unsigned>(*n);
    refuse("unknown board type " + cli_quoted(text) + " (power-manager, detector, signal, decoder, or 0 to 7)", topic);
}

bool position_from(const std::string& text, const std::string& topic) {
    if (text == "closed") return true;
    if (text != "thrown") refuse("position must be 'closed' or 'thrown', not " + cli_quoted(text), topic);
    return false;
}

// "opsw read [N...]", "opsw read --board TYPE ADDRESS N"; write adds the position.
void parse_opsw(arg_cursor& c, cli_command& cmd, bool write) {
    std::vector<std::string> pos;
    while (!c.done()) {
        const std::string& a = c.next();
        if (a == "--board") cmd.board = true;
        else if (write && a == "--yes") cmd.yes = true;
        else if (is_option(a)) refuse_unknown_option(a, c.topic());
        else pos.push_back(a);
    }
    if (cmd.board) {
        expect_count(pos, write ? 4 : 3, c.topic());
        cmd.board_type = board_type_from(pos[0], c.topic());
        cmd.dest = number_in_range(pos[1], "board", 1, 256, c.topic());
        cmd.opsw.push_back(number_in_range(pos[2], "OpSw", 1, 64, c.topic()));
        if (write) cmd.closed = position_from(pos[3], c.topic());
        return;
    }
    if (write) {
        expect_count(pos, 2, c.topic());
        const unsigned n = number_in_range(pos[0], "OpSw", 1, 128, c.topic());
        if (n % 8 == 0) refuse("OpSw " + pos[0] + " cannot be written (OpSw 8, 16 ... 128 are not switches)", c.topic());
        cmd.opsw.push_back(n);
        cmd.closed = position_from(pos[1], c.topic());
        if (!cmd.yes)
            refuse("writing the command station's option switches can clear its slots or change its role: give "
                   "--yes to write",
                   c.topic());
        return;
    }
    for (const std::string& p : pos) cmd.opsw.push_back(number_in_range(p, "OpSw", 1, 128, c.topic()));
}

struct verb_entry {
    const char* words;  // command words as typed, also the help topic
    cli_verb verb;
    void (*parse)(arg_cursor&, cli_command&);
};

constexpr verb_entry verbs[] = {
    {"monitor", cli_verb::monitor, parse_monitor},
    {"record", cli_verb::record, parse_record},
    {"replay", cli_verb::replay, parse_replay},
    {"power", cli_verb::power, parse_power},
    {"clock set", cli_verb::clock_set, parse_clock_set},  // ahead of "clock", which takes no words
    {"clock", cli_verb::clock, [](arg_cursor& c, cli_command&) { expect_count(positionals_only(c), 0, c.topic()); }},
    {"switch", cli_verb::sw, parse_switch},
    {"throttle", cli_verb::throttle, parse_throttle},
    {"stop", cli_verb::stop, parse_stop},
    {"cv read", cli_verb::cv_read, parse_cv_read},
    {"cv write", cli_verb::cv_write, parse_cv_write},
    {"address write", cli_verb::address_write, parse_address_write},
    {"serve", cli_verb::serve, parse_serve},
    {"slots", cli_verb::slots, parse_slots},
    {"send", cli_verb::send, [](arg_cursor& c, cli_command& cmd) { cli_parse_send(positionals_only(c), cmd); }},
    {"devices", cli_verb::devices, parse_devices},
    {"sv read", cli_verb::sv_read, parse_sv_read},
    {"sv write", cli_verb::sv_write, parse_sv_write},
    {"sv change-address", cli_verb::sv_change_address, parse_sv_change_address},
    {"sv reconfigure", cli_verb::sv_reconfigure, parse_sv_reconfigure},
    {"lncv read", cli_verb::lncv_read, parse_lncv_read},
    {"lncv write", cli_verb::lncv_write, parse_lncv_write},
    {"opsw read", cli_verb::opsw_read, [](arg_cursor& c, cli_command& cmd) { parse_opsw(c, cmd, false); }},
    {"opsw write", cli_verb::opsw_write, [](arg_cursor& c, cli_command& cmd) { parse_opsw(c, cmd, true); }},
};

// Splits "--name=value" of the options that take a value.
std::vector<std::string> split_equals(const std::vector<std::string>& args) {
    std::vector<std::string> out;
    for (const std::string& a : args) {
        std::size_t eq = a.find('=');
        if (a.rfind("--", 0) == 0 && eq != std::string::npos && a != "--f" && a.rfind("--f=", 0) != 0) {
            out.push_back(a.substr(0, eq));
            out.push_back(a.substr(eq + 1));
        } else if (a.rfind("--f=", 0) == 0) {
            out.push_back("--f");
            out.push_back(a.substr(4));
        } else {
            out.push_back(a);
        }
    }
    return out;
}

// The help topic named by the command words among `words` ("cv read", "cv",
// "switch", or "" for the tool).
std::string topic_of(const std::vector<std::string>& words) {
    if (words.empty()) return "";
    std::string one = words[0];
    if (words.size() > 1 && cli_is_help_topic(one + " " + words[1])) return one + " " + words[1];
    return cli_is_help_topic(one) ? one : "";
}

}  // namespace

namespace {

constexpr std::size_t quoted_max_chars = 60;

// Length of the well-formed UTF-8 sequence at the front of `s`, 0 when it is
// not one (stray continuation, overlong form, surrogate, beyond U+10FFFF).
std::size_t utf8_length(std::string_view s) {
    const auto b = [&s](std::size_t i) { return static_cast<unsigned char>(s[i]); };
    const auto cont = [&](std::size_t i, unsigned char lo = 0x80, unsigned char hi = 0xBF) {
        return i < s.size() && b(i) >= lo && b(i) <= hi;
    };
    const unsigned char c = b(0);
    if (c < 0x80) return 1;
    if (c >= 0xC2 && c <= 0xDF) return cont(1) ? 2 : 0;
    if (c >= 0xE0 && c <= 0xEF) {
        const bool second = c == 0xE0 ? cont(1, 0xA0) : c == 0xED ? cont(1, 0x80, 0x9F) : cont(1);
        return second && cont(2) ? 3 : 0;
    }
    if (c >= 0xF0 && c <= 0xF4) {
        const bool second = c == 0xF0 ? cont(1, 0x90) : c == 0xF4 ? cont(1, 0x80, 0x8F) : cont(1);
        return second && cont(2) && cont(3) ? 4 : 0;
    }
    return 0;
}

void append_escaped_byte(std::string& out, unsigned char c) {
    switch (c) {
    case '\t': out += "\\t"; return;
    case '\n': out += "\\n"; return;
    case '\r': out += "\\r"; return;
    case 0x1B: out += "\\e"; return;
    default: string_appendf(out, "\\x%02X", c);
    }
}

}  // namespace

std::string cli_quoted(std::string_view token) {
    std::string out = "'";
    std::size_t chars = 0;
    while (!token.empty()) {
        if (chars++ == quoted_max_chars) {
            out += "...";
            break;
        }
        const std::size_t n = utf8_length(token);
        const auto c = static_cast<unsigned char>(token[0]);
        // C1 controls (U+0080 to U+009F) drive terminals as ESC sequences do.
        const bool c1 = n == 2 && c == 0xC2 && static_cast<unsigned char>(token[1]) < 0xA0;
        if (n == 0 || c1 || c < 0x20 || c == 0x7F) {
            for (std::size_t i = 0; i < (c1 ? 2u : 1u); ++i) append_escaped_byte(out, static_cast<unsigned char>(token[i]));
            token.remove_prefix(c1 ? 2 : 1);
            continue;
        }
        if (c == '\\') out += '\\';
        out.append(token.substr(0, n));
        token.remove_prefix(n);
    }
    return out + "'";
}

std::optional<uint64_t> cli_parse_number(const std::string& text) {
    return kvr_parse_number(text, kvr_number_form::decimal_or_hex);
}

cli_parsed cli_parse(const std::vector<std::string>& raw) {
    std::vector<std::string> args = split_equals(raw);
    cli_command cmd;
    std::vector<std::string> rest;
    bool help = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "-h" || a == "--help") {
            help = true;
        } else if (a == "-p" || a == "--port") {
            if (i + 1 >= args.size()) refuse(a + " needs a port name", "");
            cmd.port = args[++i];
            if (cmd.port.empty()) refuse("the port name is empty", "");
        } else if (a == "--adapter") {
            if (i + 1 >= args.size()) refuse("--adapter needs an adapter name", "");
            // "auto", as the window stores it: chosen by the port name.
            const std::optional<kvr_adapter> kind =
                args[++i] == "auto" ? kvr_adapter::automatic : kvr_adapter_parse(args[i]);
            if (!kind) refuse("unknown adapter " + cli_quoted(args[i]) + " (auto, ms100, locobuffer, locobuffer-19200, locobuffer-115200)", "");
            cmd.adapter = *kind;
            cmd.adapter_given = true;
        } else if (a == "--timeout") {
            if (i + 1 >= args.size()) refuse("--timeout needs a number of seconds", "");
            cmd.timeout_s = timeout_from(args[++i]);
        } else if (a == "--log-dir") {
            if (i + 1 >= args.size() || args[i + 1].empty()) refuse("--log-dir needs a folder", "");
            cmd.log_dir = args[++i];
        } else {
            rest.push_back(a);
        }
    }
    if (help || (!rest.empty() && rest[0] == "help")) {
        std::vector<std::string> words(rest.begin() + (!rest.empty() && rest[0] == "help" ? 1 : 0), rest.end());
        return cli_parsed{std::nullopt, topic_of(words)};
    }
    if (rest.empty()) refuse("no command given", "");
    for (const verb_entry& v : verbs) {
        std::string_view words = v.words;
        std::size_t blank = words.find(' ');
        std::size_t n_words = blank == std::string_view::npos ? 1 : 2;
        if (rest[0] != words.substr(0, blank)) continue;
        if (n_words == 2 && (rest.size() < 2 || rest[1] != words.substr(blank + 1))) continue;
        cmd.verb = v.verb;
        arg_cursor cursor(std::vector<std::string>(rest.begin() + static_cast<long>(n_words), rest.end()),
                          v.words);
        v.parse(cursor, cmd);
        return cli_parsed{cmd, std::nullopt};
    }
    if (rest[0] == "cv") refuse(rest.size() < 2 ? "cv needs 'read' or 'write'" : "unknown cv command " + cli_quoted(rest[1]), "cv");
    if (rest[0] == "address") refuse("address needs 'write'", "address write");
    for (const char* group : {"sv", "lncv", "opsw"})
        if (rest[0] == group)
            refuse(rest.size() < 2 ? std::string(group) + " needs a command" : "unknown " + std::string(group) + " command " + cli_quoted(rest[1]),
                   group);
    refuse("unknown command " + cli_quoted(rest[0]), "");
}
