#pragma once
// Cross-process named mutexes (CreateMutexA, WaitForSingleObject,
// ReleaseMutex). One lock file per name under ZENTO_HOME/locks, held with
// flock, so the OS releases it when the process dies. Within a process the
// mutex is re-entrant: each wait takes it once more, each release gives back
// once.
#include <string_view>

namespace platform {

struct NamedMutex;  // opaque

// Creates (or opens) the mutex of that name; any byte string is a valid name,
// the empty one included, and distinct names never share a lock. nullptr when
// the lock file cannot be made.
NamedMutex* createNamedMutex(std::string_view name);
// Waits without time limit. When another process holds it, says so once on
// standard error before waiting. False when the wait itself fails.
bool waitNamedMutex(NamedMutex* mutex);
// Takes it without waiting: false when another process holds it.
bool tryWaitNamedMutex(NamedMutex* mutex);
bool releaseNamedMutex(NamedMutex* mutex);

}  // namespace platform
