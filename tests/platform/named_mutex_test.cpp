// Named mutexes: gone with the process that held them, one lock per name
// inside the home. Re-entrant holds are tested with the store file's name
// locks; the wait of a second process, and the line it prints once, with two
// recoveries of one store file.
#include "platform/named_mutex.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "tests/support/lock_probe.h"
#include "tests/support/temp_home.h"

using namespace platform;

namespace {

using NamedMutexTest = testsupport::TempHomeTest;

TEST_F(NamedMutexTest, AProcessKilledWhileHoldingALockLeavesItFree) {
    const pid_t holder = ::fork();
    if (holder == 0) {
        if (waitNamedMutex(createNamedMutex("dies"))) ::kill(::getpid(), SIGKILL);
        ::_exit(1);
    }
    int wstatus = 0;
    ASSERT_EQ(::waitpid(holder, &wstatus, 0), holder);
    ASSERT_TRUE(WIFSIGNALED(wstatus));
    EXPECT_FALSE(testsupport::lockHeldElsewhere("dies"));
}

TEST_F(NamedMutexTest, EveryNameHasItsOwnLockInsideTheHome) {
    // Pairs a careless encoding would merge, names that would escape the
    // lock directory, and names longer than a file name may be.
    const std::vector<std::string> names = {
        "", ".", "..", "/", "../escape", "a/b", "a%2Fb", "n", std::string("nul\0byte", 8), "nul",
        std::string(200, 'A'), std::string(199, 'A'), std::string(128, 'B') + "C", std::string(128, 'B'), "SVC", "svc"};
    for (std::size_t i = 0; i < names.size(); ++i) {
        NamedMutex* m = createNamedMutex(names[i]);
        ASSERT_TRUE(waitNamedMutex(m)) << i;
        const std::vector<bool> held = testsupport::locksHeldElsewhere(names);
        for (std::size_t j = 0; j < names.size(); ++j) EXPECT_EQ(held[j], i == j) << "holding " << i << ", " << j;
        ASSERT_TRUE(releaseNamedMutex(m));
    }
    for (const auto& entry : std::filesystem::recursive_directory_iterator(home_.path())) {
        EXPECT_EQ(entry.path().string().rfind(home_.file("locks"), 0), 0u) << entry.path() << " escaped";
    }
    ::setenv("ZENTO_HOME", home_.file("missing/deeper").c_str(), 1);  // no lock directory can be made
    EXPECT_EQ(createNamedMutex("nowhere"), nullptr);
    EXPECT_FALSE(waitNamedMutex(nullptr) || tryWaitNamedMutex(nullptr) || releaseNamedMutex(nullptr));
}

}  // namespace
