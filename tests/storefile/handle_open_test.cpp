#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/file_ops.h"
#include "storefile/file_handle.h"
#include "tests/storefile/handle_test_support.h"
#include "tests/support/faulty_file_ops.h"
#include "tests/support/file_damage.h"
#include "tests/support/lock_probe.h"
#include "tests/support/status_entries.h"

namespace {

using handletest::kernelLog;
using handletest::occurrences;
using testsupport::Entries;
using testsupport::FileOpKind;
using testsupport::lockHeldElsewhere;
using testsupport::statusEntries;

class FileOpenTest : public testsupport::TempHomeTest {
protected:
    std::string create(const std::string& name) {
        const std::string path = home_.file(name);
        testsupport::writeAllBytes(path, std::vector<std::uint8_t>{1, 2, 3});
        return path;
    }
    std::string openedLine(std::int32_t handle, const std::string& path) {
        return "[zento_s_file_open] [In zento_s_file_open. Opened file fh=[" + std::to_string(handle) + "],[" + path +
               "]]\n";
    }
};

TEST_F(FileOpenTest, MissingFileIsOneEntryAndNoLockKept) {
    StatusBlock status = testsupport::dirtyStatus();
    EXPECT_EQ(zento_s_file_open(home_.file("absent.opmissing").c_str(), kOpenReadWrite, status), -1);
    EXPECT_EQ(statusEntries(status), (Entries{{13, 13161}}));
    EXPECT_EQ(zento_s_file_open(home_.file("no/such/dir.opmissing").c_str(), 0, status), -1);
    EXPECT_EQ(statusEntries(status), (Entries{{13, 13161}}));
    EXPECT_FALSE(lockHeldElsewhere("opmissing"));
    EXPECT_EQ(kernelLog(home_), "") << "a missing file is not worth a debug line";
}

TEST_F(FileOpenTest, OtherFailuresCarryTheRuntimeError) {
    const std::string dir = home_.file("folder.opfail");
    ASSERT_EQ(::mkdir(dir.c_str(), 0700), 0);
    StatusBlock status;
    EXPECT_EQ(zento_s_file_open(dir.c_str(), kOpenReadWrite, status), -1);
    EXPECT_EQ(statusEntries(status), (Entries{{1, EISDIR}, {13, 13153}}));
    EXPECT_FALSE(lockHeldElsewhere("opfail"));
    EXPECT_EQ(occurrences(kernelLog(home_), "[zento_s_file_open] [In zento_s_file_open. Failed _open [" + dir + "]]\n"),
              1);

    const std::string path = create("denied.opfail");
    testsupport::FaultyFileOps faults;
    faults.failNth(FileOpKind::Open, 1, EACCES);
    EXPECT_EQ(zento_s_file_open(path.c_str(), 0, status), -1);
    EXPECT_EQ(statusEntries(status), (Entries{{1, EACCES}, {13, 13153}}));
    EXPECT_FALSE(lockHeldElsewhere("opfail"));

    EXPECT_EQ(zento_s_file_open(nullptr, 0, status), -1);
    EXPECT_EQ(statusEntries(status), (Entries{{1, EINVAL}, {13, 13153}}));
}

// A FIFO opens without a peer and a device opens at once, but reading either
// blocks or never ends: only regular files are taken, for every mode.
TEST_F(FileOpenTest, AnythingButARegularFileIsRefused) {
    const std::string fifo = home_.file("pipe.opkind");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string dir = home_.file("folder.opkind");
    ASSERT_EQ(::mkdir(dir.c_str(), 0700), 0);
    struct Case {
        std::string path;
        int flags;
    } cases[] = {
        {fifo, kOpenReadWrite}, {fifo, 0}, {"/dev/null", kOpenReadWrite}, {"/dev/zero", 0}, {dir, 0},
    };
    testsupport::FaultyFileOps faults;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path + (c.flags == 0 ? " read-only" : " read-write"));
        faults.resetCounts();
        StatusBlock status;
        EXPECT_EQ(zento_s_file_open(c.path.c_str(), c.flags, status), -1);
        EXPECT_EQ(statusEntries(status), (Entries{{13, 13162}}));
        EXPECT_EQ(faults.calls(FileOpKind::Close), faults.calls(FileOpKind::Open)) << "the descriptor is closed";
    }
    EXPECT_FALSE(lockHeldElsewhere("opkind"));
    EXPECT_FALSE(lockHeldElsewhere("null"));
}

