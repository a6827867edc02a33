#include "tests/support/lock_probe.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/named_mutex.h"

namespace testsupport {

std::vector<bool> locksHeldElsewhere(const std::vector<std::string>& names) {
    int answer[2];
    if (::pipe(answer) != 0) {
        ADD_FAILURE() << "pipe failed";
        return std::vector<bool>(names.size(), false);
    }
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(answer[0]);
        for (const std::string& name : names) {
            platform::NamedMutex* mutex = platform::createNamedMutex(name);
            const bool taken = mutex != nullptr && platform::tryWaitNamedMutex(mutex);
            if (taken) platform::releaseNamedMutex(mutex);
            const char mark = mutex == nullptr ? 'E' : taken ? '0' : '1';
            if (::write(answer[1], &mark, 1) != 1) ::_exit(2);
        }
        ::_exit(0);
    }
    ::close(answer[1]);
    std::string marks;
    char mark;
    while (::read(answer[0], &mark, 1) == 1) marks += mark;
    ::close(answer[0]);
    int wstatus = 0;
    ::waitpid(child, &wstatus, 0);
    EXPECT_TRUE(WIFEXITED(wstatus) && WEXITSTATUS(wstatus) == 0);
    std::vector<bool> held(names.size(), false);
    if (marks.size() != names.size()) {
        ADD_FAILURE() << "probe answered " << marks.size() << " of " << names.size() << " names";
        return held;
    }
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (marks[i] == 'E') ADD_FAILURE() << "probe could not make the mutex of '" << names[i] << "'";
        held[i] = marks[i] == '1';
    }
    return held;
}

bool lockHeldElsewhere(const std::string& name) { return locksHeldElsewhere({name})[0]; }

}  // namespace testsupport
