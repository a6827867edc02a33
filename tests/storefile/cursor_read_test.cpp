// Reading stored messages in order: damaged data stepped over, the end of the
// data in both reading modes, the wrap of a ring file, and the I/O faults.
#include <cerrno>

#include "msglib/coding.h"
#include "storefile/file_memory.h"
#include "tests/storefile/cursor_fixture.h"
#include "tests/support/faulty_file_ops.h"

namespace {

using namespace storetest;
using testsupport::FileOpKind;
using testsupport::makeRecord;
using testsupport::makeTestMessage;
using testsupport::StoreFileBuilder;

using Bytes = std::vector<std::uint8_t>;

Bytes zeros(std::size_t n) { return Bytes(n, 0); }

// A linear file of messages of the given lengths (seeded by their index).
StoreFileBuilder linearFile(std::initializer_list<std::uint32_t> lengths) {
    StoreFileBuilder b;
    std::uint32_t seed = 0;
    for (std::uint32_t n : lengths) b.addMessage(makeTestMessage(n, ++seed));
    b.describeRecords();
    return b;
}

class CursorTest : public StoreFileTest {
protected:
    // Reads one message and checks it is the one the builder stored at index.
    void expectDelivered(const StoreFileBuilder& b, std::size_t index, std::uint32_t length) {
        SCOPED_TRACE(index);
        std::string out;
        EXPECT_EQ(read(&out), length);
        EXPECT_EQ(out, "");
        EXPECT_FALSE(statusFailed(status_));
        EXPECT_EQ(ctx_.lastReadOutcome, ReadOutcome::Delivered);
        EXPECT_EQ(ctx_.header.forwardOffset, b.recordOffsets()[index]);
        EXPECT_EQ(delivered(), makeTestMessage(length, static_cast<std::uint32_t>(index + 1)));
    }
    void expectEnd(ReadOutcome outcome, bool stop, bool more, const std::string& line) {
        std::string out;
        EXPECT_EQ(read(&out), 0u);
        EXPECT_EQ(out, line);
        EXPECT_EQ(ctx_.lastReadOutcome, outcome);
        EXPECT_EQ(ctx_.stopRequested, stop);
        EXPECT_EQ(ctx_.moreMessages, more);
        EXPECT_FALSE(ctx_.currentMsg);
        const auto got = entries(status_);
        ASSERT_FALSE(got.empty());
        EXPECT_EQ(got.back(), Entry(13, 13412));
    }
};

TEST_F(CursorTest, LinearReadDeliversEveryMessageThenTheLastClearsMore) {
    const StoreFileBuilder b = linearFile({400, 293, 1000});
    openFile(b);
    expectDelivered(b, 0, 400);
    remove();
    expectDelivered(b, 1, 293);
    remove();
    expectDelivered(b, 2, 1000);
    remove();
    EXPECT_FALSE(ctx_.moreMessages);
    EXPECT_FALSE(ctx_.stopRequested);
    const StoreFileHeader onDisk = headerOnDisk();
    EXPECT_EQ(onDisk.forwardOffset, b.recordOffsets()[2]);
    EXPECT_EQ(onDisk.forwardedCount, 3u);
    EXPECT_EQ(ctx_.stats.skippedRanges, 0u);
}

// The record behind a damaged one is found and delivered in the same call,
// and the header on disk already names it.
TEST_F(CursorTest, DamagedRecordsAreSteppedOver) {
    struct Damage {
        const char* name;
        std::function<void(StoreFileBuilder&)> middle;  // adds the record at index 1
    };
    const Damage damages[] = {
        {"head CRC mismatch", [](StoreFileBuilder& b) {
             Bytes r = makeRecord(makeTestMessage(600, 2));
             r[100] ^= 0x40;
             b.addRaw(r);
         }},
        {"body check not zero", [](StoreFileBuilder& b) { b.addMessage(makeTestMessage(600, 2), 7); }},
        {"length word below 292", [](StoreFileBuilder& b) {
             Bytes msg = makeTestMessage(600, 2);
             encodeU32(msg.data() + 4, 100);
             b.addRaw(makeRecord(msg));
         }},
    };
    for (const Damage& d : damages) {
        SCOPED_TRACE(d.name);
        StoreFileBuilder b;
        b.addMessage(makeTestMessage(400, 1));
        const std::int64_t bad = b.end();
        d.middle(b);
        b.addMessage(makeTestMessage(500, 3));
        b.describeRecords();
        if (ctx_.storeFileHandle >= 0) closeStoreFileHandle(ctx_.storeFileHandle, status_);
        ctx_ = RecoverContext{};
        ctx_.storeFileName = path_;
        setFixedText(ctx_.serviceName, sizeof ctx_.serviceName, "SVC");
        openFile(b);

        expectDelivered(b, 0, 400);
        remove();
        const std::int64_t next = b.recordOffsets().back();
        EXPECT_EQ(read(), 500u);
        EXPECT_FALSE(statusFailed(status_));
        EXPECT_EQ(delivered(), makeTestMessage(500, 3));
        EXPECT_EQ(ctx_.header.forwardOffset, next);
        EXPECT_EQ(headerOnDisk().forwardOffset, next);
        EXPECT_EQ(ctx_.stats.skippedRanges, 1u);
        EXPECT_EQ(ctx_.stats.skippedBytes, static_cast<std::uint64_t>(next - bad));
        const Bytes log = testsupport::readAllBytes(home_.file("log/zento.log"));
        const std::string line = "[SVC] Store file " + path_ + ": skipped " + std::to_string(next - bad) +
                                 " bytes at offset " + std::to_string(bad) + ": " + d.name;
        EXPECT_NE(std::string(log.begin(), log.end()).find(line), std::string::npos) << line;
    }
}

TEST_F(CursorTest, RecordInsideAPayloadIsNotDeliveredOnItsOwn) {
    Bytes outer = makeTestMessage(2000, 1);
    const Bytes inner = makeRecord(makeTestMessage(400, 9));
    std::copy(inner.begin(), inner.end(), outer.begin() + 700);
    StoreFileBuilder b;
    b.addMessage(outer);
    b.addMessage(makeTestMessage(300, 2));
    b.describeRecords();
    openFile(b);
    EXPECT_EQ(read(), 2000u);
    EXPECT_EQ(delivered(), outer);
    remove();
    expectDelivered(b, 1, 300);
}

// A failed body check searches from 304 bytes behind the record's start.
TEST_F(CursorTest, BodyCheckSearchStartsBehindTheRecordHead) {
    Bytes outer = makeTestMessage(2000, 1);
    const Bytes early = makeRecord(makeTestMessage(300, 8));
    const Bytes late = makeRecord(makeTestMessage(400, 9));
    std::copy(early.begin(), early.end(), outer.begin() + 100);  // record offset 112: before 304
    std::copy(late.begin(), late.end(), outer.begin() + 800);
    StoreFileBuilder b;
    const std::int64_t at = b.addMessage(outer, 1);
    b.describeRecords();
    openFile(b);
    EXPECT_EQ(read(), 400u);
    EXPECT_EQ(ctx_.header.forwardOffset, at + 12 + 800);
    EXPECT_EQ(delivered(), makeTestMessage(400, 9));
}

// The end table: which flags each end sets in linear and in ring reading.
TEST_F(CursorTest, EndsOfTheData) {
    struct Case {
        const char* name;
        std::function<void(StoreFileBuilder&)> tail;  // after one intact 400-byte message
        ReadOutcome outcome;
        bool linearMore;
        bool ringStop;
        bool ringMore;
    };
    const Case cases[] = {
        {"short tail", [](StoreFileBuilder& b) { b.addRaw(Bytes(303, 0x11)); }, ReadOutcome::EndOfData, false, false,
         false},
        {"damaged head, nothing after",
         [](StoreFileBuilder& b) {
             Bytes r = makeRecord(makeTestMessage(600, 2));
             r[20] ^= 1;
             b.addRaw(r);
         },
         ReadOutcome::EndOfData, true, true, true},
        {"message 12 bytes past the end",
         [](StoreFileBuilder& b) {
             Bytes r = makeRecord(makeTestMessage(600, 2));
             r.resize(r.size() - 12);
             b.addRaw(r);
         },
         ReadOutcome::EndOfData, false, true, false},
        {"message far past the end",
         [](StoreFileBuilder& b) {
             Bytes r = makeRecord(makeTestMessage(600, 2));
             r.resize(400);
             b.addRaw(r);
         },
         ReadOutcome::EndOfData, false, true, false},
        {"body check, nothing after", [](StoreFileBuilder& b) { b.addMessage(makeTestMessage(600, 2), 1); },
         ReadOutcome::EndOfData, false, true, false},
        {"zero-filled space", [](StoreFileBuilder& b) { b.addRaw(zeros(5000)); }, ReadOutcome::EndOfData, false,
         true, false},
        {"too short record, nothing after",
         [](StoreFileBuilder& b) {
             Bytes msg = makeTestMessage(292, 2);
             encodeU32(msg.data() + 4, 291);
             b.addRaw(makeRecord(msg));
         },
         ReadOutcome::TooShort, true, true, true},
    };
    for (const Case& c : cases) {
        for (std::uint32_t maxSize : {0u, 1u}) {
            SCOPED_TRACE(std::string(c.name) + (maxSize != 0 ? " (ring)" : " (linear)"));
            StoreFileBuilder b;
            b.header().maxSize = maxSize;
            b.addMessage(makeTestMessage(400, 1));
            c.tail(b);
            b.describeRecords();
            b.header().lastMsgOffset = b.end();  // the removal must not end the data itself; no wrap
            if (maxSize == 0) b.header().lastOffset = b.end();
            if (ctx_.storeFileHandle >= 0) closeStoreFileHandle(ctx_.storeFileHandle, status_);
            ctx_ = RecoverContext{};
            ctx_.storeFileName = path_;
            openFile(b);
            expectDelivered(b, 0, 400);
            remove();
            if (maxSize == 0) {
                expectEnd(c.outcome, true, c.linearMore, "Reached file end.\n");
            } else {
                expectEnd(c.outcome, c.ringStop, c.ringMore, "");
            }
        }
    }
}

// DUMP over a preallocated file: the zeros behind the last record end the
// recovery cleanly instead of being forwarded.
TEST_F(CursorTest, DumpOverZeroFilledTail) {
    StoreFileBuilder b;
    b.addMessage(makeTestMessage(400, 1));
    b.addMessage(makeTestMessage(700, 2));
    b.zeroFillTo(64 * 1024);
    b.writeTo(path_);
    testsupport::flipByte(path_, 20);
    testsupport::flipByte(path_, 96 + 20);
    ctx_.dumpMode = true;
    openWritten();
    expectDelivered(b, 0, 400);
    remove();
    expectDelivered(b, 1, 700);
    remove();
    EXPECT_TRUE(ctx_.moreMessages);  // the default header never finds the last message
    expectEnd(ReadOutcome::EndOfData, true, false, "Reached file end.\n");
    EXPECT_EQ(ctx_.stats.skippedRanges, 0u);
}

TEST_F(CursorTest, LinearReadBeyondLastOffsetReturnsWithoutFlags) {
    StoreFileBuilder b = linearFile({400, 400});
    b.header().forwardOffset = b.recordOffsets()[1];
    b.header().lastOffset = b.recordOffsets()[1] - 1;
    openFile(b);
    std::string out;
    EXPECT_EQ(read(&out), 0u);
    EXPECT_EQ(out, "");
    EXPECT_EQ(entries(status_), std::vector<Entry>{});
    EXPECT_EQ(ctx_.lastReadOutcome, ReadOutcome::BeyondLastOffset);
    EXPECT_FALSE(ctx_.stopRequested);
    EXPECT_TRUE(ctx_.moreMessages);
}

// A ring file: C (oldest, firstMsgOffset) near the physical end, then the
// data continues with A and B (newest, lastMsgOffset) at the data area start.
class RingTest : public CursorTest {
protected:
    StoreFileBuilder ring(bool damageB = false) {
        StoreFileBuilder b;
        b.header().maxSize = 1;
        b.addMessage(makeTestMessage(400, 1));
        if (damageB) {
            Bytes r = makeRecord(makeTestMessage(500, 2));
            r[50] ^= 1;
            b.addRaw(r);
        } else {
            b.addMessage(makeTestMessage(500, 2));
        }
        b.addRaw(Bytes(3000, 0x77));
        const std::int64_t c = b.addMessage(makeTestMessage(600, 3));
        b.addRaw(Bytes(200, 0x77));  // too short for another record head
        b.header().firstMsgOffset = c;
        b.header().lastMsgOffset = damageB ? b.recordOffsets()[0] + 412 : b.recordOffsets()[1];
        b.header().lastOffset = c + 612;
        b.header().forwardOffset = c;
        b.header().wrapped = 1;
        b.header().msgCount = 3;
        return b;
    }
};

TEST_F(RingTest, WrapFindsTheFirstRecordOfTheDataArea) {
    const StoreFileBuilder b = ring();
    openFile(b);
    EXPECT_EQ(read(), 600u);
    remove();
    EXPECT_EQ(read(), 400u);
    EXPECT_EQ(delivered(), makeTestMessage(400, 1));
    EXPECT_EQ(ctx_.header.forwardOffset, 192);
    EXPECT_EQ(headerOnDisk().forwardOffset, 192);
    EXPECT_EQ(ctx_.stats.skippedRanges, 0u);  // the header under the wrap position is no damage
    remove();
    EXPECT_EQ(read(), 500u);
    remove();
    EXPECT_FALSE(ctx_.moreMessages);
    EXPECT_EQ(ctx_.header.forwardedCount, 3u);
}

// Damage behind the wrap must neither circle nor hand out C again, which was
// forwarded before the wrap.
TEST_F(RingTest, SearchAfterTheWrapEndsBeforeTheOldestData) {
    const StoreFileBuilder b = ring(true);
    openFile(b);
    EXPECT_EQ(read(), 600u);
    remove();
    EXPECT_EQ(read(), 400u);
    remove();
    expectEnd(ReadOutcome::EndOfData, true, true, "");
    EXPECT_EQ(ctx_.header.forwardOffset, b.recordOffsets()[0] + 412);
}

TEST_F(RingTest, WrapIntoNothingEndsTheCall) {
    StoreFileBuilder b = ring();
    b.writeTo(path_);
    for (std::int64_t at : {b.recordOffsets()[0], b.recordOffsets()[1]}) testsupport::flipByte(path_, at + 40);
    openWritten();
    EXPECT_EQ(read(), 600u);
    remove();
    expectEnd(ReadOutcome::EndOfData, true, true, "");
}

// A header whose bytes under the wrap position pass as a record (a bad
// primary CRC word that reads as the marker, the backup's magic as head CRC),
// met by the first read of a run: the forward offset must name where that
// record was read, so that its removal moves on from there.
TEST_F(RingTest, RecordReadAtTheWrapPositionIsRemovedFromThere) {
    StoreFileBuilder b = ring();
    b.header().forwardOffset = b.header().lastOffset;  // C went in an earlier run
    b.header().revision = 0;
    b.header().word12 = 400;  // the length word of the message that starts at 104
    Bytes file = b.bytes();
    const std::int64_t next = 92 + 12 + 400;
    const Bytes rec = makeRecord(makeTestMessage(500, 7));
    std::copy(rec.begin(), rec.end(), file.begin() + next);
    encodeU32(file.data() + 4, 2);  // the primary names the type; its CRC is broken below
    std::copy(kRecordMarker, kRecordMarker + 4, file.begin() + 92);
    // Solve the last four head bytes so that the head CRC is the magic.
    std::fill(file.begin() + 392, file.begin() + 396, 0);
    const std::uint32_t partial = storeCrc({file.data() + 104, 292});
    const std::uint32_t tail = partial ^ kStoreMagic;
    for (std::size_t i = 0; i < 4; ++i) file[392 + i] = static_cast<std::uint8_t>(tail >> (24 - 8 * i));
    testsupport::writeAllBytes(path_, file);
    ASSERT_EQ(storeCrc({file.data() + 104, 292}), kStoreMagic);

    openWritten();
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

// The share is divided in single precision and scaled in double: 2^24 + 1
// becomes 2^24 as a float, and 2^24 - 1 times 100 is no float.
TEST_F(CursorTest, ProgressLineOnEveryThousandthCall) {
    StoreFileBuilder b = linearFile({400});
    b.writeTo(path_);
    testsupport::truncateFile(path_, 16777300);
    openWritten();
    ctx_.header.lastOffset = 1;  // reading stops at once: beyond the data
    const std::pair<std::int64_t, const char*> cases[] = {
        {16777217, "Currently at location 16777217, 1677721600.00 percent of file\n"},
        {16777215, "Currently at location 16777215, 1677721500.00 percent of file\n"},
    };
    for (const auto& [forward, line] : cases) {
        ctx_.header.forwardOffset = forward;
        ctx_.progressCounter = 998;
        std::string out;
        read(&out);
        EXPECT_EQ(out, "");
        read(&out);
        EXPECT_EQ(out, line);
        EXPECT_EQ(ctx_.progressCounter, 0u);
    }
    ctx_.header.lastOffset = 0;
    ctx_.progressCounter = 999;
    std::string out;
    read(&out);
    EXPECT_EQ(out, "Currently at location 16777215, 100.00 percent of file\n");
}

TEST_F(CursorTest, IoFaultsGiveTheirCodes) {
    struct Fault {
        bool damaged;  // a damaged stretch before the record: a search runs
        std::uint32_t size;
        FileOpKind kind;
        int nth;
        std::vector<Entry> codes;
        bool delivered;
    };
    // The first read fills the window with the head (and the body of a
    // message that fits); a body longer than the window, or the search's
    // first window, is the second read. Only the search seeks.
    const Fault faults[] = {
        {false, 400, FileOpKind::Read, 1, {{1, EIO}, {13, 13182}, {13, 13532}, {13, 13411}}, false},
        {false, 70000, FileOpKind::Read, 2, {{1, EIO}, {13, 13182}, {13, 13512}, {13, 13406}}, false},
        // A search that cannot read has not shown that nothing follows: a
        // failure, never the end of the data.
        {true, 400, FileOpKind::Seek, 1, {{1, EIO}, {13, 13159}, {13, 13402}, {13, 13411}}, false},
        {true, 400, FileOpKind::Read, 2, {{1, EIO}, {13, 13182}, {13, 13532}, {13, 13411}}, false},
        // The header names the record found, but cannot be written.
        {true, 400, FileOpKind::Write, 1, {{1, EIO}, {13, 13202}, {13, 13521}, {13, 13414}}, true},
    };
    for (const Fault& f : faults) {
        SCOPED_TRACE(f.codes.back().second);
        StoreFileBuilder b;
        if (f.damaged) b.addRaw(Bytes(500, 0x33));
        b.addMessage(makeTestMessage(f.size, 1));
        b.describeRecords();
        b.header().forwardOffset = 192;
        if (ctx_.storeFileHandle >= 0) closeStoreFileHandle(ctx_.storeFileHandle, status_);
        ctx_ = RecoverContext{};
        ctx_.storeFileName = path_;
        openFile(b);
        testsupport::FaultyFileOps ops;
        ops.failNth(f.kind, f.nth, EIO);
        const std::uint32_t length = read();
        EXPECT_EQ(entries(status_), f.codes);
        EXPECT_EQ(length, f.delivered ? f.size : 0u);
        EXPECT_EQ(static_cast<bool>(ctx_.currentMsg), f.delivered);
        EXPECT_EQ(ctx_.lastReadOutcome, f.delivered ? ReadOutcome::Delivered
                                        : f.codes.back().second == 13412 ? ReadOutcome::EndOfData
                                                                         : ReadOutcome::ReadError);
    }
}

// A recovery reads its records one after the other: one read serves every
// record of a window, a record across the window's end starts the next one,
// and the header writes between them do not touch the window.
TEST_F(CursorTest, RecordsComeFromAWindowOfTheFile) {
    StoreFileBuilder b;
    constexpr std::uint32_t kRecords = 200;  // 700-byte messages: about 140 KiB, three windows
    for (std::uint32_t i = 1; i <= kRecords; ++i) b.addMessage(makeTestMessage(700, i));
    b.describeRecords();
    openFile(b);
    testsupport::FaultyFileOps ops;
    int readsAfterTheFirstHeaderWrite = 0;
    for (std::uint32_t i = 1; i <= kRecords; ++i) {
        ASSERT_EQ(read(), 700u) << i;
        ASSERT_EQ(delivered(), makeTestMessage(700, i)) << i;
        remove();
        if (i == 1) readsAfterTheFirstHeaderWrite = ops.calls(FileOpKind::Read);
    }
    EXPECT_EQ(readsAfterTheFirstHeaderWrite, 2) << "the window, and the header area before its first rewrite";
    EXPECT_EQ(ops.calls(FileOpKind::Read), 1 + static_cast<int>((kRecords * 712 + kReadWindow - 1) / kReadWindow));
    EXPECT_EQ(ops.calls(FileOpKind::Seek), 0);
}

}  // namespace
