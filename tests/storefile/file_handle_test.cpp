// The file primitives: open under the name lock of the path's extension, the
// close that releases it, exact and positioned transfers, their codes, and
// the debug lines of the open and of LogWinError.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "tests/storefile/store_test.h"
#include "tests/support/lock_probe.h"

namespace {

using namespace storetest;
using testsupport::failingEntries;
using testsupport::lockHeldElsewhere;
using testsupport::locksHeldElsewhere;

class FileHandleTest : public testsupport::TempHomeTest {
protected:
    std::string create(const std::string& name) {
        const std::string path = home_.file(name);
        testsupport::writeAllBytes(path, Bytes{1, 2, 3});
        return path;
    }
    std::int32_t open(const std::string& path, int flags = kOpenReadWrite) {
        StatusBlock status;
        const std::int32_t h = zento_s_file_open(path.c_str(), flags, status);
        EXPECT_GE(h, 0) << path;
        return h;
    }
    void close(std::int32_t h) {
        StatusBlock status;
        closeStoreFileHandle(h, status);
        EXPECT_TRUE(statusEntries(status).empty());
    }
    std::string kernelLog() const { return fileText(home_.file("log/kernel.log")); }
    std::string openedLine(std::int32_t h, const std::string& path) const {
        return "[zento_s_file_open] [In zento_s_file_open. Opened file fh=[" + std::to_string(h) + "],[" + path + "]]\n";
    }
};

// Whatever the refusal, no lock stays behind and no descriptor stays open.
// Only regular files are taken: reading a FIFO or a device blocks or never ends.
TEST_F(FileHandleTest, RefusedOpensAndTheirCodes) {
    const std::string fifo = home_.file("pipe.opfail");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string dir = home_.file("folder.opfail");
    ASSERT_EQ(::mkdir(dir.c_str(), 0700), 0);
    create("denied.opfail");
    struct Case {
        const char* path;
        int flags;
        int fault;  // errno of an injected open failure, 0 for none
        Entries entries;
    } cases[] = {
        {"absent.opfail", kOpenReadWrite, 0, {{13, 13161}}},
        {"no/such/dir.opfail", 0, 0, {{13, 13161}}},
        {"folder.opfail", kOpenReadWrite, 0, {{1, EISDIR}, {13, 13153}}},
        {"denied.opfail", 0, EACCES, {{1, EACCES}, {13, 13153}}},
        {nullptr, 0, 0, {{1, EINVAL}, {13, 13153}}},
        {"pipe.opfail", kOpenReadWrite, 0, {{13, 13162}}},
        {"pipe.opfail", 0, 0, {{13, 13162}}},
        {"folder.opfail", 0, 0, {{13, 13162}}},
        {"/dev/null", kOpenReadWrite, 0, {{13, 13162}}},
        {"/dev/zero", 0, 0, {{13, 13162}}},
    };
    for (const Case& c : cases) {
        const std::string path = c.path == nullptr ? "" : c.path[0] == '/' ? c.path : home_.file(c.path);
        SCOPED_TRACE(path + (c.flags == 0 ? " read-only" : " read-write"));
        FaultyFileOps faults;
        if (c.fault != 0) faults.failNth(FileOpKind::Open, 1, c.fault);
        StatusBlock status = testsupport::dirtyStatus();
        EXPECT_EQ(zento_s_file_open(c.path == nullptr ? nullptr : path.c_str(), c.flags, status), -1);
        EXPECT_EQ(statusEntries(status), c.entries);
        EXPECT_EQ(faults.calls(FileOpKind::Close), c.entries.back().second == 13162 ? 1 : 0);
    }
    EXPECT_FALSE(lockHeldElsewhere("opfail"));
    EXPECT_EQ(occurrences(kernelLog(), "[zento_s_file_open] [In zento_s_file_open. Failed _open [" + dir + "]]\n"), 1);
    EXPECT_EQ(kernelLog().find("absent"), std::string::npos) << "a missing file is not worth a debug line";
}

TEST_F(FileHandleTest, OnlyTheRuntimeFlagsPass) {
    const std::string path = create("flags.opflags");
    FaultyFileOps faults;
    const std::pair<int, int> cases[] = {
        {0, 0x8000}, {kOpenReadWrite, 0x8002}, {kOpenCreate | kOpenReadWrite, 0x8102}, {kOpenText, 0x4000},
        {kOpenWriteOnly | kOpenTruncate, 0x8201}, {0x7FFFFFFF, 0x4303}, {0x0C | 0x80 | 0x400 | 0x8000, 0x8000},
    };
    for (const auto& [flags, runtime] : cases) {
        close(open(path, flags));
        EXPECT_EQ(faults.lastOpenFlags(), runtime) << std::hex << flags;
        EXPECT_EQ(faults.lastOpenPermission(), 0x180);
    }
}

TEST_F(FileHandleTest, OpenedLineOnlyForNewPathsOnAHandleAndForWrites) {
    const std::string a = create("a.oplog");
    const std::string b = create("b.oplog");
    std::int32_t h = open(a);
    close(h);
    ASSERT_EQ(open(a), h) << "the lowest free descriptor comes back";
    close(h);
    EXPECT_EQ(occurrences(kernelLog(), openedLine(h, a)), 1) << "the same path on the same handle is no news";
    close(h = open(b, 0));  // read-only opens never log, but take the slot
    EXPECT_EQ(occurrences(kernelLog(), openedLine(h, b)), 0);
    close(h = open(a, kOpenWriteOnly));
    EXPECT_EQ(occurrences(kernelLog(), openedLine(h, a)), 2);
    // A create that finds the file there says nothing; one that makes it does.
    close(h = open(b, kOpenCreate | kOpenReadWrite));
    EXPECT_EQ(occurrences(kernelLog(), openedLine(h, b)), 0);
    const std::string c = home_.file("c.oplog");
    close(h = open(c, kOpenCreate | kOpenReadWrite));
    EXPECT_EQ(occurrences(kernelLog(), openedLine(h, c)), 1);
    struct stat st {};
    ASSERT_EQ(::stat(c.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(FileHandleTest, CloseReleasesTheLockOnlyWhenItSucceedsAndOnlyItsOwn) {
    StatusBlock status = testsupport::dirtyStatus();
    closeStoreFileHandle(-1, status);
    EXPECT_TRUE(statusEntries(status).empty()) << "no handle is nothing to close";

    const std::int32_t h = open(create("close.opclose"));
    {
        FaultyFileOps faults;
        faults.failNth(FileOpKind::Close, 1, EIO);
        closeStoreFileHandle(h, status);
        EXPECT_EQ(statusEntries(status), (Entries{{1, EIO}, {13, 13210}}));
        EXPECT_TRUE(lockHeldElsewhere("opclose")) << "a failed close keeps the lock";
    }
    close(h);
    EXPECT_FALSE(lockHeldElsewhere("opclose"));
    closeStoreFileHandle(h, status);
    EXPECT_EQ(statusEntries(status), (Entries{{1, EBADF}, {13, 13210}}));

    // A descriptor the primitives did not open, on the number that last held
    // a path with the lock name of a file still open.
    const std::int32_t held = open(create("a.opforeign"));
    const std::int32_t closed = open(create("b.opforeign"));
    close(closed);
    const int foreign = ::open("/dev/null", O_RDONLY);
    ASSERT_EQ(foreign, closed);
    close(foreign);
    EXPECT_TRUE(lockHeldElsewhere("opforeign")) << "the open file's lock must stay";
    close(held);
    EXPECT_FALSE(lockHeldElsewhere("opforeign"));
}

TEST_F(FileHandleTest, HighDescriptorsAndLongPathsKeepTheirLocks) {
    std::vector<int> ballast;  // pushes descriptors well past 31
    for (int i = 0; i < 40; ++i) ballast.push_back(::open("/dev/null", O_RDONLY));
    std::string dir = home_.path();
    for (char c : {'p', 'q'}) {
        dir += "/" + std::string(100, c);
        ASSERT_EQ(::mkdir(dir.c_str(), 0700), 0);
    }
    const std::string longPath = dir + "/store.oplongpath";  // the extension lies beyond 167 characters
    testsupport::writeAllBytes(longPath, Bytes{1});
    const std::int32_t longHandle = open(longPath);
    const std::int32_t first = open(create("a.ophigh"));
    const std::int32_t second = open(create("b.ophigh"));
    EXPECT_GT(longHandle, 31);
    EXPECT_EQ(occurrences(kernelLog(), openedLine(longHandle, longPath)), 1) << "the whole path is kept";
    EXPECT_EQ(locksHeldElsewhere({"oplongpath", "ophigh"}), (std::vector<bool>{true, true}));
    close(longHandle);
    close(first);
    EXPECT_EQ(locksHeldElsewhere({"oplongpath", "ophigh"}), (std::vector<bool>{false, true})) << "taken twice";
    close(second);
    EXPECT_FALSE(lockHeldElsewhere("ophigh"));
    for (int fd : ballast) ::close(fd);
}

TEST(LockName, TextBehindTheLastDot) {
    const std::pair<const char*, const char*> cases[] = {
        {"C:/store/ZENTO_STORE_NODE1.DLGP1", "DLGP1"}, {"no-extension", "no-extension"}, {"a.b.c", "c"},
        {"ends-in-dot.", ""}, {"", ""}, {"/dir.d/file", "d/file"},
    };
    for (const auto& [path, name] : cases) EXPECT_EQ(lockNameOf(path), name) << path;
}

TEST_F(FileHandleTest, NameLocksAreCountedPerName) {
    StatusBlock status = testsupport::dirtyStatus();
    acquireNameLock("whatever/file.lkdirect", status);
    EXPECT_TRUE(statusEntries(status).empty());
    acquireNameLock("another.lkdirect", status);
    releaseNameLock("x.lkdirect", status);
    EXPECT_TRUE(lockHeldElsewhere("lkdirect")) << "taken twice, released once";
    releaseNameLock("x.lkdirect", status);
    EXPECT_FALSE(lockHeldElsewhere("lkdirect"));
    releaseNameLock("never.lkunknown", status);
    EXPECT_TRUE(statusEntries(status).empty());

    // More than 32 names, names that agree in their first 31 characters or
    // more, and the empty name of a path ending in '.': each is a lock of its own.
    std::vector<std::string> names;
    const std::string prefix(40, 'L');
    for (int i = 0; i < 34; ++i) names.push_back(prefix + std::to_string(i));
    names.insert(names.end(), {prefix, prefix.substr(0, 31), ""});
    std::vector<std::int32_t> handles;
    for (const std::string& name : names) handles.push_back(open(create("f." + name)));
    EXPECT_EQ(locksHeldElsewhere(names), std::vector<bool>(names.size(), true));
    for (std::size_t i = 0; i < names.size(); i += 2) close(handles[i]);
    const std::vector<bool> held = locksHeldElsewhere(names);
    for (std::size_t i = 0; i < names.size(); ++i) EXPECT_EQ(held[i], i % 2 == 1) << "name " << i;
    for (std::size_t i = 1; i < names.size(); i += 2) close(handles[i]);
}

TEST(NameLockFailure, OpenRefusedWithoutItsLock) {
    testsupport::TempHome home;
    const std::string path = home.file("data.lknohome");
    testsupport::writeAllBytes(path, Bytes{0});
    const std::string notADirectory = home.file("plain");
    testsupport::writeAllBytes(notADirectory, Bytes{0});
    ::setenv("ZENTO_HOME", notADirectory.c_str(), 1);
    StatusBlock status;
    EXPECT_EQ(zento_s_file_open(path.c_str(), kOpenReadWrite, status), -1);
    ASSERT_EQ(statusEntries(status).size(), 2u);
    EXPECT_EQ(statusEntries(status)[0].first, 1);
    EXPECT_GT(statusEntries(status)[0].second, 0);
    EXPECT_EQ(statusEntries(status)[1], (Entry{13, 13153}));
}

class FileIoTest : public FileHandleTest {
protected:
    void SetUp() override {
        Bytes content(100);
        for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<std::uint8_t>(i);
        testsupport::writeAllBytes(path_, content);
        fd_ = open(path_);
    }
    void TearDown() override { close(fd_); }
    std::string path_ = home_.file("io.iotest");
    std::int32_t fd_ = -1;
    StatusBlock status_ = testsupport::dirtyStatus();
};

TEST_F(FileIoTest, SeekAndSize) {
    EXPECT_EQ(seekStoreFile(fd_, 40, 0, status_), 40);
    EXPECT_TRUE(statusEntries(status_).empty());
    EXPECT_EQ(seekStoreFile(fd_, -10, 2, status_), 90);
    EXPECT_EQ(storeFileSize(fd_, status_), 100);
    std::uint8_t b[4];
    EXPECT_EQ(readExact(fd_, b, 1, status_), 0) << "the size query leaves the position at the end";

    FaultyFileOps faults;
    faults.failNth(FileOpKind::Seek, 1, ESPIPE);
    EXPECT_LT(storeFileSize(fd_, status_), 0);
    EXPECT_EQ(statusEntries(status_), (Entries{{1, ESPIPE}, {13, 13154}}));
    EXPECT_LT(seekStoreFile(fd_, -1, 0, status_), 0) << "a real failure of the runtime";
    EXPECT_EQ(statusEntries(status_), (Entries{{1, EINVAL}, {13, 13159}}));
}

// Short transfers are carried on; a failure or the end of the file stops with
// the bytes moved so far.
TEST_F(FileIoTest, ExactTransfersGatherPiecesAndReportTheShortfall) {
    Bytes buffer(150, 0xEE);
    {
        FaultyFileOps faults;
        faults.limitTransfers(7);
        EXPECT_EQ(readExact(fd_, buffer.data(), 60, status_), 60);
        EXPECT_TRUE(statusEntries(status_).empty());
        EXPECT_EQ(faults.calls(FileOpKind::Read), 9);
    }
    EXPECT_EQ(buffer[59], 59);
    EXPECT_EQ(buffer[60], 0xEE);
    EXPECT_EQ(readExact(fd_, buffer.data(), 150, status_), 40);
    EXPECT_EQ(failingEntries(status_), (Entries{{13, 13182}}));
    EXPECT_TRUE(testsupport::hasEntry(status_, 1, 0)) << "the end of the file is a runtime entry without error";
    EXPECT_EQ(buffer[39], 99);

    FaultyFileOps faults;
    faults.limitTransfers(30);
    faults.failNth(FileOpKind::Read, 2, EIO);
    seekStoreFile(fd_, 0, 0, status_);
    EXPECT_EQ(readExact(fd_, buffer.data(), 100, status_), 30);
    EXPECT_EQ(statusEntries(status_), (Entries{{1, EIO}, {13, 13182}}));
    faults.limitTransfers(16);
    faults.failNth(FileOpKind::Write, 3, ENOSPC);
    EXPECT_EQ(writeExact(fd_, buffer.data(), 64, status_), 32);
    EXPECT_EQ(statusEntries(status_), (Entries{{1, ENOSPC}, {13, 13202}}));

    EXPECT_EQ(readExact(fd_, nullptr, 10, status_), 0);
    EXPECT_EQ(statusEntries(status_), (Entries{{13, 13181}}));
    EXPECT_EQ(writeExact(-3, buffer.data(), 1, status_), 0);
    EXPECT_EQ(statusEntries(status_), (Entries{{13, 13200}}));
}

TEST_F(FileIoTest, PositionedTransfersKeepTheFilePosition) {
    seekStoreFile(fd_, 10, 0, status_);
    Bytes buffer(150, 0xEE);
    FaultyFileOps faults;
    faults.limitTransfers(7);
    EXPECT_EQ(readExactAt(fd_, 50, buffer.data(), 20, status_), 20);
    EXPECT_EQ(faults.calls(FileOpKind::Read), 3);
    EXPECT_EQ(buffer[19], 69);
    const Bytes data(30, 0xAB);
    EXPECT_EQ(writeExactAt(fd_, 90, data.data(), 30, status_), 30);
    EXPECT_TRUE(statusEntries(status_).empty());
    EXPECT_EQ(faults.calls(FileOpKind::Seek), 0);
    std::uint8_t next = 0;
    EXPECT_EQ(readExact(fd_, &next, 1, status_), 1);
    EXPECT_EQ(next, 10) << "the plain read goes on where the seek left it";
    const Bytes file = testsupport::readAllBytes(path_);
    ASSERT_EQ(file.size(), 120u);
    EXPECT_TRUE(std::all_of(file.begin() + 90, file.end(), [](std::uint8_t b) { return b == 0xAB; }));

    faults.limitTransfers(0);
    EXPECT_EQ(readExactAt(fd_, 100, buffer.data(), 50, status_), 20);
    EXPECT_EQ(failingEntries(status_), (Entries{{13, 13182}}));
    faults.resetCounts();
    EXPECT_EQ(readExactAt(fd_, -1, buffer.data(), 4, status_), 0);
    EXPECT_EQ(statusEntries(status_), (Entries{{1, EINVAL}, {13, 13159}}));
    EXPECT_EQ(writeExactAt(fd_, -8, data.data(), 4, status_), 0);
    EXPECT_EQ(statusEntries(status_), (Entries{{1, EINVAL}, {13, 13159}}));
    EXPECT_EQ(faults.totalCalls(), 0) << "a refused offset reaches no system call";
    EXPECT_EQ(readExactAt(-1, 0, buffer.data(), 4, status_), 0);
    EXPECT_EQ(statusEntries(status_), (Entries{{13, 13180}}));
    EXPECT_EQ(writeExactAt(fd_, 0, nullptr, 4, status_), 0);
    EXPECT_EQ(statusEntries(status_), (Entries{{13, 13201}}));
}

TEST_F(FileHandleTest, WindowsErrorLines) {
    const std::string text(3000, 'x');
    struct Case {
        const char* text;
        std::uint32_t error;
        std::string line;  // empty: nothing logged
    } cases[] = {
        {"Opening", 2, "[tag] [Opening,\nerror=2: The system cannot find the file specified.  ]\n"},
        {nullptr, 5, "[tag] [error=5: Access is denied.  ]\n"},
        {"Opening", 99999, "[tag] [Opening\nWNT Unknown Error=99999, FormatMessage error=317]\n"},
        {nullptr, 99999, "[tag] [\nWNT Unknown Error=99999, FormatMessage error=317]\n"},
        {"Just the text", 0, "[tag] [Just the text]\n"},
        {nullptr, 0, ""},
        {text.c_str(), 2, "[tag] [" + text.substr(0, 2047) + "]\n"},  // cut to its 2,048-byte buffer
    };
    std::size_t seen = 0;
    for (const Case& c : cases) {
        LogWinError("tag", c.text, c.error);
        const std::string log = kernelLog();
        const std::string added = log.substr(seen);
        seen = log.size();
        EXPECT_EQ(added.empty() ? added : added.substr(24), c.line) << "after the time stamp";
    }
}

}  // namespace
