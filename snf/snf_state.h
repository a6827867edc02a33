#pragma once
// The process-wide state of the store file configuration, shared by the
// files that implement it.
#include <cstdint>
#include <string_view>

#include "msglib/records.h"
#include "snf/snf_config.h"

struct SnfCfgState {
    AddressRecord dlgp{};
    std::int32_t maxSize = kSnfDefaultMaxSize;
    std::int32_t maxPeriod = kSnfDefaultMaxPeriod;
    std::int32_t requestWord = 1;
    AddressRecord cachedClient{};
    bool cacheInvalid = true;
    bool cfgFileAbsent = false;
    char storeDirectory[kStoreDirectorySize] = {};
};

SnfCfgState& snfCfgState();

// A fixed name field as a NUL-terminated text (fields may fill all 32 bytes).
struct NameText {
    char text[33];
};
NameText nameText(const char (&field)[32]);

// Node names compare without letter case, up to 32 bytes.
bool sameNode(const AddressRecord& a, const AddressRecord& b);

// A base-10 integer as the runtime's atoi reads it (blanks, a sign, digits up
// to the first other byte), saturated to the 32-bit range instead of
// overflowing.
std::int32_t parseDecimal(std::string_view text);
