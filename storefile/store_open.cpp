// Opening the store file at start-up: the header area is read once, its
// generation recognised, its two blocks checked, and the forward offset from
// which forwarding resumes tested against the file's length. Every line goes
// to standard output, where the operator watches the start-up.
#include "storefile/store_open.h"

#include <cinttypes>
#include <cstdio>

#include "msglib/coding.h"
#include "platform/file_kind.h"
#include "storefile/file_handle.h"
#include "storefile/store_codes.h"
#include "storefile/store_file.h"
#include "storefile/store_format.h"

namespace {

constexpr std::int32_t kLockedLength = 192;  // the header area of a type-2 file
constexpr std::int64_t kAssumedSize = 2147483647;  // when DUMP cannot find the length
constexpr std::uint32_t kRevisionOffset = 4;

using namespace storecode;

void load(std::int32_t code, StatusBlock& status) { ZENTO_SERVER_LDBLK(kFacilityStore, code, status); }

// The share of the file before the forward offset, in single precision as the
// operators have always seen it. A header whose data ends at 0 (or before)
// has nothing left ahead of the reader, so it shows as 100 percent instead of
// a division by zero.
float startPercent(std::int64_t forwardOffset, std::int64_t lastOffset) {
    if (lastOffset <= 0) return 100.0f;
    return static_cast<float>(forwardOffset) * 100.0f / static_cast<float>(lastOffset);
}

bool hasStoreCode(const StatusBlock& status, std::int32_t code) {
    for (int i = 0; i < statusEntryCount(status); ++i) {
        if (status.facility[i] == kFacilityStore && status.error[i] == code) return true;
    }
    return false;
}

// The status entries alone do not tell an operator that the path names a
// directory, a FIFO or a file this user may not write. A missing file keeps
// its entry as the only explanation.
void explainOpenFailure(const StoreFile& store, const StatusBlock& status) {
    if (hasStoreCode(status, kNotRegularFile)) {
        std::printf("Error: store file %s is not a regular file.\n", store.storeFileName.c_str());
        return;
    }
    const int cause = runtimeCause(status);
    if (cause != 0) {
        std::printf("Error: store file %s could not be opened: %s.\n", store.storeFileName.c_str(),
                    platform::runtimeErrorText(cause).c_str());
    }
}

void printEmergencyHint() {
    std::printf("*!* If you wish emergency file recovery, please use the DUMP parameter\n");
    std::printf("*!* It is recommended that you back up your KV58 database before\n");
    std::printf("*!* attempting emergency file recovery with the DUMP parameter.\n");
}

bool headerFitsFile(const StoreFile& store) {
    const std::int64_t forward = store.header.forwardOffset;
    if (forward >= store.fileSize) {
        std::printf("Error: file header forward offset %" PRId64 " greater than file size %" PRId64 ".\n", forward,
                    store.fileSize);
        return false;
    }
    // Only a type-2 block can carry a negative offset (the older ones are
    // zero-extended words). Reading there would fail every call without ever
    // ending, so such a header is as unusable as one beyond the end.
    if (forward < 0) {
        std::printf("Error: file header forward offset %" PRId64 " is negative.\n", forward);
        return false;
    }
    return true;
}

}  // namespace

