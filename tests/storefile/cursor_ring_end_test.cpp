// Where a wrapped ring's data ends: the part after the wrap ends with the
// newest record, a wrapped word without a wrap sends nothing round again, a
// removal at the very end of the file leaves a header the next run takes, and
// offsets that do not bound the data make no restart send a message twice.
#include "tests/storefile/cursor_fixture.h"

namespace {

using namespace storetest;
using testsupport::makeTestMessage;
using testsupport::StoreFileBuilder;

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t kLength = 400;
constexpr std::int64_t kRecord = 12 + kLength;

class RingEndTest : public StoreFileTest {
protected:
    // A new run on the same file; false when the header is refused.
    bool reopen() {
        if (ctx_.storeFileHandle >= 0) closeStoreFileHandle(ctx_.storeFileHandle, status_);
        ctx_ = RecoverContext{};
        ctx_.storeFileName = path_;
        setFixedText(ctx_.serviceName, sizeof ctx_.serviceName, "SVC");
        bool opened = false;
        captured([&] { opened = openStoreFile(ctx_, status_); });
        return opened;
    }
    // Reads and removes until the cursor ends; the seeds of what it sent.
    std::vector<std::uint32_t> drain() {
        std::vector<std::uint32_t> sent;
        for (int i = 0; i < 12 && ctx_.moreMessages && !ctx_.stopRequested; ++i) {
            if (read() == 0) break;
            sent.push_back(seedOf(delivered()));
            remove();
        }
        return sent;
    }
    // The same, as runs stopped after every removal.
    std::vector<std::uint32_t> drainOneRemovalPerRun() {
        std::vector<std::uint32_t> sent;
        for (int run = 0; run < 12 && reopen(); ++run) {
            if (read() == 0) break;
            sent.push_back(seedOf(delivered()));
            remove();
            if (!ctx_.moreMessages || ctx_.stopRequested) break;
        }
        return sent;
    }
    static std::uint32_t seedOf(const Bytes& message) {
        for (std::uint32_t n = 1; n < 100; ++n) {
            if (message == makeTestMessage(kLength, n)) return n;
        }
        return 0;
    }
};

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
    h.firstMsgOffset = r.oldest;
    h.lastMsgOffset = r.newest;
    h.lastOffset = r.oldest + kRecord;
    h.forwardOffset = r.oldest;
    h.msgCount = 3;
    h.wrapped = 1;
    return r;
}

TEST_F(RingEndTest, PartAfterTheWrapEndsWithTheNewestRecord) {
    struct Row {
        const char* name;
        std::int64_t lastShift;  // lastMsgOffset relative to B
        bool damageNewest;
        bool startBehindNewest;
        std::vector<std::uint32_t> sent;
        bool stop;
        bool more;
    };
    const Row rows[] = {
        {"sound ring", 0, false, false, {3, 1, 2}, false, false},
        {"newest record damaged", 0, true, false, {3, 1}, true, true},
        {"records shifted behind the newest", -1, false, false, {3, 1}, true, false},
        {"newest named inside A", -(kRecord - 8), false, false, {3, 1}, true, false},
        {"forward offset between newest and oldest", 0, false, true, {}, true, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Ring r = wrappedRing();
        r.b.header().lastMsgOffset = r.newest + row.lastShift;
        if (row.startBehindNewest) r.b.header().forwardOffset = r.earlierLap;
        r.b.writeTo(path_);
        if (row.damageNewest) testsupport::flipByte(path_, r.newest + 50);
        ASSERT_TRUE(reopen());

        EXPECT_EQ(drain(), row.sent);
        EXPECT_EQ(ctx_.stopRequested, row.stop);
        EXPECT_EQ(ctx_.moreMessages, row.more);
        if (row.stop) {
            EXPECT_EQ(entries(status_).back(), Entry(13, 13412));
        }
        EXPECT_FALSE(ctx_.currentMsg);
    }
}

// A ring whose header keeps no newest record goes on to the end of the older
// part and ends by its message count, as before.
TEST_F(RingEndTest, OlderTypeRingReadsOnBehindTheWrap) {
    StoreFileBuilder b(1);
    b.header().maxSize = 1;
    b.addMessage(makeTestMessage(kLength, 1));
    b.addMessage(makeTestMessage(kLength, 2));
    b.addRaw(Bytes(1000, 0x77));
    const std::int64_t oldest = b.addMessage(makeTestMessage(kLength, 3));
    StoreFileHeader& h = b.header();
    h.firstMsgOffset = oldest;
    h.forwardOffset = oldest;
    h.lastOffset = oldest + kRecord;
    h.msgCount = 3;
    h.wrapped = 1;
    b.zeroFillTo(b.end() + 100);
    b.writeTo(path_);
    ASSERT_TRUE(reopen());
    EXPECT_EQ(drain(), (std::vector<std::uint32_t>{3, 1, 2}));
    EXPECT_FALSE(ctx_.moreMessages);
}

// The wrapped word is set, yet the oldest message lies before the newest:
// the data does not continue at the data area start, so the removal of the
// record at the data end stops instead of sending everything again.
TEST_F(RingEndTest, WrappedWordWithoutAWrapEndsAtTheDataEnd) {
    StoreFileBuilder b;
    b.header().maxSize = 1;
    const std::int64_t first = b.addMessage(makeTestMessage(kLength, 1));
    b.addMessage(makeTestMessage(kLength, 2));
    const std::int64_t atEnd = b.addMessage(makeTestMessage(kLength, 3));
    b.zeroFillTo(b.end() + 1000);
    StoreFileHeader& h = b.header();
    h.firstMsgOffset = first;
    h.lastMsgOffset = std::int64_t{1} << 40;  // never met
    h.lastOffset = atEnd;
    h.forwardOffset = first;
    h.wrapped = 1;
    b.writeTo(path_);
    ASSERT_TRUE(reopen());

    EXPECT_EQ(drain(), (std::vector<std::uint32_t>{1, 2, 3}));
    EXPECT_TRUE(ctx_.stopRequested);
    EXPECT_EQ(ctx_.header.forwardOffset, atEnd);
    EXPECT_EQ(headerOnDisk().forwardOffset, atEnd);
}

// The older part ends at (or a few bytes before) the end of the file: its
// last removal records the wrap position, so a run stopped right then
// resumes with the newer part. With room for a record head left, the offset
// stays behind the record, where a later one could still be.
TEST_F(RingEndTest, RemovalAtTheFileEndResumesAtTheWrap) {
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
        h.firstMsgOffset = oldest;
        h.lastMsgOffset = newest;
        h.lastOffset = b.end();
        h.forwardOffset = oldest;
        h.msgCount = 4;
        h.wrapped = 1;
        b.writeTo(path_);
        ASSERT_TRUE(reopen());

        ASSERT_EQ(read(), kLength);
        remove();
        ASSERT_EQ(read(), kLength);
        ASSERT_EQ(ctx_.header.forwardOffset, last);
        remove();
        const std::int64_t expected = tail < 304 ? 92 : last + kRecord;
        EXPECT_EQ(ctx_.header.forwardOffset, expected);
        EXPECT_EQ(headerOnDisk().forwardOffset, expected);
        EXPECT_TRUE(ctx_.moreMessages);
        EXPECT_FALSE(ctx_.stopRequested);

        ASSERT_TRUE(reopen()) << "the stopped run resumes";
        EXPECT_EQ(drain(), (std::vector<std::uint32_t>{1, 2}));
        EXPECT_FALSE(ctx_.moreMessages);
    }
}

