#include "recover/startup_reasons.h"

#include <array>
#include <cerrno>
#include <cinttypes>
#include <cstdio>

#include "msglib/code_catalogue.h"
#include "msglib/transport_codes.h"
#include "platform/environment.h"
#include "platform/file_kind.h"
#include "recover/command_line.h"
#include "recover/operator_lines.h"
#include "storefile/file_handle.h"
#include "storefile/store_codes.h"
#include "storefile/store_file.h"
#include "storefile/store_format.h"

namespace {

bool hasCode(const StatusBlock& status, std::int32_t facility, std::int32_t code) {
    for (int i = 0; i < statusEntryCount(status); ++i) {
        if (status.facility[i] == facility && status.error[i] == code) return true;
    }
    return false;
}

std::string quoted(std::string_view path) { return "'" + shownText(path, 256) + "'"; }

// Which check the header failed: the open has already printed the details
// on standard output; the line says it again in words, for the log too.
std::string headerVerdict(const StoreFile& store) {
    std::array<std::uint8_t, kHeaderAreaRead> area{};
    StatusBlock readStatus;
    const std::uint32_t s = blockSizeOf(store.headerType);
    if (store.storeFileHandle < 0 ||
        readExactAt(store.storeFileHandle, 0, area.data(), kHeaderAreaRead, readStatus) != kHeaderAreaRead) {
        return "its header area cannot be read again";
    }
    const HeaderBlockCheck c = checkBlockPair(area, s);
    if (!c.primaryOk && !c.backupOk) return "neither copy of the header passes its CRC check";
    if (c.primaryOk && c.backupOk && !c.blocksEqual) return "the two copies of the header differ";
    char line[160];
    std::snprintf(line, sizeof line, "the forward offset it names, %" PRId64 ", lies outside the file's %" PRId64
                  " bytes", static_cast<std::int64_t>(store.header.forwardOffset), store.fileSize);
    return line;
}

std::string headerFailure(const StoreFile& store, const StatusBlock& status) {
    const std::string file = quoted(store.storeFileName);
    std::string why;
    if (store.fileSize < kHeaderAreaRead) {
        return "the store file " + file + " is only " + std::to_string(store.fileSize) +
               " bytes long, too short for the " + std::to_string(kHeaderAreaRead) +
               " bytes of header area a recovery reads: it is no store file, or was cut short. Nothing was "
               "forwarded.";
    } else if (const int cause = runtimeCause(status); cause != 0) {
        return "the header of the store file " + file + " cannot be read: " + platform::runtimeErrorText(cause) +
               ". Nothing was forwarded.";
    } else if (store.headerType < 0) {
        why = "the store file " + file + " has a header of no known type (no store file header at its start)";
    } else {
        why = "the header of the store file " + file + " fails validation: " + headerVerdict(store);
    }
    why += ". Nothing was forwarded. 'zento_sf_tool inspect " + shownText(store.storeFileName, 256) +
           "' shows the header and what a recovery can read";
    // DUMP replaces an unusable header; it cannot help a file it already read.
    if (!store.dumpMode) why += "; the DUMP option forwards whatever readable records the file still holds";
    return why + ".";
}

}  // namespace

std::string statusMeaning(const StatusBlock& status) {
    const int entries = statusEntryCount(status);
    if (entries == 0) return "no cause was recorded";
    std::string meaning = codeMeaningText(status.facility[entries - 1], status.error[entries - 1]);
    if (meaning.empty()) meaning = "error " + std::to_string(status.error[entries - 1]);
    if (const int cause = runtimeCause(status); cause != 0) meaning += " (" + platform::runtimeErrorText(cause) + ")";
    return meaning;
}

std::string registrationFailure(std::string_view serviceName, const StatusBlock& status) {
    const std::string name = "'" + shownText(serviceName) + "'";
    const auto has = [&](std::int32_t code) { return hasCode(status, kFacilityLibrary, code); };
    if (has(kTransportBadServiceName)) {
        return "the service name " + name + " cannot be registered: a service name is 1 to " +
               std::to_string(kMaxServiceName) +
               " characters of A-Z a-z 0-9 _ . - and does not begin with '.'. Nothing was forwarded.";
    }
    if (has(kTransportServiceInUse)) {
        return "the service name " + name +
               " is already registered by another live process on this node (a recovery or task running under "
               "that name): end it, or start this recovery under another service name. Nothing was forwarded.";
    }
    if (has(kTransportPathTooLong)) {
        return "ZENTO_HOME (" + shownText(platform::zentoHome(), 256) +
               ") is too long for the socket path of the service: set a shorter ZENTO_HOME. Nothing was forwarded.";
    }
    return "the registration as service " + name + " failed: " + statusMeaning(status) + ". Nothing was forwarded.";
}

std::string storeOpenFailure(const StoreFile& store, const StatusBlock& status) {
    using namespace storecode;
    const std::string file = quoted(store.storeFileName);
    const auto has = [&](std::int32_t code) { return hasCode(status, kFacilityStore, code); };
    if (has(kFileMissing)) {
        return "the store file " + file + " does not exist (" + platform::runtimeErrorText(ENOENT) +
               "): check the path. Nothing was forwarded.";
    }
    if (has(kNotRegularFile)) {
        return "the store file " + file +
               " is not a regular file (a directory, a FIFO or a device): name the store file itself. Nothing was "
               "forwarded.";
    }
    if (has(kOpenFailed)) {
        const int cause = runtimeCause(status);
        std::string line = "the store file " + file + " cannot be opened for reading and writing: " +
                           (cause != 0 ? platform::runtimeErrorText(cause) : statusMeaning(status));
        if (cause == EACCES || cause == EPERM || cause == EROFS) {
            line += ". This user needs to read and write it, on a file system mounted for writing";
        }
        return line + ". Nothing was forwarded.";
    }
    if (has(kLockFailed)) {
        return "the store file " + file + " could not be locked: " + statusMeaning(status) + ". Nothing was forwarded.";
    }
    if (has(kHeaderNotLoaded)) return headerFailure(store, status);
    if (!statusFailed(status) && store.fileSize == 0) {
        return "the store file " + file +
               " is empty (0 bytes): it holds no header and no message. Nothing was forwarded.";
    }
    return "the store file " + file + " cannot be used: " + statusMeaning(status) + ". Nothing was forwarded.";
}
