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
        ctx_.storeFileHandle = locked ? zento_s_file_open(path_.c_str(), kOpenReadWrite, status_)
                                      : platform::rtOpen(path_.c_str(), platform::kRtReadWrite, 0);
        EXPECT_GE(ctx_.storeFileHandle, 0);
        return ctx_.storeFileHandle;
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
    const std::vector<Bytes> messages = {makeTestMessage(400, 1), makeTestMessage(292, 2), makeTestMessage(5000, 3)};
    Bytes expected(192, 0);
    FaultyFileOps faults;
    for (const Bytes& m : messages) {
        StatusBlock status = testsupport::dirtyStatus();
        appendRecord(fd, static_cast<std::int64_t>(expected.size()), m, status);
        EXPECT_TRUE(statusEntries(status).empty());
        const Bytes r = makeRecord(m);
        expected.insert(expected.end(), r.begin(), r.end());
    }
    EXPECT_EQ(faults.calls(FileOpKind::Write), 3) << "a record goes out in one write";
    // Marker, CRC of the head, body check 0, the message; no padding.
    EXPECT_EQ(Bytes(expected.begin() + 192, expected.begin() + 196), (Bytes{0x5B, 0x5D, 0x5C, 0x5E}));
    EXPECT_EQ(decodeU32(expected.data() + 196), storeCrc(std::span(messages[0]).first(292)));
    EXPECT_EQ(decodeU32(expected.data() + 200), 0u);
    EXPECT_EQ(readAllBytes(path_), expected);

    std::int64_t at = 192;
    for (const Bytes& m : messages) {
        Head head{};
        StatusBlock status;
        EXPECT_EQ(readRecordHead(fd, at, head, status), 0u);
        Bytes message(decodeU32(head.data() + 4));
        std::copy(head.begin(), head.end(), message.begin());
        readRecordBody(fd, at, static_cast<std::uint32_t>(message.size()), 0, message, status);
        EXPECT_TRUE(statusEntries(status).empty());
        EXPECT_EQ(message, m);
        at += 12 + static_cast<std::int64_t>(m.size());
    }
}

TEST_F(RecordIoTest, AppendFailuresAndRefusals) {
    const int fd = openBytes(Bytes(192, 0));
    Bytes wrongLength = makeTestMessage(400, 1);
    encodeU32(wrongLength.data() + 4, 399);
    StatusBlock status;
    for (const Bytes& m : {wrongLength, makeTestMessage(291, 1)}) {  // a record must carry its length and a head
        appendRecord(fd, 192, m, status);
        EXPECT_EQ(statusEntries(status), (Entries{{13, 13342}}));
    }
    EXPECT_EQ(testsupport::fileSizeOf(path_), 192) << "nothing of a refused record is written";

    const Bytes m = makeTestMessage(400, 9);
    FaultyFileOps faults;
    faults.failNth(FileOpKind::Seek, 1, EINVAL);
    appendRecord(fd, 192, m, status);
    EXPECT_EQ(statusEntries(status), (Entries{{1, EINVAL}, {13, 13159}, {13, 13340}}));
    faults.failNth(FileOpKind::Write, 1, ENOSPC);
    appendRecord(fd, 192, m, status);
    EXPECT_EQ(statusEntries(status), (Entries{{1, ENOSPC}, {13, 13202}, {13, 13342}}));
    faults.limitTransfers(100);
    appendRecord(fd, 192, m, status);
    EXPECT_TRUE(statusEntries(status).empty()) << "short transfers are carried on";
    EXPECT_EQ(readAllBytes(path_).size(), 192 + 12 + m.size());
}

