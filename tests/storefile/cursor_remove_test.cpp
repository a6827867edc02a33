// Removing an acknowledged message: where the forward offset goes, and what a
// failed header write leaves behind.
#include <cerrno>

#include "tests/storefile/cursor_fixture.h"
#include "tests/support/faulty_file_ops.h"

namespace {

using namespace storetest;
using testsupport::FileOpKind;

class RemoveTest : public StoreFileTest {
protected:
    void SetUp() override {
        StoreFileTest::SetUp();
        testsupport::StoreFileBuilder b;
        b.zeroFillTo(4096);
        openFile(b);
        ctx_.header.firstMsgOffset = 192;
        ctx_.header.lastMsgOffset = 2000;
        ctx_.header.lastOffset = 3000;
        ctx_.header.msgCount = 5;
        ctx_.header.forwardedCount = 2;
        ctx_.header.forwardOffset = 500;
        hold();
    }
    void hold() {
        const auto msg = testsupport::makeTestMessage(400, 1);
        ASSERT_TRUE(allocateMessage(ctx_.currentMsg, 400));
        std::copy(msg.begin(), msg.end(), ctx_.currentMsg.data());
        ctx_.retryPending = true;
    }
};

TEST_F(RemoveTest, ForwardOffsetMovesAsTheHeaderSays) {
    struct Row {
        const char* name;
        std::int32_t headerType;
        std::uint32_t maxSize;  // 0: a linear file
        std::int64_t forward;
        std::int64_t first;
        std::uint32_t wrapped;
        std::int64_t forwardAfter;
        std::uint32_t countAfter;
        bool more;
        bool stop;
    };
    constexpr std::uint32_t ring = 4096;
    const Row rows[] = {
        {"last message", 2, 0, 2000, 192, 0, 2000, 5, false, false},
        {"before the data end", 2, 0, 500, 192, 0, 912, 3, true, false},
        {"at the oldest message", 2, 0, 192, 192, 0, 604, 1, true, false},
        {"wrapped, type 2", 2, ring, 3000, 2500, 1, 92, 3, true, false},
        // Oldest before newest: nothing at the data area start is left for
        // this lap, whatever the wrapped word says.
        {"wrapped word without a wrap, type 2", 2, ring, 3000, 192, 1, 3000, 3, true, true},
        {"wrapped word, oldest is newest, type 2", 2, ring, 3000, 2000, 1, 3000, 3, true, true},
        // The older types cannot name their newest record; the word decides.
        {"wrapped, type 1", 1, ring, 3000, 192, 1, 68, 3, true, false},
        {"wrapped, type 0", 0, ring, 3000, 192, 1, 64, 3, true, false},
        // A linear file is never read from the wrap position.
        {"wrapped word in a linear file", 1, 0, 3000, 192, 1, 3000, 3, true, true},
        // Behind the wrap already, below the oldest message: the next record
        // follows, whatever lastOffset says.
        {"after the wrap, at lastOffset", 2, ring, 3000, 3500, 1, 3412, 3, true, false},
        {"at the data end, no wrap", 2, 0, 3000, 192, 0, 3000, 3, true, true},
    };
    const StoreFileHeader base = ctx_.header;
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        ctx_.header = base;
        ctx_.headerType = r.headerType;
        ctx_.header.maxSize = r.maxSize;
        if (r.headerType != 2) ctx_.header.lastMsgOffset = 0;  // the older types keep none
        ctx_.header.forwardOffset = r.forward;
        ctx_.header.firstMsgOffset = r.first;
        ctx_.header.wrapped = r.wrapped;
        ctx_.moreMessages = true;
        ctx_.stopRequested = false;
        hold();
        remove();
        EXPECT_EQ(ctx_.header.forwardOffset, r.forwardAfter);
        EXPECT_EQ(ctx_.header.forwardedCount, r.countAfter);
        EXPECT_EQ(ctx_.moreMessages, r.more);
        EXPECT_EQ(ctx_.stopRequested, r.stop);
        EXPECT_FALSE(ctx_.currentMsg);
        EXPECT_FALSE(ctx_.retryPending);
        if (r.headerType == 2) {
            EXPECT_EQ(headerOnDisk().forwardOffset, r.forwardAfter);
        }
    }
}

