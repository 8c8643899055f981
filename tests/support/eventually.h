#pragma once
// Waits for something another thread or process brings about.

#include <chrono>
#include <functional>
#include <thread>

// Looks every `period` until `done` holds; false once `bound` has
// passed without it. The bound is a hang guard, not a speed check.
inline bool eventually(const std::function<bool()>& done, std::chrono::milliseconds bound = std::chrono::seconds(5),
                       std::chrono::milliseconds period = std::chrono::milliseconds(2)) {
    for (const auto until = std::chrono::steady_clock::now() + bound; !done();) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(period);
    }
    return true;
}
