#pragma once
// The clocks: the wall clock, its local breakdown for log stamps, a
// monotonic clock for deadlines, and sleeping.
#include <chrono>
#include <cstdint>

namespace platform {

// Whole seconds since the epoch and the milliseconds of the current second.
struct WallClockTime {
    std::int64_t seconds = 0;
    std::int32_t milliseconds = 0;
};
WallClockTime wallClockNow();

// A wall-clock time broken down in the local time zone.
struct LocalTime {
    int year = 0;    // e.g. 2024
    int month = 0;   // 1 to 12
    int day = 0;     // 1 to 31
    int hour = 0;
    int minute = 0;
    int second = 0;  // 0 to 60 (a leap second)
    int millisecond = 0;
};
LocalTime toLocalTime(WallClockTime time);

// Deadlines and waits are measured on this clock, which no clock setting
// moves.
using MonotonicClock = std::chrono::steady_clock;

// Pauses the calling thread for at least ms milliseconds (nothing for 0 or
// less), resuming after signals.
void sleepMilliseconds(std::int64_t ms);

}  // namespace platform
