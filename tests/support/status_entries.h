#pragma once
// A status block's entries in reading order, for comparing in tests:
//   EXPECT_EQ(statusEntries(status), (Entries{{1, EIO}, {13, 13159}, {13, 13402}}));
#include <cstdint>
#include <utility>
#include <vector>

#include "msglib/status_block.h"

namespace testsupport {

using Entry = std::pair<std::int32_t, std::int32_t>;  // facility, error
using Entries = std::vector<Entry>;

inline Entries statusEntries(const StatusBlock& status) {
    Entries entries;
    const int n = statusEntryCount(status);
    for (int i = 0; i < n; ++i) entries.emplace_back(status.facility[i], status.error[i]);
    return entries;
}

// The entries without those whose code is 0 (a runtime call that failed with
// errno 0, such as a read at the end of the file), in their order.
inline Entries failingEntries(const StatusBlock& status) {
    Entries entries;
    for (const Entry& e : statusEntries(status)) {
        if (e.second != 0) entries.push_back(e);
    }
    return entries;
}

inline bool hasEntry(const StatusBlock& status, std::int32_t facility, std::int32_t code) {
    for (const Entry& e : statusEntries(status)) {
        if (e.first == facility && e.second == code) return true;
    }
    return false;
}

// A block that already holds entries, to show a call empties it first.
inline StatusBlock dirtyStatus() {
    StatusBlock status;
    ZENTO_SERVER_INITBLK(status);
    ZENTO_SERVER_LDBLK(9, 999, status);
    return status;
}

}  // namespace testsupport