// Headers with sound CRCs over offsets no writer produces: whatever their
// lastOffset says, a removal never sends the reader back over messages this
// recovery forwarded, and a run stopped after any removal resumes behind it.
TEST_F(RingEndTest, OffsetsThatDoNotBoundTheDataSendNothingTwice) {
    struct Row {
        const char* name;
        std::vector<std::uint32_t> sent;
        StoreFileBuilder (*build)();
    };
    const Row rows[] = {
        // lastOffset below every record: the removals after the wrap stay
        // behind it, up to the newest record.
        {"type-2 ring, lastOffset negative", {3, 1, 2},
         [] {
             StoreFileBuilder b;
             b.header().maxSize = 1;
             b.addMessage(makeTestMessage(kLength, 1));
             const std::int64_t newest = b.addMessage(makeTestMessage(kLength, 2));
             b.addRaw(Bytes(500, 0x77));
             const std::int64_t oldest = b.addMessage(makeTestMessage(kLength, 3));
             StoreFileHeader& h = b.header();
             h.firstMsgOffset = h.forwardOffset = oldest;
             h.lastMsgOffset = newest;
             h.lastOffset = -1000;
             h.wrapped = 1;
             return b;
         }},
        // firstMsgOffset before the data area: nothing lies between the wrap
        // position and the oldest message, and lastOffset 0 ends the data at
        // the first removal.
        {"type-1 ring, oldest at 1, lastOffset 0", {1},
         [] {
             StoreFileBuilder b(1);
             b.header().maxSize = 1;
             const std::int64_t a = b.addMessage(makeTestMessage(kLength, 1));
             b.addMessage(makeTestMessage(kLength, 2));
             StoreFileHeader& h = b.header();
             h.firstMsgOffset = 1;
             h.forwardOffset = a;
             h.lastOffset = 0;
             h.wrapped = 2;
             return b;
         }},
        // Every record below an oldest message beyond the file, lastOffset
        // inside the second: a restart past lastOffset finds its type-0
        // header wrapped, and must not go round for that.
        {"type-0 ring, reader past lastOffset", {1, 2, 3},
         [] {
             StoreFileBuilder b(0);
             b.header().maxSize = 1;
             const std::int64_t a = b.addMessage(makeTestMessage(kLength, 1));
             const std::int64_t second = b.addMessage(makeTestMessage(kLength, 2));
             b.addMessage(makeTestMessage(kLength, 3));
             StoreFileHeader& h = b.header();
             h.firstMsgOffset = std::int64_t{1} << 24;
             h.forwardOffset = a;
             h.lastOffset = second + 100;
             return b;
         }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        StoreFileBuilder b = row.build();
        b.zeroFillTo(b.end() + 100);
        b.writeTo(path_);
        ASSERT_TRUE(reopen());
        EXPECT_EQ(drain(), row.sent) << "one run";

        b.writeTo(path_);
        EXPECT_EQ(drainOneRemovalPerRun(), row.sent) << "a run per removal";
    }
}

}  // namespace
