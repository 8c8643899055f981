#include "apps/cli/cli_send.h"

#include "apps/cli/cli_main.h"
#include "loconet/kvr_hand_message.h"
#include "station/kvr_dccx_loconet.h"

void cli_parse_send(const std::vector<std::string>& words, cli_command& cmd) {
    std::string text;
    for (const std::string& w : words) text += w + ' ';
    const kvr_hand_message m = kvr_parse_hand_message(text);
    if (!m.ok) throw cli_usage_error{m.notice + " Nothing was sent.", "send"};
    cmd.message.assign(m.msg.data(), m.msg.data() + m.msg.length());
}

int cli_run_send(kvr_dccx_loconet& station, const cli_command& cmd) {
    kvr_loconet_msg msg;
    for (uint8_t b : cmd.message) msg.append(b);
    station.send_message(msg);
    return kvr_cli_ok;
}
