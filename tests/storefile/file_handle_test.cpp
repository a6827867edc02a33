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
using testsupport::lockHeldElsewhere;
using testsupport::locksHeldElsewhere;

class FileHandleTest : public testsupport::TempHomeTest {
protected:
    std::int32_t open(const std::string& name, int flags = kOpenReadWrite) {
        const std::string path = name[0] == '/' ? name : home_.file(name);
        if (flags != kOpenCreate + kOpenReadWrite) testsupport::writeAllBytes(path, Bytes{1, 2, 3});
        StatusBlock status;
        return zento_s_file_open(path.c_str(), flags, status);
    }
    void close(std::int32_t h) {
        StatusBlock status;
        closeStoreFileHandle(h, status);
        EXPECT_TRUE(statusEntries(status).empty());
    }
    std::string log() const { return fileText(home_.file("log/kernel.log")); }
    std::string opened(std::int32_t h, const std::string& name) const {
        return "[zento_s_file_open] [In zento_s_file_open. Opened file fh=[" + std::to_string(h) + "],[" +
               (name[0] == '/' ? name : home_.file(name)) + "]]\n";
    }
};

// No refusal keeps the lock or a descriptor. Only regular files are taken:
// reading a FIFO or a device blocks or never ends.
TEST_F(FileHandleTest, RefusedOpensAndTheirCodes) {
    ASSERT_EQ(::mkfifo(home_.file("pipe.opfail").c_str(), 0600), 0);
    ASSERT_EQ(::mkdir(home_.file("folder.opfail").c_str(), 0700), 0);
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
    const std::string failed = "[zento_s_file_open] [In zento_s_file_open. Failed _open [";
    EXPECT_NE(log().find(failed + home_.file("folder.opfail") + "]]\n"), std::string::npos);
    EXPECT_EQ(log().find("absent"), std::string::npos) << "a missing file is not worth a debug line";
}

