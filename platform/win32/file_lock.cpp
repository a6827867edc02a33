// The store file's lock step on Windows: LockFileEx on the file's OS handle.
// Windows region locks are mandatory (reads and writes of another handle in
// a locked range fail), so the lock covers a range far beyond any data the
// file may hold: opens that take the lock step exclude each other, and
// everyone else reads and writes the file as on POSIX.
#include "platform/file_lock.h"

#include <cerrno>
#include <cstdio>

#include "platform/stop_signal.h"
#include "platform/win32/windows_api.h"

namespace platform {
namespace {

// 2^62: past the end of every file the system makes or reads.
constexpr std::uint64_t kLockBase = std::uint64_t{1} << 62;
// How often a waiting lock looks again, and whether a stop was asked.
constexpr DWORD kWaitStepMs = 50;

OVERLAPPED lockRange() {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(kLockBase & 0xFFFFFFFFu);
    at.OffsetHigh = static_cast<DWORD>(kLockBase >> 32);
    return at;
}

DWORD lengthLow(std::int64_t length) { return static_cast<DWORD>(static_cast<std::uint64_t>(length) & 0xFFFFFFFFu); }
DWORD lengthHigh(std::int64_t length) { return static_cast<DWORD>(static_cast<std::uint64_t>(length) >> 32); }

int tryLock(HANDLE os, std::int64_t length) {
    OVERLAPPED at = lockRange();
    if (LockFileEx(os, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, lengthLow(length), lengthHigh(length),
                   &at)) {
        return 0;
    }
    const DWORD error = GetLastError();
    return error == ERROR_LOCK_VIOLATION || error == ERROR_IO_PENDING ? EAGAIN : win32::errnoOf(error);
}

}  // namespace

// The wait looks again every few milliseconds rather than blocking in
// LockFileEx, which a stop request (Ctrl+C) could not end.
int lockFileRegion(int handle, const char* path, std::int64_t length) {
    const HANDLE os = win32::osHandleOf(handle);
    if (os == INVALID_HANDLE_VALUE) return EBADF;
    if (length <= 0) return EINVAL;
    int error = tryLock(os, length);
    if (error != EAGAIN) return error;
    std::fprintf(stderr, "Waiting for the lock on '%s' held by another process...\n", path);
    std::fflush(stderr);
    do {
        if (stopSignalled()) return EINTR;
        Sleep(kWaitStepMs);
        error = tryLock(os, length);
    } while (error == EAGAIN);
    return error;
}

int unlockFileRegion(int handle, std::int64_t length) {
    const HANDLE os = win32::osHandleOf(handle);
    if (os == INVALID_HANDLE_VALUE) return EBADF;
    OVERLAPPED at = lockRange();
    if (UnlockFileEx(os, 0, lengthLow(length), lengthHigh(length), &at)) return 0;
    return win32::errnoOf(GetLastError());
}

}  // namespace platform
