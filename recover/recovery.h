#pragma once
// The recovery process from start to end: command line, registration, the
// store file, the receive/forward loop, the close. The process's main() is a
// thin wrapper so tests can run a whole recovery in-process.
struct RecoverContext;

// Exit codes of the process; README.md lists them for operators.
// 0: the recovery ran to its end: every message forwarded, nothing (left) to
//    forward, or a SHUT request (what was not acknowledged stays in the file).
//    A failed close of the store file is reported on the console and leaves
//    it 0, unless the header could not be synced (then 2).
constexpr int kExitSuccess = 0;
constexpr int kExitBadStart = 1;    // bad command line, registration or store file
// Stopped on a file fault: stored data could not be read on, or the header
// could not be written back or synced.
constexpr int kExitUnreadable = 2;

int runRecovery(RecoverContext& ctx, int argc, const char* const* argv);
