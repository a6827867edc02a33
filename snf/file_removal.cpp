#include "snf/file_removal.h"

#include <algorithm>
#include <new>
#include <string>
#include <vector>

#include "msglib/coding.h"
#include "msglib/msglib.h"
#include "platform/disk_files.h"
#include "platform/registry.h"
#include "snf/snf_codes.h"
#include "snf/snf_text.h"

namespace {

constexpr const char* kRotationLogName = "XXX";

void logRotationFailure(const char* format, const std::string& name) {
    char text[kSnfLineSize];
    formatSnfLine(text, format, name.c_str(), static_cast<int>(zento_GetLastError()));
    StatusBlock own;
    ZENTO_SERVER_LOGMSG(kRotationLogName, text, own);
}

std::string generationName(const char* path, std::uint32_t generation) {
    char suffix[16];
    formatSnfLine(suffix, "_BCK%.2d", static_cast<int>(generation));
    return std::string(path) + suffix;
}

}  // namespace

std::uint32_t getStoreBackupCopies() {
    platform::RegKey key = nullptr;
    std::int32_t rc = platform::regOpenKeyEx(platform::registryLocalMachine(), kBackupCopiesKey,
                                             platform::kKeyQueryValue | GetZentoRegSamViewFlag(), &key);
    if (rc != 0) {
        logRegistryFault("getStoreBackupCopies", rc);
        return 0;
    }
    std::uint8_t word[4] = {0, 0, 0, 0};
    std::uint32_t length = sizeof word;
    rc = platform::regQueryValueEx(key, kBackupCopiesValue, nullptr, word, &length);
    platform::regCloseKey(key);
    if (rc != 0) {
        logRegistryFault("getStoreBackupCopies", rc);
        return 0;
    }
    return std::min(decodeU32(word), kMaxBackupCopies);
}

std::int32_t rotateBackupCopies(const char* path, std::uint32_t copies) {
    copies = std::min(copies, kMaxBackupCopies);
    if (path == nullptr || copies == 0) return 0;
    std::vector<std::string> names;
    std::vector<bool> exists;
    try {
        for (std::uint32_t generation = 1; generation <= copies; ++generation) {
            names.push_back(generationName(path, generation));
            exists.push_back(platform::fileReadable(names.back().c_str()));
        }
    } catch (const std::bad_alloc&) {
        return 0;
    }
    // Index i holds generation i + 1.
    const std::size_t oldest = copies - 1;
    if (exists[oldest] && !platform::deleteFile(names[oldest].c_str())) {
        logRotationFailure("Error removing file %s\nStatus=%d", names[oldest]);
        return 0;
    }
    for (std::size_t i = oldest; i-- > 0;) {
        if (exists[i] && !platform::renameFile(names[i].c_str(), names[i + 1].c_str())) {
            logRotationFailure("Error renaming file %s\nStatus=%d", names[i]);
            return 0;
        }
    }
    if (!platform::renameFile(path, names[0].c_str())) {
        logRotationFailure("Error renaming file %s\nStatus=%d", names[0]);
        return 0;
    }
    return 1;
}

void removeSnfFile(const char* path, std::int32_t kind, StatusBlock* status) {
    if (status == nullptr) return;
    ZENTO_SERVER_INITBLK(*status);
    if (path == nullptr) {
        ZENTO_SERVER_LDBLK(kFacilityStore, snfcode::kRemoveFailed, *status);
        return;
    }
    if (kind == kSnfFileWithBackups) {
        const std::uint32_t copies = getStoreBackupCopies();
        // A rotation that stopped before the file became generation 1 leaves
        // the file where it is: deleting it then would lose the newest
        // generation, which no copy holds.
        if (copies > 0 && rotateBackupCopies(path, copies) == 0 && platform::fileLength(path) >= 0) {
            ZENTO_SERVER_LDBLK(kFacilityStore, snfcode::kRemoveFailed, *status);
            return;
        }
    }
    if (!platform::deleteFile(path)) {
        std::int32_t condition = 0;
        zento_GetLastErrorEx(0, 0, condition);
        if (condition != 1) ZENTO_SERVER_LDBLK(kFacilityStore, snfcode::kRemoveFailed, *status);
    }
}
