// Opening the store file at start-up: the header area is read once, its
// generation recognised, its two blocks checked, and the forward offset from
// which forwarding resumes tested against the file's length. Every line goes
// to standard output, where the operator watches the start-up.
#include "storefile/store_open.h"

#include <cinttypes>
#include <cstdio>

#include "msglib/coding.h"
#include "platform/file_kind.h"
#include "recover/recover_context.h"
#include "storefile/file_handle.h"
#include "storefile/store_format.h"

namespace {

constexpr std::int32_t kLockedLength = 192;  // the header area of a type-2 file
constexpr std::int64_t kAssumedSize = 2147483647;  // when DUMP cannot find the length
constexpr std::uint32_t kRevisionOffset = 4;

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
void explainOpenFailure(const RecoverContext& ctx, const StatusBlock& status) {
    if (hasStoreCode(status, 13162)) {
        std::printf("Error: store file %s is not a regular file.\n", ctx.storeFileName.c_str());
        return;
    }
    const int cause = runtimeCause(status);
    if (cause != 0) {
        std::printf("Error: store file %s could not be opened: %s.\n", ctx.storeFileName.c_str(),
                    platform::runtimeErrorText(cause).c_str());
    }
}

void printEmergencyHint() {
    std::printf("*!* If you wish emergency file recovery, please use the DUMP parameter\n");
    std::printf("*!* It is recommended that you back up your KV58 database before\n");
    std::printf("*!* attempting emergency file recovery with the DUMP parameter.\n");
}

// Copies the block the verdict trusts into the in-memory header.
void convertBlock(RecoverContext& ctx, std::span<const std::uint8_t> block) {
    switch (ctx.headerType) {
        case 0: headerFromType0(block.first<64>(), ctx.header); break;
        case 1: headerFromType1(block.first<68>(), ctx.header); break;
        default: ctx.header = decodeType2(block.first<92>()); break;
    }
}

bool headerFitsFile(const RecoverContext& ctx) {
    const std::int64_t forward = ctx.header.forwardOffset;
    if (forward >= ctx.fileSize) {
        std::printf("Error: file header forward offset %" PRId64 " greater than file size %" PRId64 ".\n", forward,
                    ctx.fileSize);
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

bool openStoreFile(RecoverContext& ctx, StatusBlock& status) {
    ZENTO_SERVER_INITBLK(status);
    ctx.storeFileHandle = zento_s_file_open(ctx.storeFileName.c_str(), kOpenReadWrite, status);
    if (ctx.storeFileHandle < 0 || statusFailed(status)) {
        explainOpenFailure(ctx, status);
        load(13408, status);
        return false;
    }
    std::printf("File opened.\n");

    ctx.fileSize = storeFileSize(ctx.storeFileHandle, status);
    if (ctx.fileSize < 0 || statusFailed(status)) {
        load(13410, status);
        return false;
    }
    // An empty file holds nothing to forward: the caller ends without a close.
    if (ctx.fileSize == 0) {
        ctx.readPosition = 0;
        return false;
    }

    lockStoreFile(ctx.storeFileHandle, ctx.storeFileName.c_str(), kLockedLength, status);
    if (statusFailed(status)) {
        std::printf("Error locking file.\n");
        load(13407, status);
        return false;
    }

    readStoreHeader(ctx, status);
    if (statusFailed(status)) {
        load(13411, status);
        return false;
    }
    return true;
}

bool MasterFileClose(RecoverContext& ctx, StatusBlock& status) {
    bool result = true;
    StatusBlock local;
    ZENTO_SERVER_INITBLK(status);
    ZENTO_SERVER_INITBLK(local);
    std::printf("Executing MasterFileClose.\n");

    unlockStoreFile(ctx.storeFileHandle, kLockedLength, local);
    if (statusFailed(local)) {
        std::printf("Error unlocking file.\n");
        load(13455, status);
        result = false;
    }

    if (ctx.storeFileHandle != -1) {
        // The header reaches the disk here at the latest, however the
        // recovery ended. A header that may not be on the disk is no success:
        // the recovery's exit code says so.
        syncStoreFile(ctx.storeFileHandle, local);
        if (statusFailed(local)) {
            std::printf("Error syncing file: %s.\n", platform::runtimeErrorText(runtimeCause(local)).c_str());
            load(13457, status);
            ctx.dataUnreadable = true;
            result = false;
        }
        closeStoreFileHandle(ctx.storeFileHandle, local);
        if (statusFailed(local)) {
            std::printf("Error closing file.\n");
            load(13456, status);
            result = false;
        } else {
            ctx.storeFileHandle = -1;  // closed: a second close must not hit a reused handle
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

void loadHeader(RecoverContext& ctx, std::span<const std::uint8_t> bytes, StatusBlock& status) {
    ZENTO_SERVER_INITBLK(status);
    const std::uint32_t s = blockSizeOf(ctx.headerType);
    if (s == 0 || bytes.size() < 2 * static_cast<std::size_t>(s) + 8) {
        load(13510, status);
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
            load(13510, status);
            break;
    }
    std::printf("Processing file header type %d\n", static_cast<int>(ctx.headerType));
    convertBlock(ctx, chosen);
    if (!headerFitsFile(ctx)) load(13510, status);
}

void useDefaultHeader(RecoverContext& ctx) {
    std::printf("*!* Your file header is not readable.\n");
    std::printf("*!* You have specified the DUMP paramter (total message recovery).\n");
    std::printf("*!* Store and Forward will attempt to recover any readable data.\n");
    std::printf("*!* Because of this, your KV58 database may contain duplicate,\n");
    std::printf("    strange, or impossible values.\n");
    std::printf("*!* Please check your database values after this operation.\n");

    std::printf("    Default front-to-back-of-file message dumping will be used.\n");

    StatusBlock sizeStatus;
    std::int64_t size = storeFileSize(ctx.storeFileHandle, sizeStatus);
    if (size < 0 || statusFailed(sizeStatus)) {
        std::printf("*!* Cannot find the length of your file!  Assuming size=2Gb\n");
        size = kAssumedSize;
    }
    ctx.header = defaultHeader(size);
    ctx.headerType = 2;
}

StoreFileHeader defaultHeader(std::int64_t fileLength) {
    StoreFileHeader header{};
    header.magic = kStoreMagic;
    header.revision = 2;
    header.forwardOffset = kType2HeaderLength;
    header.lastMsgOffset = fileLength;
    header.offset48 = fileLength;
    header.lastOffset = fileLength;
    header.msgCount = kUnknownMsgCount;
    return header;
}

void readStoreHeader(RecoverContext& ctx, StatusBlock& status) {
    ZENTO_SERVER_INITBLK(status);
    if (seekStoreFile(ctx.storeFileHandle, 0, 0, status) < 0 || statusFailed(status)) {
        load(13511, status);
        return;
    }
    std::uint8_t area[kHeaderAreaRead] = {};
    if (readExact(ctx.storeFileHandle, area, kHeaderAreaRead, status) != kHeaderAreaRead || statusFailed(status)) {
        load(13512, status);
        return;
    }

    ctx.headerType = detectHeaderType(area);
    if (ctx.headerType == -1) {
        if (!ctx.dumpMode) {
            std::printf("*!* The file header is of an unknown type.  RECOVER cannot continue\n");
            printEmergencyHint();
            load(13512, status);
            return;
        }
        useDefaultHeader(ctx);
    } else {
        loadHeader(ctx, area, status);
        if (!statusFailed(status)) {
            std::printf("File header type %d detected and read.  Processing file.\n",
                        static_cast<int>(ctx.headerType));
        } else if (!ctx.dumpMode) {
            std::printf("*!* The file header is corrupt.  RECOVER cannot continue\n");
            printEmergencyHint();
            load(13512, status);
            return;
        } else {
            ZENTO_SERVER_INITBLK(status);  // DUMP reads what it can: the header's faults no longer count
            useDefaultHeader(ctx);
        }
    }
    std::printf("Starting at location %" PRId64 ", %5.2f percent of file.\n", ctx.header.forwardOffset,
                static_cast<double>(startPercent(ctx.header.forwardOffset, ctx.header.lastOffset)));
}