bool openStoreFile(StoreFile& store, std::string_view path, const StoreOpenOptions& options, StatusBlock& status) {
    ZENTO_SERVER_INITBLK(status);
    resetStoreFile(store);  // a new cursor on the file
    store.storeFileName.assign(path);
    store.dumpMode = options.dumpMode;
    store.reporter = options.reporter;
    store.syncPolicy = platform::storeSyncPolicy();
    store.storeFileHandle = zento_s_file_open(store.storeFileName.c_str(), kOpenReadWrite, status);
    if (store.storeFileHandle < 0 || statusFailed(status)) {
        explainOpenFailure(store, status);
        load(kStoreOpenFailed, status);
        return false;
    }
    std::printf("File opened.\n");

    store.fileSize = storeFileSize(store.storeFileHandle, status);
    if (store.fileSize < 0 || statusFailed(status)) {
        load(kLengthUnknown, status);
        return false;
    }
    // An empty file holds nothing to forward: the caller ends without a close.
    if (store.fileSize == 0) {
        store.readPosition = 0;
        return false;
    }

    lockStoreFile(store.storeFileHandle, store.storeFileName.c_str(), kLockedLength, status);
    if (statusFailed(status)) {
        std::printf("Error locking file.\n");
        load(kLockFailed, status);
        return false;
    }

    readStoreHeader(store, status);
    if (statusFailed(status)) {
        load(kHeaderNotLoaded, status);
        return false;
    }
    return true;
}

bool syncStoreHeader(StoreFile& store, StatusBlock& status) {
    ZENTO_SERVER_INITBLK(status);
    syncStoreFile(store.storeFileHandle, status);
    if (!statusFailed(status)) {
        store.headerUnsynced = false;
        return true;
    }
    std::printf("Error syncing file: %s.\n", platform::runtimeErrorText(runtimeCause(status)).c_str());
    load(kStoreSyncFailed, status);
    store.faulted = true;
    return false;
}

bool MasterFileClose(StoreFile& store, StatusBlock& status) {
    bool result = true;
    StatusBlock local;
    ZENTO_SERVER_INITBLK(status);
    ZENTO_SERVER_INITBLK(local);
    std::printf("Executing MasterFileClose.\n");

    unlockStoreFile(store.storeFileHandle, kLockedLength, local);
    if (statusFailed(local)) {
        std::printf("Error unlocking file.\n");
        load(kUnlockFailed, status);
        result = false;
    }

    if (store.storeFileHandle != -1) {
        // The header reaches the disk here at the latest, however the
        // recovery ended, unless nothing was written since its last sync
        // (before the end-of-file notice). A header that may not be on the
        // disk is no success: the recovery's exit code says so.
        if (store.headerUnsynced && !syncStoreHeader(store, local)) {
            load(kStoreSyncFailed, status);
            result = false;
        }
        closeStoreFileHandle(store.storeFileHandle, local);
        if (statusFailed(local)) {
            std::printf("Error closing file.\n");
            load(kStoreCloseFailed, status);
            result = false;
        } else {
            store.storeFileHandle = -1;  // closed: a second close must not hit a reused handle
        }
    } else {
        std::printf("Strange occurrence: file handle is empty; no file to close.\n");
    }
    return result;
}

std::int32_t detectHeaderType(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < kHeaderAreaRead) {
        std::printf("ERROR: Could not match header to any known type.\n");
        return -1;
    }
    const std::uint32_t revision = decodeU32(bytes.data() + kRevisionOffset);
    if (revision == 1 || revision == 2) {
        std::printf("Found non-zero revision number %d\n", static_cast<int>(revision));
        return static_cast<std::int32_t>(revision);
    }
    // The backup block of each generation starts with the magic; the newest
    // generation that matches wins.
    std::int32_t type = -1;
    for (std::int32_t candidate = 0; candidate <= 2; ++candidate) {
        if (decodeU32(bytes.data() + blockSizeOf(candidate) + 4) == kStoreMagic) type = candidate;
    }
    if (type == -1) std::printf("ERROR: Could not match header to any known type.\n");
    return type;
}

void loadHeader(StoreFile& store, std::span<const std::uint8_t> bytes, StatusBlock& status) {
    ZENTO_SERVER_INITBLK(status);
    const std::uint32_t s = blockSizeOf(store.headerType);
    if (s == 0 || bytes.size() < 2 * static_cast<std::size_t>(s) + 8) {
        load(kHeaderUnusable, status);
        return;
    }
    std::span<const std::uint8_t> chosen = bytes.first(s);
    switch (checkHeaderBlocks(bytes, s)) {
        case 0: std::printf("Header read in ok.\n"); break;
        case 1:
            std::printf("Primary block bad.\n");
            chosen = bytes.subspan(s + 4, s);
            break;
        case 2: std::printf("Header backup block bad.\n"); break;
        default:
            std::printf("Both header blocks bad.\n");
            load(kHeaderUnusable, status);
            break;
    }
    std::printf("Processing file header type %d\n", static_cast<int>(store.headerType));
    store.header = headerFromBlock(store.headerType, chosen);
    if (!headerFitsFile(store)) load(kHeaderUnusable, status);
}

