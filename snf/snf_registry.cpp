#include <strings.h>

#include <cstdarg>
#include <cstdio>

#include "msglib/coding.h"
#include "msglib/msglib.h"
#include "platform/registry.h"
#include "platform/windows_errors.h"
#include "snf/snf_cfg_lookup.h"
#include "snf/snf_codes.h"
#include "snf/snf_config.h"
#include "snf/snf_state.h"
#include "snf/snf_text.h"
#include "storefile/file_handle.h"

namespace {

constexpr const char* kReadTag = "ReadRegSnfCfg";
constexpr const char* kWriteTag = "WriteRegSnfCfg";
constexpr std::uint32_t kEnumNameSize = 260;

using platform::kErrorFileNotFound;
using platform::RegKey;

// Room for the service's key and a client node below it.
struct KeyPath {
    char text[192];
};

KeyPath configKeyPath(const AddressRecord& dlgp) {
    KeyPath path{};
    formatSnfLine(path.text, "Software\\Norvane\\ZEN-TO\\ZENTO_SCANNER_%s_CFG", nameText(dlgp.service).text);
    return path;
}

KeyPath subkeyPath(const KeyPath& key, const char* name) {
    KeyPath path{};
    formatSnfLine(path.text, "%s\\%s", key.text, name);
    return path;
}

// The routine's line with the Windows error, then the database's reason.
__attribute__((format(printf, 3, 4))) void logRegistry(const char* tag, std::int32_t error, const char* format, ...) {
    char text[kSnfLineSize];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    LogWinError(tag, text, static_cast<std::uint32_t>(error));
    logRegistryFault(tag, error);
}

// Closes the key it holds on every way out.
struct OpenKey {
    RegKey key = nullptr;
    OpenKey() = default;
    OpenKey(const OpenKey&) = delete;
    OpenKey& operator=(const OpenKey&) = delete;
    ~OpenKey() {
        if (key != nullptr) platform::regCloseKey(key);
    }
};

const char* dispositionWord(std::uint32_t disposition) {
    return disposition == platform::kRegCreatedNewKey ? "Creating" : "Modifying";
}

// A value of 4 bytes, little-endian as the registry keeps a REG_DWORD.
std::int32_t queryDword(RegKey key, const char* name, std::int32_t& value) {
    std::uint8_t bytes[4] = {0, 0, 0, 0};
    std::uint32_t length = sizeof bytes;
    const std::int32_t rc = platform::regQueryValueEx(key, name, nullptr, bytes, &length);
    if (rc == 0) value = decodeI32(bytes);
    return rc;
}

std::int32_t setDword(RegKey key, const char* name, std::int32_t value) {
    std::uint8_t bytes[4];
    encodeI32(bytes, value);
    return platform::regSetValueEx(key, name, platform::kRegDword, bytes, sizeof bytes);
}

}  // namespace

