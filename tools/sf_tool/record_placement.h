#pragma once
// Where the next record of a store file goes, and the header that describes
// the file once it is there. Pure: the caller reads the file and writes the
// outcome. Two layouts:
//  - linear (maxSize 0): records follow each other from the data start and
//    the file ends at the data;
//  - ring (maxSize nonzero): a preallocated file whose data continues at the
//    data start when the next record does not fit before the physical end.
//    The header then says where the older part ends (lastOffset) and that it
//    is wrapped, so the cursor finishes the older part, wraps, and finds the
//    newer part at the data start. Records that still await forwarding are
//    never overwritten.
// offset48, which the recovery does not read, holds the end of the newest
// record.
#include <cstdint>

#include "storefile/store_format.h"

// What the writer knows of the file besides its header.
struct StoreExtent {
    std::int64_t fileSize = 0;
    std::int64_t writePosition = 0;  // just behind the newest record; the data start when none
};

enum class PlacementResult {
    Placed,
    Full,      // the record would overwrite records that still await forwarding
    TooLarge,  // the record cannot fit in the file's data area at all
};

struct Placement {
    PlacementResult result = PlacementResult::Full;
    std::int64_t position = 0;  // where the record goes
    // Unused space at the physical end that the wrap leaves behind; the
    // writer zero-fills it so that no stale record of an earlier lap can be
    // read after the older part.
    std::int64_t fillFrom = 0;
    std::int64_t fillTo = 0;
    StoreFileHeader header{};    // the header once the record is written
    std::int64_t blockedAt = 0;  // Full: the oldest record still to forward
};

// The byte written over the unused end of a wrapped ring. The cursor takes a
// zero-filled record head for unwritten space and wraps there without
// counting it as damage, as in a freshly preallocated file.
constexpr std::uint8_t kRingFiller = 0x00;

// True when the header says some stored record has not been forwarded yet.
bool hasPendingRecords(const StoreFileHeader& header);

// Records still awaiting forwarding, as the header counts them.
std::uint32_t pendingRecordCount(const StoreFileHeader& header);

Placement placeRecord(const StoreFileHeader& header, const StoreExtent& extent, std::uint32_t recordLength);
