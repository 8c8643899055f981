// Entry of busprobe-cli: the decode command, help, and the bus commands.

#include "apps/cli/cli_main.h"

#include <signal.h>

#include <iostream>

#include "apps/cli/cli_bus.h"
#include "apps/cli/cli_command.h"
#include "apps/cli/cli_decode.h"

#ifndef BUSPROBE_VERSION
#define BUSPROBE_VERSION "unknown"
#endif

namespace {

bool is_global_with_value(const std::string& a) { return a == "-p" || a == "--port" || a == "--timeout"; }

// Index of the first command word, stepping over the global options.
std::size_t command_index(const std::vector<std::string>& args) {
    std::size_t i = 0;
    while (i < args.size() && (is_global_with_value(args[i]) || args[i].rfind("--port=", 0) == 0 ||
                               args[i].rfind("--timeout=", 0) == 0))
        i += is_global_with_value(args[i]) ? 2 : 1;
    return i;
}

int usage_error(const cli_usage_error& u, std::ostream& err) {
    err << "busprobe-cli: " << u.message << "\n" << cli_usage_text(u.topic);
    err << "Try 'busprobe-cli " << (u.topic.empty() ? "" : u.topic + " ") << "--help' for more information.\n";
    return kvr_cli_usage;
}

}  // namespace

int kvr_cli_run(const std::vector<std::string>& args, kvr_cli_context& ctx) {
    std::size_t cmd = command_index(args);
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

int kvr_cli_main(int argc, char** argv) {
    // A closed standard output (busprobe-cli monitor | head) shows as a
    // failed write, so the link is still closed in order.
    signal(SIGPIPE, SIG_IGN);
    std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    kvr_cli_context ctx;
    ctx.in = &std::cin;
    ctx.out = &std::cout;
    ctx.err = &std::cerr;
    ctx.sim.demo = true;  // a newcomer's first look at "SIM" should show life
    int status = kvr_cli_run(args, ctx);
    std::cout.flush();
    return status;
}
