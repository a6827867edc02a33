// Where records go, on the header alone: the edges of the ring.
#include <gtest/gtest.h>

#include "tools/sf_tool/record_placement.h"

namespace {

constexpr std::int64_t kEnd = 10000;
constexpr std::uint32_t kRecord = 1000;

StoreFileHeader ring(std::int64_t first, std::int64_t last, std::int64_t forward, std::uint32_t count,
                     std::uint32_t forwarded) {
    StoreFileHeader h{};
    h.magic = kStoreMagic;
    h.revision = 2;
    h.maxSize = 1;
    h.firstMsgOffset = first;
    h.lastMsgOffset = last;
    h.forwardOffset = forward;
    h.msgCount = count;
    h.forwardedCount = forwarded;
    h.lastOffset = last + kRecord;
    return h;
}

TEST(RecordPlacement, WrapNeedsRoomInFrontOfTheOldestRecordStillToForward) {
    // Records at 192 + k * 1000, the newest at 8192; the next does not fit
    // before the end, so it must go to the data start.
    const StoreExtent extent{kEnd, 9192};
    const Placement blocked = placeRecord(ring(192, 8192, 1192, 9, 1), extent, kRecord);
    EXPECT_EQ(blocked.result, PlacementResult::Full) << "it would end right where the oldest one begins";
    EXPECT_EQ(blocked.blockedAt, 1192);

    const Placement wrap = placeRecord(ring(192, 8192, 2192, 9, 2), extent, kRecord);
    ASSERT_EQ(wrap.result, PlacementResult::Placed);
    EXPECT_EQ(wrap.position, 192);
    EXPECT_EQ(wrap.fillFrom, 9192);
    EXPECT_EQ(wrap.fillTo, kEnd);
    EXPECT_EQ(wrap.header.wrapped, 1u);
    EXPECT_EQ(wrap.header.lastOffset, 9192) << "the end of the older part";
    EXPECT_EQ(wrap.header.firstMsgOffset, 2192);
    EXPECT_EQ(wrap.header.forwardOffset, 2192);
    EXPECT_EQ(wrap.header.lastMsgOffset, 192);
    EXPECT_EQ(wrap.header.msgCount, 8u) << "seven still to forward and the new one";
    EXPECT_EQ(wrap.header.forwardedCount, 0u);
}

TEST(RecordPlacement, ReaderPastTheOlderPartUnwrapsTheRing) {
    // Wrapped: older part 5192..9192, newer part 192..2192; the reader has
    // finished the older part and stands at its end.
    StoreFileHeader h = ring(5192, 1192, 9192, 6, 4);
    h.wrapped = 1;
    h.lastOffset = 9192;
    const Placement placement = placeRecord(h, StoreExtent{kEnd, 2192}, kRecord);
    ASSERT_EQ(placement.result, PlacementResult::Placed);
    EXPECT_EQ(placement.position, 2192);
    EXPECT_EQ(placement.header.wrapped, 0u);
    EXPECT_EQ(placement.header.forwardOffset, 192);
    EXPECT_EQ(placement.header.firstMsgOffset, 192);
    EXPECT_EQ(placement.header.lastOffset, 3192);
    EXPECT_EQ(placement.header.msgCount, 3u);
}

}  // namespace
