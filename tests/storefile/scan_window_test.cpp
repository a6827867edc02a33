// The forward search for a valid record prefix: every position examined once,
// heads straddling the 64 KiB windows, the limits of the range, its faults.
#include <algorithm>
#include <cerrno>
#include <fstream>

#include "storefile/scan_blocks.h"
#include "tests/storefile/cursor_fixture.h"
#include "tests/support/faulty_file_ops.h"

namespace {

using namespace storetest;
using testsupport::FileOpKind;

using Bytes = std::vector<std::uint8_t>;

constexpr std::int64_t kStart = 1000;
constexpr std::int64_t kStep = kScanWindow - kRecordHeadSize;  // how far each later window moves on

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

class ScanTest : public StoreFileTest {
protected:
    void SetUp() override {
        StoreFileTest::SetUp();
        background_ = randomBytes(3 * kScanWindow);
        testsupport::writeAllBytes(path_, background_);
        handle_ = zento_s_file_open(path_.c_str(), kOpenReadWrite, status_);
        ASSERT_GE(handle_, 0);
        ctx_.storeFileHandle = handle_;  // closed by the fixture
    }
    void put(std::int64_t at, const Bytes& bytes) {
        std::fstream io(path_, std::ios::binary | std::ios::in | std::ios::out);
        io.seekp(at);
        io.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }
    void restore(std::int64_t at, std::size_t n) {
        put(at, Bytes(background_.begin() + at, background_.begin() + at + static_cast<std::ptrdiff_t>(n)));
    }
    std::int64_t scan(std::int64_t start, std::int64_t limit) { return scanForRecord(handle_, start, limit, status_); }
    std::int64_t fileLimit() const { return static_cast<std::int64_t>(background_.size()) - 1; }

    Bytes background_;
    std::int32_t handle_ = -1;
    const Bytes record_ = testsupport::makeRecord(testsupport::makeTestMessage(400, 5));
};

TEST_F(ScanTest, RecordlessDataGivesZeroWithoutError) {
    EXPECT_EQ(scan(kStart, fileLimit()), 0);
    EXPECT_FALSE(statusFailed(status_));
    testsupport::writeAllBytes(path_, Bytes(background_.size(), 0));
    EXPECT_EQ(scan(kStart, fileLimit()), 0);
    EXPECT_FALSE(statusFailed(status_));
}

// Heads that end just before, across and just after each window boundary.
TEST_F(ScanTest, HeadsAroundTheWindowBoundaries) {
    for (std::int64_t boundary : {kStart + std::int64_t{kScanWindow}, kStart + kScanWindow + kStep}) {
        for (std::int64_t at = boundary - kRecordHeadSize - 4; at <= boundary + 4; ++at) {
            put(at, record_);
            ASSERT_EQ(scan(kStart, fileLimit()), at) << "boundary " << boundary;
            restore(at, record_.size());
        }
    }
}

// Every position is examined, including those inside a candidate that failed.
TEST_F(ScanTest, FirstValidPositionWins) {
    Bytes fake = record_;
    fake[4] ^= 1;  // head CRC no longer matches
    put(5000, fake);
    put(5002, record_);
    put(9000, record_);
    EXPECT_EQ(scan(kStart, fileLimit()), 5002);
    EXPECT_EQ(scan(5003, fileLimit()), 9000);

    Bytes unchecked = testsupport::makeRecord(testsupport::makeTestMessage(400, 5), 99);
    put(5002, unchecked);  // the body check word is not looked at
    EXPECT_EQ(scan(kStart, fileLimit()), 5002);
}

TEST_F(ScanTest, PositionsEndBeforeLimitLessAHead) {
    const std::int64_t at = 7000;
    put(at, record_);
    EXPECT_EQ(scan(at, at + kRecordHeadSize + 1), at);
    EXPECT_EQ(scan(at, at + kRecordHeadSize), 0);
    EXPECT_EQ(scan(at + 1, fileLimit()), 0);
    EXPECT_FALSE(statusFailed(status_));
}

// One read per window: the overlap is carried over, never read again.
TEST_F(ScanTest, ReadsTheRangeOnce) {
    testsupport::FaultyFileOps ops;
    const std::int64_t limit = fileLimit();
    EXPECT_EQ(scan(kStart, limit), 0);
    const std::int64_t bytes = limit - kStart;
    EXPECT_EQ(ops.calls(FileOpKind::Read), 1 + (bytes - kScanWindow + kStep - 1) / kStep);

    ops.resetCounts();
    EXPECT_EQ(scan(kStart, kStart + kRecordHeadSize), 0);
    EXPECT_EQ(ops.calls(FileOpKind::Read), 0);
}

TEST_F(ScanTest, FaultsGiveTheirCodes) {
    put(100000, record_);  // in the second window
    const std::pair<FileOpKind, std::vector<Entry>> faults[] = {
        {FileOpKind::Seek, {{1, EIO}, {13, 13159}, {13, 13402}}},
        {FileOpKind::Read, {{1, EIO}, {13, 13182}, {13, 13532}}},
    };
    for (const auto& [kind, codes] : faults) {
        testsupport::FaultyFileOps ops;
        ops.failNth(kind, kind == FileOpKind::Read ? 2 : 1, EIO);
        EXPECT_EQ(scan(kStart, fileLimit()), 0);
        EXPECT_EQ(entries(status_), codes);
    }
}

// Every block skipper stops at the block holding a planted marker pair, at
// each offset in the block and across its end, and never before.
TEST(MarkerSkip, EveryVariantStopsAtTheFirstCandidateBlock) {
    Bytes bytes = randomBytes(4096);
    std::replace(bytes.begin(), bytes.end(), kRecordMarker[0], std::uint8_t{0});
    const std::size_t end = 4000;
    for (MarkerSkip skip : markerSkipVariants()) {
        // Nothing to find: the first block that would run past the end.
        for (std::size_t from : {std::size_t{0}, std::size_t{3}}) {
            EXPECT_EQ(skip(bytes.data(), from, end), from + (end - from) / kMarkerBlock * kMarkerBlock);
        }
        for (std::size_t at = 1000; at < 1000 + 2 * kMarkerBlock; ++at) {
            Bytes planted = bytes;
            planted[at] = kRecordMarker[0];
            planted[at + 1] = kRecordMarker[1];
            const std::size_t from = 960;  // blocks start at 960, 1024, 1088, 1152
            EXPECT_EQ(skip(planted.data(), from, end), from + (at - from) / kMarkerBlock * kMarkerBlock) << at;
        }
    }
}

}  // namespace
