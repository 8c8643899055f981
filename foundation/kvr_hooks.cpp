#include "foundation/kvr_hooks.h"

#include <cstdio>
#include <mutex>
#include <utility>

namespace {

std::mutex hooks_mutex;
kvr_message_box_fn message_box_hook;
kvr_tone_fn tone_hook;

int default_message_box(const std::string& text, const std::string& caption, kvr_icon) {
    // "caption: text"; a text that starts with its own line feed (as every
    // exception report does) follows the caption without the blank.
    std::string out = caption + ":";
    if (text.empty() || text.front() != '\n') out += ' ';
    out += text;
    out += '\n';
    std::fputs(out.c_str(), stderr);
    std::fflush(stderr);
    return 1;
}

}  // namespace

void kvr_set_message_box_hook(kvr_message_box_fn fn) {
    std::lock_guard<std::mutex> lk(hooks_mutex);
    message_box_hook = std::move(fn);
}

void kvr_set_tone_hook(kvr_tone_fn fn) {
    std::lock_guard<std::mutex> lk(hooks_mutex);
    tone_hook = std::move(fn);
}

int kvr_message_box(const std::string& text, const std::string& caption, kvr_icon icon) {
    kvr_message_box_fn fn;
    {
        // Copy under the lock and call outside it: a message box blocks for
        // as long as the user takes.
        std::lock_guard<std::mutex> lk(hooks_mutex);
        fn = message_box_hook;
    }
    return fn ? fn(text, caption, icon) : default_message_box(text, caption, icon);
}

void kvr_tone(unsigned frequency_hz, unsigned duration_ms) {
    kvr_tone_fn fn;
    {
        std::lock_guard<std::mutex> lk(hooks_mutex);
        fn = tone_hook;
    }
    if (fn) fn(frequency_hz, duration_ms);
}
