// Header reads and writes on an open handle: the pair laid out in the file's
// own type, the copy a silent type-2 read takes, and the failure codes.
#include "msglib/coding.h"
#include "platform/file_ops.h"
#include "tests/storefile/store_test.h"

namespace {

using namespace storetest;
using testsupport::failingEntries;
using testsupport::readAllBytes;

class HeaderIoTest : public StoreFileTest {
protected:
    // A file of `size` bytes of 0xEE on a plain handle.
    int openFilled(std::size_t size) {
        closeHandle();
        testsupport::writeAllBytes(path_, Bytes(size, 0xEE));
        ctx_.storeFileHandle = platform::rtOpen(path_.c_str(), platform::kRtReadWrite, 0);
        EXPECT_GE(ctx_.storeFileHandle, 0);
        return ctx_.storeFileHandle;
    }
    static StoreFileHeader sample(std::int64_t forward = 2000) {
        StoreFileHeader h = testsupport::newType2Header(16);
        h.lastMsgOffset = 9000;
        h.msgCount = 12;
        h.forwardedCount = 3;
        h.offset48 = h.lastOffset = 9500;
        h.forwardOffset = forward;
        h.value24 = 0x1122334455667788;
        return h;
    }
};

TEST_F(HeaderIoTest, StoreHeaderIsWrittenInTheFilesOwnTypeAndNothingElse) {
    for (int type = 0; type <= 2; ++type) {
        ctx_.storeFileHandle = openFilled(500);
        ctx_.headerType = type;
        StatusBlock status = testsupport::dirtyStatus();
        EXPECT_EQ(captured([&] { writeStoreHeader(ctx_, sample(), status); }), "");
        EXPECT_TRUE(statusEntries(status).empty()) << type;
        const Bytes bytes = readAllBytes(path_);
        const auto length = static_cast<std::ptrdiff_t>(2 * blockSizeOf(type) + 8);
        EXPECT_EQ(Bytes(bytes.begin(), bytes.begin() + length), testsupport::makeHeaderArea(sample(), type)) << type;
        EXPECT_EQ(Bytes(bytes.begin() + length, bytes.end()), Bytes(500 - static_cast<std::size_t>(length), 0xEE));
    }
}

TEST_F(HeaderIoTest, NewType2HeaderNeedsNoHeaderAreaYetAndReadsBack) {
    const int fd = openFilled(0);
    StatusBlock status = testsupport::dirtyStatus();
    EXPECT_EQ(captured([&] { writeNewType2Header(fd, sample(), status); }), "");
    EXPECT_TRUE(statusEntries(status).empty());
    EXPECT_EQ(readAllBytes(path_), testsupport::makeHeaderArea(sample(), 2));
    EXPECT_EQ(encodeType2(readType2Header(fd, status)), encodeType2(sample()));
    EXPECT_TRUE(statusEntries(status).empty());
}

TEST_F(HeaderIoTest, Type2ReadTakesTheUsableCopy) {
    const int fd = openFilled(0);
    Bytes area = testsupport::makeHeaderArea(sample(), 2);
    const Bytes backup = testsupport::makeHeaderArea(sample(4444), 2);
    std::copy(backup.begin() + 96, backup.end(), area.begin() + 96);
    struct Case {
        int damageAt;  // -1: none
        std::int64_t forward;
        Entries entries;
    } cases[] = {{-1, 0, {{13, 13510}}}, {10, 4444, {}}, {100, 2000, {}}};  // both valid but different: both bad
    for (const Case& c : cases) {
        Bytes file = area;
        if (c.damageAt >= 0) file[static_cast<std::size_t>(c.damageAt)] ^= 0x01;
        testsupport::writeAllBytes(path_, file);
        StatusBlock status;
        EXPECT_EQ(readType2Header(fd, status).forwardOffset, c.forward) << c.damageAt;
        EXPECT_EQ(statusEntries(status), c.entries) << c.damageAt;
    }
}

TEST_F(HeaderIoTest, FailuresCarryTheirCausesAndWarnOnlyForTheStoreHeader) {
    const int fd = openFilled(100);  // shorter than a header
    StatusBlock status;
    readType2Header(fd, status);
    EXPECT_EQ(failingEntries(status), (Entries{{13, 13182}, {13, 13512}}));

    testsupport::writeAllBytes(path_, testsupport::makeHeaderArea(sample(), 2));
    ctx_.headerType = 2;
    const char* const warning = "Warning: ERROR trying to write file header: error in ";
    struct Case {
        FileOpKind kind;
        int error;
        int call;  // 0 readType2Header, 1 writeNewType2Header, 2 writeStoreHeader
        Entries entries;
        std::string line;
    } cases[] = {
        {FileOpKind::Seek, EIO, 0, {{1, EIO}, {13, 13159}, {13, 13511}}, ""},
        {FileOpKind::Read, EIO, 0, {{1, EIO}, {13, 13182}, {13, 13512}}, ""},
        // A rewrite reads the header area first, to know which copy holds the header now.
        {FileOpKind::Read, EBADF, 1, {{1, EBADF}, {13, 13182}, {13, 13521}}, ""},
        {FileOpKind::Write, ENOSPC, 1, {{1, ENOSPC}, {13, 13202}, {13, 13521}}, ""},
        {FileOpKind::Read, EIO, 2, {{1, EIO}, {13, 13182}, {13, 13521}}, std::string(warning) + "READ.\n"},
        {FileOpKind::Write, ENOSPC, 2, {{1, ENOSPC}, {13, 13202}, {13, 13521}}, std::string(warning) + "WRITE.\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.entries.back().second);
        FaultyFileOps faults;
        faults.failNth(c.kind, 1, c.error);
        const std::string out = captured([&] {
            if (c.call == 0) readType2Header(fd, status);
            if (c.call == 1) writeNewType2Header(fd, sample(), status);
            if (c.call == 2) writeStoreHeader(ctx_, sample(), status);
        });
        EXPECT_EQ(statusEntries(status), c.entries);
        EXPECT_EQ(out, c.line);
    }
    // Without a known header type nothing is written at all.
    ctx_.headerType = -1;
    FaultyFileOps faults;
    EXPECT_EQ(captured([&] { writeStoreHeader(ctx_, sample(9), status); }), std::string(warning) + "WRITE.\n");
    EXPECT_EQ(statusEntries(status), (Entries{{13, 13521}}));
    EXPECT_EQ(faults.totalCalls(), 0);
    EXPECT_EQ(readAllBytes(path_), testsupport::makeHeaderArea(sample(), 2));
}

}  // namespace
