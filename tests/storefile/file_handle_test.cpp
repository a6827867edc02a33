// The file primitives: open under the name lock of the path's extension, the
// close that releases it, exact and positioned transfers with their codes,
// and the debug lines of the open and of LogWinError.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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
    // How often the kernel log holds the open's line for h and path.
    int openedLines(std::int32_t h, const std::string& path) const {
        const std::string log = fileText(home_.file("log/kernel.log"));
        const std::string line = "[zento_s_file_open] [In zento_s_file_open. Opened file fh=[" + std::to_string(h) +
                                 "],[" + path + "]]\n";
        int n = 0;
        for (auto at = log.find(line); at != std::string::npos; at = log.find(line, at + 1)) ++n;
        return n;
    }
};

// No refusal keeps the lock or a descriptor. Only regular files are taken:
// reading a FIFO or a device blocks or never ends.
TEST_F(FileHandleTest, RefusedOpensAndTheirCodes) {
    ASSERT_EQ(::mkfifo(home_.file("pipe.opfail").c_str(), 0600), 0);
    const std::string dir = home_.file("folder.opfail");
    ASSERT_EQ(::mkdir(dir.c_str(), 0700), 0);
    const std::pair<std::string, Entries> cases[] = {
        {"absent.opfail", {{13, 13161}}},
        {"no/such/dir.opfail", {{13, 13161}}},
        {"folder.opfail", {{1, EISDIR}, {13, 13153}}},
        {"pipe.opfail", {{13, 13162}}},
    };
    for (const auto& [name, entries] : cases) {
        FaultyFileOps faults;
        StatusBlock status = testsupport::dirtyStatus();
        EXPECT_EQ(zento_s_file_open(home_.file(name).c_str(), kOpenReadWrite, status), -1);
        EXPECT_EQ(statusEntries(status), entries) << name;
        EXPECT_EQ(faults.calls(FileOpKind::Close), entries.back().second == 13162 ? 1 : 0) << name;
    }
    EXPECT_FALSE(lockHeldElsewhere("opfail"));
    const std::string log = fileText(home_.file("log/kernel.log"));
    EXPECT_NE(log.find("[zento_s_file_open] [In zento_s_file_open. Failed _open [" + dir + "]]\n"), std::string::npos);
    EXPECT_EQ(log.find("absent"), std::string::npos) << "a missing file is not worth a debug line";
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
    const std::string c = home_.file("c.oplog");
    std::int32_t h = open(a);
    close(h);
    ASSERT_EQ(open(a), h) << "the lowest free descriptor comes back";
    close(h);
    EXPECT_EQ(openedLines(h, a), 1) << "the same path on the same handle is no news";
    close(h = open(b, 0));  // read-only opens never log, but take the slot
    close(h = open(a, kOpenWriteOnly));
    EXPECT_EQ(openedLines(h, a), 2);
    close(h = open(b, kOpenCreate | kOpenReadWrite));  // a create that finds the file says nothing
    EXPECT_EQ(openedLines(h, b), 0);
    close(h = open(c, kOpenCreate | kOpenReadWrite));
    EXPECT_EQ(openedLines(h, c), 1);
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
    ASSERT_EQ(::open("/dev/null", O_RDONLY), closed);
    close(closed);
    EXPECT_TRUE(lockHeldElsewhere("opforeign")) << "the open file's lock must stay";
    close(held);
    EXPECT_FALSE(lockHeldElsewhere("opforeign"));
}

TEST(LockName, TextBehindTheLastDot) {
    const std::pair<const char*, const char*> cases[] = {
        {"C:/store/ZENTO_STORE_NODE1.DLGP1", "DLGP1"}, {"no-extension", "no-extension"}, {"a.b.c", "c"},
        {"ends-in-dot.", ""}, {"", ""}, {"/dir.d/file", "d/file"},
    };
    for (const auto& [path, name] : cases) EXPECT_EQ(lockNameOf(path), name) << path;
}

