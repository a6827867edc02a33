#include "snf/snf_config.h"

#include <strings.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "msglib/coding.h"
#include "msglib/msglib.h"
#include "snf/file_removal.h"
#include "snf/snf_cfg_lookup.h"
#include "snf/snf_codes.h"
#include "snf/snf_state.h"
#include "snf/snf_text.h"
#include "storefile/file_handle.h"

SnfCfgState& snfCfgState() {
    static SnfCfgState state;
    return state;
}

NameText nameText(const char (&field)[32]) {
    NameText name{};
    std::memcpy(name.text, field, sizeof field);
    name.text[32] = '\0';
    return name;
}

bool sameNode(const AddressRecord& a, const AddressRecord& b) {
    return ::strncasecmp(a.node, b.node, sizeof a.node) == 0;
}

void resetSnfCfgState() { snfCfgState() = SnfCfgState{}; }

namespace {

// Every line of the configuration routines goes to the kernel debug log
// under the service's name, with no Windows error.
__attribute__((format(printf, 1, 2))) void logCfg(const char* format, ...) {
    char text[kSnfLineSize];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    LogWinError(nameText(snfCfgState().dlgp.service).text, text, 0);
}

bool dlgpMissing(const AddressRecord& dlgp) { return dlgp.node[0] == '\0' || dlgp.service[0] == '\0'; }

void cacheClient(const AddressRecord& client) {
    SnfCfgState& state = snfCfgState();
    std::memcpy(&state.cachedClient, &client, sizeof client);
    state.cacheInvalid = false;
}

// The values the section of this service in the deprecated configuration file
// gives, read into the current values. Stops at the next section, at a line
// whose key is empty or unknown (13114), at a bracket without its end, and
// at the end of the file.
void readCfgSection(std::int32_t handle, std::string_view service, StatusBlock& status) {
    SnfCfgState& state = snfCfgState();
    bool inSection = false;
    char line[kCfgLineCapacity + 1];
    for (bool atEnd = false; !atEnd;) {
        StatusBlock readStatus;
        atEnd = ReadCfgLine(handle, line, kCfgLineCapacity, readStatus) == 1;
        line[kCfgLineCapacity - 1] = '\0';  // only the first 255 characters count
        const std::string_view text(line);
        if (text.empty()) continue;
        if (text.front() == '[') {
            if (inSection) return;
            const std::size_t close = text.find(']');
            if (close == std::string_view::npos) return;
            const std::string_view section = text.substr(1, close - 1);
            inSection = section.substr(0, 32) == service.substr(0, 32);
            continue;
        }
        if (!inSection) continue;
        // A line without '=' is all key and has no value: max_size and
        // max_period lines of that form leave their value as it is.
        const std::size_t equals = text.find('=');
        const std::string_view key = text.substr(0, equals);
        if (key.empty()) return;
        const bool hasValue = equals != std::string_view::npos;
        std::string_view value = hasValue ? text.substr(equals + 1) : std::string_view();
        while (!value.empty() && value.front() == ' ') value.remove_prefix(1);
        if (key == "max_period") {
            if (!hasValue) continue;
            StatusBlock periodStatus;
            state.maxPeriod = ParseCfgPeriod(value.data(), periodStatus);  // value runs to the line's NUL
        } else if (key == "max_size") {
            if (hasValue) state.maxSize = parseDecimal(value);
        } else {
            ZENTO_SERVER_LDBLK(kFacilityStore, snfcode::kUnknownKey, status);
            return;
        }
    }
}

// The registry's values win; the file's stand in for the missing ones, which
// the registry then gets.
void migrateCfgFile(const AddressRecord& client, const char* fileName, bool registryRead, std::int32_t regSize,
                    std::int32_t regPeriod, StatusBlock& status) {
    SnfCfgState& state = snfCfgState();
    const NameText nodeName = nameText(client.node);
    const char* node = nodeName.text;
    if (registryRead && regSize != kSnfNoValue && regPeriod != kSnfNoValue) {
        state.maxSize = regSize;
        state.maxPeriod = regPeriod;
        logCfg("Warning: store file configuration %s deprecated, assumed registry values for requesting "
               "node=[%s]. MaxSize=[%d], MaxPeriod=[%d]",
               fileName, node, state.maxSize, state.maxPeriod);
    } else {
        if (regSize != kSnfNoValue) {
            logCfg("Warning: Overriding Store file configuration value in file [%s], MaxSize=[%d] with registry "
                   "value=[%d] for requesting node=[%s]",
                   fileName, state.maxSize, regSize, node);
            state.maxSize = regSize;
        } else {
            logCfg("Warning: Converting Store file configuration value in file [%s], MaxSize=[%d] to a registry "
                   "value for requesting node=[%s]",
                   fileName, state.maxSize, node);
        }
        if (regPeriod != kSnfNoValue) {
            logCfg("Warning: Overriding Store file configuration value in file [%s], MaxPeriod=[%d] with registry "
                   "value=[%d] for requesting node=[%s]",
                   fileName, state.maxPeriod, regPeriod, node);
            state.maxPeriod = regPeriod;
        } else {
            logCfg("Warning: Converting Store file configuration value in file [%s], MaxPeriod=[%d] to a registry "
                   "value for requesting node=[%s]",
                   fileName, state.maxPeriod, node);
        }
        WriteRegSnfCfg(client, state.maxSize, state.maxPeriod, status);
    }
    removeSnfFile(fileName, kSnfConfigFile, &status);
    logCfg("Store file configuration %s has been removed, assumed registry values. MaxSize=[%d], MaxPeriod=[%d] "
           "for requesting node=[%s]",
           fileName, state.maxSize, state.maxPeriod, node);
}

// Without a file: the registry's values, else the current ones, which the
// registry then gets.
void loadWithoutFile(const AddressRecord& client, const char* fileName, bool registryRead, std::int32_t regSize,
                     std::int32_t regPeriod, StatusBlock& status) {
    SnfCfgState& state = snfCfgState();
    if (registryRead && regSize != kSnfNoValue && regPeriod != kSnfNoValue) {
        state.maxSize = regSize;
        state.maxPeriod = regPeriod;
        return;
    }
    const NameText nodeName = nameText(client.node);
    const char* node = nodeName.text;
    if (regSize != kSnfNoValue) {
        state.maxSize = regSize;
        logCfg("Warning: No store file configuration file=[%s] assumed registry value for MaxSize=[%d] for "
               "requesting node=[%s]",
               fileName, state.maxSize, node);
    } else {
        logCfg("Warning: No store file configuration file=[%s] or registry value for MaxSize, assumming program "
               "default=[%d] for requesting node = [%s]",
               fileName, state.maxSize, node);
    }
    if (regPeriod != kSnfNoValue) {
        state.maxPeriod = regPeriod;
        logCfg("Warning: No store file configuration file=[%s] assumed registry value for MaxPeriod = [%d] for "
               "requesting node=[%s]",
               fileName, state.maxPeriod, node);
    } else {
        logCfg("Warning: No store file configuration file=[%s] or registry value for MaxPeriod, assumming program "
               "default=[%d] for requesting node=[%s]",
               fileName, state.maxPeriod, node);
    }
    WriteRegSnfCfg(client, state.maxSize, state.maxPeriod, status);
}

bool statusHas(const StatusBlock& status, std::int32_t code) {
    const int count = statusEntryCount(status);
    for (int i = 0; i < count; ++i) {
        if (status.error[i] == code) return true;
    }
    return false;
}

}  // namespace

