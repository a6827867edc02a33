#include "snf/store_allocation.h"

#include <algorithm>
#include <array>
#include <cstdarg>
#include <cstdio>
#include <limits>

#include "msglib/coding.h"
#include "msglib/msglib.h"
#include "platform/disk_files.h"
#include "platform/file_ops.h"
#include "platform/windows_errors.h"
#include "snf/snf_codes.h"
#include "snf/snf_config.h"
#include "snf/snf_text.h"
#include "storefile/file_handle.h"
#include "storefile/store_format.h"

namespace {

constexpr const char* kAllocateTag = "allocateStoreFile";
constexpr const char* kResizeTag = "setStoreFileSize";

// A line of the routine under its tag, with the Windows error of the call
// that failed (0 for none).
__attribute__((format(printf, 3, 4))) void logAllocation(const char* tag, std::uint32_t error, const char* format,
                                                         ...) {
    char text[kSnfLineSize];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    LogWinError(tag, text, error);
}

std::uint32_t lastError() { return platform::lastSystemError(); }

bool sizeInRange(std::int32_t sizeMiB) { return sizeMiB >= kMinStoreFileMiB && sizeMiB <= kMaxStoreFileMiB; }

// The directory whose free space counts: the store directory, else the
// client environment directory.
struct Directory {
    char text[kStoreDirectorySize];
};
Directory storeDirectory() {
    Directory directory{};
    GetStoreDirectory(directory.text);
    directory.text[kStoreDirectorySize - 1] = '\0';
    if (directory.text[0] == '\0') formatSnfLine(directory.text, "%s", ClientEnvironmentDirectory());
    return directory;
}

std::int64_t asSigned(std::uint64_t bytes) {
    return bytes > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())
               ? std::numeric_limits<std::int64_t>::max()
               : static_cast<std::int64_t>(bytes);
}

// Ends the file at its position, saying so when only the length could be set.
bool endFileHere(int handle, const char* path, const char* tag) {
    const platform::EndOfFile result = platform::setEndOfFile(handle);
    if (result == platform::EndOfFile::PlainLength) {
        logAllocation(tag, 0,
                      "In %s. The file system cannot reserve space for [%s]; its length is set without taking the "
                      "space",
                      tag, path);
    }
    return result != platform::EndOfFile::Failed;
}

// Deletes the file while the handle still holds it alone, then closes it, so
// no other opener meets the half-made file between the two.
void deleteAndClose(int handle, const char* path) {
    platform::deleteFile(path);
    platform::closeFileHandle(handle);
}

// A file whose header could not be written holds no store file: it goes, as
// long as nobody else has it open.
void dropUninitialized(const char* path) {
    const int handle = platform::createFileNoSharing(path, false, platform::FileDisposition::OpenExisting);
    if (handle < 0) return;
    logAllocation(kAllocateTag, 0, "In allocateStoreFile. Failed to write the header of [%s].  File will be deleted.",
                  path);
    deleteAndClose(handle, path);
}

}  // namespace

bool takeStoreFileSpace(std::int32_t handle, std::int64_t length, const char* tag) {
    char path[64];
    formatSnfLine(path, "fh=%d", static_cast<int>(handle));
    return platform::setFilePointer(handle, length) && endFileHere(handle, path, tag != nullptr ? tag : "");
}

