#pragma once
// Status blocks: the chain of (facility, error) causes every failing call
// leaves behind, cause first.
#include <cstdint>

constexpr int kStatusEntries = 10;

struct StatusBlock {
    std::int32_t facility[kStatusEntries];
    std::int32_t error[kStatusEntries];
};

// Facilities used by the system.
constexpr std::int32_t kFacilityRuntime = 1;   // errno values
constexpr std::int32_t kFacilityBuilder = 4;   // request building
constexpr std::int32_t kFacilityParser = 8;    // reply parsing
constexpr std::int32_t kFacilityLibrary = 9;   // this messaging library's own codes
constexpr std::int32_t kFacilityStore = 13;    // the store-and-forward codes

// Empties the block: every error code becomes -1, every facility 0.
void ZENTO_SERVER_INITBLK(StatusBlock& status);
void ZENTO_CLIENT_INITBLK(StatusBlock& status);

// Appends one entry behind those already loaded. Once a code above 0 is in,
// the first error code stays above 0 until the block is emptied, even when an
// earlier cause carried 0. A full block keeps its first nine entries and the
// newest one in its last slot.
void ZENTO_SERVER_LDBLK(std::int32_t facility, std::int32_t code, StatusBlock& status);

// True when the first error code is above 0.
bool statusFailed(const StatusBlock& status);

// Entries in reading order: from the first until ten or an error code of -1.
int statusEntryCount(const StatusBlock& status);

// The first errno value above 0 among the causes (facility 1); 0 when none.
std::int32_t runtimeCause(const StatusBlock& status);

// The first error code (the one callers test).
inline std::int32_t firstErrorCode(const StatusBlock& status) { return status.error[0]; }

// The code loaded last: the failing call's own, behind its causes; -1 when
// the block is empty.
inline std::int32_t lastErrorCode(const StatusBlock& status) {
    const int n = statusEntryCount(status);
    return n > 0 ? status.error[n - 1] : -1;
}

// Appends the entries of from behind those already in to.
void appendStatusEntries(const StatusBlock& from, StatusBlock& to);