std::int32_t ReadRegSnfCfg(const AddressRecord& client, std::int32_t& maxSize, std::int32_t& maxPeriod,
                           StatusBlock& status) {
    std::int32_t result = 1;
    const std::uint32_t view = GetZentoRegSamViewFlag();
    ZENTO_SERVER_INITBLK(status);
    maxSize = kSnfNoValue;
    maxPeriod = kSnfNoValue;
    const NameText node = nameText(client.node);
    const AddressRecord* dlgp = GetDlgpAddress(status);
    if (statusFailed(status)) {
        logRegistry(kReadTag, 0,
                    "Bad DLGP name, could not retrieve store file config in registry, assumed Max Size=[%d], Max "
                    "Period=[%d] for client node=[%s]",
                    kSnfNoValue, kSnfNoValue, node.text);
        ZENTO_SERVER_LDBLK(kFacilityStore, snfcode::kNoDlgp, status);
        return 0;
    }
    const KeyPath path = configKeyPath(*dlgp);
    OpenKey key;
    std::int32_t rc = platform::regOpenKeyEx(platform::registryLocalMachine(), path.text, platform::kKeyRead | view,
                                             &key.key);
    if (rc != 0) {
        if (rc != kErrorFileNotFound) {
            logRegistry(kReadTag, rc, "Error %s key=[%s]", "Opening", path.text);
            ZENTO_SERVER_LDBLK(kFacilityStore, snfcode::kRegOpenFailed, status);
            result = 0;
        }
        return result;
    }
    std::uint32_t count = 0;
    rc = platform::regQuerySubkeyCount(key.key, &count);
    if (rc != 0) {
        if (rc != kErrorFileNotFound) {
            logRegistry(kReadTag, rc, "Error %s key=[%s]", "Enumerating", path.text);
            ZENTO_SERVER_LDBLK(kFacilityStore, snfcode::kRegOpenFailed, status);
            result = 0;
        }
        return result;
    }
    char name[kEnumNameSize];
    bool found = false;
    for (std::uint32_t index = 0; index < count && !found; ++index) {
        std::uint32_t length = sizeof name;
        rc = platform::regEnumKeyEx(key.key, index, name, &length);
        if (rc != 0) {
            logRegistryFault(kReadTag, rc);
            return rc != kErrorFileNotFound ? 0 : result;
        }
        found = ::strcasecmp(name, node.text) == 0;
    }
    if (!found) return result;
    OpenKey subkey;
    rc = platform::regOpenKeyEx(key.key, name, platform::kKeyRead | view, &subkey.key);
    if (rc != 0) {
        logRegistryFault(kReadTag, rc);
        return rc != kErrorFileNotFound ? 0 : result;
    }
    const KeyPath valuePath = subkeyPath(path, name);
    struct Query {
        const char* name;
        std::int32_t& value;
        std::int32_t code;
    };
    // A missing MaxSize leaves MaxPeriod unread: both count as absent.
    for (const Query& query : {Query{"MaxSize", maxSize, snfcode::kRegQuerySizeFailed},
                               Query{"MaxPeriod", maxPeriod, snfcode::kRegQueryPeriodFailed}}) {
        rc = queryDword(subkey.key, query.name, query.value);
        if (rc == 0) continue;
        if (rc != kErrorFileNotFound) {
            logRegistry(kReadTag, rc, "%s value=[%s\\%s], assuming = [%d]", "Querying", valuePath.text, query.name,
                        kSnfNoValue);
            ZENTO_SERVER_LDBLK(kFacilityStore, query.code, status);
            result = 0;
        }
        break;
    }
    return result;
}

