#include "storefile/file_handle.h"
#include "storefile/store_codes.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <map>
#include <new>
#include <string>
#include <vector>

#include "msglib/msglib.h"
#include "platform/disk_files.h"
#include "platform/file_kind.h"
#include "platform/file_lock.h"
#include "platform/file_ops.h"
#include "platform/named_mutex.h"
#include "platform/system_error.h"
#include "storefile/file_memory.h"

namespace {

using namespace storecode;

constexpr const char* kOpenTag = "zento_s_file_open";

// Codes of the file primitives (facility 13).

// One slot per distinct lock name, filled in order and never freed. The table
// grows as needed, so any number of names of any length (the empty one
// included) each keep a mutex of their own.
struct NameLockSlot {
    std::string name;
    platform::NamedMutex* mutex = nullptr;
};

std::vector<NameLockSlot>& nameLockTable() {
    static std::vector<NameLockSlot> slots;
    return slots;
}

// The path last opened on each handle, kept whole whatever the handle's value
// or the path's length. holdsLock tells whether the handle is open through
// zento_s_file_open now, so a close releases only a lock this handle took.
struct HandlePath {
    std::string path;
    bool holdsLock = false;
};

std::map<std::int32_t, HandlePath>& handlePathTable() {
    static std::map<std::int32_t, HandlePath> paths;
    return paths;
}

NameLockSlot* findNameLockSlot(std::string_view name) {
    for (NameLockSlot& slot : nameLockTable()) {
        if (slot.name == name) return &slot;
    }
    return nullptr;
}

// The runtime error number of a failure, never 0, so that the entry it
// becomes marks the status as failed.
int failureErrno(int fallback) { return errno != 0 ? errno : fallback; }

// Lines are built in fixed buffers and cut when they do not fit.
template <std::size_t N>
__attribute__((format(printf, 2, 3))) void formatCut(char (&out)[N], const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(out, N, format, arguments);
    va_end(arguments);
}

int toRuntimeOpenFlags(int flags) {
    const int passed = flags & (kOpenWriteOnly | kOpenReadWrite | kOpenCreate | kOpenTruncate | kOpenText);
    return (passed & kOpenText) != 0 ? passed : passed | platform::kRtBinary;
}

void logOpenedFile(std::int32_t handle, const char* path, std::uint32_t systemError) {
    char text[2048];
    formatCut(text, "In zento_s_file_open. Opened file fh=[%d],[%s]", static_cast<int>(handle), path);
    LogWinError(kOpenTag, text, systemError);
}

void logFailedOpen(const char* path, std::uint32_t systemError) {
    char text[2048];
    formatCut(text, "In zento_s_file_open. Failed _open [%s]", path);
    LogWinError(kOpenTag, text, systemError);
}

// Remembers that handle is open on path under its name lock. False when memory
// for the entry cannot be had.
bool rememberOpenHandle(std::int32_t handle, const char* path, bool& firstOpenOfPath) {
    try {
        HandlePath& entry = handlePathTable()[handle];
        if (entry.holdsLock) {
            // The descriptor was closed behind our back and reused: the lock
            // its old file took is due.
            StatusBlock ignored;
            releaseNameLock(entry.path, ignored);
        }
        firstOpenOfPath = entry.path != path;
        entry.path = path;
        entry.holdsLock = true;
        beginFileMemory(handle);
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

}  // namespace

std::string_view lockNameOf(std::string_view path) {
    const auto dot = path.rfind('.');
    return dot == std::string_view::npos ? path : path.substr(dot + 1);
}

// Unlike the system's own named mutexes, a lock file can fail to be made (an
// unwritable ZENTO_HOME): the failure is reported with facility 1 rather than
// let the file be used unprotected.
void acquireNameLock(std::string_view path, StatusBlock& status) {
    ZENTO_SERVER_INITBLK(status);
    const std::string_view name = lockNameOf(path);
    NameLockSlot* slot = findNameLockSlot(name);
    try {
        if (slot == nullptr) {
            nameLockTable().push_back(NameLockSlot{std::string(name), nullptr});
            slot = &nameLockTable().back();
        }
    } catch (const std::bad_alloc&) {
        ZENTO_SERVER_LDBLK(kFacilityRuntime, ENOMEM, status);
        return;
    }
    errno = 0;
    if (slot->mutex == nullptr) slot->mutex = platform::createNamedMutex(name);
    if (slot->mutex == nullptr || !platform::waitNamedMutex(slot->mutex)) {
        ZENTO_SERVER_LDBLK(kFacilityRuntime, failureErrno(ENOLCK), status);
    }
}

void releaseNameLock(std::string_view path, StatusBlock& status) {
    ZENTO_SERVER_INITBLK(status);
    NameLockSlot* slot = findNameLockSlot(lockNameOf(path));
    if (slot != nullptr && slot->mutex != nullptr) platform::releaseNamedMutex(slot->mutex);
}

std::int32_t zento_s_file_open(const char* path, int flags, StatusBlock& status) {
    ZENTO_SERVER_INITBLK(status);
    if (path == nullptr) {
        ZENTO_SERVER_LDBLK(kFacilityRuntime, EINVAL, status);
        ZENTO_SERVER_LDBLK(kFacilityStore, kOpenFailed, status);
        return -1;
    }
    acquireNameLock(path, status);
    if (statusFailed(status)) {
        ZENTO_SERVER_LDBLK(kFacilityStore, kOpenFailed, status);
        return -1;
    }

    errno = 0;
    const std::int32_t handle = platform::rtOpen(path, toRuntimeOpenFlags(flags), platform::kRtPermReadWrite);
    const int openErrno = failureErrno(EIO);
    const std::uint32_t systemError = platform::lastSystemError();

    StatusBlock own;
    if (handle < 0) {
        releaseNameLock(path, own);
        if (openErrno == ENOENT) {
            ZENTO_SERVER_LDBLK(kFacilityStore, kFileMissing, status);
            return -1;
        }
        // A missing file is an everyday answer (a list not saved yet); any
        // other refusal is worth a line in the debug log.
        logFailedOpen(path, systemError);
        ZENTO_SERVER_LDBLK(kFacilityRuntime, openErrno, status);
        ZENTO_SERVER_LDBLK(kFacilityStore, kOpenFailed, status);
        return -1;
    }

    if (platform::fileKindOf(handle) != platform::FileKind::Regular) {
        platform::rtClose(handle);
        releaseNameLock(path, own);
        ZENTO_SERVER_LDBLK(kFacilityStore, kNotRegularFile, status);
        return -1;
    }

    // A file that is being made is held with no sharing: it is refused
    // rather than seen half-made.
    if (!platform::shareOpenFile(handle)) {
        platform::rtClose(handle);
        releaseNameLock(path, own);
        ZENTO_SERVER_LDBLK(kFacilityRuntime, EWOULDBLOCK, status);
        ZENTO_SERVER_LDBLK(kFacilityStore, kOpenFailed, status);
        return -1;
    }

    bool firstOpenOfPath = false;
    if (!rememberOpenHandle(handle, path, firstOpenOfPath)) {
        // Without its entry the handle's close could not release the lock.
        platform::rtClose(handle);
        releaseNameLock(path, own);
        ZENTO_SERVER_LDBLK(kFacilityRuntime, ENOMEM, status);
        ZENTO_SERVER_LDBLK(kFacilityStore, kOpenFailed, status);
        return -1;
    }
    const bool writes = (flags & (kOpenReadWrite | kOpenCreate | kOpenWriteOnly)) != 0;
    if (writes && systemError != platform::kErrorAlreadyExists && firstOpenOfPath) {
        logOpenedFile(handle, path, systemError);
    }
    return handle;
}

void closeStoreFileHandle(std::int32_t handle, StatusBlock& status) {
    ZENTO_SERVER_INITBLK(status);
    if (handle == -1) return;
    // Whether or not the close succeeds, the caller is done with the handle.
    endFileMemory(handle);
    errno = 0;
    if (platform::rtClose(handle) != 0) {
        ZENTO_SERVER_LDBLK(kFacilityRuntime, failureErrno(EIO), status);
        ZENTO_SERVER_LDBLK(kFacilityStore, kCloseFailed, status);
        return;
    }
    auto& paths = handlePathTable();
    auto entry = paths.find(handle);
    if (entry == paths.end() || !entry->second.holdsLock) return;
    // The entry keeps its path: a reopen of the same file is not news.
    entry->second.holdsLock = false;
    StatusBlock own;
    releaseNameLock(entry->second.path, own);
}

std::int64_t seekStoreFile(std::int32_t handle, std::int64_t offset, int origin, StatusBlock& status) {
    ZENTO_SERVER_INITBLK(status);
    errno = 0;
    const std::int64_t position = platform::rtSeek(handle, offset, origin);
    if (position < 0) {
        ZENTO_SERVER_LDBLK(kFacilityRuntime, failureErrno(EINVAL), status);
        ZENTO_SERVER_LDBLK(kFacilityStore, kSeekFailed, status);
    }
    return position;
}

std::int64_t storeFileSize(std::int32_t handle, StatusBlock& status) {
    ZENTO_SERVER_INITBLK(status);
    errno = 0;
    const std::int64_t size = platform::rtSeek(handle, 0, 2);
    if (size < 0) {
        ZENTO_SERVER_LDBLK(kFacilityRuntime, failureErrno(EINVAL), status);
        ZENTO_SERVER_LDBLK(kFacilityStore, kSizeSeekFailed, status);
    }
    return size;
}

namespace {

// One call of the runtime moves at most this much, well inside its int result.
constexpr std::int64_t kMaxTransfer = std::int64_t{1} << 30;

unsigned transferSize(std::int64_t remaining) {
    return static_cast<unsigned>(remaining < kMaxTransfer ? remaining : kMaxTransfer);
}

}  // namespace

namespace {

// The codes of one direction of transfer.
struct TransferCodes {
    std::int32_t badHandle;
    std::int32_t noBuffer;
    std::int32_t failed;
};
constexpr TransferCodes kReadCodes{kReadBadHandle, kReadNoBuffer, kReadFailed};
constexpr TransferCodes kWriteCodes{kWriteBadHandle, kWriteNoBuffer, kWriteFailed};

bool refuseTransfer(std::int32_t handle, const void* buffer, const TransferCodes& codes, StatusBlock& status) {
    if (handle < 0) {
        ZENTO_SERVER_LDBLK(kFacilityStore, codes.badHandle, status);
        return true;
    }
    if (buffer == nullptr) {
        ZENTO_SERVER_LDBLK(kFacilityStore, codes.noBuffer, status);
        return true;
    }
    return false;
}

bool refuseOffset(std::int64_t offset, StatusBlock& status) {
    if (offset >= 0) return false;
    ZENTO_SERVER_LDBLK(kFacilityRuntime, EINVAL, status);
    ZENTO_SERVER_LDBLK(kFacilityStore, kSeekFailed, status);
    return true;
}

// Moves n bytes in as many calls of `step` (done so far, chunk size) as it
// takes. A call that moves nothing ends it: at the end of the file errno is
// 0, so the entry says "no error of the runtime" and the code says the bytes
// did not come.
template <typename Step>
std::int64_t transferAll(std::int64_t n, const TransferCodes& codes, StatusBlock& status, Step step) {
    std::int64_t done = 0;
    while (n > 0) {
        errno = 0;
        const int r = step(done, transferSize(n));
        if (r <= 0) {
            ZENTO_SERVER_LDBLK(kFacilityRuntime, errno, status);
            ZENTO_SERVER_LDBLK(kFacilityStore, codes.failed, status);
            break;
        }
        done += r;
        n -= r;
    }
    return done;
}

}  // namespace

std::int64_t readExact(std::int32_t handle, void* buffer, std::int64_t n, StatusBlock& status) {
    ZENTO_SERVER_INITBLK(status);
    if (refuseTransfer(handle, buffer, kReadCodes, status)) return 0;
    auto* bytes = static_cast<std::uint8_t*>(buffer);
    return transferAll(n, kReadCodes, status, [&](std::int64_t done, unsigned chunk) {
        return platform::rtRead(handle, bytes + done, chunk);
    });
}

std::int64_t writeExact(std::int32_t handle, const void* buffer, std::int64_t n, StatusBlock& status) {
    ZENTO_SERVER_INITBLK(status);
    if (refuseTransfer(handle, buffer, kWriteCodes, status)) return 0;
    noteFileWrite(handle, -1, n);  // where the file position stands is not known here
    const auto* bytes = static_cast<const std::uint8_t*>(buffer);
    return transferAll(n, kWriteCodes, status, [&](std::int64_t done, unsigned chunk) {
        return platform::rtWrite(handle, bytes + done, chunk);
    });
}

std::int64_t readExactAt(std::int32_t handle, std::int64_t offset, void* buffer, std::int64_t n,
                         StatusBlock& status) {
    ZENTO_SERVER_INITBLK(status);
    if (refuseTransfer(handle, buffer, kReadCodes, status) || refuseOffset(offset, status)) return 0;
    auto* bytes = static_cast<std::uint8_t*>(buffer);
    return transferAll(n, kReadCodes, status, [&](std::int64_t done, unsigned chunk) {
        return platform::rtPread(handle, bytes + done, chunk, offset + done);
    });
}

std::int64_t writeExactAt(std::int32_t handle, std::int64_t offset, const void* buffer, std::int64_t n,
                          StatusBlock& status) {
    ZENTO_SERVER_INITBLK(status);
    if (refuseTransfer(handle, buffer, kWriteCodes, status) || refuseOffset(offset, status)) return 0;
    noteFileWrite(handle, offset, n);
    const auto* bytes = static_cast<const std::uint8_t*>(buffer);
    return transferAll(n, kWriteCodes, status, [&](std::int64_t done, unsigned chunk) {
        return platform::rtPwrite(handle, bytes + done, chunk, offset + done);
    });
}

bool offsetRefused(const StatusBlock& status) {
    const int n = statusEntryCount(status);
    return n > 0 && status.error[n - 1] == kSeekFailed;
}

void syncStoreFile(std::int32_t handle, StatusBlock& status) {
    ZENTO_SERVER_INITBLK(status);
    errno = 0;
    if (platform::rtSync(handle) != 0) {
        ZENTO_SERVER_LDBLK(kFacilityRuntime, failureErrno(EIO), status);
        ZENTO_SERVER_LDBLK(kFacilityStore, kSyncFailed, status);
    }
}

// The file-region lock steps lock nothing: the name lock taken at open already
// keeps other processes away from the file.
// The name lock is per extension: the same file reached under another
// extension (a link, a copy of the path with another suffix) would be
// drained by two recoveries at once. The region lock belongs to the file
// itself, so the second one waits whatever name it came by.
void lockStoreFile(std::int32_t handle, const char* path, std::int64_t length, StatusBlock& status) {
    ZENTO_SERVER_INITBLK(status);
    const int error = platform::lockFileRegion(handle, path, length);
    if (error != 0) ZENTO_SERVER_LDBLK(kFacilityRuntime, error, status);
}

// Closing the handle releases the lock as well; a failed unlock is told.
void unlockStoreFile(std::int32_t handle, std::int64_t length, StatusBlock& status) {
    ZENTO_SERVER_INITBLK(status);
    if (handle < 0) return;
    const int error = platform::unlockFileRegion(handle, length);
    if (error != 0) ZENTO_SERVER_LDBLK(kFacilityRuntime, error, status);
}

void LogWinError(const char* tag, const char* text, std::uint32_t error) {
    char line[2048];
    const int code = static_cast<int>(error);
    if (error != 0) {
        std::optional<std::string> systemText = platform::systemErrorText(error);
        if (!systemText) {
            const int formatError = static_cast<int>(platform::lastSystemError());
            if (text != nullptr) {
                formatCut(line, "%s\nWNT Unknown Error=%d, FormatMessage error=%d", text, code,
                              formatError);
            } else {
                formatCut(line, "\nWNT Unknown Error=%d, FormatMessage error=%d", code, formatError);
            }
        } else {
            ZENTO_FILTER_CRLF(systemText->data());
            if (text != nullptr) {
                formatCut(line, "%s,\nerror=%d: %s", text, code, systemText->c_str());
            } else {
                formatCut(line, "error=%d: %s", code, systemText->c_str());
            }
        }
    } else {
        if (text == nullptr) return;
        formatCut(line, "%s", text);
    }
    KernelDebugLog("[%s] [%s]", tag != nullptr ? tag : "", line);
}
