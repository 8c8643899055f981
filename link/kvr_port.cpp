#include "link/kvr_port.h"

#include <cstdarg>
#include <cstdio>

namespace {

// Room for one monitor line, terminator included.
constexpr std::size_t kvr_post_buffer = 1024;

// Length of the run of CR and LF characters that ends `text`.
std::size_t line_end_length(const std::string& text) {
    std::size_t n = 0;
    while (n < text.size() && n < 2) {
        const char c = text[text.size() - 1 - n];
        if (c != '\r' && c != '\n') break;
        ++n;
    }
    return n;
}

}  // namespace

void kvr_event::signal(uint8_t result) {
    result_.store(result);
    if (result == 0) successes_.fetch_add(1);
    if (result == 254) code254_.fetch_add(1);
    event_.set();
}

void kvr_event::reset() {
    event_.reset();
    resets_.fetch_add(1);
}

bool kvr_event::wait(unsigned ms) {
    return event_.wait(ms);
}

void kvr_event::wait_forever() {
    event_.wait_forever();
}

kvr_port::kvr_port() {
    events_.emplace(0, std::make_unique<kvr_event>(0));
}

kvr_port::~kvr_port() = default;

kvr_event& kvr_port::event(uint8_t key) {
    std::lock_guard<std::mutex> lk(events_mutex_);
    auto& slot = events_[key];
    if (!slot) slot = std::make_unique<kvr_event>(0);
    return *slot;
}

bool kvr_port::has_window() const {
    kvr_monitor_sink* sink = sink_.load();
    return sink != nullptr && sink->has_window();
}

void kvr_port::post_text(const char* fmt, ...) {
    kvr_monitor_sink* sink = sink_.load();
    if (sink == nullptr || !sink->has_window()) return;

    char buf[kvr_post_buffer];
    va_list ap;
    va_start(ap, fmt);
    va_list again;
    va_copy(again, ap);
    const int n = std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    if (n < 0) {
        va_end(again);
        return;
    }
    std::string text;
    if (static_cast<std::size_t>(n) < sizeof buf) {
        text.assign(buf, static_cast<std::size_t>(n));
    } else {
        // Too long for one line: keep the head, and keep the line end so the
        // receiver still sees one line per post.
        std::string full(static_cast<std::size_t>(n) + 1, '\0');
        std::vsnprintf(full.data(), full.size(), fmt, again);
        full.resize(static_cast<std::size_t>(n));
        const std::size_t tail = line_end_length(full);
        text = full.substr(0, sizeof buf - 1 - tail) + full.substr(full.size() - tail);
    }
    va_end(again);
    sink->post_text(std::move(text));
}

void kvr_port::notify_link_lost(const std::string& report) {
    kvr_monitor_sink* sink = sink_.load();
    if (sink != nullptr && sink->has_window()) sink->link_lost(report);
}

void kvr_port::notify_send_failed(const std::string& report) {
    kvr_monitor_sink* sink = sink_.load();
    if (sink != nullptr && sink->has_window()) sink->send_failed(report);
}
