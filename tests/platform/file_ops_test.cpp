// The runtime-style file calls over POSIX. FIFOs and devices, the Windows
// error texts and the sync policy are tested where the store file relies on
// them.
#include "platform/file_ops.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "tests/support/temp_home.h"

using namespace platform;

namespace {

using FileOpsTest = testsupport::TempHomeTest;

// The caller logs only files it really created, so a create must tell
// whether the file was already there.
TEST_F(FileOpsTest, CreateTellsWhetherTheFileExisted) {
    const std::string path = home_.file("created.svc");
    int fd = rtOpen(path.c_str(), kRtReadWrite | kRtCreate, kRtPermReadWrite);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(lastSystemError(), 0u);
    struct stat st {};
    ASSERT_EQ(::fstat(fd, &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_NE(::fcntl(fd, F_GETFD) & FD_CLOEXEC, 0) << "descriptors must not leak into children";
    ASSERT_EQ(rtWrite(fd, "abc", 3), 3);
    EXPECT_EQ(rtClose(fd), 0);
    const std::tuple<int, std::uint32_t, std::int64_t> cases[] = {
        {kRtReadWrite | kRtCreate, kErrorAlreadyExists, 3},  // the content is kept
        {kRtReadWrite, 0, 3},                                // a plain open says nothing about creation
        {kRtReadWrite | kRtCreate | kRtTruncate, kErrorAlreadyExists, 0},
    };
    for (const auto& [flags, error, size] : cases) {
        setLastSystemError(77);
        fd = rtOpen(path.c_str(), flags, kRtPermReadWrite);
        ASSERT_GE(fd, 0);
        EXPECT_EQ(lastSystemError(), error) << flags;
        EXPECT_EQ(rtSeek(fd, 0, 2), size) << flags;
        rtClose(fd);
    }
}

// The open flags are tested with the store file handle that uses them.
TEST_F(FileOpsTest, EndOfFileIsNoErrorAndOffsetsGoBeyondFourGigabytes) {
    const int fd = rtOpen(home_.file("data").c_str(), kRtReadWrite | kRtCreate, kRtPermReadWrite);
    char buffer[8];
    errno = EIO;
    EXPECT_EQ(rtRead(fd, buffer, 8), 0);
    EXPECT_EQ(errno, 0);
    const std::int64_t beyond4G = (std::int64_t{5} << 30) + 7;
    EXPECT_EQ(rtSeek(fd, beyond4G, 0), beyond4G);
    ASSERT_EQ(rtWrite(fd, "z", 1), 1);  // sparse: no real space is used
    EXPECT_EQ(rtSeek(fd, 0, 2), beyond4G + 1);
    rtClose(fd);
}

}  // namespace
