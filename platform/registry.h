#pragma once
// The registry under HKEY_LOCAL_MACHINE (RegOpenKeyExA, RegCreateKeyExA,
// RegQueryInfoKeyA, RegEnumKeyExA, RegQueryValueExA, RegSetValueExA,
// RegCloseKey), with Windows results: 0 for success, else a Windows error
// number (platform/windows_errors.h). A key or value that does not exist
// gives ERROR_FILE_NOT_FOUND (2), and nothing else does.
//
// Over POSIX the registry is one SQLite database shared by every process of
// the system: ZENTO_REGISTRY names the file, by default
// $ZENTO_HOME/registry.db, created when missing. Key paths use `\` between
// names; key and value names are compared without regard to letter case and
// kept as first written. Several processes may read and write at once: the
// database runs in WAL mode, waits up to the busy timeout for another
// writer, and each write is one transaction. A database that cannot be
// opened, is corrupt, read-only or locked beyond the busy timeout fails the
// call with a number other than 2, and registryFailureReason() tells why.
#include <cstdint>
#include <string>
#include <vector>

namespace platform {

struct RegistryKey;
using RegKey = RegistryKey*;

// HKEY_LOCAL_MACHINE: the parent of every path; closing it does nothing.
RegKey registryLocalMachine();
// The view bits that make a 32-bit process on 64-bit Windows see the
// machine's own keys (KEY_WOW64_64KEY) rather than their 32-bit copies; 0
// where there is one view.
std::uint32_t registryMachineView();

// Access rights (REGSAM). A key refuses the calls its rights do not cover.
constexpr std::uint32_t kKeyQueryValue = 0x0001;
constexpr std::uint32_t kKeySetValue = 0x0002;
constexpr std::uint32_t kKeyCreateSubKey = 0x0004;
constexpr std::uint32_t kKeyEnumerateSubKeys = 0x0008;
constexpr std::uint32_t kKeyRead = 0x20019;       // 131097
constexpr std::uint32_t kKeyAllAccess = 0xF003F;  // 983103

// Value types.
constexpr std::uint32_t kRegSz = 1;
constexpr std::uint32_t kRegBinary = 3;
constexpr std::uint32_t kRegDword = 4;

// Dispositions of regCreateKeyEx.
constexpr std::uint32_t kRegCreatedNewKey = 1;
constexpr std::uint32_t kRegOpenedExistingKey = 2;

// Key names are at most this long (RegEnumKeyExA's limit).
constexpr std::uint32_t kMaxKeyNameLength = 255;

std::int32_t regOpenKeyEx(RegKey parent, const char* subKey, std::uint32_t access, RegKey* result);
// Creates every missing key of the path; disposition tells whether the last
// one was created. Non-volatile, no class.
std::int32_t regCreateKeyEx(RegKey parent, const char* subKey, std::uint32_t access, RegKey* result,
                            std::uint32_t* disposition);
// RegQueryInfoKeyA's count of subkeys.
std::int32_t regQuerySubkeyCount(RegKey key, std::uint32_t* count);
// The name of the index-th subkey in the registry's order (case-insensitive
// alphabetical). nameLength: the buffer's size in, the name's length out
// (without its NUL). ERROR_MORE_DATA when it does not fit, ERROR_NO_MORE_ITEMS
// past the last one. Enumeration reads the subkeys once, at index 0.
std::int32_t regEnumKeyEx(RegKey key, std::uint32_t index, char* name, std::uint32_t* nameLength);
// type and data may be null; dataLength: the buffer's size in, the value's
// size out (ERROR_MORE_DATA when it does not fit).
std::int32_t regQueryValueEx(RegKey key, const char* valueName, std::uint32_t* type, void* data,
                             std::uint32_t* dataLength);
std::int32_t regSetValueEx(RegKey key, const char* valueName, std::uint32_t type, const void* data,
                           std::uint32_t dataLength);
std::int32_t regCloseKey(RegKey key);

// Beyond the calls of the tasks, for the operator's tool.
struct RegistryValue {
    std::string name;
    std::uint32_t type = 0;
    std::vector<std::uint8_t> data;
};
std::int32_t regListValues(RegKey key, std::vector<RegistryValue>& values);
std::int32_t regDeleteValue(RegKey key, const char* valueName);
// The key at subKey and everything below it.
std::int32_t regDeleteTree(RegKey parent, const char* subKey);

// The database file the registry uses now.
std::string registryDatabasePath();
// Why the last failing call of this thread failed (a call that found nothing
// leaves no reason); empty when none did.
std::string registryFailureReason();
// How many registry calls this process made, to show what a cache saves.
std::uint64_t registryCallCount();
// How long a call waits for another process's write; 5000 ms unless a test
// sets less.
void setRegistryBusyTimeout(int milliseconds);

}  // namespace platform