TEST_F(RecordIoTest, HeadAndBodyChecks) {
    // Zero-filled space passes the head check, with a length word of 0.
    openBytes(Bytes(1000, 0));
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
    EXPECT_EQ(statusEntries(status_), (Entries{{13, 13531}}));
    EXPECT_EQ(head[100], static_cast<std::uint8_t>(m[100] ^ 0xFF));

    // A body check word other than 0 fails an intact body, read before it is judged.
    at = openRecord(m, 1);
    EXPECT_EQ(readRecordHead(ctx_.storeFileHandle, at, head, status_), 1u);
    Bytes message(600);
    std::copy(head.begin(), head.end(), message.begin());
    readRecordBody(ctx_.storeFileHandle, at, 600, 1, message, status_);
    EXPECT_EQ(statusEntries(status_), (Entries{{13, 13530}}));
    EXPECT_EQ(message, m);
}

// Each part of a record is one positioned read: a position it refuses counts
// as the failed seek it replaces.
TEST_F(RecordIoTest, ReadFailuresCarryTheirCauses) {
    const std::int64_t at = openRecord(makeTestMessage(1000, 8));
    const int fd = ctx_.storeFileHandle;
    const std::int64_t end = at + 12 + 1000;
    Head head{};
    Bytes message(1000);
    readRecordHead(fd, end - 303, head, status_);  // one byte short
    EXPECT_EQ(failingEntries(status_), (Entries{{13, 13182}, {13, 13532}}));
    readRecordHead(fd, -1, head, status_);
    EXPECT_EQ(statusEntries(status_), (Entries{{1, EINVAL}, {13, 13159}, {13, 13402}}));
    readRecordBody(fd, -1000, 1000, 0, message, status_);
    EXPECT_EQ(statusEntries(status_), (Entries{{1, EINVAL}, {13, 13159}, {13, 13402}}));
    {
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
            EXPECT_EQ(statusEntries(status_), (Entries{{13, 13512}})) << length;
        }
        EXPECT_EQ(faults.totalCalls(), 0);
    }
    testsupport::truncateFile(path_, end - 1);
    readRecordBody(fd, at, 1000, 0, message, status_);
    EXPECT_EQ(failingEntries(status_), (Entries{{13, 13182}, {13, 13512}}));
}

std::uint8_t patternAt(std::int64_t offset) { return static_cast<std::uint8_t>(offset * 13 + offset / 256); }

Bytes pattern(std::int64_t offset, std::int64_t n) {
    Bytes out(static_cast<std::size_t>(n));
    for (std::int64_t i = 0; i < n; ++i) out[static_cast<std::size_t>(i)] = patternAt(offset + i);
    return out;
}

