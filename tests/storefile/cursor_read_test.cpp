// Reading stored messages in order: damaged data stepped over, the end of the
// data in both reading modes, the progress line and the I/O faults.
#include "msglib/coding.h"
#include "tests/storefile/store_test.h"

namespace {

using namespace storetest;

using CursorTest = StoreFileTest;

// The record of a 600-byte message (seed 2) whose length word says `length`,
// cut to its first `keep` bytes, with byte `flip` changed unless it is 0.
Bytes oddRecord(std::uint32_t bodyCheck, std::size_t keep = 612, std::size_t flip = 0, std::uint32_t length = 600) {
    Bytes msg = makeTestMessage(600, 2);
    encodeU32(msg.data() + 4, length);
    Bytes r = makeRecord(msg, bodyCheck);
    r.resize(keep);
    if (flip != 0) r[flip] ^= 1;
    return r;
}

// One read serves every record of a window, a record across the window's end
// starts the next one, and the header writes between them keep the window.
TEST_F(CursorTest, LinearReadDeliversEveryRecordFromAWindowOfTheFile) {
    StoreFileBuilder b;
    constexpr std::uint32_t kRecords = 200;  // about 140 KiB: three windows
    for (std::uint32_t i = 1; i <= kRecords; ++i) b.addMessage(makeTestMessage(i == 1 ? 292 : 700, i));
    ASSERT_TRUE(openFile(b.describeRecords()));
    FaultyFileOps ops;
    for (std::uint32_t i = 1; i <= kRecords; ++i) {
        std::string out;
        ASSERT_EQ(read(&out), i == 1 ? 292u : 700u) << i;
        ASSERT_EQ(out, "");
        ASSERT_EQ(deliveredSeed(), i);
        ASSERT_EQ(ctx_.header.forwardOffset, b.recordOffsets()[i - 1]);
        remove();
    }
    EXPECT_EQ(ops.calls(FileOpKind::Read), 1 + 3) << "the header area before its first rewrite, then the windows";
    EXPECT_EQ(ops.calls(FileOpKind::Seek), 0);
    EXPECT_FALSE(ctx_.moreMessages);
    EXPECT_FALSE(ctx_.stopRequested);
    EXPECT_EQ(headerOnDisk().forwardOffset, b.recordOffsets().back());
    EXPECT_EQ(headerOnDisk().forwardedCount, kRecords);
}

// The record behind a damaged one is delivered in the same call, and the log
// names the range skipped.
TEST_F(CursorTest, DamagedRecordsAreSteppedOver) {
    const std::pair<const char*, Bytes> damages[] = {
        {"head CRC mismatch", oddRecord(0, 612, 100)},
        {"body check not zero", oddRecord(7)},
        {"length word below 292", oddRecord(0, 612, 0, 100)},
    };
    for (const auto& [why, record] : damages) {
        SCOPED_TRACE(why);
        StoreFileBuilder b;
        b.addMessage(makeTestMessage(400, 1));
        const std::int64_t bad = b.addRaw(record);
        const std::int64_t next = b.addMessage(makeTestMessage(500, 3));
        ASSERT_TRUE(openFile(b.describeRecords()));
        EXPECT_EQ(drain(), (Seeds{1, 3}));
        EXPECT_FALSE(statusFailed(status_));
        EXPECT_EQ(headerOnDisk().forwardOffset, next);
        EXPECT_EQ(ctx_.stats.skippedRanges, 1u);
        EXPECT_EQ(ctx_.stats.skippedBytes, static_cast<std::uint64_t>(next - bad));
        const std::string line = "[SVC] Store file " + path_ + ": skipped " + std::to_string(next - bad) +
                                 " bytes at offset " + std::to_string(bad) + ": " + why + "\n";
        EXPECT_NE(fileText(home_.file("log/zento.log")).find(line), std::string::npos) << line;
    }
}

// A failed body check searches from 304 bytes behind the record's start, so a
// record inside the first 292 bytes of the message is not taken.
TEST_F(CursorTest, BodyCheckSearchStartsBehindTheRecordHead) {
    Bytes outer = makeTestMessage(2000, 1);
    const Bytes early = makeRecord(makeTestMessage(300, 8));
    const Bytes late = makeRecord(makeTestMessage(400, 9));
    std::copy(early.begin(), early.end(), outer.begin() + 100);
    std::copy(late.begin(), late.end(), outer.begin() + 800);
    StoreFileBuilder b;
    const std::int64_t at = b.addMessage(outer, 1);
    ASSERT_TRUE(openFile(b.describeRecords()));
    EXPECT_EQ(read(), 400u);
    EXPECT_EQ(ctx_.header.forwardOffset, at + 12 + 800);
    EXPECT_EQ(deliveredSeed(), 9u);
}

// The end table: which flags each end sets in linear and in ring reading.
TEST_F(CursorTest, EndsOfTheData) {
    struct Case {
        const char* name;
        Bytes tail;  // after one intact 400-byte message
        ReadOutcome outcome;
        bool linearMore, ringStop, ringMore;
    } cases[] = {
        {"short tail", Bytes(303, 0x11), ReadOutcome::EndOfData, false, false, false},
        {"damaged head, nothing after", oddRecord(0, 612, 20), ReadOutcome::EndOfData, true, true, true},
        // The length test counts the 12-byte prefix too: a message 12 bytes short ends the data.
        {"message 12 bytes past the end", oddRecord(0, 600), ReadOutcome::EndOfData, false, true, false},
        {"message far past the end", oddRecord(0, 400), ReadOutcome::EndOfData, false, true, false},
        {"body check, nothing after", oddRecord(1), ReadOutcome::EndOfData, false, true, false},
        {"zero-filled space", Bytes(5000, 0), ReadOutcome::EndOfData, false, true, false},
        {"too short record, nothing after", oddRecord(0, 304, 0, 291), ReadOutcome::TooShort, true, true, true},
    };
    for (const Case& c : cases) {
        for (std::uint32_t maxSize : {0u, 1u}) {
            SCOPED_TRACE(std::string(c.name) + (maxSize != 0 ? " (ring)" : " (linear)"));
            StoreFileBuilder b;
            b.header().maxSize = maxSize;
            b.addMessage(makeTestMessage(400, 1));
            b.addRaw(c.tail);
            b.describeRecords();
            b.header().lastMsgOffset = b.end();  // the removal must not end the data itself; no wrap
            if (maxSize == 0) b.header().lastOffset = b.end();
            ASSERT_TRUE(openFile(b));
            ASSERT_EQ(read(), 400u);
            remove();
            expectEnd(c.outcome, maxSize == 0 || c.ringStop, maxSize == 0 ? c.linearMore : c.ringMore,
                      maxSize == 0 ? "Reached file end.\n" : "");
        }
    }
    // DUMP over a preallocated file: the default header never finds the last
    // message; the zeros behind the last record end the recovery instead of
    // being forwarded.
    StoreFileBuilder b;
    b.addMessage(makeTestMessage(400, 1));
    b.addMessage(makeTestMessage(700, 2));
    b.zeroFillTo(64 * 1024);
    b.writeTo(path_);
    testsupport::flipByte(path_, 20);
    testsupport::flipByte(path_, 96 + 20);
    ASSERT_TRUE(reopen(true));
    EXPECT_EQ(drain(), (Seeds{1, 2}));
    expectEnd(ReadOutcome::EndOfData, true, false, "Reached file end.\n");
}

// A linear read past lastOffset returns nothing, without an error or a flag.
// The progress share is divided in single precision and scaled in double:
// 2^24 + 1 becomes 2^24 as a float, and 2^24 - 1 times 100 is no float.
TEST_F(CursorTest, BeyondLastOffsetAndTheProgressLineOnEveryThousandthCall) {
    StoreFileBuilder b;
    b.addMessage(makeTestMessage(400, 1));
    b.describeRecords().writeTo(path_);
    testsupport::truncateFile(path_, 16777300);
    ASSERT_TRUE(reopen());
    const std::tuple<std::int64_t, std::int64_t, const char*> cases[] = {
        {16777217, 1, "Currently at location 16777217, 1677721600.00 percent of file\n"},
        {16777215, 1, "Currently at location 16777215, 1677721500.00 percent of file\n"},
        {16777215, 0, "Currently at location 16777215, 100.00 percent of file\n"},
    };
    for (const auto& [forward, last, line] : cases) {
        ctx_.header.forwardOffset = forward;
        ctx_.header.lastOffset = last;
        ctx_.progressCounter = 998;
        std::string out;
        EXPECT_EQ(read(&out), 0u);
        EXPECT_EQ(out, "") << "the 999th call";
        read(&out);
        EXPECT_EQ(out, line);
        EXPECT_EQ(statusEntries(status_), Entries{});
        EXPECT_EQ(ctx_.lastReadOutcome, ReadOutcome::BeyondLastOffset);
        EXPECT_TRUE(ctx_.moreMessages && !ctx_.stopRequested);
    }
}

TEST_F(CursorTest, IoFaultsGiveTheirCodes) {
    // The first read fills the window with the head (and the body of a
    // message that fits); a body longer than the window, or the search's
    // first window, is the second read. Only the search seeks.
    const std::tuple<bool, std::uint32_t, FileOpKind, int, Entries> faults[] = {
        {false, 400, FileOpKind::Read, 1, {{1, EIO}, {13, 13182}, {13, 13532}, {13, 13411}}},
        {false, 70000, FileOpKind::Read, 2, {{1, EIO}, {13, 13182}, {13, 13512}, {13, 13406}}},
        // After damaged data (a search runs): a search that cannot read has
        // not shown that nothing follows: a failure, never the end of the data.
        {true, 400, FileOpKind::Seek, 1, {{1, EIO}, {13, 13159}, {13, 13402}, {13, 13411}}},
        {true, 400, FileOpKind::Read, 2, {{1, EIO}, {13, 13182}, {13, 13532}, {13, 13411}}},
        // The record found is delivered, though the header cannot name it.
        {true, 400, FileOpKind::Write, 1, {{1, EIO}, {13, 13202}, {13, 13521}, {13, 13414}}},
    };
    for (const auto& [damaged, size, kind, nth, codes] : faults) {
        StoreFileBuilder b;
        if (damaged) b.addRaw(Bytes(500, 0x33));
        b.addMessage(makeTestMessage(size, 1));
        b.describeRecords().header().forwardOffset = 192;
        ASSERT_TRUE(openFile(b));
        FaultyFileOps ops;
        ops.failNth(kind, nth, EIO);
        const bool delivers = kind == FileOpKind::Write;
        EXPECT_EQ(read(), delivers ? size : 0u);
        EXPECT_EQ(statusEntries(status_), codes);
        EXPECT_EQ(static_cast<bool>(ctx_.currentMsg), delivers);
        EXPECT_EQ(ctx_.lastReadOutcome, delivers ? ReadOutcome::Delivered : ReadOutcome::ReadError);
    }
}

}  // namespace