void allocateStoreFile(const char* path, std::int32_t sizeMiB) {
    if (path == nullptr || !sizeInRange(sizeMiB)) return;
    std::int64_t wanted = sizeMiB * kStoreMiB;
    const Directory directory = storeDirectory();
    std::uint64_t freeBytes = 0;
    if (!platform::freeBytesAvailable(directory.text, freeBytes)) {
        logAllocation(kAllocateTag, lastError(), "In allocateStoreFile. Failed GetDiskFreeSpaceEx [%s]",
                      directory.text);
        return;
    }
    const std::int64_t available = asSigned(freeBytes);
    const std::int64_t current = std::max<std::int64_t>(platform::fileLength(path), 0);
    const std::int64_t needed = std::max<std::int64_t>(wanted - current, 0);
    if (available < needed) {
        wanted = available - kDiskSafetyMargin;
        logAllocation(kAllocateTag, 0,
                      "In In allocateStoreFile. User Disk Quota [%d]MB smaller than file size requested of "
                      "[%d]MB.\nCreating file [%s] with [%d]MB instead.",
                      megabytesOf(available), static_cast<int>(sizeMiB), path, megabytesOf(wanted));
    }
    const int handle = platform::createFileNoSharing(path, false, platform::FileDisposition::CreateAlways);
    if (handle < 0) {
        logAllocation(kAllocateTag, lastError(), "In allocateStoreFile. Failed CreateFile [%s] with [%d]MB", path,
                      static_cast<int>(sizeMiB));
        return;
    }
    if (!platform::setFilePointer(handle, wanted) && lastError() != 0) {
        logAllocation(kAllocateTag, lastError(), "In allocateStoreFile. Failed SetFilePointer [%s] at [%lld]", path,
                      static_cast<long long>(wanted));
        deleteAndClose(handle, path);
        return;
    }
    if (!endFileHere(handle, path, kAllocateTag)) {
        logAllocation(kAllocateTag, lastError(), "In allocateStoreFile. Failed SetEndOfFile [%s].  File will be deleted.",
                      path);
        deleteAndClose(handle, path);
        return;
    }
    logAllocation(kAllocateTag, 0, "In allocateStoreFile. Allocated file [%s] with [%d]MB, file pointer set at [%lld]",
                  path, megabytesOf(wanted), static_cast<long long>(wanted));
    platform::closeFileHandle(handle);
    StatusBlock status;
    initializeStoreFile(path, sizeMiB, status);
    // A close that failed after the header went in leaves a sound file.
    const bool onlyCloseFailed = statusEntryCount(status) == 1 && status.error[0] == snfcode::kInitCloseFailed;
    if (statusFailed(status) && !onlyCloseFailed) dropUninitialized(path);
}

// The open is checked for a handle below 0: 0 is a valid handle here, and a
// refused open gives -1.
void initializeStoreFile(const char* path, std::int32_t sizeMiB, StatusBlock& status) {
    ZENTO_SERVER_INITBLK(status);
    if (path == nullptr) return;
    char text[kSnfLineSize];
    formatSnfLine(text, "Initialize. No messages to save. Open READ_WRITE file %s\n", path);
    StatusBlock diagStatus;
    ZENTO_DIAG_LOG("LOGIC", kAllocationDiagCode, text, diagStatus);

    const std::int32_t handle = zento_s_file_open(path, kOpenReadWrite, status);
    if (statusFailed(status) || handle < 0) return;
    lockStoreFile(handle, path, kType2HeaderLength, status);
    if (statusFailed(status)) {
        ZENTO_SERVER_LDBLK(kFacilityStore, snfcode::kInitLockFailed, status);
    } else {
        writeNewType2Header(handle, emptyStoreHeader(static_cast<std::uint32_t>(sizeMiB)), status);
        if (statusFailed(status)) ZENTO_SERVER_LDBLK(kFacilityStore, snfcode::kInitHeaderWriteFailed, status);
        StatusBlock unlockStatus;
        unlockStoreFile(handle, kType2HeaderLength, unlockStatus);
    }
    StatusBlock closeStatus;
    closeStoreFileHandle(handle, closeStatus);
    if (statusFailed(closeStatus)) ZENTO_SERVER_LDBLK(kFacilityStore, snfcode::kInitCloseFailed, status);
    setStoreFileSize(path, sizeMiB);
}

