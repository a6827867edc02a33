// What a later run finds: a file whose every message was forwarded sends
// nothing again, a removal that leaves the forward offset at the wrap position
// is no damage, and removals whose header cannot be recorded or synced.
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <iterator>

#include "tests/storefile/cursor_fixture.h"
#include "tests/support/faulty_file_ops.h"

namespace {

using namespace storetest;
using testsupport::FileOpKind;
using testsupport::makeTestMessage;
using testsupport::StoreFileBuilder;

using Bytes = std::vector<std::uint8_t>;

class ResumeTest : public StoreFileTest {
protected:
    void TearDown() override {
        ::unsetenv("ZENTO_SF_SYNC");
        StoreFileTest::TearDown();
    }
    // A new run on the same file.
    std::string reopen() {
        if (ctx_.storeFileHandle >= 0) closeStoreFileHandle(ctx_.storeFileHandle, status_);
        ctx_ = RecoverContext{};
        ctx_.storeFileName = path_;
        setFixedText(ctx_.serviceName, sizeof ctx_.serviceName, "SVC");
        return openWritten();
    }
    void drain(int messages) {
        for (int i = 0; i < messages; ++i) {
            ASSERT_GT(read(), 0u) << i;
            remove();
        }
    }
    void hold() {
        const Bytes msg = makeTestMessage(400, 1);
        ASSERT_TRUE(allocateMessage(ctx_.currentMsg, 400));
        std::copy(msg.begin(), msg.end(), ctx_.currentMsg.data());
    }
    // Empty while nothing was logged.
    std::string logText() const {
        std::ifstream in(home_.file("log/zento.log"));
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
};

// The removal of the last message leaves the forward offset on it and counts
// it forwarded; a rerun must not send it again.
TEST_F(ResumeTest, RerunOfADrainedFileEndsAtOnce) {
    for (const std::uint32_t maxSize : {0u, 1u}) {
        SCOPED_TRACE(maxSize != 0 ? "ring" : "linear");
        StoreFileBuilder b;
        b.header().maxSize = maxSize;
        b.addMessage(makeTestMessage(400, 1));
        b.addMessage(makeTestMessage(500, 2));
        b.describeRecords();
        b.zeroFillTo(b.end() + 1000);
        b.writeTo(path_);
        reopen();
        drain(2);
        EXPECT_FALSE(ctx_.moreMessages);

        reopen();
        std::string out;
        EXPECT_EQ(read(&out), 0u);
        EXPECT_EQ(out, maxSize == 0 ? "Reached file end.\n" : "");
        EXPECT_EQ(entries(status_), storeCodes({13412}));
        EXPECT_EQ(ctx_.lastReadOutcome, ReadOutcome::EndOfData);
        EXPECT_TRUE(ctx_.stopRequested);
        EXPECT_FALSE(ctx_.moreMessages);
        EXPECT_FALSE(ctx_.currentMsg);
    }
}

// A type-2 header is drained when it counts all its messages forwarded with
// the forward offset on the last one; a ring of an older type when its count
// is exactly complete and the reader has left the oldest message. Any other
// header still sends the record at the forward offset.
TEST_F(ResumeTest, OnlyAFullyCountedHeaderIsDrained) {
    struct Case {
        const char* name;
        int headerType;
        std::uint32_t maxSize;
        std::uint32_t msgCount;
        std::uint32_t forwardedCount;
        bool forwardOnLast;
        bool drained;
    } cases[] = {
        {"all forwarded", 2, 0, 2, 2, true, true},
        {"counted past the stored ones", 2, 0, 2, 5, true, true},
        {"one still to forward", 2, 0, 2, 1, true, false},
        {"forward offset before the last", 2, 0, 2, 2, false, false},
        {"no messages counted", 2, 0, 0, 0, true, false},
        {"the DUMP count", 2, 0, 0xFFFFFFFF, 0xFFFFFFFF, true, false},
        {"type 1 linear", 1, 0, 2, 2, true, false},
        {"type 0 linear", 0, 0, 2, 2, true, false},
        {"type 1 ring, count complete", 1, 1, 2, 2, true, true},
        {"type 0 ring, count complete", 0, 1, 2, 2, true, true},
        {"type 1 ring, one still to forward", 1, 1, 2, 1, true, false},
        {"type 1 ring, a stale count past msgCount", 1, 1, 2, 3, true, false},
        {"type 1 ring, no messages counted", 1, 1, 0, 0, true, false},
        {"type 1 ring, at the oldest message", 1, 1, 2, 2, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        StoreFileBuilder b(c.headerType);
        b.header().maxSize = c.maxSize;
        b.addMessage(makeTestMessage(400, 1));
        b.addMessage(makeTestMessage(500, 2));
        b.describeRecords();
        b.header().msgCount = c.msgCount;
        b.header().forwardedCount = c.forwardedCount;
        b.header().forwardOffset = b.recordOffsets()[c.forwardOnLast ? 1 : 0];
        b.writeTo(path_);
        reopen();
        // Older generations keep no last offset; one left in memory must not count.
        ctx_.header.lastMsgOffset = b.recordOffsets()[1];
        const std::uint32_t length = read();
        EXPECT_EQ(length, c.drained ? 0u : (c.forwardOnLast ? 500u : 400u));
        EXPECT_EQ(ctx_.stopRequested, c.drained);
    }
}

// A type-1 ring whose newer part continues at the data start, with records
// of an earlier lap (forwarded long ago, still sound) behind its newest
// record: the stored messages go out once each, the count ends the run, a
// rerun sends nothing, and a message appended later is sent once.
TEST_F(ResumeTest, OlderTypeRingEndsAfterItsCountedMessages) {
    StoreFileBuilder b(1);
    b.header().maxSize = 1;
    b.addMessage(makeTestMessage(400, 3));
    b.addMessage(makeTestMessage(400, 4));
    const std::int64_t earlierLap = b.addMessage(makeTestMessage(400, 91));
    b.addMessage(makeTestMessage(400, 92));
    const std::int64_t oldest = b.addMessage(makeTestMessage(400, 1));
    b.addMessage(makeTestMessage(400, 2));
    StoreFileHeader& h = b.header();
    h.firstMsgOffset = oldest;
    h.forwardOffset = oldest;
    h.lastOffset = b.end();
    h.offset48 = earlierLap;
    h.msgCount = 4;
    h.forwardedCount = 0;
    h.wrapped = 1;
    b.zeroFillTo(b.end() + 2000);
    b.writeTo(path_);
    reopen();

    // Which stored message was delivered, by its seed.
    const auto seedOf = [](const Bytes& message) -> std::uint32_t {
        for (std::uint32_t n : {1u, 2u, 3u, 4u, 5u, 91u, 92u}) {
            if (message == makeTestMessage(400, n)) return n;
        }
        return 0;
    };
    std::vector<std::uint32_t> sent;
    for (int i = 0; i < 12 && ctx_.moreMessages && !ctx_.stopRequested; ++i) {
        ASSERT_GT(read(), 0u) << "message " << i + 1;
        sent.push_back(seedOf(delivered()));
        remove();
    }
    EXPECT_EQ(sent, (std::vector<std::uint32_t>{1, 2, 3, 4}));
    EXPECT_FALSE(ctx_.moreMessages);
    EXPECT_EQ(ctx_.header.forwardOffset, earlierLap) << "moved past the newest message";
    EXPECT_EQ(ctx_.header.forwardedCount, 4u);

    reopen();
    EXPECT_EQ(read(), 0u) << "the rerun finds the count complete";
    EXPECT_EQ(entries(status_), storeCodes({13412}));
    EXPECT_TRUE(ctx_.stopRequested);

    // A writer appends one message where the earlier lap's record was.
    Bytes file = testsupport::readAllBytes(path_);
    const Bytes appended = testsupport::makeRecord(makeTestMessage(400, 5));
    std::copy(appended.begin(), appended.end(), file.begin() + earlierLap);
    StoreFileHeader after = ctx_.header;
    after.msgCount = 5;
    const Bytes area = testsupport::makeHeaderArea(after, 1);
    std::copy(area.begin(), area.end(), file.begin());
    testsupport::writeAllBytes(path_, file);
    reopen();
    ASSERT_EQ(read(), 400u);
    EXPECT_EQ(seedOf(delivered()), 5u);
    remove();
    EXPECT_FALSE(ctx_.moreMessages);
}

// A removal that moved the forward offset to the wrap position: the next read
// meets the header there and searches on, which is no damage.
TEST_F(ResumeTest, HeaderAtTheWrapPositionIsNotCountedAsSkipped) {
    StoreFileBuilder b;
    b.header().maxSize = 1;
    b.addMessage(makeTestMessage(400, 1));
    b.addRaw(Bytes(2000, 0x77));
    const std::int64_t oldest = b.addMessage(makeTestMessage(600, 3));
    b.header().firstMsgOffset = oldest;
    b.header().lastMsgOffset = b.recordOffsets()[0];
    b.header().lastOffset = oldest + 612;
    b.header().forwardOffset = oldest;
    b.header().wrapped = 1;
    b.header().msgCount = 2;
    b.writeTo(path_);
    reopen();
    ctx_.header.forwardOffset = oldest + 612;  // the record at lastOffset's end was removed
    hold();
    remove();
    ASSERT_EQ(ctx_.header.forwardOffset, 92);

    EXPECT_EQ(read(), 400u);
    EXPECT_EQ(ctx_.header.forwardOffset, 192);
    EXPECT_EQ(ctx_.stats.skippedRanges, 0u);
    EXPECT_EQ(ctx_.stats.skippedBytes, 0u);
    EXPECT_EQ(logText().find("skipped"), std::string::npos);
}

TEST_F(ResumeTest, RemovalsSyncTheHeaderWhenAskedTo) {
    StoreFileBuilder b;
    for (std::uint32_t i = 1; i <= 3; ++i) b.addMessage(makeTestMessage(400, i));
    b.describeRecords();
    b.writeTo(path_);
    struct Case {
        const char* setting;  // nullptr: unset
        int syncs;
    } cases[] = {{nullptr, 0}, {"message", 3}, {"close", 0}, {"MESSAGE", 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.setting != nullptr ? c.setting : "unset");
        if (c.setting != nullptr) {
            ::setenv("ZENTO_SF_SYNC", c.setting, 1);
        } else {
            ::unsetenv("ZENTO_SF_SYNC");
        }
        b.writeTo(path_);
        reopen();
        testsupport::FaultyFileOps ops;
        drain(3);
        EXPECT_EQ(ops.calls(FileOpKind::Fsync), c.syncs);
    }
}

// A failed sync fails the removal like a failed write: the message stays for
// a resend and the offset where it was. Failures in a row stop the recovery;
// a success in between starts the count again.
TEST_F(ResumeTest, RemovalsThatCannotBeRecordedStopTheRecovery) {
    ::setenv("ZENTO_SF_SYNC", "message", 1);
    StoreFileBuilder b;
    for (std::uint32_t i = 1; i <= 3; ++i) b.addMessage(makeTestMessage(400, i));
    b.describeRecords();
    openFile(b);
    ASSERT_EQ(read(), 400u);
    const std::int64_t first = ctx_.header.forwardOffset;

    testsupport::FaultyFileOps ops;
    ops.failNth(FileOpKind::Fsync, 1, EIO);
    std::string out = captured([&] { removeLastMsg(ctx_, status_); });
    EXPECT_EQ(out, "Warning: ERROR trying to write file header: error in SYNC.\n");
    EXPECT_EQ(entries(status_), (std::vector<Entry>{{1, EIO}, {13, 13220}, {13, 13453}}));
    EXPECT_TRUE(ctx_.currentMsg);
    EXPECT_EQ(ctx_.header.forwardOffset, first);
    EXPECT_FALSE(ctx_.stopRequested);

    ops.failNth(FileOpKind::Write, 1, ENOSPC);
    captured([&] { removeLastMsg(ctx_, status_); });
    EXPECT_FALSE(ctx_.stopRequested);
    remove();  // the count starts again
    ASSERT_EQ(read(), 400u);

    ops.failNth(FileOpKind::Write, 1, ENOSPC, true);
    for (int attempt = 1; attempt <= 3; ++attempt) {
        out = captured([&] { removeLastMsg(ctx_, status_); });
        EXPECT_TRUE(statusFailed(status_));
        EXPECT_EQ(ctx_.stopRequested, attempt == 3) << attempt;
        EXPECT_EQ(ctx_.dataUnreadable, attempt == 3) << attempt;
    }
    EXPECT_EQ(out,
              "Warning: ERROR trying to write file header: error in WRITE.\n"
              "Error: the store file header could not be written (No space left on device).  Recovery stopped; "
              "the remaining messages stay in the store file.\n");
    EXPECT_TRUE(ctx_.currentMsg);
    EXPECT_TRUE(ctx_.moreMessages);
}

TEST_F(ResumeTest, CloseSyncsTheFileAndReportsAFailedSync) {
    StoreFileBuilder b;
    b.addMessage(makeTestMessage(400, 1));
    b.describeRecords();
    openFile(b);
    {
        testsupport::FaultyFileOps ops;
        bool closed = false;
        const std::string out = captured([&] { closed = MasterFileClose(ctx_, status_); });
        EXPECT_TRUE(closed);
        EXPECT_EQ(out, "Executing MasterFileClose.\n");
        EXPECT_EQ(ops.calls(FileOpKind::Fsync), 1);
        EXPECT_FALSE(ctx_.dataUnreadable);
    }
    reopen();
    testsupport::FaultyFileOps ops;
    ops.failNth(FileOpKind::Fsync, 1, EIO);
    bool closed = true;
    const std::string out = captured([&] { closed = MasterFileClose(ctx_, status_); });
    EXPECT_FALSE(closed);
    EXPECT_EQ(out, "Executing MasterFileClose.\nError syncing file: Input/output error.\n");
    EXPECT_EQ(entries(status_), storeCodes({13457}));
    EXPECT_TRUE(ctx_.dataUnreadable);
    EXPECT_EQ(ctx_.storeFileHandle, -1) << "closed all the same";
}

}  // namespace
