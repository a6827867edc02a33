#include "platform/clock.h"

#include <time.h>

#include <cerrno>

namespace platform {

WallClockTime wallClockNow() {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return {static_cast<std::int64_t>(now.tv_sec), static_cast<std::int32_t>(now.tv_nsec / 1'000'000)};
}

LocalTime toLocalTime(WallClockTime time) {
    const auto seconds = static_cast<time_t>(time.seconds);
    std::tm local{};
    ::localtime_r(&seconds, &local);
    return {local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
            local.tm_min,         local.tm_sec,     time.milliseconds};
}

void sleepMilliseconds(std::int64_t ms) {
    if (ms <= 0) return;
    timespec left{static_cast<time_t>(ms / 1000), static_cast<long>((ms % 1000) * 1'000'000)};
    while (::nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

}  // namespace platform
