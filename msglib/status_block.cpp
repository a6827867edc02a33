#include "msglib/status_block.h"

namespace {

constexpr std::int32_t kEmptyCode = -1;

int firstFreeSlot(const StatusBlock& status) {
    for (int i = 0; i < kStatusEntries; ++i) {
        if (status.error[i] == kEmptyCode) return i;
    }
    return kStatusEntries;
}

void putEntry(StatusBlock& status, int slot, std::int32_t facility, std::int32_t code) {
    status.facility[slot] = facility;
    status.error[slot] = code;
}

// Moves entries [0, used) one place back (the last one drops when the block
// is full) and stores the new entry in front.
void putInFront(StatusBlock& status, int used, std::int32_t facility, std::int32_t code) {
    int last = used < kStatusEntries ? used : kStatusEntries - 1;
    for (int i = last; i > 0; --i) putEntry(status, i, status.facility[i - 1], status.error[i - 1]);
    putEntry(status, 0, facility, code);
}

}  // namespace

void ZENTO_SERVER_INITBLK(StatusBlock& status) {
    for (int i = 0; i < kStatusEntries; ++i) putEntry(status, i, 0, kEmptyCode);
}

void ZENTO_CLIENT_INITBLK(StatusBlock& status) { ZENTO_SERVER_INITBLK(status); }

void ZENTO_SERVER_LDBLK(std::int32_t facility, std::int32_t code, StatusBlock& status) {
    int used = firstFreeSlot(status);
    // Callers test only the first error code. When the causes loaded so far
    // carried no code above 0 (a runtime call that left errno at 0, say), the
    // first real code goes in front so the block reads as failed; the causes
    // follow it in their own order.
    if (code > 0 && used > 0 && status.error[0] <= 0) {
        putInFront(status, used, facility, code);
        return;
    }
    putEntry(status, used < kStatusEntries ? used : kStatusEntries - 1, facility, code);
}

bool statusFailed(const StatusBlock& status) { return status.error[0] > 0; }

int statusEntryCount(const StatusBlock& status) { return firstFreeSlot(status); }

std::int32_t runtimeCause(const StatusBlock& status) {
    for (int i = 0; i < statusEntryCount(status); ++i) {
        if (status.facility[i] == kFacilityRuntime && status.error[i] > 0) return status.error[i];
    }
    return 0;
}

void appendStatusEntries(const StatusBlock& from, StatusBlock& to) {
    const int n = statusEntryCount(from);
    for (int i = 0; i < n; ++i) ZENTO_SERVER_LDBLK(from.facility[i], from.error[i], to);
}
