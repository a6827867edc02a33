// The message cursor: records delivered in order, damaged data stepped over,
// the ends of the data in linear and ring reading, the wrap of a ring, the
// removal decisions and their durability, and what a rerun finds. (Rings whose
// offsets do not bound their data are left to the cursor fuzz corpus.)
#include "msglib/coding.h"
#include "tests/storefile/store_test.h"

namespace {

using namespace storetest;
using CursorTest = StoreFileTest;
using Skipped = std::pair<std::uint64_t, std::uint64_t>;  // ranges, bytes

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

// The record behind a damaged one is delivered in the same call, and the log
// names the range skipped. After a failed body check the search starts 304
// bytes behind the record's start: a record inside its head is not taken.
TEST_F(CursorTest, DamagedRecordsAreSteppedOver) {
    Bytes outer = makeTestMessage(600, 2);
    const Bytes inner = makeRecord(makeTestMessage(150, 8));
    std::copy(inner.begin(), inner.end(), outer.begin() + 100);
    const std::pair<const char*, Bytes> damages[] = {
        {"head CRC mismatch", oddRecord(0, 612, 100)},
        {"body check not zero", makeRecord(outer, 7)},
        {"length word below 292", oddRecord(0, 612, 0, 100)},
    };
    for (const auto& [why, record] : damages) {
        StoreFileBuilder b;
        b.addMessage(makeTestMessage(400, 1));
        const std::int64_t bad = b.addRaw(record);
        const std::int64_t next = b.addMessage(makeTestMessage(500, 3));
        ASSERT_TRUE(openFile(b.describeRecords()));
        EXPECT_EQ(drain(), (Seeds{1, 3})) << why;
        EXPECT_FALSE(statusFailed(status_));
        EXPECT_EQ(headerOnDisk().forwardOffset, next);
        EXPECT_EQ(Skipped(skipLog_->ranges(), skipLog_->bytes()), Skipped(1, 612));
        EXPECT_EQ(occurrences(fileText(home_.file("log/zento.log")), "[SVC] Store file " + path_ +
                                  ": skipped 612 bytes at offset " + std::to_string(bad) + ": " + why + "\n"),
                  1);
    }
}

// Zeros and cuts where the header names data lose no record behind them: a
// zero-filled hole (blocks never written before a power loss) is stepped
// over like damage, and a ring cut inside its last record before the
// physical end goes on behind the wrap. Twenty 400-byte messages, records
// every 412 bytes from 192; the ring reads records 10-19, then 0-9.
TEST_F(CursorTest, ZerosAndCutsInsideTheDataAreSteppedOver) {
    struct Case {
        const char* name;
        bool ring, dump;
        std::int64_t holeAt, holeLength, cutAt;  // cutAt 0: not cut
        Seeds delivered;
        Skipped skipped;
    };
    const auto seeds = [](std::vector<std::pair<std::uint32_t, std::uint32_t>> runs) {
        Seeds out;
        for (auto [first, last] : runs) {
            for (std::uint32_t n = first; n <= last; ++n) out.push_back(n);
        }
        return out;
    };
    const Case cases[] = {
        {"linear, a zeroed sector", false, false, 1428, 304, 0, seeds({{1, 3}, {5, 20}}), {1, 412}},
        {"linear, zeros to the end", false, false, 4312, 4120, 0, seeds({{1, 10}}), {1, 4120}},
        {"ring, a zeroed sector before the wrap", true, false, 5548, 304, 0, seeds({{11, 13}, {15, 20}, {1, 10}}),
         {1, 412}},
        {"ring, a zeroed sector behind the wrap", true, false, 1428, 304, 0, seeds({{11, 20}, {1, 3}, {5, 10}}),
         {1, 412}},
        {"ring cut inside its last record", true, false, 0, 0, 8332, seeds({{11, 19}, {1, 10}}), {1, 312}},
        {"DUMP, the first 4 KiB zeroed", false, true, 192, 4096, 0, seeds({{11, 20}}), {1, 4120}},
    };
    for (const Case& c : cases) {
        StoreFileBuilder b;
        for (std::uint32_t n = 1; n <= 20; ++n) b.addMessage(makeTestMessage(400, n));
        b.describeRecords();
        if (c.ring) {
            StoreFileHeader& h = b.header();
            h.firstMsgOffset = h.forwardOffset = h.offset48 = 4312;
            h.lastMsgOffset = 3900;
            h.wrapped = 1;
            h.maxSize = 1;
        }
        if (c.dump) b.zeroFillTo(b.end() + 4096);  // preallocated space behind the last record
        Bytes bytes = b.bytes();
        std::fill_n(bytes.begin() + c.holeAt, c.holeLength, 0);
        if (c.cutAt != 0) bytes.resize(static_cast<std::size_t>(c.cutAt));
        if (c.dump) bytes[20] ^= 1, bytes[116] ^= 1;  // both header blocks bad
        testsupport::writeAllBytes(path_, bytes);
        ASSERT_TRUE(reopen(c.dump)) << c.name;
        EXPECT_EQ(drain(30), c.delivered) << c.name;
        EXPECT_EQ(Skipped(skipLog_->ranges(), skipLog_->bytes()), c.skipped) << c.name;
        EXPECT_FALSE(store_.moreMessages && !store_.stopRequested) << c.name;
    }
}

// The end table: which flags each end sets in linear and in ring reading.
TEST_F(CursorTest, EndsOfTheData) {
    const std::tuple<const char*, Bytes, ReadOutcome, bool, bool, bool> cases[] = {
        // name, what follows one intact message, outcome, linear: more; ring: stop, more
        {"short tail", Bytes(303, 0x11), ReadOutcome::EndOfData, false, false, false},
        {"damaged head, nothing after", oddRecord(0, 612, 20), ReadOutcome::EndOfData, true, true, true},
        // The length test counts the 12-byte prefix too: a message 12 bytes short ends the data.
        {"message 12 bytes past the end", oddRecord(0, 600), ReadOutcome::EndOfData, false, true, false},
        {"body check, nothing after", oddRecord(1), ReadOutcome::EndOfData, false, true, false},
        {"zero-filled space", Bytes(5000, 0), ReadOutcome::EndOfData, false, true, false},
        {"too short record, nothing after", oddRecord(0, 304, 0, 291), ReadOutcome::TooShort, true, true, true},
    };
    for (const auto& [name, tail, outcome, linearMore, ringStop, ringMore] : cases) {
        for (std::uint32_t maxSize : {0u, 1u}) {
            SCOPED_TRACE(std::string(name) + (maxSize != 0 ? " (ring)" : " (linear)"));
            StoreFileBuilder b;
            b.header().maxSize = maxSize;
            b.addMessage(makeTestMessage(400, 1));
            b.addRaw(tail);
            b.describeRecords().header().lastMsgOffset = b.end();  // the removal must not end the data; no wrap
            if (maxSize == 0) b.header().lastOffset = b.end();
            ASSERT_TRUE(openFile(b));
            ASSERT_EQ(drain(1), Seeds{1});
            expectEnd(outcome, maxSize == 0 || ringStop, maxSize == 0 ? linearMore : ringMore,
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
    b.header() = {};  // no header type: DUMP's default header
    ASSERT_TRUE(openFile(b, true));
    EXPECT_EQ(drain(), (Seeds{1, 2}));
    expectEnd(ReadOutcome::EndOfData, true, false, "Reached file end.\n");
}

// A linear read past lastOffset returns nothing, without an error or a flag.
// The progress share is divided in single precision and scaled in double:
// 2^24 + 1 becomes 2^24 as a float, and 2^24 - 1 times 100 is no float.
TEST_F(CursorTest, BeyondLastOffsetAndTheProgressLineOnEveryThousandthCall) {
    StoreFileBuilder().writeTo(path_);
    testsupport::truncateFile(path_, 16777300);
    ASSERT_TRUE(reopen());
    const std::tuple<std::int64_t, std::int64_t, const char*> cases[] = {
        {16777217, 1, "Currently at location 16777217, 1677721600.00 percent of file\n"},
        {16777215, 1, "Currently at location 16777215, 1677721500.00 percent of file\n"},
        {16777215, 0, "Currently at location 16777215, 100.00 percent of file\n"},
    };
    for (const auto& [forward, last, line] : cases) {
        store_.header.forwardOffset = forward;
        store_.header.lastOffset = last;
        store_.progressCounter = 998;
        std::string out999, out1000;
        EXPECT_EQ(read(&out999) + read(&out1000), 0u);
        EXPECT_EQ(out999 + out1000, line);
        EXPECT_TRUE(statusEntries(status_).empty() && store_.moreMessages && !store_.stopRequested);
        EXPECT_EQ(store_.lastReadOutcome, ReadOutcome::BeyondLastOffset);
    }
}

TEST_F(CursorTest, IoFaultsGiveTheirCodes) {
    // The first read fills the window with the head (and the body of a
    // message that fits); a body longer than the window, or the search's
    // first window, is the second read. Only the search seeks.
    const std::tuple<bool, std::uint32_t, FileOpKind, int, Entries> faults[] = {
        {false, 400, FileOpKind::Read, 1, {{1, EIO}, {13, 13182}, {13, 13532}, {13, 13411}}},
        {false, 70000, FileOpKind::Read, 2, {{1, EIO}, {13, 13182}, {13, 13512}, {13, 13406}}},
        // After damaged data: a search that cannot read has not shown that
        // nothing follows, so it is a failure, never the end of the data.
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
        EXPECT_EQ(static_cast<bool>(store_.currentMsg), delivers);
        EXPECT_EQ(store_.lastReadOutcome, delivers ? ReadOutcome::Delivered : ReadOutcome::ReadError);
    }
}

// A wrapped type-2 ring. Newer part: A (1) at the data area start, B (2) the
// newest; behind B a record of an earlier lap (91) that reads as sound; the
// oldest, C (3), near the physical end, followed by `tail` zero bytes.
struct Ring {
    StoreFileBuilder b;
    std::int64_t a = 0, newest = 0, earlierLap = 0;
};

Ring wrappedRing(std::int64_t tail = 200) {
    Ring r;
    r.a = r.b.addMessage(makeTestMessage(400, 1));
    r.newest = r.b.addMessage(makeTestMessage(400, 2));
    r.earlierLap = r.b.addMessage(makeTestMessage(400, 91));
    r.b.addRaw(Bytes(1500, 0x77));
    const std::int64_t oldest = r.b.addMessage(makeTestMessage(400, 3));
    r.b.zeroFillTo(r.b.end() + tail);
    r.b.header() = {kStoreMagic, 2, 0, 0, oldest, 0, r.newest, 3, 0, 0, oldest + 412, oldest, 0, 1, 1, 0};
    return r;
}

// At the physical end the reader goes to the wrap position, meets header
// bytes there (no damage), searches on, and ends with the newest record: it
// neither circles nor hands out C again. A removal that leaves no room for a
// record head before the end records the wrap position, where a run stopped
// right then resumes.
TEST_F(CursorTest, PartAfterTheWrapEndsWithTheNewestRecord) {
    const std::tuple<const char*, std::int64_t, std::int64_t, int, bool, Seeds, bool, bool> rows[] = {
        // name, tail, lastMsgOffset relative to B, damaged: 0 none, 1 B, 2 A and B; start behind B, sent, stop, more
        {"sound ring, C ending the file", 0, 0, 0, false, {3, 1, 2}, false, false},
        {"room for a record head behind C", 304, 0, 0, false, {3, 1, 2}, false, false},
        {"newest record damaged", 200, 0, 1, false, {3, 1}, true, true},
        {"both newer records damaged", 200, 0, 2, false, {3}, true, true},
        {"records shifted behind the newest", 200, -1, 0, false, {3, 1}, true, false},
        {"newest named inside A", 200, -404, 0, false, {3, 1}, true, false},
        {"forward offset between newest and oldest", 200, 0, 0, true, {}, true, false},
    };
    for (const auto& [name, tail, lastShift, damaged, startBehindNewest, sent, stop, more] : rows) {
        SCOPED_TRACE(name);
        Ring r = wrappedRing(tail);
        r.b.header().lastMsgOffset = r.newest + lastShift;
        if (startBehindNewest) r.b.header().forwardOffset = r.earlierLap;
        const auto write = [&, damage = damaged] {
            r.b.writeTo(path_);
            if (damage >= 1) testsupport::flipByte(path_, r.newest + 50);
            if (damage >= 2) testsupport::flipByte(path_, r.a + 50);
        };
        write();
        ASSERT_TRUE(reopen());
        EXPECT_EQ(drain(), sent);
        EXPECT_EQ(std::tuple(store_.stopRequested, store_.moreMessages, statusEntries(status_) == storeCodes({13412})),
                  std::tuple(stop, more, stop));
        EXPECT_EQ(skipLog_->ranges() != 0, damaged != 0);

        write();
        Seeds runs;
        for (int run = 0; run < 12 && reopen() && read() > 0; ++run) {
            runs.push_back(deliveredSeed());
            remove();
            if (!store_.moreMessages || store_.stopRequested) break;
        }
        EXPECT_EQ(runs, sent) << "a run per removal";
    }
}

// A header whose bytes under the wrap position pass as a record (a bad
// primary CRC word that reads as the marker, the backup's magic as head CRC),
// met by the first read of a run: the forward offset must name where that
// record was read, so that its removal moves on from there.
TEST_F(CursorTest, RecordReadAtTheWrapPositionIsRemovedFromThere) {
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
    ASSERT_TRUE(reopen());
    store_.header.lastMsgOffset = next;
    EXPECT_EQ(read(), 400u);
    EXPECT_EQ(store_.header.forwardOffset, 92);
    EXPECT_EQ(headerOnDisk().forwardOffset, 92);
    remove();
    EXPECT_EQ(read(), 500u);
    EXPECT_EQ(store_.header.forwardOffset, next);
    remove();
    EXPECT_FALSE(store_.moreMessages);
}

// Holds a 400-byte message of a header with the data ending at 3000 (and,
// for type 2, the last message at 2000) in a file of 4096 bytes.
class RemoveTest : public StoreFileTest {
protected:
    void SetUp() override {
        StoreFileBuilder b;
        b.zeroFillTo(4096);
        ASSERT_TRUE(openFile(b));
        hold(2, 0, 500, 192, 0, 5, 2);
    }
    void hold(std::int32_t type, std::uint32_t maxSize, std::int64_t forward, std::int64_t first, std::uint32_t wrapped,
              std::uint32_t msgCount, std::uint32_t forwarded) {
        store_.headerType = type;
        const std::int64_t last = type == 2 ? 2000 : 0;  // as loading an older header leaves it
        store_.header = {kStoreMagic, 2, 0, 0, first, 0, last, msgCount, forwarded, 3000, 3000, forward, 0, wrapped,
                       maxSize, 0};
        store_.moreMessages = true;
        store_.stopRequested = false;
        const Bytes msg = makeTestMessage(400, 1);
        ASSERT_TRUE(allocateMessage(store_.currentMsg, 400));
        std::copy(msg.begin(), msg.end(), store_.currentMsg.data());
    }
};

TEST_F(RemoveTest, ForwardOffsetAndEndAsTheHeaderSays) {
    constexpr std::uint32_t ring = 4096;
    using After = std::tuple<std::int64_t, std::uint32_t, bool, bool>;  // forward offset, forwarded count, more, stop
    const std::tuple<const char*, std::int32_t, std::uint32_t, std::int64_t, std::int64_t, std::uint32_t, std::uint32_t,
                     std::uint32_t, After> rows[] = {
        // name, type, maxSize (0: linear), forward offset, first, wrapped, msgCount, forwarded; after
        {"last message", 2, 0, 2000, 192, 0, 5, 2, {2000, 5, false, false}},
        {"before the data end", 2, 0, 500, 192, 0, 5, 2, {912, 3, true, false}},
        {"at the oldest message", 2, 0, 192, 192, 0, 5, 2, {604, 1, true, false}},
        {"at the data end, no wrap", 2, 0, 3000, 192, 0, 5, 2, {3000, 3, true, true}},
        {"wrapped, type 2", 2, ring, 3000, 2500, 1, 5, 2, {92, 3, true, false}},
        // Oldest before newest: nothing at the data area start is left for
        // this lap, whatever the wrapped word says.
        {"wrapped word without a wrap", 2, ring, 3000, 192, 1, 5, 2, {3000, 3, true, true}},
        {"wrapped word, oldest is newest", 2, ring, 3000, 2000, 1, 5, 2, {3000, 3, true, true}},
        {"wrapped word in a linear file", 1, 0, 3000, 192, 1, 5, 2, {3000, 3, true, true}},
        // Behind the wrap already: the next record follows, whatever lastOffset says.
        {"after the wrap, at lastOffset", 2, ring, 3000, 3500, 1, 5, 2, {3412, 3, true, false}},
        // A message after the wrap that reaches the oldest one completes the
        // ring: moving on would lead into what was forwarded before the wrap.
        {"type 1 ring, newer part up to the oldest", 1, ring, 500, 912, 0, 5, 2, {500, 5, false, false}},
        {"type 0 ring, newer part into the oldest", 0, ring, 3000, 3300, 1, 5, 2, {3000, 5, false, false}},
        // The older types cannot name their newest record: the wrapped word
        // decides, and in a ring only the removal that completes a message
        // count that can be trusted ends the recovery.
        {"wrapped, type 1", 1, ring, 3000, 192, 1, 5, 2, {68, 3, true, false}},
        {"wrapped, type 0", 0, ring, 3000, 192, 1, 5, 2, {64, 3, true, false}},
        {"type 1 ring, the count completes", 1, 1, 500, 192, 0, 5, 4, {912, 5, false, false}},
        {"type 1 ring, one still to forward", 1, 1, 500, 192, 0, 5, 3, {912, 4, true, false}},
        {"type 1 ring, the count restarts at the oldest", 1, 1, 192, 192, 0, 1, 9, {604, 1, false, false}},
        {"type 1 ring, a stale count past msgCount", 1, 1, 500, 192, 0, 5, 7, {912, 8, true, false}},
        {"type 1 ring, no count kept", 1, 1, 500, 192, 0, 0, 0xFFFFFFFF, {912, 0, true, false}},
        {"type 1 ring, the DUMP count", 1, 1, 500, 192, 0, 0xFFFFFFFF, 0xFFFFFFFE, {912, 0xFFFFFFFF, true, false}},
        {"type 1 linear file", 1, 0, 500, 192, 0, 5, 4, {912, 5, true, false}},
        {"type 2 ring ends at its last message only", 2, 1, 500, 192, 0, 5, 4, {912, 5, true, false}},
    };
    for (const auto& [name, type, maxSize, forward, first, wrapped, msgCount, forwarded, after] : rows) {
        hold(type, maxSize, forward, first, wrapped, msgCount, forwarded);
        remove();
        const StoreFileHeader& h = store_.header;
        EXPECT_EQ(After(h.forwardOffset, h.forwardedCount, store_.moreMessages, store_.stopRequested), after) << name;
        EXPECT_FALSE(store_.currentMsg);
        if (type == 2) {
            EXPECT_EQ(headerOnDisk().forwardOffset, h.forwardOffset) << name << ", on disk";
        }
    }
    removeLastMsg(store_, status_);
    EXPECT_EQ(statusEntries(status_), storeCodes({13452})) << "nothing held";
}

// The message stays for a resend, and its next acknowledgement must move the
// offset once, not past the message behind it. Failures in a row stop the
// recovery, which would otherwise send and remove the message forever. With
// ZENTO_SF_SYNC=message every removal is synced, and a failed sync fails it
// (by default only the close syncs: open_header_test.cpp).
TEST_F(RemoveTest, FailedRemovalKeepsMessageAndOffsetAndThreeInARowStop) {
    ::setenv("ZENTO_SF_SYNC", "message", 1);  // read when the file is opened
    ASSERT_TRUE(reopen());
    hold(2, 0, 500, 192, 0, 5, 2);
    const std::string warning = "Warning: ERROR trying to write file header: error in ";
    const std::tuple<FileOpKind, Entries, std::string> faults[] = {
        // The header area is read first, to know which copy holds the header now.
        {FileOpKind::Read, {{1, EIO}, {13, 13182}, {13, 13521}, {13, 13453}}, "READ.\n"},
        {FileOpKind::Write, {{1, EIO}, {13, 13202}, {13, 13521}, {13, 13453}}, "WRITE.\n"},
        {FileOpKind::Fsync, {{1, EIO}, {13, 13220}, {13, 13453}}, "SYNC.\n"},
    };
    for (const auto& [kind, codes, line] : faults) {
        FaultyFileOps ops;
        ops.failNth(kind, 1, EIO);
        EXPECT_EQ(captured([&] { removeLastMsg(store_, status_); }), warning + line);
        EXPECT_EQ(statusEntries(status_), codes);
        EXPECT_TRUE(store_.currentMsg && !store_.stopRequested) << line;
        EXPECT_EQ(std::pair(store_.header.forwardOffset, store_.header.forwardedCount), std::pair(std::int64_t{500}, 2u));
        if (kind == FileOpKind::Write) {  // a success in between moves the offset once and starts the count again
            remove();
            EXPECT_EQ(store_.header.forwardOffset, 912);
            hold(2, 0, 500, 192, 0, 5, 2);
        }
    }
    FaultyFileOps ops;
    ops.failNth(FileOpKind::Write, 1, ENOSPC, true);
    std::string out;
    for (int attempt = 2; attempt <= 3; ++attempt) {
        out = captured([&] { removeLastMsg(store_, status_); });
        EXPECT_EQ(std::pair(store_.stopRequested, store_.faulted), std::pair(attempt == 3, attempt == 3));
    }
    EXPECT_EQ(out, warning + "WRITE.\nError: the store file header could not be written (No space left on device).  "
                             "Recovery stopped; the remaining messages stay in the store file.\n");
    EXPECT_TRUE(store_.currentMsg && store_.moreMessages);
}

// The removal of the last message leaves the forward offset on it and counts
// it forwarded; a rerun must not send it again. Only a header that counts all
// its messages forwarded with the forward offset on the last one is drained,
// or a ring of an older type whose count is exactly complete and whose reader
// has left the oldest message.
TEST_F(CursorTest, OnlyAFullyCountedHeaderIsDrained) {
    const std::tuple<const char*, int, std::uint32_t, std::uint32_t, std::uint32_t, bool, bool> cases[] = {
        // name, type, maxSize, msgCount, forwardedCount, forward offset on the last, drained
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
    for (const auto& [name, type, maxSize, msgCount, forwarded, onLast, drained] : cases) {
        SCOPED_TRACE(name);
        StoreFileBuilder b(type);
        b.addMessage(makeTestMessage(400, 1));
        b.addMessage(makeTestMessage(500, 2));
        StoreFileHeader& h = b.describeRecords().header();
        h.maxSize = maxSize;
        h.msgCount = msgCount;
        h.forwardedCount = forwarded;
        h.forwardOffset = b.recordOffsets()[onLast ? 1 : 0];
        b.zeroFillTo(b.end() + 1000);
        ASSERT_TRUE(openFile(b));
        store_.header.lastMsgOffset = b.recordOffsets()[1];  // must not count where the type keeps none
        if (drained) {
            expectEnd(ReadOutcome::EndOfData, true, false, maxSize == 0 ? "Reached file end.\n" : "");
            EXPECT_EQ(statusEntries(status_), storeCodes({13412}));
        } else {
            EXPECT_EQ(read(), onLast ? 500u : 400u);
        }
    }
}

}  // namespace
