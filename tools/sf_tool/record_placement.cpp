#include "tools/sf_tool/record_placement.h"

#include <limits>

namespace {

constexpr std::int64_t kDataStart = kType2HeaderLength;

Placement placedAt(const StoreFileHeader& header, std::int64_t position) {
    Placement placement;
    placement.result = PlacementResult::Placed;
    placement.position = position;
    placement.header = header;
    return placement;
}

Placement blockedBy(std::int64_t offset) {
    Placement placement;
    placement.result = PlacementResult::Full;
    placement.blockedAt = offset;
    return placement;
}

// A new run of records whose only member is the one about to be written:
// nothing older needs forwarding, so the counters start over there.
StoreFileHeader startRun(StoreFileHeader header, std::int64_t position, std::int64_t end) {
    header.firstMsgOffset = position;
    header.lastMsgOffset = position;
    header.forwardOffset = position;
    header.msgCount = 1;
    header.forwardedCount = 0;
    header.lastOffset = end;
    header.offset48 = end;
    header.wrapped = 0;
    return header;
}

// Counts start at the oldest record still to forward: the cursor resets its
// forwarded count when it removes the record at firstMsgOffset, and the space
// of the records already forwarded becomes free.
void dropForwarded(StoreFileHeader& header, std::int64_t oldestPending) {
    header.msgCount = pendingRecordCount(header);
    header.forwardedCount = 0;
    header.firstMsgOffset = oldestPending;
    header.forwardOffset = oldestPending;
}

void appendBehind(StoreFileHeader& header, std::int64_t position, std::int64_t end, bool extendsData) {
    header.lastMsgOffset = position;
    header.msgCount += 1;
    header.offset48 = end;
    if (extendsData) header.lastOffset = end;
}

Placement placeLinear(StoreFileHeader header, const StoreExtent& extent, std::int64_t length) {
    const std::int64_t position = extent.writePosition;
    if (!hasPendingRecords(header)) return placedAt(startRun(header, position, position + length), position);
    appendBehind(header, position, position + length, true);
    return placedAt(header, position);
}

// The reader has finished the older part of a wrapped ring (it stands at the
// end of that part, at the wrap position, or already in the newer part): what
// remains is one unwrapped run from the data start on.
void unwrapAfterOlderPart(StoreFileHeader& header, std::int64_t writePosition) {
    const bool inNewerPart = header.forwardOffset >= kDataStart && header.forwardOffset < header.firstMsgOffset;
    dropForwarded(header, inNewerPart ? header.forwardOffset : kDataStart);
    header.wrapped = 0;
    header.lastOffset = writePosition;
}

Placement placeRing(StoreFileHeader header, const StoreExtent& extent, std::int64_t length) {
    const std::int64_t write = extent.writePosition;
    const std::int64_t end = extent.fileSize;
    if (kDataStart + length > end) {
        Placement placement;
        placement.result = PlacementResult::TooLarge;
        return placement;
    }
    if (!hasPendingRecords(header)) {
        const std::int64_t position = write + length <= end ? write : kDataStart;
        return placedAt(startRun(header, position, position + length), position);
    }

    if (header.wrapped != 0) {
        const bool olderPartPending =
            header.forwardOffset >= header.firstMsgOffset && header.forwardOffset < header.lastOffset;
        if (!olderPartPending) {
            unwrapAfterOlderPart(header, write);
        } else {
            // Between the newest record and the oldest one still to forward.
            if (write + length > header.forwardOffset) return blockedBy(header.forwardOffset);
            dropForwarded(header, header.forwardOffset);
            appendBehind(header, write, write + length, false);
            return placedAt(header, write);
        }
    }

    if (write + length <= end) {
        appendBehind(header, write, write + length, true);
        return placedAt(header, write);
    }
    // Wrap: the new record goes to the data start, in front of the oldest
    // record still to forward. firstMsgOffset then lies above lastMsgOffset,
    // which is how the cursor knows the data continues at the start. One byte
    // of slack: the cursor's search after a wrap stops a byte short of a
    // record head that ends right at firstMsgOffset.
    if (kDataStart + length >= header.forwardOffset) return blockedBy(header.forwardOffset);
    dropForwarded(header, header.forwardOffset);
    header.lastOffset = write;
    header.wrapped = 1;
    appendBehind(header, kDataStart, kDataStart + length, false);
    Placement placement = placedAt(header, kDataStart);
    placement.fillFrom = write;
    placement.fillTo = end;
    return placement;
}

}  // namespace

std::uint32_t pendingRecordCount(const StoreFileHeader& header) {
    return header.forwardedCount < header.msgCount ? header.msgCount - header.forwardedCount : 0;
}

bool hasPendingRecords(const StoreFileHeader& header) {
    if (header.msgCount == 0) return false;
    // The cursor leaves the forward offset on the last record once it is
    // removed and counts it forwarded.
    return !(header.forwardOffset == header.lastMsgOffset && header.forwardedCount >= header.msgCount);
}

Placement placeRecord(const StoreFileHeader& header, const StoreExtent& extent, std::uint32_t recordLength) {
    if (header.msgCount == std::numeric_limits<std::uint32_t>::max()) return blockedBy(header.forwardOffset);
    const auto length = static_cast<std::int64_t>(recordLength);
    return header.maxSize == 0 ? placeLinear(header, extent, length) : placeRing(header, extent, length);
}
