#pragma once
// Removal of the store-and-forward files, with rotated backup generations
// "<path>_BCK01" (newest) to "<path>_BCK10" for the kind that keeps them.
#include <cstdint>

#include "msglib/status_block.h"

// Kinds of file.
constexpr std::int32_t kSnfConfigFile = 0;
constexpr std::int32_t kSnfFileWithBackups = 1;
constexpr std::int32_t kSnfScanListFile = 2;
constexpr std::int32_t kSnfUnsolListFile = 3;
constexpr std::int32_t kSnfStoreListFile = 4;

// The registry setting of the number of generations (REG_DWORD under
// HKEY_LOCAL_MACHINE), read at every removal of kind 1.
constexpr const char* kBackupCopiesKey = "SOFTWARE\\Norvane\\ZEN-TO";
constexpr const char* kBackupCopiesValue = "ZENTOStoreBckCopies";
constexpr std::uint32_t kMaxBackupCopies = 10;

// Deletes the file; kind 1 first rotates its generations. 13157 when the file
// is still there afterwards (a file that was already gone is no failure).
// Does nothing without a status block.
void removeSnfFile(const char* path, std::int32_t kind, StatusBlock* status);
// 0 to 10; 0 when the setting is missing or unreadable.
std::uint32_t getStoreBackupCopies();
// Drops generation copies, moves each older one up and makes the file
// generation 1. 1 on success, 0 at the first failure, which is logged
// under "XXX".
std::int32_t rotateBackupCopies(const char* path, std::uint32_t copies);
