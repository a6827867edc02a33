#pragma once
// Opening the store file and validating its header at start-up, the
// emergency default header of DUMP mode, and the final close.
#include <cstdint>
#include <span>
#include <string_view>

#include "msglib/status_block.h"
#include "storefile/store_format.h"

#include "storefile/store_file.h"

// Opens and locks the file at path and reads its header into store.
bool openStoreFile(StoreFile& store, std::string_view path, const StoreOpenOptions& options, StatusBlock& status);
// Puts what was written of the file on the disk. On failure prints "Error
// syncing file: <reason>.", loads 13457 and marks the store faulted.
bool syncStoreHeader(StoreFile& store, StatusBlock& status);
bool MasterFileClose(StoreFile& store, StatusBlock& status);
void readStoreHeader(StoreFile& store, StatusBlock& status);
std::int32_t detectHeaderType(std::span<const std::uint8_t> bytes);
void loadHeader(StoreFile& store, std::span<const std::uint8_t> bytes, StatusBlock& status);
void useDefaultHeader(StoreFile& store);
// The header DUMP mode puts in place of an unusable one: linear reading from
// the data start to fileLength, with no last message to find.
StoreFileHeader defaultHeader(std::int64_t fileLength);
