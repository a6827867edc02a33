#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/file_ops.h"
#include "storefile/file_handle.h"
#include "tests/storefile/handle_test_support.h"
#include "tests/support/faulty_file_ops.h"
#include "tests/support/file_damage.h"
#include "tests/support/status_entries.h"

namespace {

using handletest::kernelLog;
using testsupport::Entries;
using testsupport::FileOpKind;
using testsupport::failingEntries;
using testsupport::statusEntries;
using Bytes = std::vector<std::uint8_t>;

class FileIoTest : public testsupport::TempHomeTest {
protected:
    void SetUp() override {
        path_ = home_.file("io.iotest");
        Bytes content(100);
        for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<std::uint8_t>(i);
        testsupport::writeAllBytes(path_, content);
        StatusBlock status;
        fd_ = zento_s_file_open(path_.c_str(), kOpenReadWrite, status);
        ASSERT_GE(fd_, 0);
    }
    void TearDown() override {
        StatusBlock status;
        closeStoreFileHandle(fd_, status);
    }
    std::string path_;
    std::int32_t fd_ = -1;
};

TEST_F(FileIoTest, SeekAndSize) {
    StatusBlock status = testsupport::dirtyStatus();
    EXPECT_EQ(seekStoreFile(fd_, 40, 0, status), 40);
    EXPECT_TRUE(statusEntries(status).empty());
    EXPECT_EQ(seekStoreFile(fd_, -10, 2, status), 90);

    EXPECT_EQ(storeFileSize(fd_, status), 100);
    EXPECT_TRUE(statusEntries(status).empty());
    std::uint8_t b[4];
    EXPECT_EQ(readExact(fd_, b, 1, status), 0) << "the size query leaves the position at the end";

    testsupport::FaultyFileOps faults;
    faults.failNth(FileOpKind::Seek, 1, EINVAL);
    EXPECT_LT(seekStoreFile(fd_, 5, 0, status), 0);
    EXPECT_EQ(statusEntries(status), (Entries{{1, EINVAL}, {13, 13159}}));
    faults.failNth(FileOpKind::Seek, 1, ESPIPE);
    EXPECT_LT(storeFileSize(fd_, status), 0);
    EXPECT_EQ(statusEntries(status), (Entries{{1, ESPIPE}, {13, 13154}}));
    faults.clearFaults();
    EXPECT_LT(seekStoreFile(fd_, -1, 0, status), 0) << "a real failure of the runtime";
    EXPECT_EQ(statusEntries(status), (Entries{{1, EINVAL}, {13, 13159}}));
}

TEST_F(FileIoTest, ReadExactCollectsShortTransfersAndReportsTheShortfall) {
    StatusBlock status;
    Bytes buffer(150, 0xEE);
    seekStoreFile(fd_, 0, 0, status);
    {
        testsupport::FaultyFileOps faults;
        faults.limitTransfers(7);
        EXPECT_EQ(readExact(fd_, buffer.data(), 60, status), 60);
        EXPECT_TRUE(statusEntries(status).empty());
        EXPECT_EQ(faults.calls(FileOpKind::Read), 9);
    }
    EXPECT_EQ(buffer[59], 59);
    EXPECT_EQ(buffer[60], 0xEE);

    // 40 bytes are left: they come, then the end of the file is an error.
    EXPECT_EQ(readExact(fd_, buffer.data(), 150, status), 40);
    EXPECT_EQ(failingEntries(status), (Entries{{13, 13182}}));
    EXPECT_TRUE(testsupport::hasEntry(status, 1, 0));
    EXPECT_EQ(buffer[39], 99);

    seekStoreFile(fd_, 0, 0, status);
    testsupport::FaultyFileOps faults;
    faults.limitTransfers(30);
    faults.failNth(FileOpKind::Read, 2, EIO);
    EXPECT_EQ(readExact(fd_, buffer.data(), 100, status), 30);
    EXPECT_EQ(statusEntries(status), (Entries{{1, EIO}, {13, 13182}}));

    EXPECT_EQ(readExact(fd_, buffer.data(), 0, status), 0);
    EXPECT_TRUE(statusEntries(status).empty());
    EXPECT_EQ(readExact(-1, buffer.data(), 10, status), 0);
    EXPECT_EQ(statusEntries(status), (Entries{{13, 13180}}));
    EXPECT_EQ(readExact(fd_, nullptr, 10, status), 0);
    EXPECT_EQ(statusEntries(status), (Entries{{13, 13181}}));
}

TEST_F(FileIoTest, WriteExactCarriesOnAndReportsFailures) {
    StatusBlock status;
    const Bytes data(64, 0xAB);
    seekStoreFile(fd_, 90, 0, status);
    {
        testsupport::FaultyFileOps faults;
        faults.limitTransfers(10);
        EXPECT_EQ(writeExact(fd_, data.data(), 64, status), 64);
        EXPECT_TRUE(statusEntries(status).empty());
        EXPECT_EQ(faults.calls(FileOpKind::Write), 7);
    }
    EXPECT_EQ(testsupport::fileSizeOf(path_), 154);

    testsupport::FaultyFileOps faults;
    faults.limitTransfers(16);
    faults.failNth(FileOpKind::Write, 3, ENOSPC);
    EXPECT_EQ(writeExact(fd_, data.data(), 64, status), 32);
    EXPECT_EQ(statusEntries(status), (Entries{{1, ENOSPC}, {13, 13202}}));

    EXPECT_EQ(writeExact(-3, data.data(), 1, status), 0);
    EXPECT_EQ(statusEntries(status), (Entries{{13, 13200}}));
    EXPECT_EQ(writeExact(fd_, nullptr, 1, status), 0);
    EXPECT_EQ(statusEntries(status), (Entries{{13, 13201}}));
}

// Positioned transfers: the same codes and carrying on as the plain ones,
// each piece at its own offset, and the file position left where it was.
TEST_F(FileIoTest, PositionedTransfersKeepTheFilePosition) {
    StatusBlock status;
    seekStoreFile(fd_, 10, 0, status);
    Bytes buffer(150, 0xEE);
    {
        testsupport::FaultyFileOps faults;
        faults.limitTransfers(7);
        EXPECT_EQ(readExactAt(fd_, 50, buffer.data(), 20, status), 20);
        EXPECT_TRUE(statusEntries(status).empty());
        EXPECT_EQ(faults.calls(FileOpKind::Read), 3);
        EXPECT_EQ(faults.calls(FileOpKind::Seek), 0);
    }
    EXPECT_EQ(buffer[0], 50);
    EXPECT_EQ(buffer[19], 69);
    std::uint8_t next = 0;
    EXPECT_EQ(readExact(fd_, &next, 1, status), 1);
    EXPECT_EQ(next, 10) << "the plain read goes on where the seek left it";

    const Bytes data(30, 0xAB);
    {
        testsupport::FaultyFileOps faults;
        faults.limitTransfers(8);
        EXPECT_EQ(writeExactAt(fd_, 90, data.data(), 30, status), 30);
        EXPECT_TRUE(statusEntries(status).empty());
        EXPECT_EQ(faults.calls(FileOpKind::Write), 4);
    }
    const Bytes file = testsupport::readAllBytes(path_);
    ASSERT_EQ(file.size(), 120u);
    EXPECT_EQ(file[89], 89);
    EXPECT_TRUE(std::all_of(file.begin() + 90, file.end(), [](std::uint8_t b) { return b == 0xAB; }));

    // The end of the file, failures half way, refused offsets, bad arguments.
    EXPECT_EQ(readExactAt(fd_, 100, buffer.data(), 50, status), 20);
    EXPECT_EQ(failingEntries(status), (Entries{{13, 13182}}));
    EXPECT_TRUE(testsupport::hasEntry(status, 1, 0));
    testsupport::FaultyFileOps faults;
    faults.limitTransfers(16);
    faults.failNth(FileOpKind::Write, 2, ENOSPC);
    EXPECT_EQ(writeExactAt(fd_, 0, data.data(), 30, status), 16);
    EXPECT_EQ(statusEntries(status), (Entries{{1, ENOSPC}, {13, 13202}}));
    faults.resetCounts();
    EXPECT_EQ(readExactAt(fd_, -1, buffer.data(), 4, status), 0);
    EXPECT_EQ(statusEntries(status), (Entries{{1, EINVAL}, {13, 13159}}));
    EXPECT_EQ(writeExactAt(fd_, -8, data.data(), 4, status), 0);
    EXPECT_EQ(statusEntries(status), (Entries{{1, EINVAL}, {13, 13159}}));
    EXPECT_EQ(faults.totalCalls(), 0) << "a refused offset reaches no system call";
    EXPECT_EQ(readExactAt(-1, 0, buffer.data(), 4, status), 0);
    EXPECT_EQ(statusEntries(status), (Entries{{13, 13180}}));
    EXPECT_EQ(writeExactAt(fd_, 0, nullptr, 4, status), 0);
    EXPECT_EQ(statusEntries(status), (Entries{{13, 13201}}));
}

TEST_F(FileIoTest, PersistentFaultsLastUntilCleared) {
    StatusBlock status;
    std::uint8_t b[8];
    testsupport::FaultyFileOps faults;
    faults.failNthAny(2, EIO, true);  // the second call of any kind, and all after it
    EXPECT_EQ(seekStoreFile(fd_, 0, 0, status), 0);
    EXPECT_EQ(readExact(fd_, b, 8, status), 0);
    EXPECT_EQ(statusEntries(status), (Entries{{1, EIO}, {13, 13182}}));
    EXPECT_LT(seekStoreFile(fd_, 0, 0, status), 0);
    EXPECT_EQ(faults.calls(FileOpKind::Read), 1);
    EXPECT_EQ(faults.totalCalls(), 3);
    faults.clearFaults();
    EXPECT_EQ(seekStoreFile(fd_, 0, 0, status), 0);
    EXPECT_EQ(readExact(fd_, b, 8, status), 8);
}

TEST_F(FileIoTest, RegionLockStepsLockNothing) {
    StatusBlock status = testsupport::dirtyStatus();
    lockStoreFile(fd_, path_.c_str(), 192, status);
    EXPECT_TRUE(statusEntries(status).empty()) << "the lock step empties the status";
    status = testsupport::dirtyStatus();
    unlockStoreFile(fd_, 192, status);
    EXPECT_EQ(statusEntries(status), (Entries{{9, 999}})) << "the unlock step does nothing at all";
}

TEST_F(FileIoTest, WindowsErrorLines) {
    struct Case {
        const char* text;
        std::uint32_t error;
        const char* line;  // nullptr: nothing logged
    } cases[] = {
        {"Opening", 2, "[tag] [Opening,\nerror=2: The system cannot find the file specified.  ]\n"},
        {nullptr, 5, "[tag] [error=5: Access is denied.  ]\n"},
        {"Opening", 99999, "[tag] [Opening\nWNT Unknown Error=99999, FormatMessage error=317]\n"},
        {nullptr, 99999, "[tag] [\nWNT Unknown Error=99999, FormatMessage error=317]\n"},
        {"Just the text", 0, "[tag] [Just the text]\n"},
        {nullptr, 0, nullptr},
    };
    std::size_t seen = kernelLog(home_).size();  // the open's own line
    for (const Case& c : cases) {
        LogWinError("tag", c.text, c.error);
        const std::string log = kernelLog(home_);
        const std::string added = log.substr(seen);
        seen = log.size();
        if (c.line == nullptr) {
            EXPECT_EQ(added, "");
            continue;
        }
        ASSERT_GT(added.size(), 24u);
        EXPECT_EQ(added.substr(24), c.line) << "after the time stamp";
    }
}

TEST_F(FileIoTest, LongWindowsErrorLinesAreCut) {
    const std::size_t seen = kernelLog(home_).size();
    const std::string text(3000, 'x');
    LogWinError("tag", text.c_str(), 2);
    const std::string log = kernelLog(home_);
    ASSERT_GT(log.size(), seen + 24);
    const std::string line = log.substr(seen + 24);
    // "[tag] [" + at most 2047 characters + "]\n"
    EXPECT_EQ(line.size(), 7 + 2047 + 2);
    EXPECT_EQ(line.substr(line.size() - 4), "xx]\n");
}

}  // namespace
