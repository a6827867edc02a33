#pragma once
// The message cursor: delivers the stored messages from the forward offset
// on, skipping damaged data by a forward search, and removes each one once it
// is acknowledged.
#include <cstdint>

#include "msglib/status_block.h"

struct StoreFile;

constexpr std::uint32_t kScanWindow = 65536;

std::uint32_t readNextMessage(StoreFile& store, StatusBlock& status);
void removeLastMsg(StoreFile& store, StatusBlock& status);
std::int64_t scanForRecord(std::int32_t handle, std::int64_t start, std::int64_t limit, StatusBlock& status);