TEST_F(FileHandleTest, RuntimeFlagsAndTheOpenedLine) {
    FaultyFileOps faults;
    const std::pair<int, int> flags[] = {
        {0, 0x8000}, {kOpenCreate | kOpenReadWrite, 0x8102}, {kOpenText, 0x4000},
        {kOpenWriteOnly | kOpenTruncate, 0x8201}, {0x7FFFFFFF, 0x4303}, {0x0C | 0x80 | 0x400 | 0x8000, 0x8000},
    };
    for (const auto& [given, runtime] : flags) {
        close(open("flags.opflags", given));
        EXPECT_EQ(faults.lastOpenFlags(), runtime) << std::hex << given;
        EXPECT_EQ(faults.lastOpenPermission(), 0x180);
    }
    // Logged for a write access to a path new on its handle, unless a create found the file there.
    std::int32_t h = open("a.oplog");
    close(h);
    ASSERT_EQ(open("a.oplog"), h) << "the lowest free descriptor comes back";
    close(h);
    EXPECT_EQ(occurrences(log(), opened(h, "a.oplog")), 1);
    close(h = open("b.oplog", 0));  // read-only opens never log, but take the slot
    close(h = open("a.oplog", kOpenWriteOnly));
    EXPECT_EQ(occurrences(log(), opened(h, "a.oplog")), 2);
    close(h = open("b.oplog", kOpenCreate | kOpenReadWrite));
    close(h = open("c.oplog", kOpenCreate | kOpenReadWrite));
    EXPECT_EQ(occurrences(log(), opened(h, "b.oplog") + opened(h, "c.oplog")), 0);
    EXPECT_EQ(occurrences(log(), opened(h, "c.oplog")), 1);
    struct stat st {};
    ASSERT_EQ(::stat(home_.file("c.oplog").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(FileHandleTest, CloseReleasesTheLockOnlyWhenItSucceedsAndOnlyItsOwn) {
    StatusBlock status = testsupport::dirtyStatus();
    closeStoreFileHandle(-1, status);
    EXPECT_TRUE(statusEntries(status).empty()) << "no handle is nothing to close";
    const std::int32_t h = open("close.opclose");
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
    const std::int32_t held = open("a.opforeign");
    const std::int32_t closed = open("b.opforeign");
    close(closed);
    ASSERT_EQ(::open("/dev/null", O_RDONLY), closed);
    close(closed);
    EXPECT_TRUE(lockHeldElsewhere("opforeign")) << "the open file's lock must stay";
    close(held);
    EXPECT_FALSE(lockHeldElsewhere("opforeign"));
}

// The lock name is the text behind the last dot. Any number of names of any
// length, the empty one included, are each a lock of their own, counted per
// take; descriptors past 31 and paths past 167 characters change nothing.
TEST_F(FileHandleTest, NameLocksAreOnePerNameAndCounted) {
    const std::pair<const char*, const char*> names[] = {
        {"C:/store/ZENTO_STORE_NODE1.DLGP1", "DLGP1"}, {"no-extension", "no-extension"}, {"a.b.c", "c"},
        {"ends-in-dot.", ""}, {"/dir.d/file", "d/file"},
    };
    for (const auto& [path, name] : names) EXPECT_EQ(lockNameOf(path), name) << path;
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
    std::vector<std::string> locks;
    for (int i = 0; i < 34; ++i) locks.push_back(std::string(40, 'L') + std::to_string(i));
    locks.insert(locks.end(), {std::string(40, 'L'), std::string(31, 'L'), ""});
    std::vector<std::int32_t> handles;
    for (const std::string& lock : locks) handles.push_back(open(dir + "/f." + lock));
    EXPECT_GT(handles[0], 31);
    EXPECT_EQ(occurrences(log(), opened(handles[0], dir + "/f." + locks[0])), 1) << "the whole path is kept";
    EXPECT_EQ(locksHeldElsewhere(locks), std::vector<bool>(locks.size(), true));
    for (std::size_t i = 0; i < locks.size(); i += 2) close(handles[i]);
    const std::vector<bool> held = locksHeldElsewhere(locks);
    for (std::size_t i = 0; i < locks.size(); ++i) EXPECT_EQ(held[i], i % 2 == 1) << "lock " << i;
    for (std::size_t i = 1; i < locks.size(); i += 2) close(handles[i]);
    for (int fd : ballast) ::close(fd);

    testsupport::writeAllBytes(home_.file("plain"), Bytes{0});
    ::setenv("ZENTO_HOME", home_.file("plain").c_str(), 1);  // no directory for lock files: no unprotected open
    EXPECT_EQ(open("data.lknohome"), -1);
}

// Short transfers are carried on; a failure or the end of the file stops
// with the bytes moved so far. Positioned transfers leave the position alone.
TEST_F(FileHandleTest, TransfersAndTheirCodes) {
    const std::int32_t fd = open("io.iotest");
    Bytes buffer(150, 0xEE);
    std::uint8_t* const b = buffer.data();
    StatusBlock status = testsupport::dirtyStatus();
    FaultyFileOps faults;
    faults.limitTransfers(2);
    const auto failSecond = [&](FileOpKind kind) { faults.failNth(kind, 2, EIO); };
    const std::tuple<const char*, std::function<std::int64_t()>, std::int64_t, Entries, int> cases[] = {
        // what, call, result, failing entries, system calls
        {"read in pieces", [&] { return readExact(fd, b, 3, status); }, 3, {}, 2},
        {"read at the end", [&] { return readExact(fd, b, 1, status); }, 0, {{13, 13182}}, 1},
        {"read across the end", [&] { return readExactAt(fd, 1, b, 5, status); }, 2, {{13, 13182}}, 2},
        {"write in pieces", [&] { return writeExactAt(fd, 3, b, 5, status); }, 5, {}, 3},
        {"read failing", [&] { return failSecond(FileOpKind::Read), readExactAt(fd, 0, b, 8, status); }, 2,
         {{1, EIO}, {13, 13182}}, 2},
        {"write failing", [&] { return failSecond(FileOpKind::Write), writeExact(fd, b, 8, status); }, 2,
         {{1, EIO}, {13, 13202}}, 2},
        // A refused offset reaches no system call.
        {"negative offset", [&] { return readExactAt(fd, -1, b, 4, status); }, 0, {{1, EINVAL}, {13, 13159}}, 0},
        {"negative offset", [&] { return writeExactAt(fd, -8, b, 4, status); }, 0, {{1, EINVAL}, {13, 13159}}, 0},
        {"bad handle", [&] { return readExactAt(-1, 0, b, 4, status); }, 0, {{13, 13180}}, 0},
        {"no buffer", [&] { return readExact(fd, nullptr, 10, status); }, 0, {{13, 13181}}, 0},
        {"bad handle", [&] { return writeExact(-3, b, 1, status); }, 0, {{13, 13200}}, 0},
        {"no buffer", [&] { return writeExactAt(fd, 0, nullptr, 4, status); }, 0, {{13, 13201}}, 0},
    };
    for (const auto& [what, call, result, entries, systemCalls] : cases) {
        faults.resetCounts();
        EXPECT_EQ(call(), result) << what;
        EXPECT_EQ(testsupport::failingEntries(status), entries) << what;
        EXPECT_EQ(faults.totalCalls(), systemCalls) << what;
    }
    EXPECT_EQ(seekStoreFile(fd, 0, 1, status), 5) << "positioned transfers left the position to the plain ones";
    EXPECT_EQ(storeFileSize(fd, status), 8);
    close(fd);
}

TEST_F(FileHandleTest, WindowsErrorLines) {
    const std::string text(3000, 'x');
    const std::tuple<const char*, std::uint32_t, std::string> cases[] = {
        {"Opening", 2, "[tag] [Opening,\nerror=2: The system cannot find the file specified.  ]\n"},
        {nullptr, 99999, "[tag] [\nWNT Unknown Error=99999, FormatMessage error=317]\n"},
        {"Just the text", 0, "[tag] [Just the text]\n"},
        {nullptr, 0, ""},
        {text.c_str(), 2, "[tag] [" + text.substr(0, 2047) + "]\n"},  // cut to its 2,048-byte buffer
    };
    std::size_t seen = 0;
    for (const auto& [message, error, line] : cases) {
        LogWinError("tag", message, error);
        EXPECT_EQ(log().size() == seen ? "" : log().substr(seen + 24), line) << "after the time stamp";
        seen = log().size();
    }
}

}  // namespace
