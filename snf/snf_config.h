#pragma once
// Store file configuration: each client node's MaxSize (megabytes) and
// MaxPeriod (seconds) in the registry under
// "Software\Norvane\ZEN-TO\ZENTO_SCANNER_<service>_CFG\<client node>", the
// one-time migration of the deprecated configuration file, configuration
// requests, the cached getters; the process's DLGP address, the store
// directory and the names of every store-and-forward file.
//
// Process-wide state without locks: the routines are called from one thread
// at a time.
#include <cstddef>
#include <cstdint>
#include <span>

#include "msglib/records.h"
#include "msglib/status_block.h"

constexpr std::int32_t kSnfNoValue = -1;  // MaxSize or MaxPeriod not in the registry
constexpr std::int32_t kSnfDefaultMaxSize = 0;
constexpr std::int32_t kSnfDefaultMaxPeriod = 86400;
constexpr std::size_t kSnfRequestSize = 16;  // four little-endian words: unread, request word, MaxSize, MaxPeriod
constexpr std::size_t kStoreDirectorySize = 1024;
constexpr std::size_t kSnfFileNameSize = 1024;
constexpr std::int32_t kCfgLineCapacity = 256;

using SnfRequest = std::span<const std::uint8_t, kSnfRequestSize>;

// Configuration requests and the current values.
void UpdateSnfCfg(SnfRequest body, const AddressRecord& client, StatusBlock& status);
void LoadSnfCfg(const AddressRecord& client, StatusBlock& status);
void ApplySnfCfgRequest(SnfRequest body, const AddressRecord& client, StatusBlock& status);
void SaveSnfCfg(const AddressRecord& client, StatusBlock& status);
std::int32_t GetSnfMaxSize(const AddressRecord& client);
std::int32_t GetSnfMaxPeriod(const AddressRecord& client);
// The request word of the last configuration request (1 before any).
std::int32_t GetSnfRequestWord();

// The registry. Results: 1 success, 0 failure.
std::int32_t ReadRegSnfCfg(const AddressRecord& client, std::int32_t& maxSize, std::int32_t& maxPeriod,
                           StatusBlock& status);
std::int32_t WriteRegSnfCfg(const AddressRecord& client, std::int32_t maxSize, std::int32_t maxPeriod,
                            StatusBlock& status);

// The DLGP address this task serves; 13117 when its node or service is empty.
AddressRecord* GetDlgpAddress(StatusBlock& status);
void SetDlgpAddress(const AddressRecord* address);

// Cut to 1023 characters. Empty: the store files go to the client
// environment directory.
void SetStoreDirectory(const char* directory);
void GetStoreDirectory(std::span<char, kStoreDirectorySize> directory);

// File names, each in a buffer of its builder's own, valid until that
// builder's next call.
const char* SnfCfgFileName(const AddressRecord& address);     // <client dir>ZENTO_SCANNER_<service>.CFG
const char* ScanListFileName(const AddressRecord& address);   // <client dir>ZENTO_SCAN_LIST.<service>
const char* UnsolListFileName(const AddressRecord& address);  // <client dir>ZENTO_UNSOL_LIST.<service>
const char* StoreListFileName(const AddressRecord& address);  // <client dir>ZENTO_STORE_LIST.<service>
// <store dir>/ZENTO_STORE_<node, dots as '_'>.<service>, of a destination.
const char* StoreFileName(const AddressRecord& destination);
// The client environment directory (ending in '/').
const char* ClientEnvironmentDirectory();

// The directory part of StoreFileName, looked up once for the names of many
// destinations (without a store directory, each look-up asks for the client
// environment, which makes sure its directory exists).
struct StoreFileDirectory {
    char text[kStoreDirectorySize + 1];
    std::size_t length;
};
StoreFileDirectory storeFileDirectory();
// StoreFileName's name of destination in that directory, the rest of out
// zero-filled.
void storeFileNameInto(const StoreFileDirectory& directory, const AddressRecord& destination,
                       std::span<char, kSnfFileNameSize> out);

// The deprecated configuration file. ReadCfgLine reads one line of at most
// capacity bytes into buffer (capacity + 1 bytes, NUL-terminated), without
// its line end; 1 at the end of the file (the line read with it still
// counts), else 0. ParseCfgPeriod reads "h:m:s" as seconds.
std::int32_t ReadCfgLine(std::int32_t handle, char* buffer, std::int32_t capacity, StatusBlock& status);
std::int32_t ParseCfgPeriod(const char* text, StatusBlock& status);

// Back to the state of a fresh process, for tests and benchmarks.
void resetSnfCfgState();
