// The platform calls as Windows gives them: the runtime's file calls (text
// mode, the created-or-existing answer, positioned transfers), views of files
// that survive a page error, named mutexes
// owned by threads and freed by their holder's end, no-sharing opens, the
// lock step's range beyond the data, the registry in the machine's view, and
// the paths built from ZENTO_HOME.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <future>
#include <string>
#include <thread>

#include "msglib/msglib.h"
#include "platform/data_directory.h"
#include "platform/disk_files.h"
#include "platform/environment.h"
#include "platform/file_lock.h"
#include "platform/file_map.h"
#include "platform/file_ops.h"
#include "platform/named_mutex.h"
#include "platform/registry.h"
#include "platform/system_error.h"
#include "platform/windows_errors.h"
#include "tests/support/file_damage.h"
#include "tests/support/temp_home.h"

using namespace platform;

namespace {

using WindowsPlatform = testsupport::TempHomeTest;
using std::chrono::milliseconds;

int openFile(const std::string& path, int flags) { return rtOpen(path.c_str(), flags, kRtPermReadWrite); }

TEST_F(WindowsPlatform, RuntimeFilesTellCreationAndKeepBinaryBytes) {
    const std::string path = home_.file("created.svc");
    int fd = openFile(path, kRtReadWrite | kRtCreate);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(lastSystemError(), 0u);
    ASSERT_EQ(rtWrite(fd, "a\nb\r\n\x1a" "c", 7), 7) << "binary unless text mode is asked for";
    rtClose(fd);
    EXPECT_EQ(testsupport::fileSizeOf(path), 7);
    fd = openFile(path, kRtReadWrite | kRtCreate);
    EXPECT_EQ(lastSystemError(), kErrorAlreadyExists);
    rtClose(fd);

    // The configuration file is read in text mode: CR LF comes as LF, and
    // Ctrl+Z ends the text.
    fd = openFile(path, kRtText);
    char text[16] = {};
    ASSERT_EQ(rtRead(fd, text, sizeof text), 4);
    EXPECT_EQ(std::string(text, 4), "a\nb\n");
    rtClose(fd);

    errno = 0;
    EXPECT_LT(openFile(home_.file("missing"), kRtReadWrite | kRtBinary), 0);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(lastSystemError(), 2u);
}

TEST_F(WindowsPlatform, PositionedTransfersLeaveThePositionBeyondFourGigabytes) {
    const int fd = openFile(home_.file("big"), kRtReadWrite | kRtCreate | kRtBinary);
    const std::int64_t beyond4G = (std::int64_t{5} << 30) + 3;
    ASSERT_EQ(rtSeek(fd, 10, 0), 10);
    ASSERT_EQ(rtPwrite(fd, "xyz", 3, beyond4G), 3);
    char back[4] = {};
    ASSERT_EQ(rtPread(fd, back, 3, beyond4G), 3);
    EXPECT_STREQ(back, "xyz");
    EXPECT_EQ(rtSeek(fd, 0, 1), 10) << "the position stays";
    errno = EIO;
    EXPECT_EQ(rtPread(fd, back, 3, beyond4G + 3), 0);
    EXPECT_EQ(errno, 0) << "the end of the file is no error";
    EXPECT_EQ(rtSync(fd), 0);
    EXPECT_EQ(rtSeek(fd, 0, 2), beyond4G + 3);
    rtClose(fd);
}

// A page of a view that cannot be read in raises EXCEPTION_IN_PAGE_ERROR in
// the visiting thread; Wine cannot take a page from under a view, so the
// visit raises it itself. The visit fails, and the next one works.
TEST_F(WindowsPlatform, APageErrorEndsTheVisitNotTheProcess) {
    const std::string path = home_.file("viewed");
    const int fd = openFile(path, kRtReadWrite | kRtCreate | kRtBinary);
    ASSERT_EQ(rtWrite(fd, "0123456789", 10), 10);
    struct Seen {
        bool raise;
        char first;
    };
    const auto visit = [](const std::uint8_t* bytes, std::size_t, void* context) {
        auto& seen = *static_cast<Seen*>(context);
        if (seen.raise) RaiseException(EXCEPTION_IN_PAGE_ERROR, 0, 0, nullptr);
        seen.first = static_cast<char>(bytes[3]);
    };
    Seen seen{true, '?'};
    EXPECT_FALSE(visitMapped(fd, 0, 10, visit, &seen));
    EXPECT_EQ(errno, EIO);
    EXPECT_EQ(seen.first, '?');
    seen.raise = false;
    EXPECT_TRUE(visitMapped(fd, 0, 10, visit, &seen));
    EXPECT_EQ(seen.first, '3');
    rtClose(fd);
}

// A mutex is its thread's: a second thread waits, and a holder that ends
// without releasing hands the mutex on (as a process that dies does).
TEST_F(WindowsPlatform, NamedMutexesBelongToThreadsAndOutliveTheirHolders) {
    NamedMutex* mutex = createNamedMutex("dir\\with.dots");
    ASSERT_NE(mutex, nullptr);
    ASSERT_TRUE(waitNamedMutex(mutex));
    EXPECT_TRUE(waitNamedMutex(mutex)) << "re-entrant for its thread";
    EXPECT_FALSE(std::async(std::launch::async, [&] { return tryWaitNamedMutex(mutex); }).get());
    EXPECT_TRUE(releaseNamedMutex(mutex));
    EXPECT_TRUE(releaseNamedMutex(mutex));
    EXPECT_FALSE(releaseNamedMutex(mutex)) << "not held any more";

    std::thread([&] { EXPECT_TRUE(waitNamedMutex(mutex)); }).join();  // ends holding it
    EXPECT_TRUE(waitNamedMutex(mutex));
    EXPECT_TRUE(releaseNamedMutex(mutex));

    const std::string longName(300, 'L');
    NamedMutex* longOne = createNamedMutex(longName);
    ASSERT_NE(longOne, nullptr);
    EXPECT_NE(longOne, createNamedMutex(longName.substr(1) + "M")) << "names past the limit stay apart";
}

TEST_F(WindowsPlatform, SystemTextsComeFromFormatMessage) {
    const std::optional<std::string> text = systemErrorText(5);
    ASSERT_TRUE(text);
    EXPECT_GT(text->size(), 2u);
    EXPECT_EQ(text->substr(text->size() - 2), "\r\n");
    EXPECT_FALSE(systemErrorText(0x2000FFFF));
    EXPECT_NE(lastSystemError(), 0u) << "FormatMessageA's own error";
}

// A file made with no sharing keeps every other open out while it is open,
// and cannot be made while another handle has it.
TEST_F(WindowsPlatform, NoSharingOpensAndTheirLength) {
    const std::string path = home_.file("ZENTO_STORE_N.SVC");
    int made = createFileNoSharing(path.c_str(), true, FileDisposition::CreateAlways);
    ASSERT_GE(made, 0);
    EXPECT_LT(openFile(path, kRtReadWrite | kRtBinary), 0);
    EXPECT_EQ(errno, EACCES);
    EXPECT_FALSE(fileReadable(path.c_str()));
    EXPECT_FALSE(setFilePointer(made, -1));
    EXPECT_EQ(lastSystemError(), static_cast<std::uint32_t>(kErrorNegativeSeek));
    ASSERT_TRUE(setFilePointer(made, 3 * 1048576));
    EXPECT_EQ(setEndOfFile(made), EndOfFile::Set);
    EXPECT_TRUE(closeFileHandle(made));
    EXPECT_EQ(fileLength(path.c_str()), 3 * 1048576);

    const int shared = openFile(path, kRtReadWrite | kRtBinary);
    ASSERT_GE(shared, 0);
    EXPECT_LT(createFileNoSharing(path.c_str(), true, FileDisposition::OpenExisting), 0);
    EXPECT_EQ(lastSystemError(), static_cast<std::uint32_t>(kErrorSharingViolation));
    rtClose(shared);

    std::uint64_t free = 0;
    EXPECT_TRUE(freeBytesAvailable(home_.path().c_str(), free));
    EXPECT_GT(free, 0u);
    const std::string other = home_.file("other");
    testsupport::writeAllBytes(other, std::vector<std::uint8_t>(4, 1));
    EXPECT_FALSE(renameFile(other.c_str(), path.c_str())) << "an existing target stays";
    EXPECT_EQ(lastSystemError(), 183u);
    EXPECT_TRUE(deleteFile(path.c_str()));
    EXPECT_FALSE(deleteFile(path.c_str()));
    EXPECT_EQ(lastSystemError(), 2u);
}

// The lock step keeps a second opener waiting, yet everyone may read the
// header it covers.
TEST_F(WindowsPlatform, TheLockStepWaitsAndLeavesTheBytesReadable) {
    const std::string path = home_.file("store.dat");
    testsupport::writeAllBytes(path, std::vector<std::uint8_t>(400, 7));
    const int first = openFile(path, kRtReadWrite | kRtBinary);
    const int second = openFile(path, kRtReadWrite | kRtBinary);
    ASSERT_EQ(lockFileRegion(first, path.c_str(), 192), 0);
    char byte = 0;
    EXPECT_EQ(rtPread(second, &byte, 1, 0), 1);
    EXPECT_EQ(rtPwrite(second, &byte, 1, 0), 1);
    std::future<int> waiting = std::async(std::launch::async, [&] { return lockFileRegion(second, path.c_str(), 192); });
    EXPECT_EQ(waiting.wait_for(milliseconds(300)), std::future_status::timeout);
    EXPECT_EQ(unlockFileRegion(first, 192), 0);
    EXPECT_EQ(waiting.get(), 0);
    rtClose(second);  // the close lets the lock go
    EXPECT_EQ(lockFileRegion(first, path.c_str(), 192), 0);
    rtClose(first);
}

// Every registry call works in the machine's view, where a 32-bit process
// must look for the tasks' keys; the 32-bit copy stays untouched.
TEST_F(WindowsPlatform, RegistryKeysLiveInTheMachinesView) {
    RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr);  // the machine's registry, not the test's own
    EXPECT_EQ(GetZentoRegSamViewFlag(), static_cast<std::uint32_t>(KEY_WOW64_64KEY));
    const char* key = "Software\\Norvane\\ZEN-TO\\WINTEST\\client1";
    regDeleteTree(registryLocalMachine(), "Software\\Norvane\\ZEN-TO\\WINTEST");
    RegKey handle = nullptr;
    std::uint32_t disposition = 0;
    ASSERT_EQ(regCreateKeyEx(registryLocalMachine(), key, kKeyAllAccess, &handle, &disposition), 0);
    EXPECT_EQ(disposition, kRegCreatedNewKey);
    const std::uint8_t value[4] = {0x2a, 0, 0, 0};
    ASSERT_EQ(regSetValueEx(handle, "MaxSize", kRegDword, value, 4), 0);
    std::uint8_t small[2];
    std::uint32_t length = sizeof small;
    EXPECT_EQ(regQueryValueEx(handle, "maxsize", nullptr, small, &length), kErrorMoreData);
    EXPECT_EQ(length, 4u);
    regCloseKey(handle);

