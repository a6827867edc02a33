#pragma once
// How the list tables are searched and grown.
//
// A search looks at slots 0 to highestEntry-1, or at all of them when
// highestEntry is 0. An add takes the slot its search found (a matching entry
// first, else the first free one); with none it takes a new slot at
// highestEntry, which then grows to cover it.
//
// A full table refuses the add: no slot is free among all 15000 and none
// matches. The add then fails with kListTableFull, logged under the
// application's name, and the table is left as it was. An entry in use is
// never overwritten, and highestEntry may reach 15000 so that an entry in the
// last slot is searched, saved and shown like any other (held at 14999, it
// would fall outside every search and the next add would take its slot).
#include <cstdint>
#include <string_view>

#include "lists/list_codes.h"
#include "lists/list_tables.h"
#include "msglib/same_address.h"
#include "msglib/status_block.h"

enum class ListKind { Scan, Unsol, Store };

// "scan", "unsol" or "store".
std::string_view listKindName(ListKind kind);

// Number of slots a search looks at.
inline std::uint32_t searchedSlots(std::uint32_t highestEntry) {
    return highestEntry == 0 || highestEntry > kListSlots ? kListSlots : highestEntry;
}

// An entry holding heldId matches the list id wanted when heldId is wanted or
// its negation.
inline bool matchesListId(std::int32_t heldId, std::int32_t wanted) {
    const std::int64_t held = heldId;
    return held == wanted || held == -std::int64_t{wanted};
}

// What a search found: the first matching slot in use and the first free slot
// before it; -1 for none.
struct SlotSearch {
    std::int32_t match = -1;
    std::int32_t firstFree = -1;
};

// Searches the table in slot order, stopping at the first slot in use for
// which matches(entry) holds.
template <class Entry, class Matches>
SlotSearch searchSlots(const ListTable<Entry>& table, Matches&& matches) {
    SlotSearch found;
    const std::uint32_t searched = searchedSlots(table.highestEntry);
    for (std::uint32_t i = 0; i < searched; ++i) {
        const Entry& entry = table.slots[i];
        if (!slotInUse(entry)) {
            if (found.firstFree < 0) found.firstFree = static_cast<std::int32_t>(i);
        } else if (matches(entry)) {
            found.match = static_cast<std::int32_t>(i);
            break;
        }
    }
    return found;
}

// The first slot in use of the given list id (either sign) and client; -1.
std::int32_t findScanEntry(const ScanList& table, std::int32_t listId, const AddressRecord& requestSource);
std::int32_t findUnsolEntry(const UnsolList& table, std::int32_t listId, const AddressRecord& requestSource);
// The first slot in use for the destination; -1.
std::int32_t findStoreEntry(const StoreList& table, const AddressRecord& msgDest);

namespace listrules {
// highestEntry after an add to slot taken; usedEnd is one more than the
// highest slot in use before the add (looked for only when highestEntry is 0).
std::uint32_t highestEntryAfterAdd(std::uint32_t highestEntry, std::uint32_t taken, std::uint32_t usedEnd);
void loadTableFull(ListKind kind, StatusBlock& status);
}  // namespace listrules

// The slot an add takes after `found` came from searchSlots over the table,
// with highestEntry updated; -1 when the table is full (see above).
template <class Entry>
std::int32_t takeSlot(ListTable<Entry>& table, ListKind kind, const SlotSearch& found, StatusBlock& status) {
    ZENTO_SERVER_INITBLK(status);
    std::int32_t taken = found.match >= 0 ? found.match : found.firstFree;
    if (taken < 0) {
        // Slots at and above highestEntry may still hold entries (a list
        // file of fewer entries loaded over a fuller table): skip them.
        for (std::uint32_t i = table.highestEntry; i > 0 && i < kListSlots; ++i) {
            if (!slotInUse(table.slots[i])) {
                taken = static_cast<std::int32_t>(i);
                break;
            }
        }
    }
    if (taken < 0) {
        listrules::loadTableFull(kind, status);
        return -1;
    }
    std::uint32_t usedEnd = 0;
    if (table.highestEntry == 0) {
        for (std::uint32_t i = kListSlots; i > 0 && usedEnd == 0; --i) {
            if (slotInUse(table.slots[i - 1])) usedEnd = i;
        }
    }
    table.highestEntry =
        listrules::highestEntryAfterAdd(table.highestEntry, static_cast<std::uint32_t>(taken), usedEnd);
    return taken;
}
