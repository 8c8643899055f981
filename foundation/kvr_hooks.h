#pragma once
// The core has no window system. Where it would show a message box or sound
// a tone it calls these replaceable hooks; the window program installs real
// ones, the command-line tool and the tests keep or replace the defaults.

#include <functional>
#include <string>

enum class kvr_icon { exclamation, warning, information };

// Returns the button the user chose; 1 means OK.
using kvr_message_box_fn =
    std::function<int(const std::string& text, const std::string& caption, kvr_icon icon)>;
using kvr_tone_fn = std::function<void(unsigned frequency_hz, unsigned duration_ms)>;

// Installing an empty function restores the default. Install hooks before
// other threads may call them.
void kvr_set_message_box_hook(kvr_message_box_fn fn);
void kvr_set_tone_hook(kvr_tone_fn fn);

// Default: writes the caption and the text to standard error, returns 1.
int kvr_message_box(const std::string& text, const std::string& caption, kvr_icon icon);
// Default: silent and returns at once.
void kvr_tone(unsigned frequency_hz, unsigned duration_ms);
