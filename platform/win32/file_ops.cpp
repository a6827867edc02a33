// The runtime library's low-level file calls on Windows: the runtime's own
// _open, _close, _read, _write, _lseeki64 and _commit. The positioned calls
// go to the file's OS handle with an explicit offset and put the file
// position back, as pread and pwrite leave it alone.
#include "platform/file_ops.h"

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <cerrno>
#include <climits>

#include "platform/win32/windows_api.h"

namespace platform {

namespace {

// The callers' bits are the runtime's own. A caller that names neither text
// nor binary mode gets binary, the system's default, rather than the
// runtime's global default (text, which would turn every "\n" written into
// "\r\n"). Handles are not inherited by child processes.
int runtimeFlags(int flags) {
    int runtime = flags & (kRtWriteOnly | kRtReadWrite | kRtCreate | kRtTruncate | kRtText | kRtBinary);
    if ((runtime & (kRtText | kRtBinary)) == 0) runtime |= _O_BINARY;
    return runtime | _O_NOINHERIT;
}

int openKeepingError(const char* path, int flags, int permission) {
    const int fd = _open(path, flags, permission);
    if (fd < 0) setLastSystemError(GetLastError());
    return fd;
}

// A create must tell whether the file was already there (the caller logs
// only files it really created), so it is tried exclusively first; the retry
// covers a file removed between the two opens.
int windowsOpen(const char* path, int flags, int permission) {
    setLastSystemError(0);
    const int runtime = runtimeFlags(flags);
    const int mode = permission & (_S_IREAD | _S_IWRITE);
    if ((runtime & _O_CREAT) == 0) return openKeepingError(path, runtime, 0);
    for (;;) {
        int fd = openKeepingError(path, runtime | _O_EXCL, mode);
        if (fd >= 0 || errno != EEXIST) return fd;
        fd = openKeepingError(path, runtime & ~_O_CREAT, 0);
        if (fd >= 0) {
            setLastSystemError(kErrorAlreadyExists);
            return fd;
        }
        if (errno != ENOENT) return fd;
    }
}

int windowsClose(int handle) { return _close(handle); }

unsigned clampCount(unsigned count) { return count > INT_MAX ? static_cast<unsigned>(INT_MAX) : count; }

int windowsRead(int handle, void* buffer, unsigned count) {
    const int r = _read(handle, buffer, clampCount(count));
    if (r == 0) errno = 0;  // end of file is no error of its own
    return r;
}

int windowsWrite(int handle, const void* buffer, unsigned count) {
    const int r = _write(handle, buffer, clampCount(count));
    if (r == 0) errno = 0;
    return r;
}

std::int64_t windowsSeek(int handle, std::int64_t offset, int origin) {
    if (origin < 0 || origin > 2) {
        errno = EINVAL;
        return -1;
    }
    return _lseeki64(handle, offset, origin);
}

int windowsCommit(int handle) { return _commit(handle); }

// One transfer at offset through the OS handle; the file position is where
// it was before. Results and errno as the runtime's calls give them.
template <typename Transfer>
int transferAt(int handle, std::int64_t offset, Transfer transfer) {
    const HANDLE os = win32::osHandleOf(handle);
    if (os == INVALID_HANDLE_VALUE) {
        errno = EBADF;
        return -1;
    }
    if (offset < 0) {
        errno = EINVAL;
        return -1;
    }
    LARGE_INTEGER position{};
    if (!SetFilePointerEx(os, win32::largeInteger(0), &position, FILE_CURRENT)) {
        setLastSystemError(GetLastError());
        errno = win32::errnoOf(GetLastError());
        return -1;
    }
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(static_cast<std::uint64_t>(offset) & 0xFFFFFFFFu);
    at.OffsetHigh = static_cast<DWORD>(static_cast<std::uint64_t>(offset) >> 32);
    DWORD moved = 0;
    const BOOL ok = transfer(os, &moved, &at);
    const DWORD error = ok ? ERROR_SUCCESS : GetLastError();
    SetFilePointerEx(os, position, nullptr, FILE_BEGIN);
    if (!ok && error != ERROR_HANDLE_EOF) {
        setLastSystemError(error);
        errno = win32::errnoOf(error);
        return -1;
    }
    if (moved == 0) errno = 0;
    return static_cast<int>(moved);
}

int windowsPread(int handle, void* buffer, unsigned count, std::int64_t offset) {
    return transferAt(handle, offset, [&](HANDLE os, DWORD* moved, OVERLAPPED* at) {
        return ReadFile(os, buffer, clampCount(count), moved, at);
    });
}

int windowsPwrite(int handle, const void* buffer, unsigned count, std::int64_t offset) {
    return transferAt(handle, offset, [&](HANDLE os, DWORD* moved, OVERLAPPED* at) {
        return WriteFile(os, buffer, clampCount(count), moved, at);
    });
}

constexpr FileOps kWindowsFileOps = {windowsOpen,  windowsClose,  windowsRead,  windowsWrite,
                                     windowsSeek,  windowsCommit, windowsPread, windowsPwrite};

}  // namespace

// The system's own calls, which on Windows are the runtime's.
const FileOps& systemFileOps() { return kWindowsFileOps; }

}  // namespace platform
