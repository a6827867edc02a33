#include "lists/list_rules.h"

#include <cstdio>

#include "msglib/msglib.h"

std::string_view listKindName(ListKind kind) {
    switch (kind) {
        case ListKind::Scan: return "scan";
        case ListKind::Unsol: return "unsol";
        case ListKind::Store: return "store";
    }
    return "unknown";
}

std::int32_t findScanEntry(const ScanList& table, std::int32_t listId, const AddressRecord& requestSource) {
    return searchSlots(table, [&](const ScanListEntry& entry) {
               return matchesListId(entry.listId, listId) && sameAddress(entry.requestSource, requestSource) == 1;
           }).match;
}

std::int32_t findUnsolEntry(const UnsolList& table, std::int32_t listId, const AddressRecord& requestSource) {
    return searchSlots(table, [&](const UnsolListEntry& entry) {
               return matchesListId(entry.listId, listId) && sameAddress(entry.requestSource, requestSource) == 1;
           }).match;
}

std::int32_t findStoreEntry(const StoreList& table, const AddressRecord& msgDest) {
    return searchSlots(table, [&](const StoreListEntry& entry) { return sameAddress(entry.msgDest, msgDest) == 1; })
        .match;
}

namespace listrules {

std::uint32_t highestEntryAfterAdd(std::uint32_t highestEntry, std::uint32_t taken, std::uint32_t usedEnd) {
    std::uint32_t next = highestEntry > kListSlots ? kListSlots : highestEntry;
    if (next == 0) {
        // Normally nothing is in use above the slot taken and this is taken
        // + 1; any entry still held further up stays covered.
        next = taken + 1 > usedEnd ? taken + 1 : usedEnd;
    } else if (taken >= next) {
        next = taken + 1;
    }
    return next > kListSlots ? kListSlots : next;
}

void loadTableFull(ListKind kind, StatusBlock& status) {
    ZENTO_SERVER_LDBLK(kFacilityStore, kListTableFull, status);
    char text[160];
    const std::string_view name = listKindName(kind);
    std::snprintf(text, sizeof text, "The %.*s list is full: all %u slots are in use, the new entry is refused",
                  static_cast<int>(name.size()), name.data(), static_cast<unsigned>(kListSlots));
    AddressRecord self{};
    ZENTO_USR_GetApplicationID(self);
    StatusBlock logStatus;
    ZENTO_SERVER_LOGMSG(fixedText(self.service, sizeof self.service), text, logStatus);
}

}  // namespace listrules