AddressRecord* GetDlgpAddress(StatusBlock& status) {
    ZENTO_SERVER_INITBLK(status);
    AddressRecord& dlgp = snfCfgState().dlgp;
    if (dlgpMissing(dlgp)) ZENTO_SERVER_LDBLK(kFacilityStore, snfcode::kDlgpIncomplete, status);
    return &dlgp;
}

void SetDlgpAddress(const AddressRecord* address) {
    if (address != nullptr) std::memcpy(&snfCfgState().dlgp, address, sizeof *address);
}

void SetStoreDirectory(const char* directory) {
    char* store = snfCfgState().storeDirectory;
    std::memset(store, 0, kStoreDirectorySize);
    if (directory != nullptr) std::strncpy(store, directory, kStoreDirectorySize - 1);
}

void GetStoreDirectory(std::span<char, kStoreDirectorySize> directory) {
    std::memcpy(directory.data(), snfCfgState().storeDirectory, kStoreDirectorySize);
}

std::int32_t GetSnfRequestWord() { return snfCfgState().requestWord; }

void UpdateSnfCfg(SnfRequest body, const AddressRecord& client, StatusBlock& status) {
    ZENTO_SERVER_INITBLK(status);
    LoadSnfCfg(client, status);
    if (statusFailed(status)) {
        ZENTO_SERVER_LDBLK(kFacilityStore, snfcode::kUpdateLoadFailed, status);
        return;
    }
    ApplySnfCfgRequest(body, client, status);
    if (statusFailed(status)) {
        ZENTO_SERVER_LDBLK(kFacilityStore, snfcode::kUpdateApplyFailed, status);
        return;
    }
    SaveSnfCfg(client, status);
    if (statusFailed(status)) ZENTO_SERVER_LDBLK(kFacilityStore, snfcode::kUpdateSaveFailed, status);
}

