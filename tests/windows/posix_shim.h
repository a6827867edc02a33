#pragma once
// The POSIX calls the tests use for their own set-up (environment variables,
// temporary directories) on the Windows runtime, and failing stand-ins for
// those Windows lacks (FIFOs, descriptor flags, signals, shell commands, fork
// in posix/sys/wait.h): the tests that need those fail at their first step
// and are listed in not-under-wine.txt. Included ahead of every test source
// of the Windows build; the code under test never sees it.
#include <direct.h>
#include <io.h>
#include <process.h>
#include <stdlib.h>
#include <sys/types.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

inline int setenv(const char* name, const char* value, int overwrite) {
    if (overwrite == 0 && std::getenv(name) != nullptr) return 0;
    // The runtime removes a variable set to the empty text; POSIX keeps it
    // empty, which every reader here treats as unset anyway.
    return _putenv_s(name, value) == 0 ? 0 : -1;
}

inline int unsetenv(const char* name) { return _putenv_s(name, "") == 0 ? 0 : -1; }

// The template's trailing XXXXXX become a name no other directory has.
inline char* mkdtemp(char* pattern) {
    const std::size_t length = std::strlen(pattern);
    if (length < 6 || std::strcmp(pattern + length - 6, "XXXXXX") != 0) {
        errno = EINVAL;
        return nullptr;
    }
    static unsigned counter = 0;
    for (int attempt = 0; attempt < 100; ++attempt) {
        unsigned value = static_cast<unsigned>(_getpid()) * 7919u + ++counter * 104729u + static_cast<unsigned>(attempt);
        for (std::size_t i = length - 6; i < length; ++i) {
            pattern[i] = "abcdefghijklmnopqrstuvwxyz0123456789"[value % 36];
            value /= 36;
        }
        if (_mkdir(pattern) == 0) return pattern;
        if (errno != EEXIST) return nullptr;
    }
    return nullptr;
}

// Windows directories have no POSIX mode.
inline int mkdir(const char* path, int /*mode*/) { return _mkdir(path); }

inline int mkfifo(const char*, int) {
    errno = ENOSYS;
    return -1;
}

#define F_GETFD 1
#define FD_CLOEXEC 1
inline int fcntl(int, int, ...) {
    errno = ENOSYS;
    return -1;
}

#ifndef SIGKILL
#define SIGKILL 9
#endif
inline int kill(pid_t, int) {
    errno = ENOSYS;
    return -1;
}

// Commands written for a POSIX shell (its quoting, its paths) mean something
// else to cmd.exe, or keep it waiting: they are refused.
inline FILE* popen(const char*, const char*) {
    errno = ENOSYS;
    return nullptr;
}
inline int pclose(FILE*) { return -1; }

// Positioned transfers for the tests' own file set-up: a seek, the transfer,
// the position put back.
inline int pwrite(int fd, const void* buffer, unsigned count, long long offset) {
    const long long position = _lseeki64(fd, 0, SEEK_CUR);
    if (position < 0 || _lseeki64(fd, offset, SEEK_SET) < 0) return -1;
    const int written = _write(fd, buffer, count);
    _lseeki64(fd, position, SEEK_SET);
    return written;
}
inline int pread(int fd, void* buffer, unsigned count, long long offset) {
    const long long position = _lseeki64(fd, 0, SEEK_CUR);
    if (position < 0 || _lseeki64(fd, offset, SEEK_SET) < 0) return -1;
    const int got = _read(fd, buffer, count);
    _lseeki64(fd, position, SEEK_SET);
    return got;
}
