// The window of a store file that a handle under the name lock keeps in
// memory: reads come from it until a write overlaps it, and whatever a read
// cannot get is reported exactly as a direct read would report it.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "platform/file_ops.h"
#include "storefile/file_handle.h"
#include "storefile/file_memory.h"
#include "tests/support/faulty_file_ops.h"
#include "tests/support/file_damage.h"
#include "tests/support/status_entries.h"
#include "tests/support/temp_home.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using testsupport::Entries;
using testsupport::FileOpKind;
using testsupport::statusEntries;

constexpr std::int64_t kFileSize = 100'000;

std::uint8_t patternAt(std::int64_t offset) { return static_cast<std::uint8_t>(offset * 13 + offset / 256); }

class ReadWindow : public testsupport::TempHomeTest {
protected:
    void SetUp() override {
        path_ = home_.file("ZENTO_STORE_NODE1.WINDOW");
        Bytes content(kFileSize);
        for (std::int64_t i = 0; i < kFileSize; ++i) content[static_cast<std::size_t>(i)] = patternAt(i);
        testsupport::writeAllBytes(path_, content);
        open();
    }
    void TearDown() override { close(); }
    void open() {
        StatusBlock status;
        fd_ = zento_s_file_open(path_.c_str(), kOpenReadWrite, status);
        ASSERT_GE(fd_, 0);
    }
    void close() {
        StatusBlock status;
        if (fd_ >= 0) closeStoreFileHandle(fd_, status);
        fd_ = -1;
    }
    // n bytes at offset through the window; the status in status_.
    Bytes read(std::int64_t offset, std::int64_t n, std::int64_t* got = nullptr) {
        Bytes out(static_cast<std::size_t>(n), 0xEE);
        const std::int64_t count = readAheadAt(fd_, offset, out.data(), n, status_);
        if (got != nullptr) *got = count;
        return out;
    }
    static Bytes expected(std::int64_t offset, std::int64_t n) {
        Bytes out(static_cast<std::size_t>(n));
        for (std::int64_t i = 0; i < n; ++i) out[static_cast<std::size_t>(i)] = patternAt(offset + i);
        return out;
    }

    std::string path_;
    std::int32_t fd_ = -1;
    StatusBlock status_{};
};

TEST_F(ReadWindow, ReadsComeFromTheWindowUntilAWriteOverlapsIt) {
    testsupport::FaultyFileOps ops;
    EXPECT_EQ(read(1000, 304), expected(1000, 304));
    EXPECT_EQ(read(1304, 5000), expected(1304, 5000));
    EXPECT_EQ(read(1000 + 65536 - 10, 10), expected(1000 + 65536 - 10, 10)) << "the window's last bytes";
    EXPECT_EQ(ops.calls(FileOpKind::Read), 1);

    // A write beyond the window leaves it; one into it drops it.
    StatusBlock status;
    const Bytes marks(3, 0x5A);
    writeExactAt(fd_, 90'000, marks.data(), 3, status);
    EXPECT_EQ(read(2000, 8), expected(2000, 8));
    EXPECT_EQ(ops.calls(FileOpKind::Read), 1);
    writeExactAt(fd_, 999, marks.data(), 3, status);  // overlaps the window's first two bytes
    Bytes now = read(999, 6);
    EXPECT_EQ(now, (Bytes{0x5A, 0x5A, 0x5A, patternAt(1002), patternAt(1003), patternAt(1004)}));
    EXPECT_EQ(ops.calls(FileOpKind::Read), 2);

    // A plain write's position is not known here: it drops the window.
    seekStoreFile(fd_, 5000, 0, status);
    writeExact(fd_, marks.data(), 3, status);
    EXPECT_EQ(read(5000, 4), (Bytes{0x5A, 0x5A, 0x5A, patternAt(5003)}));
    EXPECT_EQ(ops.calls(FileOpKind::Read), 3);

    // A request past the window's end, or before its start, reads anew.
    EXPECT_EQ(read(5000 + 65536 - 2, 4), expected(5000 + 65536 - 2, 4));
    EXPECT_EQ(read(4000, 4), expected(4000, 4));
    EXPECT_EQ(ops.calls(FileOpKind::Read), 5);
    EXPECT_EQ(ops.calls(FileOpKind::Seek), 1) << "only the plain write's own seek";
}

TEST_F(ReadWindow, ShortfallsAreReportedAsADirectReadReportsThem) {
    struct Case {
        const char* name;
        std::int64_t offset;
        std::int64_t n;
    } cases[] = {
        {"across the end of the file", kFileSize - 100, 304},
        {"at the end of the file", kFileSize, 304},
        {"beyond it", kFileSize + 5000, 10},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::int64_t got = -1;
        const Bytes windowed = read(c.offset, c.n, &got);
        const Entries windowEntries = statusEntries(status_);

        Bytes direct(static_cast<std::size_t>(c.n), 0xEE);
        StatusBlock directStatus;
        const std::int64_t directGot = readExactAt(fd_, c.offset, direct.data(), c.n, directStatus);
        EXPECT_EQ(got, directGot);
        EXPECT_EQ(windowEntries, statusEntries(directStatus));
        EXPECT_EQ(windowed, direct);
    }

    // A failed read is not kept: the next request reads again, and pieces
    // shorter than asked for are gathered.
    testsupport::FaultyFileOps ops;
    ops.failNth(FileOpKind::Read, 1, EIO);
    std::int64_t got = -1;
    read(20'000, 304, &got);
    EXPECT_EQ(got, 0);
    EXPECT_EQ(statusEntries(status_), (Entries{{1, EIO}, {13, 13182}}));
    ops.limitTransfers(1000);
    EXPECT_EQ(read(20'000, 3000), expected(20'000, 3000));
    EXPECT_TRUE(statusEntries(status_).empty());
}

TEST_F(ReadWindow, OnlyAnOpenLockedHandleKeepsAWindow) {
    EXPECT_EQ(read(100, 50), expected(100, 50));
    close();
    // Another process, holding the lock in turn, rewrote the file.
    Bytes changed(kFileSize, 0x11);
    testsupport::writeAllBytes(path_, changed);
    open();
    EXPECT_EQ(read(100, 4), Bytes(4, 0x11)) << "the reopened file is read anew";
    close();

    fd_ = platform::rtOpen(path_.c_str(), platform::kRtReadWrite, 0);
    ASSERT_GE(fd_, 0);
    testsupport::FaultyFileOps ops;
    read(100, 4);
    read(100, 4);
    EXPECT_EQ(ops.calls(FileOpKind::Read), 2) << "without the name lock every read goes to the file";
    platform::rtClose(fd_);
    fd_ = -1;

    open();
    ops.resetCounts();
    EXPECT_EQ(read(0, kReadWindow + 1), Bytes(kReadWindow + 1, 0x11)) << "longer than the window: read directly";
    read(10, 4);
    EXPECT_EQ(ops.calls(FileOpKind::Read), 2) << "the long read left no window behind";
}

}  // namespace
