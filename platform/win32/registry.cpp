// The registry on Windows: the calls themselves, under HKEY_LOCAL_MACHINE.
// The results are the system's; a RegKey is the HKEY.
//
// A 32-bit process on 64-bit Windows sees a copy of HKEY_LOCAL_MACHINE\Software
// of its own unless it asks for the machine's view. Every key opened here is
// opened in the machine's view, whether or not the caller ORs in the view
// bits (GetZentoRegSamViewFlag), so that the operator's tool and the tasks
// never look at two different registries.
#include "platform/registry.h"

#include <atomic>
#include <new>

#include "platform/win32/windows_api.h"
#include "platform/windows_errors.h"

namespace platform {

namespace {

std::atomic<std::uint64_t> gCallCount{0};

HKEY hkey(RegKey key) { return reinterpret_cast<HKEY>(key); }
RegKey regKey(HKEY key) { return reinterpret_cast<RegKey>(key); }

void count() { gCallCount.fetch_add(1, std::memory_order_relaxed); }

// A caller that names the 32-bit view gets it.
REGSAM inMachineView(std::uint32_t access) {
    return (access & KEY_WOW64_32KEY) != 0 ? access : access | KEY_WOW64_64KEY;
}

}  // namespace

RegKey registryLocalMachine() { return regKey(HKEY_LOCAL_MACHINE); }

std::uint32_t registryMachineView() { return KEY_WOW64_64KEY; }

std::int32_t regOpenKeyEx(RegKey parent, const char* subKey, std::uint32_t access, RegKey* result) {
    count();
    if (result == nullptr) return kErrorInvalidParameter;
    HKEY opened = nullptr;
    const LONG rc = RegOpenKeyExA(hkey(parent), subKey, 0, inMachineView(access), &opened);
    *result = rc == ERROR_SUCCESS ? regKey(opened) : nullptr;
    return rc;
}

std::int32_t regCreateKeyEx(RegKey parent, const char* subKey, std::uint32_t access, RegKey* result,
                            std::uint32_t* disposition) {
    count();
    if (result == nullptr) return kErrorInvalidParameter;
    HKEY created = nullptr;
    DWORD how = 0;
    const LONG rc = RegCreateKeyExA(hkey(parent), subKey, 0, nullptr, REG_OPTION_NON_VOLATILE, inMachineView(access),
                                    nullptr, &created, &how);
    *result = rc == ERROR_SUCCESS ? regKey(created) : nullptr;
    if (rc == ERROR_SUCCESS && disposition != nullptr) *disposition = how;
    return rc;
}

std::int32_t regQuerySubkeyCount(RegKey key, std::uint32_t* count) {
    platform::count();
    DWORD subkeys = 0;
    const LONG rc = RegQueryInfoKeyA(hkey(key), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, nullptr,
                                     nullptr, nullptr, nullptr, nullptr);
    if (rc == ERROR_SUCCESS && count != nullptr) *count = subkeys;
    return rc;
}

std::int32_t regEnumKeyEx(RegKey key, std::uint32_t index, char* name, std::uint32_t* nameLength) {
    count();
    if (name == nullptr || nameLength == nullptr) return kErrorInvalidParameter;
    DWORD length = *nameLength;
    const LONG rc = RegEnumKeyExA(hkey(key), index, name, &length, nullptr, nullptr, nullptr, nullptr);
    if (rc == ERROR_SUCCESS) *nameLength = length;
    return rc;
}

std::int32_t regQueryValueEx(RegKey key, const char* valueName, std::uint32_t* type, void* data,
                             std::uint32_t* dataLength) {
    count();
    if (data != nullptr && dataLength == nullptr) return kErrorInvalidParameter;
    DWORD valueType = 0;
    DWORD length = dataLength != nullptr ? *dataLength : 0;
    const LONG rc = RegQueryValueExA(hkey(key), valueName, nullptr, &valueType, static_cast<BYTE*>(data),
                                     dataLength != nullptr ? &length : nullptr);
    if (rc == ERROR_SUCCESS || rc == ERROR_MORE_DATA) {
        if (type != nullptr) *type = valueType;
        if (dataLength != nullptr) *dataLength = length;
    }
    return rc;
}

std::int32_t regSetValueEx(RegKey key, const char* valueName, std::uint32_t type, const void* data,
                           std::uint32_t dataLength) {
    count();
    if (data == nullptr && dataLength != 0) return kErrorInvalidParameter;
    return RegSetValueExA(hkey(key), valueName, 0, type, static_cast<const BYTE*>(data), dataLength);
}

std::int32_t regCloseKey(RegKey key) {
    count();
    if (key == nullptr) return kErrorInvalidHandle;
    if (key == registryLocalMachine()) return kErrorSuccess;
    return RegCloseKey(hkey(key));
}

std::int32_t regListValues(RegKey key, std::vector<RegistryValue>& values) {
    count();
    try {
        values.clear();
        DWORD longestName = 0;
        DWORD longestData = 0;
        LONG rc = RegQueryInfoKeyA(hkey(key), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                   &longestName, &longestData, nullptr, nullptr);
        if (rc != ERROR_SUCCESS) return rc;
        std::string name(longestName + 1, '\0');
        std::vector<std::uint8_t> data(longestData);
        for (DWORD index = 0;; ++index) {
            DWORD nameLength = static_cast<DWORD>(name.size());
            DWORD dataLength = static_cast<DWORD>(data.size());
            DWORD type = 0;
            rc = RegEnumValueA(hkey(key), index, name.data(), &nameLength, nullptr, &type,
                               data.empty() ? nullptr : data.data(), &dataLength);
            if (rc == ERROR_NO_MORE_ITEMS) return kErrorSuccess;
            if (rc != ERROR_SUCCESS) return rc;
            values.push_back({name.substr(0, nameLength), type,
                              std::vector<std::uint8_t>(data.begin(), data.begin() + dataLength)});
        }
    } catch (const std::bad_alloc&) {
        return kErrorNotEnoughMemory;
    }
}

std::int32_t regDeleteValue(RegKey key, const char* valueName) {
    count();
    return RegDeleteValueA(hkey(key), valueName);
}

std::int32_t regDeleteTree(RegKey parent, const char* subKey) {
    count();
    if (subKey == nullptr || *subKey == '\0') return kErrorAccessDenied;
    HKEY tree = nullptr;
    LONG rc = RegOpenKeyExA(hkey(parent), subKey, 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY, &tree);
    if (rc != ERROR_SUCCESS) return rc;
    rc = RegDeleteTreeA(tree, nullptr);
    RegCloseKey(tree);
    if (rc != ERROR_SUCCESS) return rc;
    return RegDeleteKeyExA(hkey(parent), subKey, KEY_WOW64_64KEY, 0);
}

std::string registryDatabasePath() { return "HKEY_LOCAL_MACHINE"; }

// The system's error numbers say why; there is nothing to add to them.
std::string registryFailureReason() { return {}; }

std::uint64_t registryCallCount() { return gCallCount.load(std::memory_order_relaxed); }

// The system's registry has no busy time-out.
void setRegistryBusyTimeout(int /*milliseconds*/) {}

}  // namespace platform