// Any number of names of any length, the empty one included, each a lock of
// its own, counted per take; descriptors past 31 and paths past 167
// characters change nothing.
TEST_F(FileHandleTest, NameLocksAreOnePerNameAndCounted) {
    StatusBlock status = testsupport::dirtyStatus();
    acquireNameLock("whatever/file.lkdirect", status);
    EXPECT_TRUE(statusEntries(status).empty());
    acquireNameLock("another.lkdirect", status);
    releaseNameLock("x.lkdirect", status);
    EXPECT_TRUE(lockHeldElsewhere("lkdirect")) << "taken twice, released once";
    releaseNameLock("x.lkdirect", status);
    releaseNameLock("never.lkunknown", status);
    EXPECT_FALSE(lockHeldElsewhere("lkdirect"));

    std::vector<int> ballast;
    for (int i = 0; i < 40; ++i) ballast.push_back(::open("/dev/null", O_RDONLY));
    const std::string dir = home_.path() + "/" + std::string(200, 'p');
    ASSERT_EQ(::mkdir(dir.c_str(), 0700), 0);
    std::vector<std::string> names;
    const std::string prefix(40, 'L');
    for (int i = 0; i < 34; ++i) names.push_back(prefix + std::to_string(i));
    names.insert(names.end(), {prefix, prefix.substr(0, 31), ""});
    std::vector<std::int32_t> handles;
    for (const std::string& name : names) {
        testsupport::writeAllBytes(dir + "/f." + name, Bytes{1});
        handles.push_back(open(dir + "/f." + name));
    }
    EXPECT_GT(handles[0], 31);
    EXPECT_EQ(openedLines(handles[0], dir + "/f." + names[0]), 1) << "the whole path is kept";
    EXPECT_EQ(locksHeldElsewhere(names), std::vector<bool>(names.size(), true));
    for (std::size_t i = 0; i < names.size(); i += 2) close(handles[i]);
    const std::vector<bool> held = locksHeldElsewhere(names);
    for (std::size_t i = 0; i < names.size(); ++i) EXPECT_EQ(held[i], i % 2 == 1) << "name " << i;
    for (std::size_t i = 1; i < names.size(); i += 2) close(handles[i]);
    for (int fd : ballast) ::close(fd);
}

TEST(NameLockFailure, OpenRefusedWithoutItsLock) {
    testsupport::TempHome home;
    const std::string path = home.file("data.lknohome");
    testsupport::writeAllBytes(path, Bytes{0});
    testsupport::writeAllBytes(home.file("plain"), Bytes{0});
    ::setenv("ZENTO_HOME", home.file("plain").c_str(), 1);  // no directory: no lock file
    StatusBlock status;
    EXPECT_EQ(zento_s_file_open(path.c_str(), kOpenReadWrite, status), -1);
    ASSERT_EQ(statusEntries(status).size(), 2u);
    EXPECT_EQ(statusEntries(status)[0].first, 1);
    EXPECT_GT(statusEntries(status)[0].second, 0);
    EXPECT_EQ(statusEntries(status)[1], (testsupport::Entry{13, 13153}));
}