// Older header types cannot name their newest record: in a ring only the
// removal that completes the message count ends the recovery, and only when
// the count can be trusted.
TEST_F(RemoveTest, MessageCountEndsARingOfAnOlderHeaderType) {
    struct Row {
        const char* name;
        std::int32_t headerType;
        std::uint32_t maxSize;
        std::uint32_t msgCount;
        std::uint32_t forwardedCount;
        std::int64_t forward;
        bool more;
    };
    const Row rows[] = {
        {"type 1 ring, the count completes", 1, 1, 5, 4, 500, false},
        {"type 0 ring, the count completes", 0, 1, 5, 4, 500, false},
        {"type 1 ring, one still to forward", 1, 1, 5, 3, 500, true},
        {"type 1 ring, the count restarts at the oldest message", 1, 1, 1, 9, 192, false},
        {"type 1 ring, a stale count past msgCount", 1, 1, 5, 7, 500, true},
        {"type 1 ring, no count kept (the count wraps to 0)", 1, 1, 0, 0xFFFFFFFF, 500, true},
        {"type 1 ring, the DUMP count", 1, 1, 0xFFFFFFFF, 0xFFFFFFFE, 500, true},
        {"type 1 linear file", 1, 0, 5, 4, 500, true},
        {"type 2 ring ends at its last message only", 2, 1, 5, 4, 500, true},
    };
    const StoreFileHeader base = ctx_.header;
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        ctx_.header = base;
        ctx_.headerType = r.headerType;
        ctx_.header.maxSize = r.maxSize;
        ctx_.header.msgCount = r.msgCount;
        ctx_.header.forwardedCount = r.forwardedCount;
        ctx_.header.forwardOffset = r.forward;
        if (r.headerType != 2) ctx_.header.lastMsgOffset = 0;  // as loading an older header leaves it
        ctx_.moreMessages = true;
        ctx_.stopRequested = false;
        hold();
        remove();
        EXPECT_EQ(ctx_.moreMessages, r.more);
        EXPECT_FALSE(ctx_.stopRequested);
        EXPECT_EQ(ctx_.header.forwardOffset, r.forward + 412) << "moved past the message either way";
    }
}

TEST_F(RemoveTest, NothingHeldChangesNothing) {
    releaseMessage(ctx_.currentMsg);
    const StoreFileHeader before = ctx_.header;
    removeLastMsg(ctx_, status_);
    EXPECT_EQ(entries(status_), storeCodes({13452}));
    EXPECT_EQ(ctx_.header.forwardOffset, before.forwardOffset);
    EXPECT_EQ(ctx_.header.forwardedCount, before.forwardedCount);
}

// The message stays for a resend; when its next acknowledgement comes, the
// offset must move once, not skip the message behind it.
TEST_F(RemoveTest, FailedHeaderWriteKeepsMessageAndOffset) {
    const std::pair<FileOpKind, std::vector<Entry>> faults[] = {
        {FileOpKind::Read, {{1, EIO}, {13, 13182}, {13, 13521}, {13, 13453}}},
        {FileOpKind::Write, {{1, EIO}, {13, 13202}, {13, 13521}, {13, 13453}}},
    };
    for (const auto& [kind, codes] : faults) {
        {
            testsupport::FaultyFileOps ops;
            ops.failNth(kind, 1, EIO);
            removeLastMsg(ctx_, status_);
        }
        EXPECT_EQ(entries(status_), codes);
        EXPECT_TRUE(ctx_.currentMsg);
        EXPECT_TRUE(ctx_.retryPending);
        EXPECT_EQ(ctx_.header.forwardOffset, 500);
        EXPECT_EQ(ctx_.header.forwardedCount, 2u);
    }
    remove();
    EXPECT_EQ(ctx_.header.forwardOffset, 912);
    EXPECT_EQ(ctx_.header.forwardedCount, 3u);
    EXPECT_EQ(headerOnDisk().forwardOffset, 912);
}

}  // namespace
