#include "platform/named_mutex.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/lock_probe.h"
#include "tests/support/temp_home.h"

namespace {

using platform::createNamedMutex;
using platform::releaseNamedMutex;
using platform::tryWaitNamedMutex;
using platform::waitNamedMutex;
using testsupport::lockHeldElsewhere;
using testsupport::locksHeldElsewhere;

class NamedMutexTest : public testsupport::TempHomeTest {};

// Reads one line from fd, giving up after a generous time so that a broken
// lock shows as a failure rather than a hung test.
std::string readLine(int fd) {
    std::string line;
    char c;
    while (line.empty() || line.back() != '\n') {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 20000) != 1 || ::read(fd, &c, 1) != 1) break;
        line += c;
    }
    return line;
}

std::string readRest(int fd) {
    std::string rest;
    char buffer[256];
    ssize_t n;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0) rest.append(buffer, static_cast<std::size_t>(n));
    return rest;
}

TEST_F(NamedMutexTest, ReentrantWithinTheProcess) {
    platform::NamedMutex* m = createNamedMutex("reentrant");
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(createNamedMutex("reentrant"), m) << "one mutex per name, shared by every holder";

    EXPECT_FALSE(releaseNamedMutex(m)) << "releasing what is not held must fail";
    ASSERT_TRUE(waitNamedMutex(m));
    ASSERT_TRUE(waitNamedMutex(m));
    ASSERT_TRUE(tryWaitNamedMutex(m));
    EXPECT_TRUE(lockHeldElsewhere("reentrant"));

    EXPECT_TRUE(releaseNamedMutex(m));
    EXPECT_TRUE(releaseNamedMutex(m));
    EXPECT_TRUE(lockHeldElsewhere("reentrant")) << "still held once";
    EXPECT_TRUE(releaseNamedMutex(m));
    EXPECT_FALSE(lockHeldElsewhere("reentrant"));
    EXPECT_FALSE(releaseNamedMutex(m));
}

TEST_F(NamedMutexTest, AnotherProcessWaitsUntilReleaseAndSaysSoOnce) {
    platform::NamedMutex* m = createNamedMutex("shared.svc");
    ASSERT_NE(m, nullptr);
    ASSERT_TRUE(waitNamedMutex(m));
    const std::string marker = home_.file("released");

    int err[2], done[2], go[2];
    ASSERT_EQ(::pipe(err), 0);
    ASSERT_EQ(::pipe(done), 0);
    ASSERT_EQ(::pipe(go), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        ::dup2(err[1], 2);
        ::close(err[0]);
        ::close(err[1]);
        platform::NamedMutex* mine = createNamedMutex("shared.svc");
        if (mine == nullptr) ::_exit(10);
        if (tryWaitNamedMutex(mine)) ::_exit(11);  // the parent holds it
        if (!waitNamedMutex(mine)) ::_exit(12);
        if (::access(marker.c_str(), F_OK) != 0) ::_exit(13);  // got it before the release
        releaseNamedMutex(mine);
        char c = 'a';
        if (::write(done[1], &c, 1) != 1) ::_exit(14);
        if (::read(go[0], &c, 1) != 1) ::_exit(15);
        // A second contended wait: still no second line.
        if (!waitNamedMutex(mine)) ::_exit(16);
        releaseNamedMutex(mine);
        ::_exit(0);
    }
    ::close(err[1]);
    ::close(done[1]);
    ::close(go[0]);

    EXPECT_EQ(readLine(err[0]), "Waiting for the lock on 'shared.svc' held by another process...\n");
    ::close(::open(marker.c_str(), O_CREAT | O_WRONLY, 0600));
    ASSERT_TRUE(releaseNamedMutex(m));

    char c = 0;
    pollfd p{done[0], POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 20000), 1);
    ASSERT_EQ(::read(done[0], &c, 1), 1);
    ASSERT_TRUE(waitNamedMutex(m));
    ASSERT_EQ(::write(go[1], &c, 1), 1);
    ::usleep(20000);  // give the child time to block; the outcome is the same either way
    ASSERT_TRUE(releaseNamedMutex(m));

    int wstatus = 0;
    ASSERT_EQ(::waitpid(child, &wstatus, 0), child);
    ASSERT_TRUE(WIFEXITED(wstatus));
    EXPECT_EQ(WEXITSTATUS(wstatus), 0);
    EXPECT_EQ(readRest(err[0]), "") << "the waiting line is printed once";
    ::close(err[0]);
    ::close(done[0]);
    ::close(go[1]);
}

TEST_F(NamedMutexTest, LockGoesWithTheProcess) {
    const pid_t child = ::fork();
    if (child == 0) {
        platform::NamedMutex* m = createNamedMutex("dies");
        ::_exit(m != nullptr && waitNamedMutex(m) ? 0 : 1);  // exits holding it
    }
    int wstatus = 0;
    ASSERT_EQ(::waitpid(child, &wstatus, 0), child);
    ASSERT_TRUE(WIFEXITED(wstatus) && WEXITSTATUS(wstatus) == 0);
    platform::NamedMutex* m = createNamedMutex("dies");
    ASSERT_TRUE(tryWaitNamedMutex(m));
    releaseNamedMutex(m);
}

TEST_F(NamedMutexTest, EveryNameHasItsOwnLockInsideTheHome) {
    const std::vector<std::string> names = {
        "",
        ".",
        "..",
        "/",
        "../escape",
        "a/b",
        "a%2Fb",
        "a%2fb",
        "n",
        "nn",
        std::string("nul\0byte", 8),
        "nul",
        std::string(200, 'A'),
        std::string(199, 'A'),
        std::string(128, 'B') + "C",
        std::string(128, 'B'),
        std::string(300, '/'),
        "SVC",
        "svc",
    };
    for (std::size_t i = 0; i < names.size(); ++i) {
        platform::NamedMutex* m = createNamedMutex(names[i]);
        ASSERT_NE(m, nullptr) << i;
        ASSERT_TRUE(waitNamedMutex(m));
        const std::vector<bool> held = locksHeldElsewhere(names);
        for (std::size_t j = 0; j < names.size(); ++j) {
            EXPECT_EQ(held[j], i == j) << "holding name " << i << " vs name " << j;
        }
        ASSERT_TRUE(releaseNamedMutex(m));
    }

    const std::filesystem::path locks = std::filesystem::path(home_.path()) / "locks";
    for (const auto& entry : std::filesystem::recursive_directory_iterator(home_.path())) {
        const auto relative = std::filesystem::relative(entry.path(), locks).string();
        EXPECT_EQ(relative.rfind("..", 0), std::string::npos) << entry.path() << " escaped the lock directory";
    }
}

TEST(NamedMutexFailure, UnusableHomeGivesNoMutex) {
    testsupport::TempHome home;
    const std::string file = home.file("plain-file");
    ::close(::open(file.c_str(), O_CREAT | O_WRONLY, 0600));
    ::setenv("ZENTO_HOME", file.c_str(), 1);  // a file, not a directory
    EXPECT_EQ(createNamedMutex("nowhere"), nullptr);
    EXPECT_FALSE(waitNamedMutex(nullptr));
    EXPECT_FALSE(tryWaitNamedMutex(nullptr));
    EXPECT_FALSE(releaseNamedMutex(nullptr));
}

}  // namespace
