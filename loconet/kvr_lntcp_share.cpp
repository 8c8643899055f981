#include "loconet/kvr_lntcp_share.h"

kvr_lntcp_share::kvr_lntcp_share(kvr_loconet_port& link, kvr_lntcp_server_options options,
                                 kvr_lntcp_server::report_handler on_report, kvr_monitor_sink* inner)
    : link_(link),
      inner_(inner),
      server_(
          std::move(options),
          // The server's thread: queueing never blocks. A message sent while
          // the adapter is gone gets its SENT ERROR at once.
          [this](const kvr_loconet_msg& msg) -> std::string {
              if (lost_.load() || !link_.is_open()) return "the bus link is closed";
              link_.send(msg, 0);
              return {};
          },
          std::move(on_report)) {}

void kvr_lntcp_share::post_message(const kvr_loconet_msg& msg) {
    server_.bus_message(msg);
    if (inner_ != nullptr) inner_->post_message(msg);
}

void kvr_lntcp_share::post_text(std::string text) {
    if (inner_ != nullptr && inner_->has_window()) inner_->post_text(std::move(text));
}

void kvr_lntcp_share::link_lost(std::string report) {
    lost_.store(true);
    if (inner_ != nullptr) inner_->link_lost(std::move(report));
}