std::int32_t WriteRegSnfCfg(const AddressRecord& client, std::int32_t maxSize, std::int32_t maxPeriod,
                            StatusBlock& status) {
    std::int32_t oldSize = kSnfNoValue;
    std::int32_t oldPeriod = kSnfNoValue;
    const std::uint32_t view = GetZentoRegSamViewFlag();
    ZENTO_SERVER_INITBLK(status);
    const NameText node = nameText(client.node);
    const AddressRecord* dlgp = GetDlgpAddress(status);
    if (statusFailed(status)) {
        logRegistry("WriteRegSnFCfg", 0,
                    "Bad DLGP name, could not update store file config in registry, Max Size=[%d], Max Period=[%d], "
                    "client node=[%s]",
                    maxSize, maxPeriod, node.text);
        ZENTO_SERVER_LDBLK(kFacilityStore, snfcode::kNoDlgp, status);
        return 0;
    }
    ReadRegSnfCfg(client, oldSize, oldPeriod, status);
    if (statusFailed(status)) return 0;

    const KeyPath path = configKeyPath(*dlgp);
    const KeyPath clientPath = subkeyPath(path, node.text);
    OpenKey key;
    OpenKey subkey;
    std::uint32_t disposition = 0;
    std::int32_t rc = platform::regCreateKeyEx(platform::registryLocalMachine(), path.text,
                                               platform::kKeyAllAccess | view, &key.key, &disposition);
    const KeyPath* failedPath = &path;
    if (rc == 0) {
        disposition = 0;
        failedPath = &clientPath;
        rc = platform::regCreateKeyEx(key.key, node.text, platform::kKeyAllAccess | view, &subkey.key, &disposition);
    }
    if (rc != 0) {
        logRegistry(kWriteTag, rc, "%s key=[%s] for client node=[%s]", dispositionWord(disposition), failedPath->text,
                    node.text);
        ZENTO_SERVER_LDBLK(kFacilityStore, snfcode::kRegCreateFailed, status);
        return 0;
    }
    struct Change {
        const char* name;
        std::int32_t value;
        std::int32_t old;
        std::int32_t code;
    };
    for (const Change& change : {Change{"MaxSize", maxSize, oldSize, snfcode::kRegSetSizeFailed},
                                 Change{"MaxPeriod", maxPeriod, oldPeriod, snfcode::kRegSetPeriodFailed}}) {
        if (change.value == change.old) continue;
        rc = setDword(subkey.key, change.name, change.value);
        if (rc != 0) {
            logRegistry(kWriteTag, rc, "%s value=[%s\\%s] = [%d] Old=[%d] for client node=[%s]",
                        dispositionWord(disposition), clientPath.text, change.name, change.value, change.old, node.text);
            ZENTO_SERVER_LDBLK(kFacilityStore, change.code, status);
            return 0;
        }
        logRegistry(kWriteTag, 0, "%s key value=[%s\\%s] = [%d] Old=[%d] for client node=[%s]",
                    dispositionWord(disposition), clientPath.text, change.name, change.value, change.old, node.text);
    }
    return 1;
}

SnfCfgLookup::~SnfCfgLookup() {
    if (key != nullptr) platform::regCloseKey(key);
}

void readSnfClientSubkeys(SnfCfgLookup& lookup) {
    lookup.subkeysRead = true;
    StatusBlock status;
    const AddressRecord* dlgp = GetDlgpAddress(status);
    if (statusFailed(status)) return;
    const std::uint32_t view = GetZentoRegSamViewFlag();
    const KeyPath path = configKeyPath(*dlgp);
    std::int32_t rc = platform::regOpenKeyEx(platform::registryLocalMachine(), path.text, platform::kKeyRead | view,
                                             &lookup.key);
    // A service without a key has no client subkeys, and no failure.
    if (rc != 0) {
        lookup.subkeysUsable = rc == kErrorFileNotFound;
        return;
    }
    std::uint32_t count = 0;
    rc = platform::regQuerySubkeyCount(lookup.key, &count);
    if (rc != 0) {
        lookup.subkeysUsable = rc == kErrorFileNotFound;
        return;
    }
    char name[kEnumNameSize];
    for (std::uint32_t index = 0; index < count; ++index) {
        std::uint32_t length = sizeof name;
        if (platform::regEnumKeyEx(lookup.key, index, name, &length) != 0) return;
        lookup.subkeys.emplace(foldedSnfName(name), name);
    }
    lookup.subkeysUsable = true;
}

bool readSnfClientValues(const SnfCfgLookup& lookup, const std::string& name, SnfCfgValues& values) {
    values = {kSnfNoValue, kSnfNoValue};
    OpenKey subkey;
    std::int32_t rc =
        platform::regOpenKeyEx(lookup.key, name.c_str(), platform::kKeyRead | GetZentoRegSamViewFlag(), &subkey.key);
    if (rc != 0) return rc == kErrorFileNotFound;
    // A missing MaxSize leaves MaxPeriod unread, as ReadRegSnfCfg leaves it.
    rc = queryDword(subkey.key, "MaxSize", values.maxSize);
    if (rc != 0) return rc == kErrorFileNotFound;
    rc = queryDword(subkey.key, "MaxPeriod", values.maxPeriod);
    return rc == 0 || rc == kErrorFileNotFound;
}
