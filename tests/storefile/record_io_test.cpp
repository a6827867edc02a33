// Records on disk: the append and the two reads of a record with their codes,
// and the forward search for a valid record prefix.
#include <array>
#include <fstream>

#include "msglib/coding.h"
#include "tests/storefile/store_test.h"

namespace {

using namespace storetest;
using testsupport::failingEntries;
using Head = std::array<std::uint8_t, 292>;

using RecordIoTest = StoreFileTest;

TEST_F(RecordIoTest, AppendedRecordsReadBackWholeAndRefusedOnesLeaveNothing) {
    const int fd = openPlain(Bytes(192, 0));
    Bytes expected(192, 0);
    FaultyFileOps faults;
    faults.limitTransfers(100);  // short transfers are carried on
    for (const Bytes& m : {makeTestMessage(400, 1), makeTestMessage(292, 2), makeTestMessage(5000, 3)}) {
        StatusBlock status = testsupport::dirtyStatus();
        const auto at = static_cast<std::int64_t>(expected.size());
        appendRecord(fd, at, m, status);
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
    EXPECT_EQ(testsupport::readAllBytes(path_), expected) << "no padding";

    Bytes wrongLength = makeTestMessage(400, 1);
    encodeU32(wrongLength.data() + 4, 399);
    const std::tuple<Bytes, FileOpKind, Entries> refusals[] = {
        {wrongLength, FileOpKind::Open, storeCodes({13342})},  // a record must carry its length (no fault)
        {makeTestMessage(291, 1), FileOpKind::Open, storeCodes({13342})},  // and a head (no fault)
        {makeTestMessage(400, 9), FileOpKind::Seek, {{1, EIO}, {13, 13159}, {13, 13340}}},
        {makeTestMessage(400, 9), FileOpKind::Write, {{1, EIO}, {13, 13202}, {13, 13342}}},
    };
    for (const auto& [m, fault, entries] : refusals) {
        if (fault != FileOpKind::Open) faults.failNth(fault, 1, EIO);
        appendRecord(fd, 192, m, status_);
        EXPECT_EQ(statusEntries(status_), entries);
    }
    EXPECT_EQ(testsupport::readAllBytes(path_), expected) << "nothing of a refused record is written";
}

// A damaged head is still delivered with its body check word, and the marker
// is not looked at; a body check other than 0 fails an intact body; zeros
// pass as a head of length 0. Each part is one positioned read: a position it
// refuses counts as the failed seek it replaces.
TEST_F(RecordIoTest, HeadAndBodyChecksAndTheirCodes) {
    const Bytes m = makeTestMessage(1000, 4);
    StoreFileBuilder b;
    const std::int64_t at = b.addMessage(m, 5);
    b.zeroFillTo(b.end() + 400);
    const int fd = openPlain(b.bytes());
    const std::int64_t end = at + 12 + 1000;
    testsupport::flipByte(path_, at + 12 + 100);
    testsupport::setByte(path_, at, 'X');
    Head head{};
    Bytes message(1000);
    EXPECT_EQ(readRecordHead(fd, at, head, status_), 5u);
    EXPECT_EQ(statusEntries(status_), storeCodes({13531}));
    EXPECT_EQ(head[100], static_cast<std::uint8_t>(m[100] ^ 0xFF));
    readRecordBody(fd, at, 1000, 5, message, status_);
    EXPECT_EQ(statusEntries(status_), storeCodes({13530}));
    EXPECT_TRUE(std::equal(message.begin() + 292, message.end(), m.begin() + 292)) << "read before it is judged";
    head.fill(0xFF);
    EXPECT_EQ(readRecordHead(fd, end, head, status_), 0u);
    EXPECT_TRUE(statusEntries(status_).empty());
    EXPECT_EQ(head, Head{});

    readRecordHead(fd, end + 97, head, status_);  // one byte short
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
    faults.resetCounts();
    for (std::uint32_t length : {0u, 291u, 1001u}) {  // no room for a head, or more than the buffer: nothing read
        readRecordBody(fd, at, length, 0, message, status_);
        EXPECT_EQ(statusEntries(status_), storeCodes({13512})) << length;
    }
    EXPECT_EQ(faults.totalCalls(), 0);
    testsupport::truncateFile(path_, end - 1);
    readRecordBody(fd, at, 1000, 0, message, status_);
    EXPECT_EQ(failingEntries(status_), storeCodes({13182, 13512}));
}

class ScanTest : public RecordIoTest {
protected:
    void SetUp() override {
        std::uint32_t x = 2463534242u;  // random bytes, which hold no record
        for (auto& b : background_) {
            x ^= x << 13;
            x ^= x >> 17;
            x ^= x << 5;
            b = static_cast<std::uint8_t>(x);
        }
        openPlain(background_);
    }
    void put(std::int64_t at, const Bytes& bytes) {
        std::fstream io(path_, std::ios::binary | std::ios::in | std::ios::out);
        io.seekp(at);
        io.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }
    std::int64_t scan(std::int64_t start, std::int64_t limit = 3 * kScanWindow - 1) {
        return scanForRecord(store_.storeFileHandle, start, limit, status_);
    }
    Bytes background_ = Bytes(3 * kScanWindow);
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
    const std::tuple<FileOpKind, int, int> faults[] = {{FileOpKind::Seek, 13402, 13159},
                                                       {FileOpKind::Read, 13532, 13182}};
    for (const auto& [kind, code, cause] : faults) {
        FaultyFileOps ops;
        ops.failNth(kind, 1, EIO);
        EXPECT_EQ(scan(1000), 0);
        EXPECT_EQ(statusEntries(status_), (Entries{{1, EIO}, {13, cause}, {13, code}}));
    }
}

}  // namespace
