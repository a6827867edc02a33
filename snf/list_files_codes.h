#pragma once
// The codes of the list files (facility 13, kFacilityStore). A routine loads
// the cause's entries first (the file primitives', or the library's), then
// its own code.
#include <cstdint>

namespace listcode {
// Entries of the unsol list.
constexpr std::int32_t kNoSuchEntry = 13005;         // removeUnsolEntry: no entry of that list id and client

// Saving the scan and unsol lists.
constexpr std::int32_t kSaveNullName = 13010;
constexpr std::int32_t kSaveEmptyName = 13011;
constexpr std::int32_t kSaveOpenFailed = 13012;
constexpr std::int32_t kSaveHeaderFailed = 13013;
constexpr std::int32_t kSaveEntryFailed = 13014;
constexpr std::int32_t kSaveRequestFailed = 13015;   // scan list: an entry's request
constexpr std::int32_t kSaveCloseFailed = 13016;     // also: the new file could not be synced or put in place
constexpr std::int32_t kSaveRemoveFailed = 13017;    // every kind: the file of an empty list stays
constexpr std::int32_t kSaveTagsFailed = 13603;      // scan list: an entry's tag record
constexpr std::int32_t kSaveDeadbandsFailed = 13604; // scan list: an entry's deadbands

// Loading the scan list.
constexpr std::int32_t kScanLoadNullName = 13019;
constexpr std::int32_t kScanLoadEmptyName = 13020;
constexpr std::int32_t kScanLoadOpenFailed = 13021;
constexpr std::int32_t kScanLoadHeaderFailed = 13022; // also: more entries than the table has slots
constexpr std::int32_t kScanLoadEntryFailed = 13023;
constexpr std::int32_t kScanLoadNoMemory = 13024;
constexpr std::int32_t kScanLoadRequestFailed = 13025; // also: a request longer than the rest of the file
constexpr std::int32_t kScanLoadCloseFailed = 13027;
constexpr std::int32_t kScanLoadBadSignature = 13028;
constexpr std::int32_t kScanLoadBadRevision = 13029;
constexpr std::int32_t kScanLoadDummyFailed = 13030;
constexpr std::int32_t kScanLoadTagsFailed = 13605;
constexpr std::int32_t kScanLoadParseFailed = 13606;
constexpr std::int32_t kScanLoadSizeFailed = 13608;   // also: values larger than any message carries
constexpr std::int32_t kScanLoadTagMemory = 13609;
constexpr std::int32_t kScanLoadDeadbandsFailed = 13610; // also: more deadbands than the rest of the file

// Loading the unsol list.
constexpr std::int32_t kUnsolLoadNullName = 13040;
constexpr std::int32_t kUnsolLoadEmptyName = 13041;
constexpr std::int32_t kUnsolLoadOpenFailed = 13042;
constexpr std::int32_t kUnsolLoadHeaderFailed = 13043; // also: more entries than the table has slots
constexpr std::int32_t kUnsolLoadEntryFailed = 13044;
constexpr std::int32_t kUnsolLoadCloseFailed = 13047;

// Loading and dumping the store list.
constexpr std::int32_t kStoreLoadMissing = 13050;
constexpr std::int32_t kStoreLoadNullName = 13051;
constexpr std::int32_t kStoreLoadEmptyName = 13052;
constexpr std::int32_t kStoreLoadOpenFailed = 13053;
constexpr std::int32_t kStoreLoadHeaderFailed = 13054; // also: more entries than the table has slots
constexpr std::int32_t kStoreLoadEntryFailed = 13055;
constexpr std::int32_t kStoreLoadCloseFailed = 13056;

// Saving the store list.
constexpr std::int32_t kStoreSaveNullName = 13060;
constexpr std::int32_t kStoreSaveEmptyName = 13061;
constexpr std::int32_t kStoreSaveOpenFailed = 13062;
constexpr std::int32_t kStoreSaveHeaderFailed = 13063;
constexpr std::int32_t kStoreSaveEntryFailed = 13064;
constexpr std::int32_t kStoreSaveCloseFailed = 13065; // also: the new file could not be synced or put in place
}  // namespace listcode
