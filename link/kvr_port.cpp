#include "link/kvr_port.h"

#include <algorithm>

#include "loconet/kvr_monitor.h"

kvr_port::kvr_port() = default;

kvr_port::~kvr_port() = default;

void kvr_port::add_listener(kvr_link_listener* l) {
    std::lock_guard<std::mutex> lk(listeners_mutex_);
    if (l != nullptr && std::find(listeners_.begin(), listeners_.end(), l) == listeners_.end())
        listeners_.push_back(l);
}

void kvr_port::remove_listener(kvr_link_listener* l) {
    std::lock_guard<std::mutex> lk(listeners_mutex_);
    listeners_.erase(std::remove(listeners_.begin(), listeners_.end(), l), listeners_.end());
}

bool kvr_port::has_listeners() const {
    std::lock_guard<std::mutex> lk(listeners_mutex_);
    return !listeners_.empty();
}

void kvr_port::post_note(std::string line) {
    if (!has_listeners()) return;
    const std::string cut = kvr_monitor::cut_line(std::move(line));
    tell([&](kvr_link_listener& l) { l.on_note(cut); });
}

void kvr_port::notify_link_lost(const std::string& report) {
    tell([&](kvr_link_listener& l) { l.on_link_lost(report); });
}

void kvr_port::notify_send_refused(const std::string& report) {
    tell([&](kvr_link_listener& l) { l.on_send_refused(report); });
}