// A handle under the name lock reads a window ahead; what the window holds
// must never be older than the file.
TEST_F(RecordIoTest, ReadWindowIsDroppedByWritesAndReopens) {
    constexpr std::int64_t kSize = 100'000;
    const int fd = openBytes(pattern(0, kSize), true);
    const auto read = [&](std::int64_t offset, std::int64_t n) {
        Bytes out(static_cast<std::size_t>(n), 0xEE);
        readAheadAt(ctx_.storeFileHandle, offset, out.data(), n, status_);
        return out;
    };
    FaultyFileOps ops;
    EXPECT_EQ(read(1000, 304), pattern(1000, 304));
    EXPECT_EQ(read(1000 + 65536 - 10, 10), pattern(1000 + 65536 - 10, 10)) << "the window's last bytes";
    EXPECT_EQ(ops.calls(FileOpKind::Read), 1);

    const Bytes marks(3, 0x5A);
    writeExactAt(fd, 999, marks.data(), 3, status_);  // overlaps the window's first two bytes
    EXPECT_EQ(read(999, 4), (Bytes{0x5A, 0x5A, 0x5A, patternAt(1002)}));
    seekStoreFile(fd, 5000, 0, status_);
    writeExact(fd, marks.data(), 3, status_);  // a plain write's place is not known here
    EXPECT_EQ(read(5000, 4), (Bytes{0x5A, 0x5A, 0x5A, patternAt(5003)}));
    EXPECT_EQ(ops.calls(FileOpKind::Read), 3);

    // Shortfalls are reported as a direct read reports them.
    for (const std::int64_t offset : {kSize - 100, kSize, kSize + 5000}) {
        Bytes windowed(304, 0xEE), direct(304, 0xEE);
        StatusBlock directStatus;
        EXPECT_EQ(readAheadAt(fd, offset, windowed.data(), 304, status_),
                  readExactAt(fd, offset, direct.data(), 304, directStatus));
        EXPECT_EQ(statusEntries(status_), statusEntries(directStatus));
        EXPECT_EQ(windowed, direct);
    }
    ops.failNth(FileOpKind::Read, 1, EIO);
    read(20'000, 304);
    EXPECT_EQ(statusEntries(status_), (Entries{{1, EIO}, {13, 13182}}));
    EXPECT_EQ(read(20'000, 304), pattern(20'000, 304)) << "a failed read is not kept";

    openBytes(Bytes(kSize, 0x11), true);  // rewritten while closed, as by another process holding the lock in turn
    EXPECT_EQ(read(1000, 4), Bytes(4, 0x11)) << "the reopened file is read anew";
    openBytes(Bytes(kSize, 0x22), false);
    ops.resetCounts();
    EXPECT_EQ(read(1000, 4), Bytes(4, 0x22));
    read(1000, 4);
    EXPECT_EQ(ops.calls(FileOpKind::Read), 2) << "without the name lock every read goes to the file";
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
// each later window starts with the last 304 bytes of the one before.
TEST_F(ScanTest, HeadsAroundTheWindowBoundaries) {
    constexpr std::int64_t kStart = 1000;
    EXPECT_EQ(scan(kStart), 0);
    EXPECT_FALSE(statusFailed(status_));
    for (std::int64_t boundary : {kStart + kScanWindow, kStart + 2 * kScanWindow - kRecordHeadSize}) {
        for (std::int64_t at = boundary - kRecordHeadSize - 4; at <= boundary + 4; ++at) {
            put(at, record_);
            ASSERT_EQ(scan(kStart), at) << "boundary " << boundary;
            put(at, Bytes(background_.begin() + at, background_.begin() + at + std::ssize(record_)));
        }
    }
    // One read per window: the overlap is carried over, never read again.
    FaultyFileOps ops;
    EXPECT_EQ(scan(kStart), 0);
    EXPECT_EQ(ops.calls(FileOpKind::Read), 3);
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

    const std::pair<FileOpKind, Entries> faults[] = {
        {FileOpKind::Seek, {{1, EIO}, {13, 13159}, {13, 13402}}},
        {FileOpKind::Read, {{1, EIO}, {13, 13182}, {13, 13532}}},
    };
    for (const auto& [kind, codes] : faults) {
        FaultyFileOps ops;
        ops.failNth(kind, 1, EIO);
        EXPECT_EQ(scan(1000), 0);
        EXPECT_EQ(statusEntries(status_), codes);
    }
}

// Every block skipper stops at the block holding a planted marker pair, at
// each offset in the block and across its end, and never before.
TEST(MarkerSkip, EveryVariantStopsAtTheFirstCandidateBlock) {
    Bytes bytes = randomBytes(4096);
    std::replace(bytes.begin(), bytes.end(), kRecordMarker[0], std::uint8_t{0});
    const std::size_t end = 4000;
    for (MarkerSkip skip : markerSkipVariants()) {
        for (std::size_t from : {std::size_t{0}, std::size_t{3}}) {
            EXPECT_EQ(skip(bytes.data(), from, end), from + (end - from) / kMarkerBlock * kMarkerBlock);
        }
        for (std::size_t at = 1000; at < 1000 + 2 * kMarkerBlock; ++at) {
            Bytes planted = bytes;
            planted[at] = kRecordMarker[0];
            planted[at + 1] = kRecordMarker[1];
            const std::size_t from = 960;
            EXPECT_EQ(skip(planted.data(), from, end), from + (at - from) / kMarkerBlock * kMarkerBlock) << at;
        }
    }
}

}  // namespace
