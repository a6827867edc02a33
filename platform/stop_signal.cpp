#include "platform/stop_signal.h"

#include <csignal>

namespace platform {
namespace {

volatile std::sig_atomic_t stopRequested = 0;

void setAction(void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);
}

// The next signal of either kind gets its default action (sigaction is safe
// in a handler).
void onStopSignal(int) {
    stopRequested = 1;
    setAction(SIG_DFL);
}

}  // namespace

// No SA_RESTART: a wait in a system call returns at once with EINTR, so the
// program sees the request without waiting out its timeout.
void catchStopSignals() { setAction(onStopSignal); }

bool stopSignalled() { return stopRequested != 0; }

void resetStopSignals() {
    stopRequested = 0;
    setAction(SIG_DFL);
}

}  // namespace platform
