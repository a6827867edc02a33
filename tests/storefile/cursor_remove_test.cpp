// Removing an acknowledged message: where the forward offset goes, when the
// data ends, what a failed or unsynced header write leaves behind, and what
// a later run finds in a header that counts its messages forwarded.
#include "tests/storefile/store_test.h"

namespace {

using namespace storetest;

class RemoveTest : public StoreFileTest {
protected:
    void SetUp() override {
        StoreFileBuilder b;
        b.zeroFillTo(4096);
        ASSERT_TRUE(openFile(b));
        set(2, 0, 500, 192, 0, 5, 2);
    }
    void set(std::int32_t type, std::uint32_t maxSize, std::int64_t forward, std::int64_t first, std::uint32_t wrapped,
             std::uint32_t msgCount, std::uint32_t forwardedCount) {
        ctx_.headerType = type;
        StoreFileHeader& h = ctx_.header;
        h.maxSize = maxSize;
        h.forwardOffset = forward;
        h.firstMsgOffset = first;
        h.lastMsgOffset = type == 2 ? 2000 : 0;  // as loading an older header leaves it
        h.lastOffset = 3000;
        h.wrapped = wrapped;
        h.msgCount = msgCount;
        h.forwardedCount = forwardedCount;
        ctx_.moreMessages = true;
        ctx_.stopRequested = false;
        const Bytes msg = makeTestMessage(400, 1);
        ASSERT_TRUE(allocateMessage(ctx_.currentMsg, 400));
        std::copy(msg.begin(), msg.end(), ctx_.currentMsg.data());
        ctx_.retryPending = true;
    }
};

TEST_F(RemoveTest, ForwardOffsetAndEndAsTheHeaderSays) {
    constexpr std::uint32_t ring = 4096;
    struct Row {
        const char* name;
        std::int32_t type;
        std::uint32_t maxSize;  // 0: a linear file
        std::int64_t forward, first;
        std::uint32_t wrapped, msgCount, forwardedCount;
        std::int64_t forwardAfter;
        std::uint32_t countAfter;
        bool more, stop;
    } rows[] = {
        {"last message", 2, 0, 2000, 192, 0, 5, 2, 2000, 5, false, false},
        {"before the data end", 2, 0, 500, 192, 0, 5, 2, 912, 3, true, false},
        {"at the oldest message", 2, 0, 192, 192, 0, 5, 2, 604, 1, true, false},
        {"at the data end, no wrap", 2, 0, 3000, 192, 0, 5, 2, 3000, 3, true, true},
        {"wrapped, type 2", 2, ring, 3000, 2500, 1, 5, 2, 92, 3, true, false},
        // Oldest before newest: nothing at the data area start is left for
        // this lap, whatever the wrapped word says.
        {"wrapped word without a wrap", 2, ring, 3000, 192, 1, 5, 2, 3000, 3, true, true},
        {"wrapped word, oldest is newest", 2, ring, 3000, 2000, 1, 5, 2, 3000, 3, true, true},
        {"wrapped word in a linear file", 1, 0, 3000, 192, 1, 5, 2, 3000, 3, true, true},
        // Behind the wrap already: the next record follows, whatever lastOffset says.
        {"after the wrap, at lastOffset", 2, ring, 3000, 3500, 1, 5, 2, 3412, 3, true, false},
        // The older types cannot name their newest record: the wrapped word
        // decides, and in a ring only the removal that completes a message
        // count that can be trusted ends the recovery.
        {"wrapped, type 1", 1, ring, 3000, 192, 1, 5, 2, 68, 3, true, false},
        {"wrapped, type 0", 0, ring, 3000, 192, 1, 5, 2, 64, 3, true, false},
        {"type 1 ring, the count completes", 1, 1, 500, 192, 0, 5, 4, 912, 5, false, false},
        {"type 1 ring, one still to forward", 1, 1, 500, 192, 0, 5, 3, 912, 4, true, false},
        {"type 1 ring, the count restarts at the oldest", 1, 1, 192, 192, 0, 1, 9, 604, 1, false, false},
        {"type 1 ring, a stale count past msgCount", 1, 1, 500, 192, 0, 5, 7, 912, 8, true, false},
        {"type 1 ring, no count kept", 1, 1, 500, 192, 0, 0, 0xFFFFFFFF, 912, 0, true, false},
        {"type 1 ring, the DUMP count", 1, 1, 500, 192, 0, 0xFFFFFFFF, 0xFFFFFFFE, 912, 0xFFFFFFFF, true, false},
        {"type 1 linear file", 1, 0, 500, 192, 0, 5, 4, 912, 5, true, false},
        {"type 2 ring ends at its last message only", 2, 1, 500, 192, 0, 5, 4, 912, 5, true, false},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        set(r.type, r.maxSize, r.forward, r.first, r.wrapped, r.msgCount, r.forwardedCount);
        remove();
        EXPECT_EQ(ctx_.header.forwardOffset, r.forwardAfter);
        EXPECT_EQ(ctx_.header.forwardedCount, r.countAfter);
        EXPECT_EQ(ctx_.moreMessages, r.more);
        EXPECT_EQ(ctx_.stopRequested, r.stop);
        EXPECT_FALSE(ctx_.currentMsg);
        EXPECT_FALSE(ctx_.retryPending);
        if (r.type == 2) {
            EXPECT_EQ(headerOnDisk().forwardOffset, r.forwardAfter);
        }
    }
    removeLastMsg(ctx_, status_);
    EXPECT_EQ(statusEntries(status_), storeCodes({13452})) << "nothing held";
}

// The message stays for a resend, and its next acknowledgement must move the
// offset once, not past the message behind it. Failures in a row stop the
// recovery, which would otherwise send and remove the message forever.
TEST_F(RemoveTest, FailedRemovalKeepsMessageAndOffsetAndThreeInARowStop) {
    ::setenv("ZENTO_SF_SYNC", "message", 1);
    const std::string warning = "Warning: ERROR trying to write file header: error in ";
    const std::tuple<FileOpKind, int, Entries, std::string> faults[] = {
        // The header area is read first, to know which copy holds the header now.
        {FileOpKind::Read, EIO, {{1, EIO}, {13, 13182}, {13, 13521}, {13, 13453}}, "READ.\n"},
        {FileOpKind::Write, ENOSPC, {{1, ENOSPC}, {13, 13202}, {13, 13521}, {13, 13453}}, "WRITE.\n"},
        {FileOpKind::Fsync, EIO, {{1, EIO}, {13, 13220}, {13, 13453}}, "SYNC.\n"},
    };
    for (const auto& [kind, error, codes, line] : faults) {
        FaultyFileOps ops;
        ops.failNth(kind, 1, error);
        EXPECT_EQ(captured([&] { removeLastMsg(ctx_, status_); }), warning + line);
        EXPECT_EQ(statusEntries(status_), codes);
        EXPECT_TRUE(ctx_.currentMsg && ctx_.retryPending && !ctx_.stopRequested) << line;
        EXPECT_EQ(ctx_.header.forwardOffset, 500);
        EXPECT_EQ(ctx_.header.forwardedCount, 2u);
        if (kind == FileOpKind::Write) {  // a success in between moves the offset once and starts the count again
            remove();
            EXPECT_EQ(ctx_.header.forwardOffset, 912);
            set(2, 0, 500, 192, 0, 5, 2);
        }
    }
    FaultyFileOps ops;
    ops.failNth(FileOpKind::Write, 1, ENOSPC, true);
    std::string out;
    for (int attempt = 2; attempt <= 3; ++attempt) {
        out = captured([&] { removeLastMsg(ctx_, status_); });
        EXPECT_EQ(ctx_.stopRequested, attempt == 3) << attempt;
        EXPECT_EQ(ctx_.dataUnreadable, attempt == 3) << attempt;
    }
    EXPECT_EQ(out, warning + "WRITE.\nError: the store file header could not be written (No space left on device).  "
                             "Recovery stopped; the remaining messages stay in the store file.\n");
    EXPECT_TRUE(ctx_.currentMsg && ctx_.moreMessages);
}

TEST_F(RemoveTest, RemovalsSyncTheHeaderOnlyWhenAskedTo) {
    const std::pair<const char*, int> cases[] = {{nullptr, 0}, {"message", 3}, {"close", 0}, {"MESSAGE", 0}};
    for (const auto& [setting, syncs] : cases) {
        if (setting != nullptr) ::setenv("ZENTO_SF_SYNC", setting, 1);
        FaultyFileOps ops;
        for (std::int64_t forward : {500, 912, 1324}) {
            set(2, 0, forward, 192, 0, 5, 2);
            remove();
        }
        EXPECT_EQ(ops.calls(FileOpKind::Fsync), syncs) << (setting != nullptr ? setting : "unset");
    }
}

// The removal of the last message leaves the forward offset on it and counts
// it forwarded; a rerun must not send it again. Only a header that counts all
// its messages forwarded with the forward offset on the last one is drained,
// or a ring of an older type whose count is exactly complete and whose reader
// has left the oldest message. Any other header still sends the record at the
// forward offset.
TEST_F(StoreFileTest, OnlyAFullyCountedHeaderIsDrained) {
    struct Case {
        const char* name;
        int type;
        std::uint32_t maxSize, msgCount, forwardedCount;
        bool forwardOnLast, drained;
    } cases[] = {
        {"all forwarded", 2, 0, 2, 2, true, true},
        {"all forwarded, ring", 2, 1, 2, 2, true, true},
        {"one still to forward", 2, 0, 2, 1, true, false},
        {"forward offset before the last", 2, 0, 2, 2, false, false},
        {"no messages counted", 2, 0, 0, 0, true, false},
        {"the DUMP count", 2, 0, 0xFFFFFFFF, 0xFFFFFFFF, true, false},
        {"type 1 linear", 1, 0, 2, 2, true, false},
        {"type 1 ring, count complete", 1, 1, 2, 2, true, true},
        {"type 0 ring, count complete", 0, 1, 2, 2, true, true},
        {"type 1 ring, one still to forward", 1, 1, 2, 1, true, false},
        {"type 1 ring, a stale count past msgCount", 1, 1, 2, 3, true, false},
        {"type 1 ring, at the oldest message", 1, 1, 2, 2, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        StoreFileBuilder b(c.type);
        b.header().maxSize = c.maxSize;
        b.addMessage(makeTestMessage(400, 1));
        b.addMessage(makeTestMessage(500, 2));
        StoreFileHeader& h = b.describeRecords().header();
        h.msgCount = c.msgCount;
        h.forwardedCount = c.forwardedCount;
        h.forwardOffset = b.recordOffsets()[c.forwardOnLast ? 1 : 0];
        b.zeroFillTo(b.end() + 1000);
        ASSERT_TRUE(openFile(b));
        ctx_.header.lastMsgOffset = b.recordOffsets()[1];  // must not count where the type keeps none
        if (c.drained) {
            expectEnd(ReadOutcome::EndOfData, true, false, c.maxSize == 0 ? "Reached file end.\n" : "");
            EXPECT_EQ(statusEntries(status_), storeCodes({13412}));
        } else {
            EXPECT_EQ(read(), c.forwardOnLast ? 500u : 400u);
        }
    }
}

}  // namespace
