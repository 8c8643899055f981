#include "apps/cli/cli_devices.h"

#include "apps/cli/cli_main.h"
#include "foundation/kvr_exception.h"
#include "station/kvr_devices.h"

namespace {

const char* position(bool closed) { return closed ? "closed" : "thrown"; }

int run_discover(kvr_devices& d, const cli_command& cmd, std::ostream& out, std::ostream& err) {
    std::vector<uint16_t> articles(cmd.articles.begin(), cmd.articles.end());
    const auto found = d.do_discover(articles, static_cast<unsigned>(cmd.wait_s * 1000));
    for (const kvr_device_found& f : found) out << kvr_device_line(f) << '\n';
    if (found.empty()) err << "busprobe-cli: no device answered within " << cmd.wait_s << " s\n";
    return kvr_cli_ok;
}

// The device with the serial (and product, when given) as a discover finds
// it: its full identity is what a change of address must carry.
int run_change_address(kvr_devices& d, const cli_command& cmd, std::ostream& err) {
    std::vector<kvr_device_found> matching;
    for (const kvr_device_found& f : d.do_discover({}, d.timing().reply_ms * 2, false))
        if (f.kind == kvr_device_found::protocol::sv2 && f.identity.serial == cmd.serial &&
            (!cmd.product || f.identity.product == *cmd.product))
            matching.push_back(f);
    if (matching.empty()) {
        err << "busprobe-cli: no SV2 device with serial " << cmd.serial
            << (cmd.product ? " and product " + std::to_string(*cmd.product) : std::string()) << " answered\n";
        return kvr_cli_failed;
    }
    if (matching.size() > 1) {
        err << "busprobe-cli: " << matching.size() << " SV2 devices have serial " << cmd.serial
            << ": give --product to choose one\n";
        return kvr_cli_failed;
    }
    d.do_sv_change_address(matching[0].identity, static_cast<uint16_t>(cmd.dest));
    return kvr_cli_ok;
}

int run_opsw_read(kvr_devices& d, const cli_command& cmd, std::ostream& out) {
    if (cmd.board) {
        const bool closed = d.do_board_opsw_read(static_cast<uint8_t>(cmd.board_type), static_cast<uint16_t>(cmd.dest),
                                                 static_cast<uint8_t>(cmd.opsw[0]));
        out << "OpSw " << cmd.opsw[0] << ' ' << position(closed) << '\n';
        return kvr_cli_ok;
    }
    const kvr_loconet_msg low = d.do_cs_opsw_read(kvr_slot_opsw);
    std::vector<unsigned> wanted = cmd.opsw;
    const bool offered_high = (low[kvr_proto::slot_trk] & 0x40) != 0;
    if (wanted.empty())
        for (unsigned n = 1; n <= (offered_high ? 128u : 64u); ++n) wanted.push_back(n);
    std::optional<kvr_loconet_msg> high;
    for (unsigned n : wanted) {
        if (n > kvr_opsw_count && !high) high = d.do_cs_opsw_read(kvr_slot_opsw_ext);
        const kvr_loconet_msg& slot = n > kvr_opsw_count ? *high : low;
        out << "OpSw " << n << ' ' << position(kvr_cs_opsw_get(slot, static_cast<int>(n))) << '\n';
    }
    return kvr_cli_ok;
}

int run_opsw_write(kvr_devices& d, const cli_command& cmd) {
    if (cmd.board)
        d.do_board_opsw_write(static_cast<uint8_t>(cmd.board_type), static_cast<uint16_t>(cmd.dest),
                              static_cast<uint8_t>(cmd.opsw[0]), cmd.closed);
    else
        d.do_cs_opsw_write({{static_cast<int>(cmd.opsw[0]), cmd.closed}});
    return kvr_cli_ok;
}

}  // namespace

int cli_run_devices(kvr_dccx_loconet& station, const cli_command& cmd, std::ostream& out, std::ostream& err) {
    kvr_devices d(station);
    const auto dest = static_cast<uint16_t>(cmd.dest);
    const auto var = static_cast<uint16_t>(cmd.variable);
    switch (cmd.verb) {
    case cli_verb::devices: return run_discover(d, cmd, out, err);
    case cli_verb::sv_read: {
        const std::vector<uint8_t> values = d.do_sv_read(dest, var, cmd.var_count);
        for (std::size_t i = 0; i < values.size(); ++i)
            out << "SV " << cmd.variable + i << " = " << unsigned(values[i]) << '\n';
        return kvr_cli_ok;
    }
    case cli_verb::sv_write:
        if (cmd.more_values.size() == 3)
            d.do_sv_write_four(dest, var,
                               {static_cast<uint8_t>(cmd.value), static_cast<uint8_t>(cmd.more_values[0]),
                                static_cast<uint8_t>(cmd.more_values[1]), static_cast<uint8_t>(cmd.more_values[2])});
        else
            d.do_sv_write(dest, var, static_cast<uint8_t>(cmd.value));
        return kvr_cli_ok;
    case cli_verb::sv_change_address: return run_change_address(d, cmd, err);
    case cli_verb::sv_reconfigure: d.do_sv_reconfigure(dest); return kvr_cli_ok;
    case cli_verb::lncv_read: {
        // Each value is printed as it comes, so a cancelled read still shows
        // what was read.
        d.do_lncv_read(static_cast<uint16_t>(cmd.article), dest, var, cmd.var_count,
                       [&](uint16_t n, uint16_t v) { out << "LNCV " << n << " = " << v << '\n'; });
        return kvr_cli_ok;
    }
    case cli_verb::lncv_write:
        d.do_lncv_write(static_cast<uint16_t>(cmd.article), dest, var, static_cast<uint16_t>(cmd.value));
        return kvr_cli_ok;
    case cli_verb::opsw_read: return run_opsw_read(d, cmd, out);
    case cli_verb::opsw_write: return run_opsw_write(d, cmd);
    default: return kvr_cli_failed;
    }
}
