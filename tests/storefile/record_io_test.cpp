// Records on disk: the append and the two reads of a record with their
// codes, the read-ahead window of a locked handle, and the forward search for
// a valid record prefix.
#include <algorithm>
#include <array>
#include <fstream>

#include "msglib/coding.h"
#include "platform/file_ops.h"
#include "storefile/file_memory.h"
#include "storefile/scan_blocks.h"
#include "tests/storefile/store_test.h"

namespace {

using namespace storetest;
using testsupport::failingEntries;
using testsupport::readAllBytes;
using Head = std::array<std::uint8_t, 292>;

class RecordIoTest : public StoreFileTest {
protected:
    // The file, on a handle under the name lock when `locked`.
    int openBytes(const Bytes& content, bool locked = false) {
        closeHandle();
        testsupport::writeAllBytes(path_, content);
        return ctx_.storeFileHandle = locked ? zento_s_file_open(path_.c_str(), kOpenReadWrite, status_)
                                             : platform::rtOpen(path_.c_str(), platform::kRtReadWrite, 0);
    }
    // A type-2 file holding the record of message; the record's offset.
    std::int64_t openRecord(const Bytes& message, std::uint32_t bodyCheck = 0) {
        StoreFileBuilder b;
        const std::int64_t at = b.addMessage(message, bodyCheck);
        openBytes(b.bytes());
        return at;
    }
};

TEST_F(RecordIoTest, AppendedRecordsReadBackWhole) {
    const int fd = openBytes(Bytes(192, 0));
    Bytes expected(192, 0);
    FaultyFileOps faults;
    faults.limitTransfers(100);  // short transfers are carried on
    for (const Bytes& m : {makeTestMessage(400, 1), makeTestMessage(292, 2), makeTestMessage(5000, 3)}) {
        StatusBlock status = testsupport::dirtyStatus();
        const auto at = static_cast<std::int64_t>(expected.size());
        appendRecord(fd, at, m, status);
        EXPECT_TRUE(statusEntries(status).empty());
        Head head{};
        EXPECT_EQ(readRecordHead(fd, at, head, status), 0u);
        Bytes message(m.size());
        std::copy(head.begin(), head.end(), message.begin());
        readRecordBody(fd, at, static_cast<std::uint32_t>(m.size()), 0, message, status);
        EXPECT_TRUE(statusEntries(status).empty());
        EXPECT_EQ(message, m);
        expected.insert(expected.end(), {0x5B, 0x5D, 0x5C, 0x5E, 0, 0, 0, 0, 0, 0, 0, 0});  // marker, CRC, body check 0
        encodeU32(expected.data() + at + 4, storeCrc(std::span(m).first(292)));
        expected.insert(expected.end(), m.begin(), m.end());
    }
    EXPECT_EQ(readAllBytes(path_), expected) << "no padding";
}

TEST_F(RecordIoTest, AppendFailuresAndRefusals) {
    const int fd = openBytes(Bytes(192, 0));
    Bytes wrongLength = makeTestMessage(400, 1);
    encodeU32(wrongLength.data() + 4, 399);
    for (const Bytes& m : {wrongLength, makeTestMessage(291, 1)}) {  // a record must carry its length and a head
        appendRecord(fd, 192, m, status_);
        EXPECT_EQ(statusEntries(status_), storeCodes({13342}));
    }
    FaultyFileOps faults;
    faults.failNth(FileOpKind::Seek, 1, EINVAL);
    appendRecord(fd, 192, makeTestMessage(400, 9), status_);
    EXPECT_EQ(statusEntries(status_), (Entries{{1, EINVAL}, {13, 13159}, {13, 13340}}));
    faults.failNth(FileOpKind::Write, 1, ENOSPC);
    appendRecord(fd, 192, makeTestMessage(400, 9), status_);
    EXPECT_EQ(statusEntries(status_), (Entries{{1, ENOSPC}, {13, 13202}, {13, 13342}}));
    EXPECT_EQ(testsupport::fileSizeOf(path_), 192) << "nothing of a refused record is written";
}

TEST_F(RecordIoTest, HeadAndBodyChecks) {
    openBytes(Bytes(1000, 0));  // zero-filled space passes the head check, with a length word of 0
    Head head;
    head.fill(0xFF);
    EXPECT_EQ(readRecordHead(ctx_.storeFileHandle, 192, head, status_), 0u);
    EXPECT_TRUE(statusEntries(status_).empty());
    EXPECT_EQ(head, Head{});

    // A damaged head is still delivered, with its body check word; the marker is not looked at.
    const Bytes m = makeTestMessage(600, 4);
    std::int64_t at = openRecord(m, 5);
    testsupport::flipByte(path_, at + 12 + 100);
    testsupport::setByte(path_, at, 'X');
    EXPECT_EQ(readRecordHead(ctx_.storeFileHandle, at, head, status_), 5u);
    EXPECT_EQ(statusEntries(status_), storeCodes({13531}));
    EXPECT_EQ(head[100], static_cast<std::uint8_t>(m[100] ^ 0xFF));

    // A body check word other than 0 fails an intact body, read before it is judged.
    at = openRecord(m, 1);
    Bytes message(600);
    readRecordBody(ctx_.storeFileHandle, at, 600, 1, message, status_);
    EXPECT_EQ(statusEntries(status_), storeCodes({13530}));
    EXPECT_TRUE(std::equal(message.begin() + 292, message.end(), m.begin() + 292));
}

// Each part of a record is one positioned read: a position it refuses counts
// as the failed seek it replaces.
TEST_F(RecordIoTest, ReadFailuresCarryTheirCauses) {
    const std::int64_t at = openRecord(makeTestMessage(1000, 8));
    const int fd = ctx_.storeFileHandle;
    Head head{};
    Bytes message(1000);
    readRecordHead(fd, at + 12 + 1000 - 303, head, status_);  // one byte short
    EXPECT_EQ(failingEntries(status_), storeCodes({13182, 13532}));
    readRecordHead(fd, -1, head, status_);
    EXPECT_EQ(statusEntries(status_), (Entries{{1, EINVAL}, {13, 13159}, {13, 13402}}));
    readRecordBody(fd, -1000, 1000, 0, message, status_);
    EXPECT_EQ(statusEntries(status_), (Entries{{1, EINVAL}, {13, 13159}, {13, 13402}}));
    FaultyFileOps faults;
    faults.failNth(FileOpKind::Read, 1, EIO);
    readRecordHead(fd, at, head, status_);
    EXPECT_EQ(statusEntries(status_), (Entries{{1, EIO}, {13, 13182}, {13, 13532}}));
    faults.failNth(FileOpKind::Read, 1, EIO);
    readRecordBody(fd, at, 1000, 0, message, status_);
    EXPECT_EQ(statusEntries(status_), (Entries{{1, EIO}, {13, 13182}, {13, 13512}}));
    // Lengths that cannot hold a head, or a buffer smaller than the length, read nothing.
    faults.resetCounts();
    for (std::uint32_t length : {0u, 291u, 1001u}) {
        readRecordBody(fd, at, length, 0, message, status_);
        EXPECT_EQ(statusEntries(status_), storeCodes({13512})) << length;
    }
    EXPECT_EQ(faults.totalCalls(), 0);
    testsupport::truncateFile(path_, at + 12 + 999);
    readRecordBody(fd, at, 1000, 0, message, status_);
    EXPECT_EQ(failingEntries(status_), storeCodes({13182, 13512}));
}

// A handle under the name lock reads a window ahead: a write that overlaps it
// or a new open drops it, so that it never holds bytes older than the file.
TEST_F(RecordIoTest, ReadWindowIsNeverOlderThanTheFile) {
    const int fd = openBytes(Bytes(100'000, 0x11), true);
    const auto read4 = [&](std::int64_t offset) {
        Bytes out(4, 0xEE);
        readAheadAt(ctx_.storeFileHandle, offset, out.data(), 4, status_);
        return out;
    };
    FaultyFileOps ops;
    EXPECT_EQ(read4(1000), Bytes(4, 0x11));
    const Bytes marks(3, 0x5A);
    writeExactAt(fd, 999, marks.data(), 3, status_);
    EXPECT_EQ(read4(999), (Bytes{0x5A, 0x5A, 0x5A, 0x11}));
    seekStoreFile(fd, 5000, 0, status_);
    writeExact(fd, marks.data(), 3, status_);  // a plain write's place is not known here
    EXPECT_EQ(read4(5000), (Bytes{0x5A, 0x5A, 0x5A, 0x11}));
    EXPECT_EQ(read4(6000), Bytes(4, 0x11));
    EXPECT_EQ(ops.calls(FileOpKind::Read), 3) << "one read per window";
    openBytes(Bytes(100'000, 0x22), true);  // rewritten while closed, as by another process in turn
    EXPECT_EQ(read4(1000), Bytes(4, 0x22));
}

Bytes randomBytes(std::size_t n) {
    Bytes out(n);
    std::uint32_t x = 2463534242u;
    for (auto& b : out) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<std::uint8_t>(x);
    }
    return out;
}

class ScanTest : public RecordIoTest {
protected:
    void SetUp() override { openBytes(background_); }
    void put(std::int64_t at, const Bytes& bytes) {
        std::fstream io(path_, std::ios::binary | std::ios::in | std::ios::out);
        io.seekp(at);
        io.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }
    std::int64_t scan(std::int64_t start, std::int64_t limit = 3 * kScanWindow - 1) {
        return scanForRecord(ctx_.storeFileHandle, start, limit, status_);
    }
    const Bytes background_ = randomBytes(3 * kScanWindow);
    const Bytes record_ = makeRecord(makeTestMessage(400, 5));
};

// Heads that end just before, across and just after each window boundary:
// each later window starts with the last 304 bytes of the one before, copied.
TEST_F(ScanTest, HeadsAroundTheWindowBoundaries) {
    FaultyFileOps ops;
    EXPECT_EQ(scan(1000), 0);
    EXPECT_FALSE(statusFailed(status_));
    EXPECT_EQ(ops.calls(FileOpKind::Read), 3);
    for (std::int64_t boundary : {1000 + kScanWindow, 1000 + 2 * kScanWindow - kRecordHeadSize}) {
        for (std::int64_t at = boundary - kRecordHeadSize - 4; at <= boundary + 4; ++at) {
            put(at, record_);
            ASSERT_EQ(scan(1000), at) << "boundary " << boundary;
            put(at, Bytes(background_.begin() + at, background_.begin() + at + std::ssize(record_)));
        }
    }
}

TEST_F(ScanTest, FirstValidPositionBelowTheLimitWins) {
    Bytes fake = record_;
    fake[4] ^= 1;  // its head CRC no longer matches: the positions inside it are examined too
    put(5000, fake);
    put(5002, makeRecord(makeTestMessage(400, 5), 99));  // the body check word is not looked at
    put(9000, record_);
    EXPECT_EQ(scan(1000), 5002);
    EXPECT_EQ(scan(5003), 9000);
    EXPECT_EQ(scan(9000, 9000 + kRecordHeadSize + 1), 9000);
    EXPECT_EQ(scan(9000, 9000 + kRecordHeadSize), 0) << "positions end before limit - 304";
    EXPECT_FALSE(statusFailed(status_));
    for (const auto& [kind, code, cause] : {std::tuple{FileOpKind::Seek, 13402, 13159}, std::tuple{FileOpKind::Read, 13532, 13182}}) {
        FaultyFileOps ops;
        ops.failNth(kind, 1, EIO);
        EXPECT_EQ(scan(1000), 0);
        EXPECT_EQ(statusEntries(status_), (Entries{{1, EIO}, {13, cause}, {13, code}}));
    }
}

// Every block skipper stops at the block holding a planted marker pair, at
// each offset in the block and across its end, and never before.
TEST(MarkerSkip, EveryVariantStopsAtTheFirstCandidateBlock) {
    Bytes bytes = randomBytes(4096);
    std::replace(bytes.begin(), bytes.end(), kRecordMarker[0], std::uint8_t{0});
    for (MarkerSkip skip : markerSkipVariants()) {
        EXPECT_EQ(skip(bytes.data(), 3, 4000), 3 + 3997 / kMarkerBlock * kMarkerBlock) << "nothing to find";
        for (std::size_t at = 1000; at < 1000 + 2 * kMarkerBlock; ++at) {
            Bytes planted = bytes;
            planted[at] = kRecordMarker[0];
            planted[at + 1] = kRecordMarker[1];
            EXPECT_EQ(skip(planted.data(), 960, 4000), 960 + (at - 960) / kMarkerBlock * kMarkerBlock) << at;
        }
    }
}

}  // namespace
