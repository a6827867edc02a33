#pragma once
// Child processes of the POSIX tests, for the Windows build: there is no
// fork, so every fork fails (ENOSYS) and the tests that need one fail at
// their first step; not-under-wine.txt lists them. The status macros read a
// plain exit code (as _pclose gives it).
#include <sys/types.h>

#include <cerrno>

#define WNOHANG 1
#define WIFEXITED(status) (((status) & 0x7f) == 0)
#define WEXITSTATUS(status) (((status) >> 8) & 0xff)
#define WIFSIGNALED(status) (((status) & 0x7f) != 0)
#define WTERMSIG(status) ((status) & 0x7f)

inline pid_t fork() {
    errno = ENOSYS;
    return -1;
}

inline pid_t waitpid(pid_t, int*, int) {
    errno = ECHILD;
    return -1;
}
