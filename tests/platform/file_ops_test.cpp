#include "platform/file_ops.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "platform/environment.h"
#include "platform/file_kind.h"
#include "platform/system_error.h"
#include "tests/support/file_damage.h"
#include "tests/support/temp_home.h"

using platform::rtClose;
using platform::rtOpen;
using platform::rtRead;
using platform::rtSeek;
using platform::rtWrite;

namespace {

class FileOpsTest : public testsupport::TempHomeTest {};

TEST_F(FileOpsTest, CreateTellsWhetherTheFileExisted) {
    const std::string path = home_.file("created.svc");
    const int rw = platform::kRtReadWrite | platform::kRtCreate;

    int fd = rtOpen(path.c_str(), rw, platform::kRtPermReadWrite);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(platform::lastSystemError(), 0u);
    struct stat st {};
    ASSERT_EQ(::fstat(fd, &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_NE(::fcntl(fd, F_GETFD) & FD_CLOEXEC, 0) << "descriptors must not leak into children";
    ASSERT_EQ(rtWrite(fd, "abc", 3), 3);
    EXPECT_EQ(rtClose(fd), 0);

    fd = rtOpen(path.c_str(), rw, platform::kRtPermReadWrite);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(platform::lastSystemError(), platform::kErrorAlreadyExists);
    EXPECT_EQ(rtSeek(fd, 0, 2), 3) << "a create without truncate keeps the content";
    rtClose(fd);

    // A plain open of an existing file says nothing about creation.
    platform::setLastSystemError(77);
    fd = rtOpen(path.c_str(), platform::kRtReadWrite, 0);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(platform::lastSystemError(), 0u);
    rtClose(fd);

    fd = rtOpen(path.c_str(), rw | platform::kRtTruncate, platform::kRtPermReadWrite);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(platform::lastSystemError(), platform::kErrorAlreadyExists);
    EXPECT_EQ(rtSeek(fd, 0, 2), 0);
    rtClose(fd);
}

TEST_F(FileOpsTest, AccessModesFollowTheRuntimeFlags) {
    const std::string path = home_.file("modes.dat");
    testsupport::writeAllBytes(path, std::vector<std::uint8_t>{1, 2, 3, 4});
    char buffer[4];

    const int readOnly = rtOpen(path.c_str(), 0, 0);
    ASSERT_GE(readOnly, 0);
    EXPECT_EQ(rtWrite(readOnly, "x", 1), -1);
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(rtRead(readOnly, buffer, 4), 4);
    rtClose(readOnly);

    const int writeOnly = rtOpen(path.c_str(), platform::kRtWriteOnly, 0);
    ASSERT_GE(writeOnly, 0);
    EXPECT_EQ(rtRead(writeOnly, buffer, 4), -1);
    EXPECT_EQ(errno, EBADF);
    rtClose(writeOnly);

    // Text mode changes nothing: the bytes come back as written.
    const int text = rtOpen(path.c_str(), platform::kRtText | platform::kRtReadWrite, 0);
    ASSERT_GE(text, 0);
    EXPECT_EQ(rtWrite(text, "\r\n\r\n", 4), 4);
    rtClose(text);
    EXPECT_EQ(testsupport::readAllBytes(path), (std::vector<std::uint8_t>{'\r', '\n', '\r', '\n'}));

    errno = 0;
    EXPECT_EQ(rtOpen(home_.file("absent").c_str(), platform::kRtReadWrite, 0), -1);
    EXPECT_EQ(errno, ENOENT);
}

TEST_F(FileOpsTest, EndOfFileIsZeroWithoutError) {
    const std::string path = home_.file("eof.dat");
    testsupport::writeAllBytes(path, std::vector<std::uint8_t>{9});
    const int fd = rtOpen(path.c_str(), 0, 0);
    ASSERT_GE(fd, 0);
    char b[8];
    EXPECT_EQ(rtRead(fd, b, 8), 1);
    errno = EIO;
    EXPECT_EQ(rtRead(fd, b, 8), 0);
    EXPECT_EQ(errno, 0);
    rtClose(fd);

    errno = 0;
    EXPECT_EQ(rtRead(fd, b, 8), -1) << "a closed handle is an error, not an end of file";
    EXPECT_EQ(errno, EBADF);
}

TEST_F(FileOpsTest, SeekUsesSixtyFourBitOffsets) {
    const std::string path = home_.file("big.dat");
    const int fd = rtOpen(path.c_str(), platform::kRtReadWrite | platform::kRtCreate, platform::kRtPermReadWrite);
    ASSERT_GE(fd, 0);
    const std::int64_t beyond4G = (std::int64_t{5} << 30) + 7;
    EXPECT_EQ(rtSeek(fd, beyond4G, 0), beyond4G);
    ASSERT_EQ(rtWrite(fd, "z", 1), 1);  // sparse: no real space is used
    EXPECT_EQ(rtSeek(fd, 0, 2), beyond4G + 1);
    EXPECT_EQ(rtSeek(fd, -1, 1), beyond4G);
    errno = 0;
    EXPECT_EQ(rtSeek(fd, 0, 7), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(rtSeek(fd, -10, 0), -1);
    EXPECT_EQ(platform::rtSync(fd), 0);
    rtClose(fd);
    EXPECT_EQ(rtSeek(fd, 0, 0), -1);
    EXPECT_EQ(errno, EBADF);
}

TEST(SystemErrorText, KnownCodesEndInCrLfAndUnknownOnesFail) {
    for (std::uint32_t code : {0u, 2u, 3u, 5u, 32u, 33u, 80u, 112u, 183u}) {
        const auto text = platform::systemErrorText(code);
        ASSERT_TRUE(text.has_value()) << code;
        ASSERT_GE(text->size(), 3u);
        EXPECT_EQ(text->substr(text->size() - 2), "\r\n") << code;
        EXPECT_EQ(text->find_first_of("\r\n"), text->size() - 2) << "one line per text: " << code;
    }
    EXPECT_EQ(*platform::systemErrorText(2), "The system cannot find the file specified.\r\n");
    EXPECT_EQ(*platform::systemErrorText(183), "Cannot create a file when that file already exists.\r\n");

    platform::setLastSystemError(0);
    EXPECT_FALSE(platform::systemErrorText(99999).has_value());
    EXPECT_EQ(platform::lastSystemError(), 317u);
}

}  // namespace

namespace {

// A FIFO opened for reading alone waits for a writer unless opened without
// blocking; the descriptor handed out blocks again, as the runtime's do.
TEST_F(FileOpsTest, OpenNeverWaitsAndKindsAreTold) {
    const std::string fifo = home_.file("pipe");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string dir = home_.file("folder");
    ASSERT_EQ(::mkdir(dir.c_str(), 0700), 0);
    const std::string file = home_.file("plain");
    testsupport::writeAllBytes(file, std::vector<std::uint8_t>{1, 2, 3});
    struct Case {
        std::string path;
        platform::FileKind kind;
    } cases[] = {
        {fifo, platform::FileKind::Fifo},
        {dir, platform::FileKind::Directory},
        {file, platform::FileKind::Regular},
        {"/dev/null", platform::FileKind::Device},
    };
    for (const Case& c : cases) {
        const int fd = rtOpen(c.path.c_str(), 0, 0);
        ASSERT_GE(fd, 0) << c.path;
        EXPECT_EQ(platform::fileKindOf(fd), c.kind) << c.path;
        EXPECT_EQ(::fcntl(fd, F_GETFL) & O_NONBLOCK, 0) << c.path;
        EXPECT_EQ(rtClose(fd), 0);
    }
    EXPECT_EQ(platform::fileKindOf(-1), platform::FileKind::Unknown);
    EXPECT_STREQ(platform::describeFileKind(platform::FileKind::Fifo), "a FIFO");
    EXPECT_EQ(platform::runtimeErrorText(ENOSPC), "No space left on device");
}

TEST_F(FileOpsTest, SyncPolicyComesFromTheEnvironment) {
    const std::pair<const char*, platform::StoreSync> cases[] = {
        {nullptr, platform::StoreSync::AtClose},
        {"", platform::StoreSync::AtClose},
        {"message", platform::StoreSync::EveryMessage},
        {"close", platform::StoreSync::AtClose},
        {"Message", platform::StoreSync::AtClose},
    };
    for (const auto& [value, policy] : cases) {
        if (value != nullptr) {
            ::setenv("ZENTO_SF_SYNC", value, 1);
        } else {
            ::unsetenv("ZENTO_SF_SYNC");
        }
        EXPECT_EQ(platform::storeSyncPolicy(), policy) << (value != nullptr ? value : "unset");
    }
    ::unsetenv("ZENTO_SF_SYNC");
}

}  // namespace
