// The forward search for the next valid record prefix, used to step over
// damaged data. It looks at the file once, front to back.
//
// Where the platform offers views of the file, the search runs over them in
// place, with no copy: views from 64 KiB up to 8 MiB, doubling (a search that
// ends soon costs little, a long one few calls), each starting at the first
// position not yet examined, so that a head across the end of one view is
// seen whole in the next. Reading the same bytes into a buffer costs a copy
// that takes most of the search's time on data without records.
//
// Otherwise, and from the first view that fails on, the search reads the file
// through one 64 KiB window; the last record head of each window is carried
// over by a copy. A read error is then reported by the read that meets it,
// as it was before there were views: the view only says that a page could
// not be had.
#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

#include "msglib/coding.h"
#include "platform/file_map.h"
#include "storefile/cursor.h"
#include "storefile/file_handle.h"
#include "storefile/store_codes.h"
#include "storefile/scan_blocks.h"
#include "storefile/store_format.h"

namespace {

using namespace storecode;

bool markerAt(const std::uint8_t* p) { return std::memcmp(p, kRecordMarker, sizeof kRecordMarker) == 0; }

// Positions whose marker matches, waiting for their head CRC. Where markers
// come thick (a file of records whose heads are damaged) the CRCs of a few
// are worked out one after the other, with no test between them, so that
// the processor overlaps them; each alone would be waited for.
class Candidates {
public:
    explicit Candidates(const std::uint8_t* buffer) : buffer_(buffer) {}

    // False when the batch is full and must be checked first.
    bool add(std::size_t at) {
        at_[count_++] = at;
        return count_ < kBatch;
    }

