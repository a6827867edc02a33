// Ring reading: the wrap to the start of the data area, where a wrapped
// ring's data ends, and headers whose offsets do not bound the data, none of
// which may make a run, or a run restarted after any removal, send a message
// twice or go round again.
#include "msglib/coding.h"
#include "tests/storefile/store_test.h"

namespace {

using namespace storetest;

constexpr std::uint32_t kLength = 400;
constexpr std::int64_t kRecord = 12 + kLength;

using RingTest = StoreFileTest;

// Newer part: A (1) at the data area start, B (2) the newest; behind B a
// record of an earlier lap (91) that reads as sound; the oldest, C (3), near
// the physical end, with too little behind it for another record head.
struct Ring {
    StoreFileBuilder b;
    std::int64_t a = 0, newest = 0, earlierLap = 0, oldest = 0;
};

Ring wrappedRing() {
    Ring r;
    r.b.header().maxSize = 1;
    r.a = r.b.addMessage(makeTestMessage(kLength, 1));
    r.newest = r.b.addMessage(makeTestMessage(kLength, 2));
    r.earlierLap = r.b.addMessage(makeTestMessage(kLength, 91));
    r.b.addRaw(Bytes(1500, 0x77));
    r.oldest = r.b.addMessage(makeTestMessage(kLength, 3));
    r.b.addRaw(Bytes(200, 0x77));
    StoreFileHeader& h = r.b.header();
    h.firstMsgOffset = h.forwardOffset = r.oldest;
    h.lastMsgOffset = r.newest;
    h.lastOffset = r.oldest + kRecord;
    h.msgCount = 3;
    h.wrapped = 1;
    return r;
}

// At the physical end the reader goes to the wrap position, meets header
// bytes there (no damage), searches on, and ends with the newest record.
TEST_F(RingTest, PartAfterTheWrapEndsWithTheNewestRecord) {
    struct Row {
        const char* name;
        std::int64_t lastShift;  // lastMsgOffset relative to B
        bool damageNewest, damageA, startBehindNewest;
        Seeds sent;
        bool stop, more;
    } rows[] = {
        {"sound ring", 0, false, false, false, {3, 1, 2}, false, false},
        {"newest record damaged", 0, true, false, false, {3, 1}, true, true},
        // The search after the wrap neither circles nor hands out C again.
        {"both newer records damaged", 0, true, true, false, {3}, true, true},
        {"records shifted behind the newest", -1, false, false, false, {3, 1}, true, false},
        {"newest named inside A", -(kRecord - 8), false, false, false, {3, 1}, true, false},
        {"forward offset between newest and oldest", 0, false, false, true, {}, true, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Ring r = wrappedRing();
        r.b.header().lastMsgOffset = r.newest + row.lastShift;
        if (row.startBehindNewest) r.b.header().forwardOffset = r.earlierLap;
        r.b.writeTo(path_);
        if (row.damageNewest) testsupport::flipByte(path_, r.newest + 50);
        if (row.damageA) testsupport::flipByte(path_, r.a + 50);
        ASSERT_TRUE(reopen());
        EXPECT_EQ(drain(), row.sent);
        EXPECT_EQ(ctx_.stopRequested, row.stop);
        EXPECT_EQ(ctx_.moreMessages, row.more);
        EXPECT_EQ(statusEntries(status_) == storeCodes({13412}), row.stop);
        if (!row.damageNewest) {
            EXPECT_EQ(ctx_.stats.skippedRanges, 0u);
        }
        EXPECT_FALSE(ctx_.currentMsg);
    }
}

// The older part ends at (or a few bytes before) the end of the file: its
// last removal records the wrap position, so a run stopped right then
// resumes with the newer part. With room for a record head left, the offset
// stays behind the record, where a later one could still be.
TEST_F(RingTest, RemovalAtTheFileEndResumesAtTheWrap) {
    for (const std::int64_t tail : {0, 1, 303, 304}) {
        SCOPED_TRACE(tail);
        StoreFileBuilder b;
        b.header().maxSize = 1;
        b.addMessage(makeTestMessage(kLength, 1));
        const std::int64_t newest = b.addMessage(makeTestMessage(kLength, 2));
        b.addRaw(Bytes(1000, 0x77));
        const std::int64_t oldest = b.addMessage(makeTestMessage(kLength, 3));
        const std::int64_t last = b.addMessage(makeTestMessage(kLength, 4));
        b.zeroFillTo(b.end() + tail);
        StoreFileHeader& h = b.header();
        h.firstMsgOffset = h.forwardOffset = oldest;
        h.lastMsgOffset = newest;
        h.lastOffset = b.end();
        h.msgCount = 4;
        h.wrapped = 1;
        ASSERT_TRUE(openFile(b));
        for (int i = 0; i < 2; ++i) {
            ASSERT_EQ(read(), kLength);
            remove();
        }
        const std::int64_t expected = tail < 304 ? 92 : last + kRecord;
        EXPECT_EQ(ctx_.header.forwardOffset, expected);
        EXPECT_EQ(headerOnDisk().forwardOffset, expected);
        EXPECT_TRUE(ctx_.moreMessages);
        EXPECT_FALSE(ctx_.stopRequested);

        ASSERT_TRUE(reopen()) << "the stopped run resumes";
        EXPECT_EQ(drain(), (Seeds{1, 2}));
        EXPECT_FALSE(ctx_.moreMessages);
        EXPECT_EQ(ctx_.stats.skippedRanges, 0u) << "the header under the wrap position is no damage";
        EXPECT_EQ(fileText(home_.file("log/zento.log")).find("skipped"), std::string::npos);
    }
}

// Headers with sound CRCs over offsets no writer produces: whatever their
// lastOffset says, a removal never sends the reader back over messages this
// recovery forwarded, and a run stopped after any removal resumes behind it.
TEST_F(RingTest, OffsetsThatDoNotBoundTheDataSendNothingTwice) {
    struct Row {
        const char* name;
        int type;
        Seeds sent;
        bool newerPartFirst;  // records 1 and 2 after the wrap, 3 the oldest behind a gap; else all in order
        int records;
        std::int64_t first, last;  // unless the layout gives them; a type-0 lastOffset lies inside the second
        std::uint32_t wrapped;
    } rows[] = {
        // lastOffset below every record: removals after the wrap stay behind it, up to the newest.
        {"type-2 ring, lastOffset negative", 2, {3, 1, 2}, true, 3, 0, -1000, 1},
        // Nothing lies between the wrap position and the oldest message, and
        // lastOffset 0 ends the data at the first removal.
        {"type-1 ring, oldest at 1, lastOffset 0", 1, {1}, false, 2, 1, 0, 2},
        // Every record below an oldest message beyond the file, lastOffset
        // inside the second: a restart past lastOffset finds its type-0
        // header wrapped, and must not go round for that.
        {"type-0 ring, reader past lastOffset", 0, {1, 2, 3}, false, 3, std::int64_t{1} << 24, 0, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        StoreFileBuilder b(row.type);
        b.header().maxSize = 1;
        const std::int64_t a = b.addMessage(makeTestMessage(kLength, 1));
        const std::int64_t second = b.addMessage(makeTestMessage(kLength, 2));
        if (row.newerPartFirst) b.addRaw(Bytes(500, 0x77));
        const std::int64_t third = row.records == 3 ? b.addMessage(makeTestMessage(kLength, 3)) : 0;
        b.zeroFillTo(b.end() + 100);
        StoreFileHeader& h = b.header();
        h.firstMsgOffset = h.forwardOffset = row.newerPartFirst ? third : row.first;
        if (!row.newerPartFirst) h.forwardOffset = a;
        h.lastMsgOffset = second;  // the older types keep none
        h.lastOffset = row.type == 0 ? second + 100 : row.last;
        h.wrapped = row.wrapped;
        ASSERT_TRUE(openFile(b));
        EXPECT_EQ(drain(), row.sent) << "one run";

        b.writeTo(path_);
        Seeds sent;
        for (int run = 0; run < 12 && reopen() && read() > 0; ++run) {
            sent.push_back(deliveredSeed());
            remove();
            if (!ctx_.moreMessages || ctx_.stopRequested) break;
        }
        EXPECT_EQ(sent, row.sent) << "a run per removal";
    }
}

// A header whose bytes under the wrap position pass as a record (a bad
// primary CRC word that reads as the marker, the backup's magic as head CRC),
// met by the first read of a run: the forward offset must name where that
// record was read, so that its removal moves on from there.
TEST_F(RingTest, RecordReadAtTheWrapPositionIsRemovedFromThere) {
    Ring r = wrappedRing();
    StoreFileHeader& h = r.b.header();
    h.forwardOffset = h.lastOffset;  // C went in an earlier run
    h.revision = 0;
    h.word12 = 400;  // the length word of the message that starts at 104
    Bytes file = r.b.bytes();
    const std::int64_t next = 92 + 12 + 400;
    const Bytes rec = makeRecord(makeTestMessage(500, 7));
    std::copy(rec.begin(), rec.end(), file.begin() + next);
    encodeU32(file.data() + 4, 2);  // the primary names the type; its CRC is broken below
    std::copy(kRecordMarker, kRecordMarker + 4, file.begin() + 92);
    // Solve the last four head bytes so that the head CRC is the magic.
    std::fill(file.begin() + 392, file.begin() + 396, 0);
    const std::uint32_t tail = storeCrc({file.data() + 104, 292}) ^ kStoreMagic;
    for (std::size_t i = 0; i < 4; ++i) file[392 + i] = static_cast<std::uint8_t>(tail >> (24 - 8 * i));
    testsupport::writeAllBytes(path_, file);
    ASSERT_EQ(storeCrc({file.data() + 104, 292}), kStoreMagic);

    ASSERT_TRUE(reopen());
    ctx_.header.lastMsgOffset = next;
    EXPECT_EQ(read(), 400u);
    EXPECT_EQ(ctx_.header.forwardOffset, 92);
    EXPECT_EQ(headerOnDisk().forwardOffset, 92);
    remove();
    EXPECT_EQ(read(), 500u);
    EXPECT_EQ(ctx_.header.forwardOffset, next);
    remove();
    EXPECT_FALSE(ctx_.moreMessages);
}

}  // namespace
