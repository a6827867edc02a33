#pragma once
// The runtime library's low-level file calls (_open, _close, _read, _write,
// _lseeki64) over POSIX, behind one seam: every call goes through the
// installed FileOps table, so a test can fail any single call. Positioned
// reads and writes (pread, pwrite) do a seek and a transfer in one call and
// leave the file position alone.
#include <cstdint>

namespace platform {

// Runtime-library open flags (the bit values callers pass).
constexpr int kRtWriteOnly = 0x0001;
constexpr int kRtReadWrite = 0x0002;
constexpr int kRtCreate = 0x0100;
constexpr int kRtTruncate = 0x0200;
constexpr int kRtText = 0x4000;
constexpr int kRtBinary = 0x8000;
constexpr int kRtPermReadWrite = 0x180;

// Windows error code "the file already existed" (ERROR_ALREADY_EXISTS).
constexpr std::uint32_t kErrorAlreadyExists = 183;

// Results as the runtime library gives them: a handle or -1, 0 or -1, a byte
// count or -1, a position or -1. On failure errno holds the reason; a read at
// the end of the file returns 0 with errno 0, a positioned one too.
struct FileOps {
    int (*open)(const char* path, int runtimeFlags, int permission);
    int (*close)(int handle);
    int (*read)(int handle, void* buffer, unsigned count);
    int (*write)(int handle, const void* buffer, unsigned count);
    std::int64_t (*seek)(int handle, std::int64_t offset, int origin);  // origin 0 start, 1 current, 2 end
    int (*fsync)(int handle);
    int (*pread)(int handle, void* buffer, unsigned count, std::int64_t offset);
    int (*pwrite)(int handle, const void* buffer, unsigned count, std::int64_t offset);
};

// The system's own calls: POSIX's, or on Windows the runtime's.
const FileOps& systemFileOps();

// The table every caller goes through; tests swap it.
const FileOps& fileOps();
void installFileOps(const FileOps* ops);  // nullptr restores systemFileOps()

inline int rtOpen(const char* path, int flags, int permission) { return fileOps().open(path, flags, permission); }
inline int rtClose(int handle) { return fileOps().close(handle); }
inline int rtRead(int handle, void* buffer, unsigned count) { return fileOps().read(handle, buffer, count); }
inline int rtWrite(int handle, const void* buffer, unsigned count) { return fileOps().write(handle, buffer, count); }
inline std::int64_t rtSeek(int handle, std::int64_t offset, int origin) {
    return fileOps().seek(handle, offset, origin);
}
inline int rtSync(int handle) { return fileOps().fsync(handle); }
inline int rtPread(int handle, void* buffer, unsigned count, std::int64_t offset) {
    return fileOps().pread(handle, buffer, count, offset);
}
inline int rtPwrite(int handle, const void* buffer, unsigned count, std::int64_t offset) {
    return fileOps().pwrite(handle, buffer, count, offset);
}

// The last Windows-style error of this thread (GetLastError): set by rtOpen to
// kErrorAlreadyExists when a create found the file already there, else 0.
std::uint32_t lastSystemError();
void setLastSystemError(std::uint32_t code);

}  // namespace platform