    // The first of them whose head CRC matches, or -1; the batch is emptied.
    std::int64_t firstValid() {
        std::uint32_t crc[kBatch];
        for (std::size_t k = 0; k < count_; ++k) crc[k] = storeCrc({buffer_ + at_[k] + kRecordPrefixSize, kMessageHeadSize});
        const std::size_t n = count_;
        count_ = 0;
        for (std::size_t k = 0; k < n; ++k) {
            if (crc[k] == decodeU32(buffer_ + at_[k] + 4)) return static_cast<std::int64_t>(at_[k]);
        }
        return -1;
    }

private:
    static constexpr std::size_t kBatch = 4;
    const std::uint8_t* buffer_;
    std::size_t at_[kBatch] = {};
    std::size_t count_ = 0;
};

// First index in [from, to] of buffer at which a valid record head starts,
// or -1. Every index needs kRecordHeadSize bytes behind it in the buffer.
std::int64_t findRecordIn(const std::uint8_t* buffer, std::size_t from, std::size_t to) {
    const std::size_t end = to + 1;
    Candidates waiting(buffer);
    for (std::size_t i = from; (i = skipMarkerFreeBlocks(buffer, i, end)) < end; i += kMarkerBlock) {
        std::uint64_t candidates = markerCandidates(buffer + i);
        if (end - i < kMarkerBlock) candidates &= (std::uint64_t{1} << (end - i)) - 1;
        for (; candidates != 0; candidates &= candidates - 1) {
            const std::size_t at = i + static_cast<std::size_t>(std::countr_zero(candidates));
            if (!markerAt(buffer + at) || waiting.add(at)) continue;
            if (const std::int64_t found = waiting.firstValid(); found >= 0) return found;
        }
    }
    return waiting.firstValid();
}

constexpr std::int64_t kHead = kRecordHeadSize;
constexpr std::int64_t kLargestView = std::int64_t{8} << 20;

struct ViewSearch {
    std::size_t from;
    std::size_t to;
    std::int64_t found;
};

void searchView(const std::uint8_t* bytes, std::size_t, void* context) {
    auto& search = *static_cast<ViewSearch*>(context);
    search.found = findRecordIn(bytes, search.from, search.to);
}

// The positions from nextPosition to lastPosition through views of the file:
// the position found, or 0. When a view fails, nextPosition is the first
// position not examined, and the rest must be read.
std::int64_t searchViews(std::int32_t handle, std::int64_t& nextPosition, std::int64_t lastPosition,
                         std::int64_t limit) {
    const std::int64_t alignment = platform::mapAlignment();
    // More than twice the alignment, so that every view holds a position.
    std::int64_t size = std::max<std::int64_t>(kScanWindow, 2 * alignment);
    while (nextPosition <= lastPosition) {
        const std::int64_t viewStart = nextPosition - nextPosition % alignment;
        const std::int64_t viewEnd = std::min(viewStart + size, limit);
        const std::int64_t lastHere = std::min(viewEnd - kHead, lastPosition);
        ViewSearch search{static_cast<std::size_t>(nextPosition - viewStart),
                          static_cast<std::size_t>(lastHere - viewStart), -1};
        if (!platform::visitMapped(handle, viewStart, static_cast<std::size_t>(viewEnd - viewStart), searchView,
                                   &search)) {
            return 0;
        }
        if (search.found >= 0) return viewStart + search.found;
        nextPosition = lastHere + 1;
        size = std::min(2 * size, std::max(kLargestView, size));
    }
    return 0;
}

// The positions from nextPosition to lastPosition by reads from the file
// position, which stands at nextPosition.
std::int64_t searchByReads(std::int32_t handle, std::int64_t nextPosition, std::int64_t lastPosition,
                           std::int64_t limit, StatusBlock& status) {
    std::array<std::uint8_t, kScanWindow> window;
    std::int64_t windowStart = nextPosition;  // file offset of window[0]
    std::int64_t filled = 0;                  // bytes of the window that hold file data
    std::int64_t nextRead = nextPosition;     // file offset of the next byte to read
    while (nextPosition <= lastPosition) {
        const std::int64_t wanted = std::min<std::int64_t>(kScanWindow - filled, limit - nextRead);
        if (readExact(handle, window.data() + filled, wanted, status) != wanted || statusFailed(status)) {
            ZENTO_SERVER_LDBLK(kFacilityStore, storecode::kHeadReadFailed, status);
            return 0;
        }
        filled += wanted;
        nextRead += wanted;

        const std::int64_t windowEnd = windowStart + filled;
        const std::int64_t lastHere = std::min(windowEnd - kHead, lastPosition);
        const std::int64_t found = findRecordIn(window.data(), static_cast<std::size_t>(nextPosition - windowStart),
                                                static_cast<std::size_t>(lastHere - windowStart));
        if (found >= 0) return windowStart + found;
        nextPosition = lastHere + 1;

        // The last head-sized stretch starts the next window; its positions
        // up to lastHere are done, the rest are examined once the bytes
        // behind them are in.
        std::memmove(window.data(), window.data() + filled - kHead, kHead);
        windowStart = windowEnd - kHead;
        filled = kHead;
    }
    return 0;
}

}  // namespace

std::int64_t scanForRecord(std::int32_t handle, std::int64_t start, std::int64_t limit, StatusBlock& status) {
    ZENTO_SERVER_INITBLK(status);
    if (seekStoreFile(handle, start, 0, status) < 0 || statusFailed(status)) {
        ZENTO_SERVER_LDBLK(kFacilityStore, storecode::kRecordSeekFailed, status);
        return 0;
    }
    // Positions p with start <= p < limit - 304; nothing when the range
    // cannot hold one head in front of the limit.
    const std::int64_t lastPosition = limit - kHead - 1;
    if (lastPosition < start) return 0;

    std::int64_t nextPosition = start;
    if (const std::int64_t found = searchViews(handle, nextPosition, lastPosition, limit); found > 0) return found;
    if (nextPosition > lastPosition) return 0;
    if (nextPosition != start && (seekStoreFile(handle, nextPosition, 0, status) < 0 || statusFailed(status))) {
        ZENTO_SERVER_LDBLK(kFacilityStore, storecode::kRecordSeekFailed, status);
        return 0;
    }
    return searchByReads(handle, nextPosition, lastPosition, limit, status);
}
