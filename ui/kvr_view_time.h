#pragma once
// The "Seen" column of the slot and sensor windows: local time of day of a
// receive time, "13:05:09" or with milliseconds "13:05:09.123". Called for
// every row a batch changes on a saturated bus, so the local-time
// conversion is done once per second, not once per row.

#include <QString>

#include <ctime>

#include "loconet/kvr_capture.h"

inline QString kvr_seen_text(const kvr_capture_time& t, bool with_ms) {
    static thread_local int64_t cached_second = -1;
    static thread_local char cached[16] = "";
    if (t.seconds != cached_second) {
        const std::time_t s = static_cast<std::time_t>(t.seconds);
        std::tm local{};
        localtime_r(&s, &local);
        std::strftime(cached, sizeof cached, "%H:%M:%S", &local);
        cached_second = t.seconds;
    }
    if (!with_ms) return QString::fromLatin1(cached);
    return QStringLiteral("%1.%2").arg(QLatin1String(cached)).arg(t.micros / 1000, 3, 10, QLatin1Char('0'));
}