void ApplySnfCfgRequest(SnfRequest body, const AddressRecord& client, StatusBlock& status) {
    ZENTO_SERVER_INITBLK(status);
    SnfCfgState& state = snfCfgState();
    state.requestWord = decodeI32(body.data() + 4);
    state.maxSize = decodeI32(body.data() + 8);
    state.maxPeriod = decodeI32(body.data() + 12);
    cacheClient(client);
}

void LoadSnfCfg(const AddressRecord& client, StatusBlock& status) {
    ZENTO_SERVER_INITBLK(status);
    SnfCfgState& state = snfCfgState();
    bool registryRead = false;
    std::int32_t regSize = kSnfNoValue;
    std::int32_t regPeriod = kSnfNoValue;
    std::int32_t handle = -1;
    const AddressRecord* dlgp = GetDlgpAddress(status);
    if (statusFailed(status)) {
        ZENTO_SERVER_LDBLK(kFacilityStore, snfcode::kNoDlgp, status);
    } else {
        registryRead = ReadRegSnfCfg(client, regSize, regPeriod, status) == 1;
        ZENTO_SERVER_INITBLK(status);
        if (!state.cfgFileAbsent) {
            handle = zento_s_file_open(SnfCfgFileName(*dlgp), kOpenText, status);
            if (statusHas(status, snfcode::kFileMissing)) {
                state.cfgFileAbsent = true;
                ZENTO_SERVER_INITBLK(status);
            } else if (statusFailed(status)) {
                ZENTO_SERVER_LDBLK(kFacilityStore, snfcode::kLoadOpenFailed, status);
            }
        }
    }
    // The name is built once the file is closed; the builder's buffer is
    // reused by nothing in between.
    if (handle >= 0) {
        readCfgSection(handle, nameText(dlgp->service).text, status);
        StatusBlock closeStatus;
        closeStoreFileHandle(handle, closeStatus);
        if (statusFailed(closeStatus)) ZENTO_SERVER_LDBLK(kFacilityStore, snfcode::kLoadCloseFailed, status);
        migrateCfgFile(client, SnfCfgFileName(*dlgp), registryRead, regSize, regPeriod, status);
    } else {
        loadWithoutFile(client, SnfCfgFileName(*dlgp), registryRead, regSize, regPeriod, status);
    }
    // The current values are now this client's: a getter for another client
    // must not take them for its own.
    cacheClient(client);
}

