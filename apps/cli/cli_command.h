#pragma once
// A bus command of busprobe-cli as parsed from its arguments. Parsing checks
// every number and name, so a command that parses can be sent as it is.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "link/kvr_adapter.h"
#include "loconet/kvr_dcc_packet.h"
#include "loconet/kvr_loconet_proto.h"

enum class cli_verb { monitor, record, replay, power, clock, sw, throttle, cv_read, cv_write, address_write, serve,
                      clock_set, slots, send, stop, devices, sv_read, sv_write, sv_change_address, sv_reconfigure,
                      lncv_read, lncv_write, opsw_read, opsw_write };

// Programming modes; the order of the first three matches the mode numbers
// of do_write_ex_address (0 paged, 1 direct).
enum class cli_cv_mode { paged, direct, reg, ops, direct_bits, ops_bits };

// Limits of what the tool sends.
constexpr unsigned cli_cv_min = kvr_proto::cv_first, cli_cv_max = kvr_proto::cv_max;
constexpr unsigned cli_register_min = 1, cli_register_max = 8;
constexpr unsigned cli_value_max = 255;
constexpr unsigned cli_switch_min = kvr_proto::switch_first, cli_switch_max = kvr_proto::switch_max;
constexpr unsigned cli_address_min = kvr_proto::loco_address_first;  // the window's rule too
constexpr unsigned cli_address_max = kvr_proto::loco_address_last;
constexpr unsigned cli_function_max = kvr_dcc::function_max;  // F0 to F28
constexpr double cli_default_timeout_s = 60;
constexpr double cli_speed_min = 0.01, cli_speed_max = 1000;

struct cli_command {
    cli_verb verb = cli_verb::monitor;

    // Global options. An empty port means: the settings file's, else "COM1".
    std::string port;
    double timeout_s = cli_default_timeout_s;  // 0: no limit
    kvr_adapter adapter = kvr_adapter::automatic;  // --adapter; by the port name when not given
    bool adapter_given = false;  // --adapter, "auto" included: the settings file's ADAPTER is not used
    std::string log_dir;  // --log-dir; "" is the current folder

    // monitor
    bool show_time = false;
    bool show_hex = false;
    bool extended = false;  // monitor --extended
    bool write_log = false;
    uint64_t count = 0;  // 0: no limit; also record

    // record / replay: the capture file
    std::string file;
    double replay_speed = 1;  // 2 plays twice as fast
    bool live = false;  // replay onto a port other than SIM

    // serve: where to listen ("" is 127.0.0.1:1234); --log is write_log
    std::string listen;

    // power
    bool power_on = false;

    // switch
    unsigned switch_number = 0;
    bool closed = true;
    bool output_on = true;

    // throttle; also the locomotive of operations-mode programming
    unsigned address = 0;
    std::optional<unsigned> speed;
    unsigned steps = 128;
    bool steps_given = false;
    std::optional<bool> forward;
    std::map<unsigned, bool> functions;  // function number -> on
    bool functions_as_opcodes = false;   // --functions opcodes: F9-F28 as A3/D4, not DCC packets
    bool functions_given = false;        // --functions: the settings file's FUNCSEND is not used
    bool steal = false;                  // --steal: take the loco from another throttle
    // throttle, slots: --slots classic|expanded|auto; empty: SLOTS of the
    // settings file, else auto
    std::string slots_choice;

    // stop: ADDRESS (address above), or every loco
    bool stop_all = false;

    // clock set
    unsigned clock_hour = 0;
    unsigned clock_minute = 0;
    std::optional<unsigned> clock_rate;  // kept as the clock runs when not given
    bool clock_stop = false;

    // cv read / cv write / address write
    unsigned cv = 0;
    unsigned value = 0;
    cli_cv_mode mode = cli_cv_mode::paged;
    bool address_given = false;
    bool feedback = false;
    unsigned cv17 = 0;
    unsigned cv18 = 0;

    // slots
    bool read_slots = false;  // --read: ask the command station for every loco slot
    bool all_slots = false;   // --all: every slot, not only those in use
    unsigned release_slot = 0;   // --release N: set slot N common (0: none)
    unsigned dispatch_slot = 0;  // --dispatch N: set slot N common and move it to 0 (0: none)
    // send: the message as it goes out, checksum included
    std::vector<uint8_t> message;

    // devices, sv, lncv, opsw (cli_devices.h)
    std::vector<unsigned> articles;  // devices --article N...
    double wait_s = 2;               // devices --wait
    bool broadcast_ok = false;       // --all: a write to every device
    bool yes = false;                // --yes: the command station's option switches may be written
    unsigned dest = 0;               // SV2 destination, LNCV module address, board address
    unsigned article = 0;            // LNCV article
    unsigned variable = 0;           // SV or LNCV number
    unsigned var_count = 1;          // sv/lncv read COUNT
    std::vector<unsigned> more_values;  // sv write: the values of SV+1..SV+3 (value is SV's)
    unsigned serial = 0;             // sv change-address: the device's serial
    std::optional<unsigned> product; // sv change-address --product
    std::vector<unsigned> opsw;      // opsw read N...; opsw write N
    bool board = false;              // opsw --board
    unsigned board_type = 0;
};

// A refused command line: the one-line message and the help topic whose
// usage follows it ("" for the tool, "cv read", ...).
struct cli_usage_error {
    std::string message;
    std::string topic;
};

// Outcome of parsing: a command to run, or a help topic to print.
struct cli_parsed {
    std::optional<cli_command> command;
    std::optional<std::string> help_topic;
};

// Parses the arguments of a bus command (global options included, before or
// after the command words). Throws cli_usage_error.
cli_parsed cli_parse(const std::vector<std::string>& args);

// Strict unsigned number: decimal or 0x hexadecimal, nothing else.
std::optional<uint64_t> cli_parse_number(const std::string& text);

// A token of the user's (an argument, a setting, a line of input) as the
// messages echo it: in single quotes, cut to 60 characters ("..." marks the
// cut), control characters and bytes that are not UTF-8 escaped (\e, \x00,
// \xFF), so that input can neither drive the terminal nor hide a character.
//   "\e]0;x\a" -> '\e]0;x\x07'
std::string cli_quoted(std::string_view token);

// Help texts. topic "" is the tool; unknown topics give the tool's help.
std::string cli_help_text(const std::string& topic);
std::string cli_usage_text(const std::string& topic);
bool cli_is_help_topic(const std::string& topic);
