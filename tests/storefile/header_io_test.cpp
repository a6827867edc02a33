// Header reads and writes on an open handle: the pair in the file's own
// type, the copy a silent type-2 read takes, and the failure codes.
#include "platform/file_ops.h"
#include "tests/storefile/store_test.h"

namespace {

using namespace storetest;
using testsupport::makeHeaderArea;
using testsupport::readAllBytes;

class HeaderIoTest : public StoreFileTest {
protected:
    int openBytes(const Bytes& content) {
        closeHandle();
        testsupport::writeAllBytes(path_, content);
        return ctx_.storeFileHandle = platform::rtOpen(path_.c_str(), platform::kRtReadWrite, 0);
    }
    static StoreFileHeader sample(std::int64_t forward = 2000) {
        return {kStoreMagic, 2, 0, 0, 192, 0x1122334455667788, 9000, 12, 3, 9500, 9500, forward, 0, 0, 16, 0};
    }
};

TEST_F(HeaderIoTest, WritesLayTheWholePairAndNothingElse) {
    for (int type = 0; type <= 2; ++type) {
        openBytes(Bytes(500, 0xEE));
        ctx_.headerType = type;
        StatusBlock status = testsupport::dirtyStatus();
        EXPECT_EQ(captured([&] { writeStoreHeader(ctx_, sample(), status); }), "");
        EXPECT_TRUE(statusEntries(status).empty()) << type;
        Bytes expected = makeHeaderArea(sample(), type);
        expected.resize(500, 0xEE);
        EXPECT_EQ(readAllBytes(path_), expected) << type;
    }
    // A new file's header needs no header area yet, and reads back.
    const int fd = openBytes({});
    StatusBlock status = testsupport::dirtyStatus();
    EXPECT_EQ(captured([&] { writeNewType2Header(fd, sample(), status); }), "");
    EXPECT_EQ(readAllBytes(path_), makeHeaderArea(sample(), 2));
    EXPECT_EQ(encodeType2(readType2Header(fd, status)), encodeType2(sample()));
    EXPECT_TRUE(statusEntries(status).empty());

    // Two valid copies that differ are both bad; otherwise the usable one is taken.
    Bytes area = makeHeaderArea(sample(), 2);
    const Bytes backup = makeHeaderArea(sample(4444), 2);
    std::copy(backup.begin() + 96, backup.end(), area.begin() + 96);
    const std::tuple<int, std::int64_t, Entries> cases[] = {{-1, 0, {{13, 13510}}}, {10, 4444, {}}, {100, 2000, {}}};
    for (const auto& [damageAt, forward, entries] : cases) {
        Bytes file = area;
        if (damageAt >= 0) file[static_cast<std::size_t>(damageAt)] ^= 0x01;
        testsupport::writeAllBytes(path_, file);
        EXPECT_EQ(readType2Header(fd, status).forwardOffset, forward) << damageAt;
        EXPECT_EQ(statusEntries(status), entries) << damageAt;
    }
}

TEST_F(HeaderIoTest, FailuresCarryTheirCausesAndWarnOnlyForTheStoreHeader) {
    const int fd = openBytes(Bytes(100, 0xEE));  // shorter than a header
    readType2Header(fd, status_);
    EXPECT_EQ(testsupport::failingEntries(status_), storeCodes({13182, 13512}));

    testsupport::writeAllBytes(path_, makeHeaderArea(sample(), 2));
    ctx_.headerType = 2;
    const std::string warning = "Warning: ERROR trying to write file header: error in ";
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
        {FileOpKind::Read, EIO, 2, {{1, EIO}, {13, 13182}, {13, 13521}}, warning + "READ.\n"},
        {FileOpKind::Write, ENOSPC, 2, {{1, ENOSPC}, {13, 13202}, {13, 13521}}, warning + "WRITE.\n"},
    };
    for (const Case& c : cases) {
        FaultyFileOps faults;
        faults.failNth(c.kind, 1, c.error);
        EXPECT_EQ(captured([&] {
                      if (c.call == 0) readType2Header(fd, status_);
                      if (c.call == 1) writeNewType2Header(fd, sample(), status_);
                      if (c.call == 2) writeStoreHeader(ctx_, sample(), status_);
                  }),
                  c.line);
        EXPECT_EQ(statusEntries(status_), c.entries) << c.call;
    }
    ctx_.headerType = -1;  // without a known header type nothing is written at all
    FaultyFileOps faults;
    EXPECT_EQ(captured([&] { writeStoreHeader(ctx_, sample(9), status_); }), warning + "WRITE.\n");
    EXPECT_EQ(statusEntries(status_), storeCodes({13521}));
    EXPECT_EQ(faults.totalCalls(), 0);
    EXPECT_EQ(readAllBytes(path_), makeHeaderArea(sample(), 2));
}

}  // namespace
