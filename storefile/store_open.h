#pragma once
// Opening the store file and validating its header at start-up, the
// emergency default header of DUMP mode, and the final close.
#include <cstdint>
#include <span>

#include "msglib/status_block.h"
#include "storefile/store_format.h"

struct RecoverContext;

bool openStoreFile(RecoverContext& ctx, StatusBlock& status);
bool MasterFileClose(RecoverContext& ctx, StatusBlock& status);
void readStoreHeader(RecoverContext& ctx, StatusBlock& status);
std::int32_t detectHeaderType(std::span<const std::uint8_t> bytes);
void loadHeader(RecoverContext& ctx, std::span<const std::uint8_t> bytes, StatusBlock& status);
void useDefaultHeader(RecoverContext& ctx);
// The header DUMP mode puts in place of an unusable one: linear reading from
// the data start to fileLength, with no last message to find.
StoreFileHeader defaultHeader(std::int64_t fileLength);
