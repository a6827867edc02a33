#pragma once
// The three tables a store-and-forward task keeps in memory: the scan list
// (GET requests served by regular scans), the unsol list (clients registered
// for unsolicited data) and the store list (destinations whose messages go
// into a store file). Each is highestEntry followed by 15000 slots. Records
// own their buffers; list_records.h turns them into their on-disk bytes.
//
// The tables belong to the calling task and are not locked. They are large
// (the store list is about 17 MB): make them with the new*() functions below.
#include <array>
#include <cstdint>
#include <memory>

#include "msglib/message.h"
#include "msglib/records.h"

constexpr std::uint32_t kListSlots = 15000;

// A heap buffer owned by a record. Allocation never throws.
struct OwnedBytes {
    std::unique_ptr<std::uint8_t[]> bytes;
    std::uint32_t size = 0;

    explicit operator bool() const { return bytes != nullptr; }
    std::uint8_t* data() { return bytes.get(); }
    const std::uint8_t* data() const { return bytes.get(); }
};

// Zero-filled buffer of size bytes; false (and an empty buffer) when memory
// cannot be had.
bool allocateBytes(OwnedBytes& buffer, std::uint32_t size);
void releaseBytes(OwnedBytes& buffer);

struct ScanListEntry {
    std::int32_t listId = 0;           // may be held negated
    std::int32_t frequency = 0;        // tenths of a second; negative: answered with unsolicited replies
    std::uint32_t reserved8[2] = {0, 0};
    AddressRecord replyDestination{};
    AddressRecord requestSource{};
    Message requestMsg;                // the stored GET request
    Message dummyTagMsg;               // its dummy-tag copy, or empty
    std::uint32_t requestLength = 0;   // bytes of requestMsg as the list file records them
    std::uint32_t word156 = 0;
    std::uint32_t inUse = 0;           // nonzero: the slot is in use
    std::uint32_t flag164 = 0;
};

// One per scan list slot, in an array parallel to the slots.
struct ScanEntryTags {
    std::uint32_t tagCount = 0;        // 0: the entry keeps no tag state
    std::uint32_t word4 = 0;
    OwnedBytes deadbands;              // tagCount x 8: int32 kind, float32 amount
    OwnedBytes tagStates;              // tagCount x 12: the last status record of each tag
    OwnedBytes lastValues;             // the last value of every tag, as the request's template lays them out
};

struct UnsolListEntry {
    std::int32_t listId = 0;           // matched also negated
    AddressRecord destination{};
    AddressRecord requestSource{};
    std::uint32_t inUse = 0;
    std::uint32_t flag136 = 0;
};

constexpr std::size_t kStoreFileNameBytes = 1024;

// In memory the fields a list report reads come first and the long file name
// last, so that a row touches a few adjacent cache lines of its entry; the
// list files keep the layout of list_records.h.
struct StoreListEntry {
    std::uint32_t existsInList = 0;    // 1: the slot is in use
    AddressRecord msgDest{};           // the entry's key
    std::uint32_t word1024 = 0;
    std::int32_t FileHandle = 0;       // -1 when closed
    std::int64_t offset = 0;
    std::uint32_t isComOk = 0;
    std::uint32_t isAcked = 0;
    std::uint32_t existsInDisk = 0;
    std::uint32_t needToRetry = 0;
    std::int32_t maxSize = 0;
    std::int32_t maxPeriod = 0;
    std::uint32_t word1132 = 0;
    TimeStamp expirationTime{};
    std::uint32_t flag1144 = 0;
    std::uint32_t flag1148 = 0;
    char FileName[kStoreFileNameBytes] = {};  // NUL-terminated path of the store file
};

template <class Entry>
struct ListTable {
    // One more than the highest slot index used, or 0; at most kListSlots.
    std::uint32_t highestEntry = 0;
    std::array<Entry, kListSlots> slots{};
};

using ScanList = ListTable<ScanListEntry>;
using UnsolList = ListTable<UnsolListEntry>;
using StoreList = ListTable<StoreListEntry>;
using ScanTagArray = std::array<ScanEntryTags, kListSlots>;

// Empty tables on the heap; nullptr when memory cannot be had.
std::unique_ptr<ScanList> newScanList();
std::unique_ptr<UnsolList> newUnsolList();
std::unique_ptr<StoreList> newStoreList();
std::unique_ptr<ScanTagArray> newScanTagArray();

// Whether a slot holds an entry.
inline bool slotInUse(const ScanListEntry& entry) { return entry.inUse != 0; }
inline bool slotInUse(const UnsolListEntry& entry) { return entry.inUse != 0; }
inline bool slotInUse(const StoreListEntry& entry) { return entry.existsInList == 1; }

// Frees the entry's request and its dummy-tag copy together with the tag
// arrays kept for that request: tagCount and word4 become 0. The one way to
// drop a stored request, so that no slot keeps tag state for a request it no
// longer holds.
void releaseScanRequest(ScanListEntry& entry, ScanEntryTags& tags);

// Frees the three tag arrays; tagCount and word4 become 0.
void clearScanEntryTags(ScanEntryTags& tags);
