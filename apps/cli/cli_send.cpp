#include "apps/cli/cli_send.h"

#include "apps/cli/cli_main.h"
#include "loconet/kvr_hand_message.h"
#include "station/kvr_dccx_loconet.h"

void cli_parse_send(const std::vector<std::string>& words, cli_command& cmd) {
    std::string text;
    for (const std::string& w : words) text += w + ' ';
    const kvr_hand_message m = kvr_parse_hand_message(text);
    if (!m.ok) {
        // The notice names the word it refused as typed: quoted here, so
        // that control characters in it cannot drive the terminal.
        std::string notice = m.notice;
        if (!m.token.empty())
            if (const std::size_t at = notice.find("'" + m.token + "'"); at != std::string::npos)
                notice.replace(at, m.token.size() + 2, cli_quoted(m.token));
        throw cli_usage_error{notice + " Nothing was sent.", "send"};
    }
    cmd.message.assign(m.msg.data(), m.msg.data() + m.msg.length());
}

int cli_run_send(kvr_dccx_loconet& station, const cli_command& cmd) {
    kvr_loconet_msg msg;
    for (uint8_t b : cmd.message) msg.append(b);
    station.send_message(msg);
    return kvr_cli_ok;
}
