// Ring reading: the wrap to the start of the data area and where a wrapped
// ring's data ends, in one run and in runs stopped after every removal.
// (Rings whose offsets do not bound their data are the cursor fuzz corpus's.)
#include "msglib/coding.h"
#include "tests/storefile/store_test.h"

namespace {

using namespace storetest;

constexpr std::int64_t kRecord = 12 + 400;

// Newer part: A (1) at the data area start, B (2) the newest; behind B a
// record of an earlier lap (91) that reads as sound; the oldest, C (3), near
// the physical end, followed by `tail` zero bytes.
struct Ring {
    StoreFileBuilder b;
    std::int64_t a = 0, newest = 0, earlierLap = 0, oldest = 0;
};

Ring wrappedRing(std::int64_t tail = 200) {
    Ring r;
    r.b.header().maxSize = 1;
    r.a = r.b.addMessage(makeTestMessage(400, 1));
    r.newest = r.b.addMessage(makeTestMessage(400, 2));
    r.earlierLap = r.b.addMessage(makeTestMessage(400, 91));
    r.b.addRaw(Bytes(1500, 0x77));
    r.oldest = r.b.addMessage(makeTestMessage(400, 3));
    r.b.zeroFillTo(r.b.end() + tail);
    StoreFileHeader& h = r.b.header();
    h.firstMsgOffset = h.forwardOffset = r.oldest;
    h.lastMsgOffset = r.newest;
    h.lastOffset = r.oldest + kRecord;
    h.msgCount = 3;
    h.wrapped = 1;
    return r;
}

// At the physical end the reader goes to the wrap position, meets header
// bytes there (no damage), searches on, and ends with the newest record: it
// neither circles nor hands out C again. A removal that leaves no room for a
// record head before the end records the wrap position, where a stopped run
// resumes.
TEST_F(StoreFileTest, PartAfterTheWrapEndsWithTheNewestRecord) {
    struct Row {
        const char* name;
        std::int64_t tail, lastShift;  // lastMsgOffset relative to B
        bool damageNewest, damageA, startBehindNewest;
        Seeds sent;
        bool stop, more;
    } rows[] = {
        {"sound ring, C ending the file", 0, 0, false, false, false, {3, 1, 2}, false, false},
        {"room for a record head behind C", 304, 0, false, false, false, {3, 1, 2}, false, false},
        {"newest record damaged", 200, 0, true, false, false, {3, 1}, true, true},
        {"both newer records damaged", 200, 0, true, true, false, {3}, true, true},
        {"records shifted behind the newest", 200, -1, false, false, false, {3, 1}, true, false},
        {"newest named inside A", 200, -(kRecord - 8), false, false, false, {3, 1}, true, false},
        {"forward offset between newest and oldest", 200, 0, false, false, true, {}, true, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Ring r = wrappedRing(row.tail);
        r.b.header().lastMsgOffset = r.newest + row.lastShift;
        if (row.startBehindNewest) r.b.header().forwardOffset = r.earlierLap;
        const auto write = [&] {
            r.b.writeTo(path_);
            if (row.damageNewest) testsupport::flipByte(path_, r.newest + 50);
            if (row.damageA) testsupport::flipByte(path_, r.a + 50);
        };
        write();
        ASSERT_TRUE(reopen());
        EXPECT_EQ(drain(), row.sent);
        EXPECT_EQ(ctx_.stopRequested, row.stop);
        EXPECT_EQ(ctx_.moreMessages, row.more);
        EXPECT_EQ(statusEntries(status_) == storeCodes({13412}), row.stop);
        EXPECT_EQ(ctx_.stats.skippedRanges != 0, row.damageNewest);
        EXPECT_FALSE(ctx_.currentMsg);

        write();
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
TEST_F(StoreFileTest, RecordReadAtTheWrapPositionIsRemovedFromThere) {
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