void SaveSnfCfg(const AddressRecord& client, StatusBlock& status) {
    ZENTO_SERVER_INITBLK(status);
    SnfCfgState& state = snfCfgState();
    const AddressRecord* dlgp = GetDlgpAddress(status);
    if (statusFailed(status)) {
        ZENTO_SERVER_LDBLK(kFacilityStore, snfcode::kSaveNoDlgp, status);
    } else {
        const char* fileName = SnfCfgFileName(*dlgp);
        StatusBlock openStatus;
        const std::int32_t handle = zento_s_file_open(fileName, kOpenText, openStatus);
        if (handle >= 0) {
            StatusBlock closeStatus;
            closeStoreFileHandle(handle, closeStatus);
            if (statusFailed(closeStatus)) ZENTO_SERVER_LDBLK(kFacilityStore, snfcode::kSaveCloseFailed, status);
            removeSnfFile(fileName, kSnfConfigFile, &status);
            logCfg("Store file configuration %s file has been removed during a save, new values will be saved to "
                   "registry. MaxSize=[%d], MaxPeriod=[%d]",
                   fileName, state.maxSize, state.maxPeriod);
        }
    }
    WriteRegSnfCfg(client, state.maxSize, state.maxPeriod, status);
}

namespace {

void refreshCache(const AddressRecord& client) {
    SnfCfgState& state = snfCfgState();
    if (!state.cacheInvalid && sameNode(state.cachedClient, client)) return;
    StatusBlock own;
    ReadRegSnfCfg(client, state.maxSize, state.maxPeriod, own);
    cacheClient(client);
}

}  // namespace

std::int32_t GetSnfMaxSize(const AddressRecord& client) {
    refreshCache(client);
    return snfCfgState().maxSize;
}

std::int32_t GetSnfMaxPeriod(const AddressRecord& client) {
    refreshCache(client);
    return snfCfgState().maxPeriod;
}

std::string foldedSnfName(const char* name) {
    std::string folded(name);
    for (char& c : folded) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return folded;
}

namespace {

// What ReadRegSnfCfg gives for the node of destination, from what lookup
// holds or has to read.
SnfCfgValues registryValues(SnfCfgLookup& lookup, const AddressRecord& destination) {
    SnfCfgValues values{kSnfNoValue, kSnfNoValue};
    const std::string node = foldedSnfName(nameText(destination.node).text);
    const auto subkey = lookup.subkeys.find(node);
    if (lookup.subkeysUsable && subkey == lookup.subkeys.end()) return values;  // no subkey, no failure
    if (const auto known = lookup.known.find(node); known != lookup.known.end()) return known->second;
    if (lookup.subkeysUsable && readSnfClientValues(lookup, subkey->second, values)) {
        lookup.known.emplace(node, values);
        return values;
    }
    StatusBlock own;
    if (ReadRegSnfCfg(destination, values.maxSize, values.maxPeriod, own) == 1) lookup.known.emplace(node, values);
    return values;
}

}  // namespace

SnfCfgValues lookUpSnfCfg(SnfCfgLookup& lookup, const AddressRecord& destination) {
    SnfCfgState& state = snfCfgState();
    if (!state.cacheInvalid && sameNode(state.cachedClient, destination)) return {state.maxSize, state.maxPeriod};
    if (!lookup.subkeysRead) readSnfClientSubkeys(lookup);
    const bool noSubkeys = lookup.subkeysUsable && lookup.subkeys.empty();
    const SnfCfgValues values = noSubkeys ? SnfCfgValues{kSnfNoValue, kSnfNoValue} : registryValues(lookup, destination);
    state.maxSize = values.maxSize;
    state.maxPeriod = values.maxPeriod;
    cacheClient(destination);
    return values;
}
