// Ctrl+C, Ctrl+Break and the closing of the console window as a request to
// stop, the Windows form of SIGINT and SIGTERM: the first one is remembered
// for the program to act on at its next step; a second one ends the process
// at once, as without a handler.
#include "platform/stop_signal.h"

#include <atomic>

#include "platform/win32/windows_api.h"

namespace platform {
namespace {

std::atomic<bool> stopRequested{false};

// How long a closing console waits for the program to end by itself; the
// system ends the process when the handler returns, and after 5 seconds at
// the latest.
constexpr DWORD kCloseGraceMs = 4000;

BOOL WINAPI onConsoleEvent(DWORD event) {
    if (stopRequested.exchange(true)) return FALSE;  // the default action: the process ends
    switch (event) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT: return TRUE;
        case CTRL_CLOSE_EVENT:
        case CTRL_LOGOFF_EVENT:
        case CTRL_SHUTDOWN_EVENT:
            Sleep(kCloseGraceMs);
            return TRUE;
        default: return FALSE;
    }
}

}  // namespace

// The handler runs on a thread of its own; the program's waits look at the
// request often enough to see it at once.
void catchStopSignals() { SetConsoleCtrlHandler(onConsoleEvent, TRUE); }

bool stopSignalled() { return stopRequested.load(); }

void resetStopSignals() {
    stopRequested = false;
    SetConsoleCtrlHandler(onConsoleEvent, FALSE);
}

}  // namespace platform