    BOOL wow64 = FALSE;
    IsWow64Process(GetCurrentProcess(), &wow64);  // 32-bit Windows has one view
    for (const auto& [view, found] : {std::pair{KEY_WOW64_64KEY, true}, std::pair{KEY_WOW64_32KEY, !wow64}}) {
        HKEY raw = nullptr;
        const LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, key, 0, KEY_READ | view, &raw);
        EXPECT_EQ(rc == ERROR_SUCCESS, found) << view;
        if (rc == ERROR_SUCCESS) RegCloseKey(raw);
    }

    ASSERT_EQ(regOpenKeyEx(registryLocalMachine(), "Software\\Norvane\\ZEN-TO\\WINTEST", kKeyRead, &handle), 0);
    std::uint32_t subkeys = 0;
    EXPECT_EQ(regQuerySubkeyCount(handle, &subkeys), 0);
    EXPECT_EQ(subkeys, 1u);
    char name[8];
    std::uint32_t nameLength = 4;
    EXPECT_EQ(regEnumKeyEx(handle, 0, name, &nameLength), kErrorMoreData);
    nameLength = sizeof name;
    EXPECT_EQ(regEnumKeyEx(handle, 0, name, &nameLength), 0);
    EXPECT_EQ(std::string(name, nameLength), "client1");
    EXPECT_EQ(regEnumKeyEx(handle, 1, name, &nameLength), kErrorNoMoreItems);
    regCloseKey(handle);

    EXPECT_EQ(regDeleteTree(registryLocalMachine(), "Software\\Norvane\\ZEN-TO\\WINTEST"), 0);
    EXPECT_EQ(regOpenKeyEx(registryLocalMachine(), key, kKeyRead, &handle), kErrorFileNotFound);
}

// Paths built from the home use its separator; the default home is the
// user's temporary directory.
TEST_F(WindowsPlatform, PathsFollowTheHomesSeparator) {
    EXPECT_EQ(zentoHomeDir("log"), home_.path() + "/log");
    EXPECT_EQ(clientDataDirectory(), home_.path() + "/data/");
    const std::string windowsHome = home_.path() + "\\win";
    ::setenv("ZENTO_HOME", windowsHome.c_str(), 1);
    EXPECT_EQ(zentoHomeDir("run"), windowsHome + "\\run");
    EXPECT_EQ(clientDataDirectory(), windowsHome + "\\data\\");
    ::unsetenv("ZENTO_HOME");
    char temp[MAX_PATH + 1] = {};
    GetTempPathA(sizeof temp, temp);
    EXPECT_EQ(zentoHome().rfind(std::string(temp) + "zento-", 0), 0u) << zentoHome();
    ::setenv("ZENTO_HOME", home_.path().c_str(), 1);
}

}  // namespace
