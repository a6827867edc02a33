#pragma once
// The words the task reports print for numbers: task kinds, message types,
// transaction types and store-and-forward notification commands. A number
// outside a table's range, negative ones included, prints "Unknown".
#include <cstdint>

namespace diag {

const char* taskName(std::int32_t kind);              // 1 to 3
const char* messageTypeName(std::int32_t type);       // 1 to 3
const char* transactionTypeName(std::int32_t type);   // 1 to 31
const char* commandName(std::int32_t code);           // 1 to 4

// Store-and-forward notification commands.
constexpr std::int32_t kCommandStoreConfiguration = 1;
constexpr std::int32_t kCommandNewStoreFile = 2;
constexpr std::int32_t kCommandRemoveStoreFile = 3;
constexpr std::int32_t kCommandStartupInfo = 4;

}  // namespace diag
