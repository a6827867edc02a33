// Views of a file for the forward search: they show the file's bytes, and a
// page that cannot be had fails the call instead of ending the process.
#include "platform/file_map.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/file_ops.h"
#include "tests/support/faulty_file_ops.h"
#include "tests/support/temp_home.h"

#ifndef O_BINARY
#define O_BINARY 0  // POSIX files have no text mode
#endif

namespace {

using Bytes = std::vector<std::uint8_t>;

class FileMapTest : public testsupport::TempHomeTest {
protected:
    void SetUp() override {
        for (std::size_t i = 0; i < content_.size(); ++i) content_[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
        const int out = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_BINARY, 0600);
        ASSERT_EQ(::write(out, content_.data(), content_.size()), static_cast<ssize_t>(content_.size()));
        ::close(out);
        fd_ = platform::rtOpen(path_.c_str(), platform::kRtReadWrite, 0);
        ASSERT_GE(fd_, 0);
    }
    void TearDown() override { platform::rtClose(fd_); }

    // What a visit saw; sized beforehand, as a visit may not allocate.
    struct Seen {
        Bytes bytes = Bytes(6 * 65536);
        int truncateFd = -1;  // set: the file is cut to nothing before the bytes are looked at
    };
    static void copy(const std::uint8_t* bytes, std::size_t length, void* context) {
        auto& seen = *static_cast<Seen*>(context);
        if (seen.truncateFd >= 0 && ::ftruncate(seen.truncateFd, 0) != 0) return;
        std::memcpy(seen.bytes.data(), bytes, length);
        seen.bytes.resize(length);
    }
    bool visit(std::int64_t offset, std::size_t length, Seen& seen) {
        errno = 0;
        return platform::visitMapped(fd_, offset, length, copy, &seen);
    }

    std::string path_ = home_.file("viewed.dat");
    Bytes content_ = Bytes(5 * 65536 + 1000);
    int fd_ = -1;
};

TEST_F(FileMapTest, AViewShowsTheFilesBytes) {
    const std::int64_t page = platform::mapAlignment();
    const std::pair<std::int64_t, std::size_t> views[] = {{0, 100}, {page, 70000}, {4 * page, content_.size() - 4 * page}};
    for (const auto& [offset, length] : views) {
        Seen seen;
        ASSERT_TRUE(visit(offset, length, seen)) << offset;
        EXPECT_EQ(seen.bytes, Bytes(content_.begin() + offset, content_.begin() + offset + length)) << offset;
    }
}

// Each refusal leaves the caller to read the bytes, and the read to report.
TEST_F(FileMapTest, ViewsThatCannotBeHadFailTheCall) {
    Seen seen;
    EXPECT_FALSE(visit(1, 100, seen));
    EXPECT_EQ(errno, EINVAL);
    EXPECT_FALSE(visit(0, content_.size() + 3 * 65536, seen)) << "pages beyond the end of the file";
    {
        testsupport::FaultyFileOps faults;
        EXPECT_FALSE(visit(0, 100, seen)) << "a test's own file calls see every byte";
        EXPECT_EQ(errno, ENOSYS);
    }
    EXPECT_EQ(seen.bytes.size(), 6u * 65536) << "no visit ran";
}

TEST_F(FileMapTest, AFileCutShortUnderTheViewFailsTheCallNotTheProcess) {
    const int other = ::open(path_.c_str(), O_WRONLY);
    ASSERT_GE(other, 0);
    Seen seen;
    seen.truncateFd = other;
    EXPECT_FALSE(visit(0, content_.size(), seen));
    EXPECT_EQ(errno, EIO);
    ::close(other);
    // The guard is left as it was: the next view of what is there works.
    ASSERT_EQ(::pwrite(fd_, content_.data(), 8192, 0), 8192);
    Seen again;
    EXPECT_TRUE(visit(0, 8192, again));
    EXPECT_EQ(again.bytes, Bytes(content_.begin(), content_.begin() + 8192));
}

}  // namespace
