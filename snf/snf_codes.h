#pragma once
// The codes (facility 13, kFacilityStore) of the store-and-forward support
// routines: store file configuration, allocation, file removal. A routine
// loads the cause's entry first, then its own code.
#include <cstdint>

namespace snfcode {
// Store file configuration.
constexpr std::int32_t kUpdateLoadFailed = 13100;   // UpdateSnfCfg: loading left an error
constexpr std::int32_t kUpdateApplyFailed = 13102;  // UpdateSnfCfg: applying the request left an error
constexpr std::int32_t kUpdateSaveFailed = 13103;   // UpdateSnfCfg: saving left an error
constexpr std::int32_t kSaveNoDlgp = 13105;         // SaveSnfCfg: DLGP address not set
constexpr std::int32_t kSaveCloseFailed = 13110;    // SaveSnfCfg: closing the configuration file failed
constexpr std::int32_t kLoadCloseFailed = 13111;    // LoadSnfCfg: closing the configuration file failed
constexpr std::int32_t kLoadOpenFailed = 13112;     // LoadSnfCfg: opening the configuration file failed, not for its absence
constexpr std::int32_t kNoDlgp = 13113;             // LoadSnfCfg, ReadRegSnfCfg, WriteRegSnfCfg: DLGP address not set
constexpr std::int32_t kUnknownKey = 13114;         // LoadSnfCfg: unknown key in the configuration section
constexpr std::int32_t kPeriodEmpty = 13115;        // ParseCfgPeriod: the period is empty
constexpr std::int32_t kPeriodNoMinutes = 13116;    // ParseCfgPeriod: nothing follows the first field
constexpr std::int32_t kDlgpIncomplete = 13117;     // GetDlgpAddress: node or service name empty
constexpr std::int32_t kRegOpenFailed = 13611;      // ReadRegSnfCfg: opening the key or counting its subkeys failed
constexpr std::int32_t kRegQuerySizeFailed = 13612; // ReadRegSnfCfg: querying MaxSize failed
constexpr std::int32_t kRegQueryPeriodFailed = 13613; // ReadRegSnfCfg: querying MaxPeriod failed
constexpr std::int32_t kRegCreateFailed = 13614;    // WriteRegSnfCfg: creating or opening the key or subkey failed
constexpr std::int32_t kRegSetSizeFailed = 13615;   // WriteRegSnfCfg: setting MaxSize failed
constexpr std::int32_t kRegSetPeriodFailed = 13616; // WriteRegSnfCfg: setting MaxPeriod failed

// Store file allocation.
constexpr std::int32_t kInitHeaderWriteFailed = 13305; // initializeStoreFile: the header write failed
constexpr std::int32_t kInitLockFailed = 13317;     // initializeStoreFile: locking the header area failed
constexpr std::int32_t kInitCloseFailed = 13319;    // initializeStoreFile: closing the file failed

// Reported to these routines by the store file primitives.
constexpr std::int32_t kFileMissing = 13161;        // zento_s_file_open: the file does not exist

// File removal.
constexpr std::int32_t kRemoveFailed = 13157;       // removeSnfFile: the file could not be deleted (and still exists)
}  // namespace snfcode
