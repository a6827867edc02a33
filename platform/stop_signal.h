#pragma once
// SIGTERM and SIGINT as a request to stop: the first one is remembered for
// the program to act on at its next step (as on a SHUT request); a second
// one ends the process at once, as without a handler.
namespace platform {

void catchStopSignals();
bool stopSignalled();
// Forgets a stop request and restores the default action (for tests).
void resetStopSignals();

}  // namespace platform
