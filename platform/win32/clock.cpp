#include "platform/clock.h"

#include <ctime>

#include "platform/win32/windows_api.h"

namespace platform {

namespace {

// FILETIME counts 100 ns steps from 1601; the epoch is this many steps later.
constexpr std::int64_t kEpochInFileTime = 116444736000000000;

}  // namespace

WallClockTime wallClockNow() {
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    const std::int64_t steps =
        static_cast<std::int64_t>((std::uint64_t{now.dwHighDateTime} << 32) | now.dwLowDateTime) - kEpochInFileTime;
    const std::int64_t ms = steps / 10'000;
    return {ms / 1000, static_cast<std::int32_t>(ms % 1000)};
}

LocalTime toLocalTime(WallClockTime time) {
    const __time64_t seconds = time.seconds;
    std::tm local{};
    _localtime64_s(&local, &seconds);
    return {local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
            local.tm_min,         local.tm_sec,     time.milliseconds};
}

void sleepMilliseconds(std::int64_t ms) {
    constexpr std::int64_t kLongestSleep = 0x7FFFFFFF;
    while (ms > 0) {
        const std::int64_t step = ms < kLongestSleep ? ms : kLongestSleep;
        Sleep(static_cast<DWORD>(step));
        ms -= step;
    }
}

}  // namespace platform
