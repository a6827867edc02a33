#include "msglib/diag_switch.h"

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>

#include "msglib/msglib.h"
#include "platform/clock.h"
#include "platform/disk_files.h"
#include "platform/environment.h"

namespace {

constexpr std::int32_t kDiagnosticsOn = 0;
constexpr std::int32_t kDiagnosticsOff = 1;
constexpr std::int64_t kLookIntervalNs = 1'000'000'000;

std::atomic<std::int32_t> switchState{kDiagnosticsOff};
std::atomic<std::int64_t> nextLookNs{0};
std::atomic<bool> looked{false};
std::mutex lookLock;

std::int64_t steadyNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(platform::MonotonicClock::now().time_since_epoch())
        .count();
}

bool switchedOn() {
    if (platform::diagnosticsRequested()) return true;
    const std::string marker = zentoHome() + "/diag.on";
    return platform::fileReadable(marker.c_str());
}

void look(std::int64_t now) {
    // One thread looks; the others go on with the state as it was.
    std::unique_lock<std::mutex> guard(lookLock, std::try_to_lock);
    if (!guard.owns_lock() && looked.load(std::memory_order_acquire)) return;
    if (!guard.owns_lock()) guard.lock();
    switchState.store(switchedOn() ? kDiagnosticsOn : kDiagnosticsOff, std::memory_order_relaxed);
    nextLookNs.store(now + kLookIntervalNs, std::memory_order_relaxed);
    looked.store(true, std::memory_order_release);
}

}  // namespace

namespace msglib {
void refreshDiagnosticSwitch() { looked.store(false, std::memory_order_release); }
}  // namespace msglib

std::int32_t ZENTO_DIAG_LOGSTATE() {
    const std::int64_t now = steadyNs();
    if (!looked.load(std::memory_order_acquire) || now >= nextLookNs.load(std::memory_order_relaxed)) look(now);
    return switchState.load(std::memory_order_relaxed);
}