void setStoreFileSize(const char* path, std::int32_t sizeMiB) {
    if (path == nullptr || !sizeInRange(sizeMiB)) return;
    std::int64_t wanted = sizeMiB * kStoreMiB;
    const Directory directory = storeDirectory();
    std::uint64_t freeBytes = 0;
    if (!platform::freeBytesAvailable(directory.text, freeBytes)) {
        logAllocation(kResizeTag, lastError(), "In setStoreFileSize. Failed GetDiskFreeSpaceEx [%s]", directory.text);
        return;
    }
    const std::int64_t available = asSigned(freeBytes);
    const std::int64_t current = std::max<std::int64_t>(platform::fileLength(path), 0);
    const std::int64_t needed = std::max<std::int64_t>(wanted - current, 0);
    if (available < needed) {
        // The file's own space counts as available here.
        wanted = available + current - kDiskSafetyMargin;
        logAllocation(kResizeTag, 0,
                      "In setStoreFileSize. User Disk Quota [%d]MB smaller than file size requested of "
                      "[%d]MB.\nCreating file [%s] with [%d]MB instead.",
                      megabytesOf(available), static_cast<int>(sizeMiB), path, megabytesOf(wanted));
    }
    const int handle = platform::createFileNoSharing(path, true, platform::FileDisposition::OpenExisting);
    if (handle < 0) {
        logAllocation(kResizeTag, lastError(), "In setStoreFileSize. Failed CreateFile [%s] with [%d]MB", path,
                      static_cast<int>(sizeMiB));
        return;
    }
    // Both header copies are read; the limit comes from the first, as its
    // writer left it. A file too short for the first block has no header to
    // go by: the read counts as failed (ERROR_HANDLE_EOF).
    std::array<std::uint8_t, kType2HeaderLength> header{};
    std::uint32_t got = 0;
    if (!platform::readFile(handle, header.data(), static_cast<std::uint32_t>(header.size()), got) ||
        got < kMaxHeaderBlock) {
        const std::uint32_t error = got < kMaxHeaderBlock && lastError() == 0
                                        ? static_cast<std::uint32_t>(platform::kErrorHandleEof)
                                        : lastError();
        logAllocation(kResizeTag, error, "In setStoreFileSize. Failed ReadFile header [%s]", path);
        platform::closeFileHandle(handle);
        return;
    }
    const std::int64_t lastOffset = decodeI64(header.data() + 56);
    const std::int64_t limit = lastOffset > std::numeric_limits<std::int64_t>::max() - kStoreMiB
                                   ? std::numeric_limits<std::int64_t>::max()
                                   : lastOffset + kStoreMiB;
    if (limit > wanted) {
        logAllocation(kResizeTag, 0,
                      "In setStoreFileSize. Last offset [%lld] is pass the file size requested [%lld].\nFile [%s] "
                      "will not be resized",
                      static_cast<long long>(limit), static_cast<long long>(wanted), path);
        platform::closeFileHandle(handle);
        return;
    }
    // The limit is only as good as the header: a damaged first block could
    // name any last offset, and cutting by it would lose stored messages.
    const std::int64_t length = platform::fileLength(path);
    const int verdict = checkType2Blocks(std::span<const std::uint8_t>(header.data(), got));
    const bool firstBlockSound = (verdict == 0 || verdict == 2) && decodeU32(header.data()) == kStoreMagic;
    if ((length < 0 || wanted < length) && !firstBlockSound) {
        logAllocation(kResizeTag, 0,
                      "In setStoreFileSize. The header of [%s] is damaged.\nFile will not be shrunk to [%lld]", path,
                      static_cast<long long>(wanted));
        platform::closeFileHandle(handle);
        return;
    }
    if (!platform::setFilePointer(handle, wanted)) {
        logAllocation(kResizeTag, lastError(), "In setStoreFileSize. Failed SetFilePointer [%s] at [%lld]", path,
                      static_cast<long long>(wanted));
        platform::closeFileHandle(handle);
        return;
    }
    if (!endFileHere(handle, path, kResizeTag)) {
        logAllocation(kResizeTag, lastError(), "In setStoreFileSize. Failed SetEndOfFile [%s]", path);
        platform::closeFileHandle(handle);
        return;
    }
    logAllocation(kResizeTag, 0,
                  "In setStoreFileSize. Created/Modified file [%s] with [%d]MB, file pointer set at [%lld]", path,
                  megabytesOf(wanted), static_cast<long long>(wanted));
    platform::closeFileHandle(handle);
}