TEST_F(FileOpenTest, OnlyTheRuntimeFlagsPass) {
    const std::string path = create("flags.opflags");
    testsupport::FaultyFileOps faults;
    struct Case {
        int flags;
        int runtime;
    } cases[] = {
        {0, 0x8000},
        {kOpenReadWrite, 0x8002},
        {kOpenCreate | kOpenReadWrite, 0x8102},
        {kOpenText, 0x4000},
        {kOpenWriteOnly | kOpenTruncate, 0x8201},
        {0x7FFFFFFF, 0x4303},
        {0x0C | 0x80 | 0x400 | 0x8000, 0x8000},
    };
    for (const Case& c : cases) {
        StatusBlock status;
        const std::int32_t h = zento_s_file_open(path.c_str(), c.flags, status);
        ASSERT_GE(h, 0) << std::hex << c.flags;
        EXPECT_EQ(faults.lastOpenFlags(), c.runtime) << std::hex << c.flags;
        EXPECT_EQ(faults.lastOpenPermission(), 0x180);
        closeStoreFileHandle(h, status);
        testsupport::writeAllBytes(path, std::vector<std::uint8_t>{1});
    }
}

TEST_F(FileOpenTest, OpenedLineOnlyForNewPathsOnAHandleAndForWrites) {
    const std::string a = create("a.oplog");
    const std::string b = create("b.oplog");
    StatusBlock status;

    std::int32_t h = zento_s_file_open(a.c_str(), kOpenReadWrite, status);
    ASSERT_GE(h, 0);
    closeStoreFileHandle(h, status);
    std::int32_t again = zento_s_file_open(a.c_str(), kOpenReadWrite, status);
    ASSERT_EQ(again, h) << "the lowest free descriptor comes back";
    closeStoreFileHandle(again, status);
    EXPECT_EQ(occurrences(kernelLog(home_), openedLine(h, a)), 1) << "the same path on the same handle is no news";

    // Read-only opens never log, but they do take the slot.
    h = zento_s_file_open(b.c_str(), 0, status);
    closeStoreFileHandle(h, status);
    EXPECT_EQ(occurrences(kernelLog(home_), openedLine(h, b)), 0);
    h = zento_s_file_open(a.c_str(), kOpenWriteOnly, status);
    closeStoreFileHandle(h, status);
    EXPECT_EQ(occurrences(kernelLog(home_), openedLine(h, a)), 2);

    // A create that finds the file there says nothing; one that makes it does.
    h = zento_s_file_open(b.c_str(), kOpenCreate | kOpenReadWrite, status);
    closeStoreFileHandle(h, status);
    EXPECT_EQ(occurrences(kernelLog(home_), openedLine(h, b)), 0);
    const std::string c = home_.file("c.oplog");
    h = zento_s_file_open(c.c_str(), kOpenCreate | kOpenReadWrite, status);
    ASSERT_GE(h, 0);
    closeStoreFileHandle(h, status);
    EXPECT_EQ(occurrences(kernelLog(home_), openedLine(h, c)), 1);
    struct stat st {};
    ASSERT_EQ(::stat(c.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(FileOpenTest, CloseReleasesTheLockOnlyWhenItSucceeds) {
    const std::string path = create("close.opclose");
    StatusBlock status = testsupport::dirtyStatus();
    closeStoreFileHandle(-1, status);
    EXPECT_TRUE(statusEntries(status).empty()) << "no handle is nothing to close";

    const std::int32_t h = zento_s_file_open(path.c_str(), kOpenReadWrite, status);
    ASSERT_GE(h, 0);
    EXPECT_TRUE(lockHeldElsewhere("opclose"));
    {
        testsupport::FaultyFileOps faults;
        faults.failNth(FileOpKind::Close, 1, EIO);
        closeStoreFileHandle(h, status);
        EXPECT_EQ(statusEntries(status), (Entries{{1, EIO}, {13, 13210}}));
        EXPECT_TRUE(lockHeldElsewhere("opclose")) << "a failed close keeps the lock";
    }
    closeStoreFileHandle(h, status);
    EXPECT_TRUE(statusEntries(status).empty());
    EXPECT_FALSE(lockHeldElsewhere("opclose"));

    closeStoreFileHandle(h, status);
    EXPECT_EQ(statusEntries(status), (Entries{{1, EBADF}, {13, 13210}}));
}

TEST_F(FileOpenTest, CloseOfAForeignHandleReleasesNothing) {
    const std::string a = create("a.opforeign");
    const std::string b = create("b.opforeign");
    StatusBlock status;
    const std::int32_t held = zento_s_file_open(a.c_str(), kOpenReadWrite, status);
    const std::int32_t closed = zento_s_file_open(b.c_str(), kOpenReadWrite, status);
    ASSERT_GE(held, 0);
    ASSERT_GE(closed, 0);
    closeStoreFileHandle(closed, status);

    // A descriptor the primitives did not open, on the number that last held
    // a path with the same lock name.
    const int foreign = ::open("/dev/null", O_RDONLY);
    ASSERT_EQ(foreign, closed);
    closeStoreFileHandle(foreign, status);
    EXPECT_TRUE(statusEntries(status).empty());
    EXPECT_TRUE(lockHeldElsewhere("opforeign")) << "the open file's lock must stay";
    closeStoreFileHandle(held, status);
    EXPECT_FALSE(lockHeldElsewhere("opforeign"));
}

TEST_F(FileOpenTest, HighDescriptorsAndLongPathsKeepTheirLocks) {
    // Push descriptors well past 31.
    std::vector<int> ballast;
    for (int i = 0; i < 70; ++i) ballast.push_back(::open("/dev/null", O_RDONLY));

    std::string dir = home_.path();
    for (int i = 0; i < 3; ++i) {
        dir += "/" + std::string(100, static_cast<char>('p' + i));
        ASSERT_EQ(::mkdir(dir.c_str(), 0700), 0);
    }
    const std::string longPath = dir + "/store.oplongpath";  // the extension lies far beyond 167 characters
    testsupport::writeAllBytes(longPath, std::vector<std::uint8_t>{1});

    StatusBlock status;
    std::vector<std::int32_t> handles;
    for (int i = 0; i < 40; ++i) {
        const std::string path = i == 0 ? longPath : create("f" + std::to_string(i) + ".ophigh" + std::to_string(i % 4));
        const std::int32_t h = zento_s_file_open(path.c_str(), kOpenReadWrite, status);
        ASSERT_GE(h, 0) << statusEntries(status).size();
        EXPECT_GT(h, 31);
        handles.push_back(h);
    }
    EXPECT_EQ(occurrences(kernelLog(home_), "Opened file fh=[" + std::to_string(handles[0]) + "],[" + longPath + "]]"), 1)
        << "the whole path is kept";
    EXPECT_EQ(testsupport::locksHeldElsewhere({"oplongpath", "ophigh0", "ophigh1", "ophigh2", "ophigh3"}),
              (std::vector<bool>{true, true, true, true, true}));

    closeStoreFileHandle(handles[0], status);
    EXPECT_FALSE(lockHeldElsewhere("oplongpath"));
    // ophigh1 is held by handles 1, 5, 9, ...: only the last close frees it.
    for (std::size_t i = 1; i < handles.size(); ++i) {
        if (i % 4 != 1) continue;
        EXPECT_TRUE(lockHeldElsewhere("ophigh1")) << i;
        closeStoreFileHandle(handles[i], status);
        EXPECT_TRUE(statusEntries(status).empty());
    }
    EXPECT_FALSE(lockHeldElsewhere("ophigh1"));
    for (std::size_t i = 1; i < handles.size(); ++i) {
        if (i % 4 != 1) closeStoreFileHandle(handles[i], status);
    }
    EXPECT_EQ(testsupport::locksHeldElsewhere({"ophigh0", "ophigh2", "ophigh3"}), (std::vector<bool>{false, false, false}));
    for (int fd : ballast) ::close(fd);
}

}  // namespace
