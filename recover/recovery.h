#pragma once
// The recovery process from start to end: command line, registration, the
// store file, the receive/forward loop, the close. The process's main() is a
// thin wrapper so tests can run a whole recovery in-process.
struct RecoverContext;

// Exit codes of the process.
constexpr int kExitSuccess = 0;
constexpr int kExitBadStart = 1;    // bad command line, registration or store file
constexpr int kExitUnreadable = 2;  // stopped because stored data could not be read on

int runRecovery(RecoverContext& ctx, int argc, const char* const* argv);
