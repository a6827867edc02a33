// Whole-file work of the support routines with the Windows calls themselves.
// "No sharing" is the system's: a file created here is opened with share
// mode 0, so every other open of it fails with ERROR_SHARING_VIOLATION while
// it is open, and it cannot be opened so while another handle has the file.
// Handles are runtime file handles over the OS handle (_open_osfhandle), so
// that callers keep one kind of handle.
#include "platform/disk_files.h"

#include <fcntl.h>
#include <io.h>

#include <cerrno>

#include "platform/file_ops.h"
#include "platform/win32/windows_api.h"
#include "platform/windows_errors.h"

namespace platform {

namespace {

// The system calls below report their Windows error themselves; a test's
// replacement reports errno values, which are translated.
constexpr int kWindowsErrorKept = -1;

bool fail() {
    setLastSystemError(GetLastError());
    return false;
}

bool failWith(int rc) {
    if (rc != kWindowsErrorKept) setLastSystemError(static_cast<std::uint32_t>(windowsErrorOf(rc)));
    return false;
}

int systemFreeSpace(const char* directory, std::uint64_t& bytes) {
    ULARGE_INTEGER available{};
    if (!GetDiskFreeSpaceExA(directory, &available, nullptr, nullptr)) {
        setLastSystemError(GetLastError());
        return kWindowsErrorKept;
    }
    bytes = available.QuadPart;
    return 0;
}

// Ends the file at offset + length: SetEndOfFile takes the space on the disk.
int systemReserve(int handle, std::int64_t offset, std::int64_t length) {
    const HANDLE os = win32::osHandleOf(handle);
    LARGE_INTEGER position{};
    if (!SetFilePointerEx(os, win32::largeInteger(0), &position, FILE_CURRENT) ||
        !SetFilePointerEx(os, win32::largeInteger(offset + length), nullptr, FILE_BEGIN)) {
        setLastSystemError(GetLastError());
        return kWindowsErrorKept;
    }
    const BOOL ended = SetEndOfFile(os);
    const DWORD error = GetLastError();
    SetFilePointerEx(os, position, nullptr, FILE_BEGIN);
    if (ended) return 0;
    setLastSystemError(error);
    return kWindowsErrorKept;
}

constexpr DiskOps kSystemDiskOps = {systemFreeSpace, systemReserve};
const DiskOps* gDiskOps = &kSystemDiskOps;

std::int64_t lengthOf(HANDLE os) {
    LARGE_INTEGER size{};
    return GetFileSizeEx(os, &size) ? size.QuadPart : -1;
}

bool truncateTo(HANDLE os, std::int64_t length) {
    LARGE_INTEGER position{};
    if (!SetFilePointerEx(os, win32::largeInteger(0), &position, FILE_CURRENT) ||
        !SetFilePointerEx(os, win32::largeInteger(length), nullptr, FILE_BEGIN)) {
        return false;
    }
    const BOOL ended = SetEndOfFile(os);
    const DWORD error = GetLastError();
    SetFilePointerEx(os, position, nullptr, FILE_BEGIN);
    SetLastError(error);
    return ended != 0;
}

}  // namespace

// The system's own calls (the name is the seam's).
const DiskOps& systemDiskOps() { return kSystemDiskOps; }

void installDiskOps(const DiskOps* ops) { gDiskOps = ops != nullptr ? ops : &kSystemDiskOps; }

bool freeBytesAvailable(const char* directory, std::uint64_t& bytes) {
    bytes = 0;
    const int rc = gDiskOps->freeSpace(directory, bytes);
    if (rc != 0) return failWith(rc);
    setLastSystemError(0);
    return true;
}

int createFileNoSharing(const char* path, bool readAccess, FileDisposition disposition) {
    const DWORD access = GENERIC_WRITE | (readAccess ? GENERIC_READ : 0);
    const DWORD how = disposition == FileDisposition::CreateAlways ? CREATE_ALWAYS : OPEN_EXISTING;
    const HANDLE os = CreateFileA(path, access, 0, nullptr, how, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (os == INVALID_HANDLE_VALUE) {
        fail();
        return -1;
    }
    // A device or a pipe under the name is no file to allocate.
    if (GetFileType(os) != FILE_TYPE_DISK) {
        CloseHandle(os);
        setLastSystemError(static_cast<std::uint32_t>(kErrorAccessDenied));
        return -1;
    }
    const int handle = _open_osfhandle(reinterpret_cast<intptr_t>(os), _O_BINARY | _O_NOINHERIT);
    if (handle < 0) {
        CloseHandle(os);
        setLastSystemError(static_cast<std::uint32_t>(kErrorTooManyOpenFiles));
        return -1;
    }
    setLastSystemError(0);
    return handle;
}

bool setFilePointer(int handle, std::int64_t position) {
    if (position < 0) {
        setLastSystemError(static_cast<std::uint32_t>(kErrorNegativeSeek));
        return false;
    }
    const HANDLE os = win32::osHandleOf(handle);
    LONG high = static_cast<LONG>(position >> 32);
    SetLastError(NO_ERROR);
    const DWORD low = SetFilePointer(os, static_cast<LONG>(position & 0xFFFFFFFF), &high, FILE_BEGIN);
    if (low == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR) return fail();
    setLastSystemError(0);
    return true;
}

// Growth goes through the reservation seam (SetEndOfFile itself, unless a
// test replaced it); a failure leaves the length as it was.
EndOfFile setEndOfFile(int handle) {
    const HANDLE os = win32::osHandleOf(handle);
    LARGE_INTEGER position{};
    const std::int64_t old = lengthOf(os);
    if (!SetFilePointerEx(os, win32::largeInteger(0), &position, FILE_CURRENT) || old < 0) {
        fail();
        return EndOfFile::Failed;
    }
    const std::int64_t length = position.QuadPart;
    if (length > old) {
        const int rc = gDiskOps->reserve(handle, old, length - old);
        if (rc != 0) {
            const std::uint32_t error = lastSystemError();
            truncateTo(os, old);
            if (rc == kWindowsErrorKept) {
                setLastSystemError(error);
            } else {
                failWith(rc);
            }
            return EndOfFile::Failed;
        }
    } else if (length < old && !SetEndOfFile(os)) {
        fail();
        return EndOfFile::Failed;
    }
    setLastSystemError(0);
    return EndOfFile::Set;
}

bool readFile(int handle, void* buffer, std::uint32_t count, std::uint32_t& got) {
    got = 0;
    const HANDLE os = win32::osHandleOf(handle);
    auto* bytes = static_cast<char*>(buffer);
    while (got < count) {
        DWORD step = 0;
        if (!ReadFile(os, bytes + got, count - got, &step, nullptr)) {
            if (GetLastError() == ERROR_HANDLE_EOF) break;
            return fail();
        }
        if (step == 0) break;
        got += step;
    }
    setLastSystemError(0);
    return true;
}

bool closeFileHandle(int handle) {
    const HANDLE os = win32::osHandleOf(handle);
    if (os == INVALID_HANDLE_VALUE) {
        setLastSystemError(static_cast<std::uint32_t>(kErrorInvalidHandle));
        return false;
    }
    // _close closes the OS handle too; its failure is CloseHandle's.
    SetLastError(NO_ERROR);
    if (_close(handle) != 0) return fail();
    setLastSystemError(0);
    return true;
}

bool deleteFile(const char* path) {
    if (!DeleteFileA(path)) return fail();
    setLastSystemError(0);
    return true;
}

std::int64_t fileLength(const char* path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExA(path, GetFileExInfoStandard, &data)) {
        fail();
        return -1;
    }
    return static_cast<std::int64_t>((std::uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow);
}

// The runtime opens files sharing reading and writing, which a no-sharing
// open refuses and which fails while one is open: nothing more is needed.
bool shareOpenFile(int /*handle*/) { return true; }

bool fileReadable(const char* path) {
    const HANDLE os = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (os == INVALID_HANDLE_VALUE) return false;
    CloseHandle(os);
    return true;
}

// Without MOVEFILE_REPLACE_EXISTING an existing target is refused.
bool renameFile(const char* from, const char* to) {
    if (!MoveFileExA(from, to, 0)) return fail();
    setLastSystemError(0);
    return true;
}

}  // namespace platform