void useDefaultHeader(StoreFile& store) {
    std::printf("*!* Your file header is not readable.\n");
    std::printf("*!* You have specified the DUMP paramter (total message recovery).\n");
    std::printf("*!* Store and Forward will attempt to recover any readable data.\n");
    std::printf("*!* Because of this, your KV58 database may contain duplicate,\n");
    std::printf("    strange, or impossible values.\n");
    std::printf("*!* Please check your database values after this operation.\n");

    std::printf("    Default front-to-back-of-file message dumping will be used.\n");

    StatusBlock sizeStatus;
    std::int64_t size = storeFileSize(store.storeFileHandle, sizeStatus);
    if (size < 0 || statusFailed(sizeStatus)) {
        std::printf("*!* Cannot find the length of your file!  Assuming size=2Gb\n");
        size = kAssumedSize;
    }
    store.header = defaultHeader(size);
    store.headerType = 2;
}

StoreFileHeader defaultHeader(std::int64_t fileLength) {
    StoreFileHeader header = emptyStoreHeader(0);
    header.firstMsgOffset = 0;
    header.lastMsgOffset = header.offset48 = header.lastOffset = fileLength;
    header.msgCount = kUnknownMsgCount;
    return header;
}

void readStoreHeader(StoreFile& store, StatusBlock& status) {
    ZENTO_SERVER_INITBLK(status);
    if (seekStoreFile(store.storeFileHandle, 0, 0, status) < 0 || statusFailed(status)) {
        load(kHeaderSeekFailed, status);
        return;
    }
    std::uint8_t area[kHeaderAreaRead] = {};
    if (readExact(store.storeFileHandle, area, kHeaderAreaRead, status) != kHeaderAreaRead || statusFailed(status)) {
        load(kHeaderReadFailed, status);
        return;
    }

    store.headerType = detectHeaderType(area);
    if (store.headerType == -1) {
        if (!store.dumpMode) {
            std::printf("*!* The file header is of an unknown type.  RECOVER cannot continue\n");
            printEmergencyHint();
            load(kHeaderReadFailed, status);
            return;
        }
        useDefaultHeader(store);
    } else {
        loadHeader(store, area, status);
        if (!statusFailed(status)) {
            std::printf("File header type %d detected and read.  Processing file.\n",
                        static_cast<int>(store.headerType));
        } else if (!store.dumpMode) {
            std::printf("*!* The file header is corrupt.  RECOVER cannot continue\n");
            printEmergencyHint();
            load(kHeaderReadFailed, status);
            return;
        } else {
            ZENTO_SERVER_INITBLK(status);  // DUMP reads what it can: the header's faults no longer count
            useDefaultHeader(store);
        }
    }
    std::printf("Starting at location %" PRId64 ", %5.2f percent of file.\n", store.header.forwardOffset,
                static_cast<double>(startPercent(store.header.forwardOffset, store.header.lastOffset)));
}

void resetStoreFile(StoreFile& store) { store = StoreFile{}; }

void inspectWithCursor(StoreFile& store, std::int32_t handle, std::int64_t fileSize, std::int32_t headerType,
                       const StoreFileHeader& header, CursorReporter* reporter) {
    store = StoreFile{};
    store.access = StoreAccess::Inspect;
    store.reporter = reporter;
    store.storeFileHandle = handle;
    store.fileSize = fileSize;
    store.headerType = headerType;
    store.header = header;
}
