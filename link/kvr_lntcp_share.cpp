#include "link/kvr_lntcp_share.h"

namespace {

// More than the server ever has on its way, so an expired SEND's tag is
// still known; older entries are long written or taken back.
constexpr std::size_t remembered_tags = 64;

}  // namespace

kvr_lntcp_share::kvr_lntcp_share(kvr_loconet_port& link, kvr_lntcp_server_options options,
                                 kvr_lntcp_server::report_handler on_report)
    : link_(link),
      server_(
          std::move(options), [this](const kvr_loconet_msg& msg) { return send(msg); }, std::move(on_report)) {
    server_.set_withdraw_handler([this](const kvr_loconet_msg& msg) { return withdraw(msg); });
}

// The server's thread: queueing never blocks. A message sent while the
// adapter is gone gets its SENT ERROR at once. Each message carries a tag of
// its own, so an expired one can be taken back alone.
std::string kvr_lntcp_share::send(const kvr_loconet_msg& msg) {
    if (lost_.load() || !link_.is_open()) return "the bus link is closed";
    const uint32_t tag = link_.new_tx_tag();
    link_.send(msg, tag);
    handed_.emplace_back(msg, tag);
    if (handed_.size() > remembered_tags) handed_.pop_front();
    return {};
}

// Copies of the same bytes are alike to the bus and to the clients, whose
// echoes match oldest first: taking back any copy not yet written will do.
bool kvr_lntcp_share::withdraw(const kvr_loconet_msg& msg) {
    for (auto it = handed_.begin(); it != handed_.end(); ++it) {
        if (!(it->first == msg)) continue;
        if (link_.withdraw(it->second) > 0) {
            handed_.erase(it);
            return true;
        }
    }
    return false;
}

void kvr_lntcp_share::on_message(const kvr_loconet_msg& msg, const kvr_capture_time&) {
    server_.bus_message(msg);
}

void kvr_lntcp_share::on_link_lost(const std::string&) {
    lost_.store(true);
}