// Short transfers are carried on; a failure or the end of the file stops
// with the bytes moved so far. Positioned transfers leave the position alone.
TEST_F(FileHandleTest, TransfersAndTheirCodes) {
    const std::string path = home_.file("io.iotest");
    Bytes content(100);
    for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<std::uint8_t>(i);
    testsupport::writeAllBytes(path, content);
    const std::int32_t fd = open(path);
    Bytes buffer(150, 0xEE);
    StatusBlock status = testsupport::dirtyStatus();
    FaultyFileOps faults;
    struct Case {
        const char* what;
        std::function<std::int64_t()> call;  // with the faults it needs
        std::int64_t result;
        Entries entries;  // those with a nonzero code
        int systemCalls;
    } cases[] = {
        {"seek", [&] { return seekStoreFile(fd, -10, 2, status); }, 90, {}, 1},
        {"size", [&] { return storeFileSize(fd, status); }, 100, {}, 1},
        {"read where the size query left", [&] { return readExact(fd, buffer.data(), 1, status); }, 0, {{13, 13182}}, 1},
        {"seek refused", [&] { return seekStoreFile(fd, -1, 0, status); }, -1, {{1, EINVAL}, {13, 13159}}, 1},
        {"seek to 0", [&] { return seekStoreFile(fd, 0, 0, status); }, 0, {}, 1},
        {"read in pieces", [&] { return faults.limitTransfers(7), readExact(fd, buffer.data(), 20, status); }, 20, {}, 3},
        {"read across the end", [&] { return readExactAt(fd, 90, buffer.data(), 20, status); }, 10, {{13, 13182}}, 3},
        {"write in pieces", [&] { return writeExactAt(fd, 100, buffer.data(), 10, status); }, 10, {}, 2},
        {"read failing half way",
         [&] { return faults.failNth(FileOpKind::Read, 2, EIO), readExactAt(fd, 0, buffer.data(), 100, status); }, 7,
         {{1, EIO}, {13, 13182}}, 2},
        {"write failing half way",
         [&] { return faults.failNth(FileOpKind::Write, 2, ENOSPC), writeExact(fd, buffer.data(), 64, status); }, 7,
         {{1, ENOSPC}, {13, 13202}}, 2},
        {"size failing", [&] { return faults.failNth(FileOpKind::Seek, 1, ESPIPE), storeFileSize(fd, status); }, -1,
         {{1, ESPIPE}, {13, 13154}}, 1},
        // A refused offset reaches no system call.
        {"negative offset", [&] { return readExactAt(fd, -1, buffer.data(), 4, status); }, 0, {{1, EINVAL}, {13, 13159}}, 0},
        {"negative offset", [&] { return writeExactAt(fd, -8, buffer.data(), 4, status); }, 0, {{1, EINVAL}, {13, 13159}}, 0},
        {"bad handle", [&] { return readExactAt(-1, 0, buffer.data(), 4, status); }, 0, {{13, 13180}}, 0},
        {"no buffer", [&] { return readExact(fd, nullptr, 10, status); }, 0, {{13, 13181}}, 0},
        {"bad handle", [&] { return writeExact(-3, buffer.data(), 1, status); }, 0, {{13, 13200}}, 0},
        {"no buffer", [&] { return writeExactAt(fd, 0, nullptr, 4, status); }, 0, {{13, 13201}}, 0},
    };
    for (const Case& c : cases) {
        faults.resetCounts();
        EXPECT_EQ(c.call(), c.result) << c.what;
        EXPECT_EQ(failingEntries(status), c.entries) << c.what;
        EXPECT_EQ(faults.totalCalls(), c.systemCalls) << c.what;
    }
    faults.limitTransfers(0);
    EXPECT_EQ(seekStoreFile(fd, 0, 1, status), 27) << "positioned transfers left the position to the plain ones";
    close(fd);
    EXPECT_EQ(testsupport::readAllBytes(path).size(), 110u);
}

TEST_F(FileHandleTest, WindowsErrorLines) {
    const std::string text(3000, 'x');
    const std::tuple<const char*, std::uint32_t, std::string> cases[] = {
        {"Opening", 2, "[tag] [Opening,\nerror=2: The system cannot find the file specified.  ]\n"},
        {nullptr, 5, "[tag] [error=5: Access is denied.  ]\n"},
        {"Opening", 99999, "[tag] [Opening\nWNT Unknown Error=99999, FormatMessage error=317]\n"},
        {nullptr, 99999, "[tag] [\nWNT Unknown Error=99999, FormatMessage error=317]\n"},
        {"Just the text", 0, "[tag] [Just the text]\n"},
        {nullptr, 0, ""},
        {text.c_str(), 2, "[tag] [" + text.substr(0, 2047) + "]\n"},  // cut to its 2,048-byte buffer
    };
    std::size_t seen = 0;
    for (const auto& [message, error, line] : cases) {
        LogWinError("tag", message, error);
        const std::string log = fileText(home_.file("log/kernel.log"));
        EXPECT_EQ(log.size() == seen ? "" : log.substr(seen + 24), line) << "after the time stamp";
        seen = log.size();
    }
}

}  // namespace
