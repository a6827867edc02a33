#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "msglib/coding.h"
#include "platform/file_ops.h"
#include "recover/recover_context.h"
#include "storefile/store_format.h"
#include "tests/support/faulty_file_ops.h"
#include "tests/support/file_damage.h"
#include "tests/support/status_entries.h"
#include "tests/support/store_builder.h"
#include "tests/support/temp_home.h"

namespace {

using testsupport::Entries;
using testsupport::FileOpKind;
using testsupport::failingEntries;
using testsupport::readAllBytes;
using testsupport::statusEntries;

class HeaderIoTest : public testsupport::TempHomeTest {
protected:
    void TearDown() override {
        if (fd_ >= 0) platform::rtClose(fd_);
    }
    // Opens a file of `size` bytes of 0xEE for reading and writing.
    int openFilled(std::size_t size) {
        path_ = home_.file("store.svc");
        testsupport::writeAllBytes(path_, std::vector<std::uint8_t>(size, 0xEE));
        fd_ = platform::rtOpen(path_.c_str(), platform::kRtReadWrite, 0);
        EXPECT_GE(fd_, 0);
        return fd_;
    }
    std::string path_;
    int fd_ = -1;
};

StoreFileHeader sampleHeader() {
    StoreFileHeader h = testsupport::newType2Header(16);
    h.firstMsgOffset = 192;
    h.lastMsgOffset = 9000;
    h.msgCount = 12;
    h.forwardedCount = 3;
    h.offset48 = 9500;
    h.lastOffset = 9500;
    h.forwardOffset = 2000;
    h.value24 = 0x1122334455667788;
    h.word08 = 0xABCD;
    return h;
}

TEST_F(HeaderIoTest, NewType2HeaderWritesTwoCopiesAndReadsBack) {
    const int fd = openFilled(400);
    StatusBlock status = testsupport::dirtyStatus();
    testing::internal::CaptureStdout();
    writeNewType2Header(fd, sampleHeader(), status);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_TRUE(statusEntries(status).empty());

    const std::vector<std::uint8_t> bytes = readAllBytes(path_);
    ASSERT_EQ(bytes.size(), 400u);
    EXPECT_EQ(std::vector<std::uint8_t>(bytes.begin(), bytes.begin() + 192),
              testsupport::makeHeaderArea(sampleHeader(), 2));
    EXPECT_EQ(bytes[192], 0xEE) << "nothing past the header is touched";

    const StoreFileHeader back = readType2Header(fd, status);
    EXPECT_TRUE(statusEntries(status).empty());
    EXPECT_EQ(encodeType2(back), encodeType2(sampleHeader()));
}

TEST_F(HeaderIoTest, ReadTakesTheUsableCopy) {
    const int fd = openFilled(300);
    StoreFileHeader primary = sampleHeader();
    StoreFileHeader backup = sampleHeader();
    backup.forwardOffset = 4444;
    std::vector<std::uint8_t> area = testsupport::makeHeaderArea(primary, 2);
    const std::vector<std::uint8_t> backupArea = testsupport::makeHeaderArea(backup, 2);
    std::copy(backupArea.begin() + 96, backupArea.end(), area.begin() + 96);

    struct Case {
        const char* what;
        int damageAt;  // -1: none
        std::int64_t forwardOffset;
        Entries entries;
    } cases[] = {
        {"both good but different", -1, 0, {{13, 13510}}},
        {"primary bad", 10, 4444, {}},
        {"backup bad", 100, 2000, {}},
    };
    for (const Case& c : cases) {
        std::vector<std::uint8_t> file = area;
        if (c.damageAt >= 0) file[static_cast<std::size_t>(c.damageAt)] ^= 0x01;
        testsupport::writeAllBytes(path_, file);
        StatusBlock status;
        const StoreFileHeader h = readType2Header(fd, status);
        EXPECT_EQ(statusEntries(status), c.entries) << c.what;
        EXPECT_EQ(h.forwardOffset, c.forwardOffset) << c.what;
    }
}

TEST_F(HeaderIoTest, ReadFailuresCarryTheirCauses) {
    const int fd = openFilled(100);  // shorter than a header
    StatusBlock status;
    readType2Header(fd, status);
    EXPECT_EQ(failingEntries(status), (Entries{{13, 13182}, {13, 13512}}));
    EXPECT_TRUE(testsupport::hasEntry(status, 1, 0)) << "the end of file is a runtime entry without error";

    testsupport::writeAllBytes(path_, testsupport::makeHeaderArea(sampleHeader(), 2));
    {
        testsupport::FaultyFileOps faults;
        faults.failNth(FileOpKind::Seek, 1, EIO);
        readType2Header(fd, status);
        EXPECT_EQ(statusEntries(status), (Entries{{1, EIO}, {13, 13159}, {13, 13511}}));
        faults.failNth(FileOpKind::Read, 1, EIO);
        readType2Header(fd, status);
        EXPECT_EQ(statusEntries(status), (Entries{{1, EIO}, {13, 13182}, {13, 13512}}));
    }
}

TEST_F(HeaderIoTest, NewHeaderWriteFailures) {
    const int fd = openFilled(300);
    testsupport::FaultyFileOps faults;
    StatusBlock status;
    testing::internal::CaptureStdout();
    faults.failNth(FileOpKind::Read, 1, EBADF);
    writeNewType2Header(fd, sampleHeader(), status);
    EXPECT_EQ(statusEntries(status), (Entries{{1, EBADF}, {13, 13182}, {13, 13521}}));
    faults.failNth(FileOpKind::Write, 1, ENOSPC);
    writeNewType2Header(fd, sampleHeader(), status);
    EXPECT_EQ(statusEntries(status), (Entries{{1, ENOSPC}, {13, 13202}, {13, 13521}}));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST_F(HeaderIoTest, StoreHeaderIsWrittenInTheFilesOwnType) {
    for (int type = 0; type <= 2; ++type) {
        const int fd = openFilled(500);
        RecoverContext ctx;
        ctx.storeFileHandle = fd;
        ctx.headerType = type;
        const StoreFileHeader h = sampleHeader();

        testsupport::FaultyFileOps faults;
        StatusBlock status = testsupport::dirtyStatus();
        testing::internal::CaptureStdout();
        writeStoreHeader(ctx, h, status);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
        EXPECT_TRUE(statusEntries(status).empty()) << type;
        EXPECT_EQ(faults.calls(FileOpKind::Read), 1) << "the header area is read before it is rewritten";

        const std::vector<std::uint8_t> bytes = readAllBytes(path_);
        const std::size_t length = 2 * blockSizeOf(type) + 8;
        EXPECT_EQ(std::vector<std::uint8_t>(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(length)),
                  testsupport::makeHeaderArea(h, type))
            << type;
        EXPECT_EQ(bytes[length], 0xEE) << "type " << type << " writes exactly " << length << " bytes";
        platform::rtClose(fd);
        fd_ = -1;
    }
}

TEST_F(HeaderIoTest, StoreHeaderFailuresWarnOnTheConsole) {
    RecoverContext ctx;
    ctx.storeFileHandle = openFilled(300);
    ctx.headerType = 2;
    testsupport::FaultyFileOps faults;
    StatusBlock status;

    faults.failNth(FileOpKind::Write, 1, ENOSPC);
    testing::internal::CaptureStdout();
    writeStoreHeader(ctx, sampleHeader(), status);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Warning: ERROR trying to write file header: error in WRITE.\n");
    EXPECT_EQ(statusEntries(status), (Entries{{1, ENOSPC}, {13, 13202}, {13, 13521}}));

    // The header area is read first, to know which copy holds the header now.
    faults.failNth(FileOpKind::Read, 1, EIO);
    testing::internal::CaptureStdout();
    writeStoreHeader(ctx, sampleHeader(), status);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Warning: ERROR trying to write file header: error in READ.\n");
    EXPECT_EQ(statusEntries(status), (Entries{{1, EIO}, {13, 13182}, {13, 13521}}));

    // Without a known header type nothing is written at all.
    ctx.headerType = -1;
    faults.resetCounts();
    testing::internal::CaptureStdout();
    writeStoreHeader(ctx, sampleHeader(), status);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Warning: ERROR trying to write file header: error in WRITE.\n");
    EXPECT_EQ(statusEntries(status), (Entries{{13, 13521}}));
    EXPECT_EQ(faults.totalCalls(), 0);
    EXPECT_EQ(readAllBytes(path_), std::vector<std::uint8_t>(300, 0xEE));
}

}  // namespace
