// Entry of busprobe-cli: the decode command, help, and the bus commands.

#include "apps/cli/cli_main.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iostream>

#include "apps/cli/cli_bus.h"
#include "apps/cli/cli_command.h"
#include "apps/cli/cli_decode.h"
#include "apps/cli/cli_output.h"
#include "foundation/kvr_ini.h"
#include "foundation/kvr_build.h"

namespace {

constexpr const char* globals_with_value[] = {"-p", "--port", "--timeout", "--adapter", "--log-dir"};

bool is_global_with_value(const std::string& a) {
    for (const char* g : globals_with_value)
        if (a == g) return true;
    return false;
}

// "--timeout=30" and the like: the option and its value in one word.
bool is_global_joined(const std::string& a) {
    const std::size_t eq = a.find('=');
    return eq != std::string::npos && a.rfind("--", 0) == 0 && is_global_with_value(a.substr(0, eq));
}

// Index of the first command word, stepping over the global options.
std::size_t command_index(const std::vector<std::string>& args) {
    std::size_t i = 0;
    while (i < args.size() && (is_global_with_value(args[i]) || is_global_joined(args[i])))
        i += is_global_with_value(args[i]) ? 2 : 1;
    return i;
}

// Every command ends here: output that could not be written is a failure
// (the value read would be lost without a word), except that a monitor whose
// reader went away (monitor | head) ends quietly.
int checked_output(int status, bool quiet_on_closed_pipe, kvr_cli_context& ctx) {
    ctx.out->flush();
    if (*ctx.out) return status;
    const int e = ctx.out_error ? ctx.out_error() : 0;
    if (quiet_on_closed_pipe && e == EPIPE) return kvr_cli_ok;
    *ctx.err << "busprobe-cli: the output could not be written";
    if (e != 0) *ctx.err << ": " << std::strerror(e);
    *ctx.err << "\n";
    return status == kvr_cli_ok ? kvr_cli_failed : status;
}

bool is_monitor(const std::vector<std::string>& args, std::size_t cmd) {
    return cmd < args.size() && args[cmd] == "monitor";
}

int usage_error(const cli_usage_error& u, std::ostream& err) {
    err << "busprobe-cli: " << u.message << "\n" << cli_usage_text(u.topic);
    err << "Try 'busprobe-cli " << (u.topic.empty() ? "" : u.topic + " ") << "--help' for more information.\n";
    return kvr_cli_usage;
}

int run_command(const std::vector<std::string>& args, std::size_t cmd, kvr_cli_context& ctx) {
    if (cmd < args.size() && args[cmd] == "decode") {
        std::vector<std::string> rest(args.begin() + static_cast<long>(cmd) + 1, args.end());
        return kvr_cli_decode(rest, *ctx.in, *ctx.out, *ctx.err);
    }
    if (args.size() == 1 && args[0] == "--version") {
        *ctx.out << "busprobe-cli " << BUSPROBE_VERSION << "\n";
        return kvr_cli_ok;
    }
    try {
        cli_parsed parsed = cli_parse(args);
        if (parsed.help_topic == "decode") return kvr_cli_decode({"--help"}, *ctx.in, *ctx.out, *ctx.err);
        if (parsed.help_topic) {
            *ctx.out << cli_help_text(*parsed.help_topic);
            return kvr_cli_ok;
        }
        return cli_run_bus_command(*parsed.command, ctx);
    } catch (const cli_usage_error& u) {
        return usage_error(u, *ctx.err);
    }
}

}  // namespace

std::string cli_settings_path_for(const std::string& cli_exe, const char* xdg_config_home, const char* home) {
    const std::size_t slash = cli_exe.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : cli_exe.substr(0, slash);
    return kvr_ini::default_path_for(folder + "/busprobe", xdg_config_home, home);
}

std::string cli_settings_path() {
    std::string exe(4096, '\0');
    const ssize_t n = ::readlink("/proc/self/exe", exe.data(), exe.size());
    exe.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return cli_settings_path_for(exe.empty() ? "busprobe-cli" : exe, std::getenv("XDG_CONFIG_HOME"),
                                 std::getenv("HOME"));
}

int kvr_cli_run(const std::vector<std::string>& args, kvr_cli_context& ctx) {
    const std::size_t cmd = command_index(args);
    return checked_output(run_command(args, cmd, ctx), is_monitor(args, cmd), ctx);
}

int kvr_cli_main(int argc, char** argv) {
    // A closed standard output (busprobe-cli monitor | head) shows as a
    // failed write, so the link is still closed in order.
    signal(SIGPIPE, SIG_IGN);
    cli_hold_standard_fds();
    // Standard input through the C++ stream's own buffer rather than one
    // getc per character, and not tied to std::cout (output goes through
    // cli_fd_out): decode reads captures of millions of lines.
    std::ios::sync_with_stdio(false);
    std::cin.tie(nullptr);
    std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    cli_fd_out out_buf(STDOUT_FILENO);
    std::ostream out(&out_buf);
    kvr_cli_context ctx;
    ctx.in = &std::cin;
    ctx.out = &out;
    ctx.err = &std::cerr;
    ctx.out_error = [&out_buf] { return out_buf.error(); };
    ctx.sim.demo = true;  // a newcomer's first look at "SIM" should show life
    return kvr_cli_run(args, ctx);
}
