#include "platform/file_ops.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

namespace platform {

namespace {

int toPosixFlags(int runtimeFlags) {
    int flags = O_CLOEXEC;
    if ((runtimeFlags & kRtReadWrite) != 0) {
        flags |= O_RDWR;
    } else if ((runtimeFlags & kRtWriteOnly) != 0) {
        flags |= O_WRONLY;
    } else {
        flags |= O_RDONLY;
    }
    if ((runtimeFlags & kRtTruncate) != 0) flags |= O_TRUNC;
    // Text and binary mode make no difference here: files are byte streams.
    return flags;
}

mode_t toPosixMode(int permission) {
    mode_t mode = 0;
    if ((permission & 0x100) != 0) mode |= S_IRUSR;
    if ((permission & 0x080) != 0) mode |= S_IWUSR;
    return mode;
}

// Opened without blocking: a FIFO opened for reading would wait for a
// writer, a terminal line for its carrier, before the caller could see that
// it is no regular file. Reads and writes block again as the runtime's do.
int openRetrying(const char* path, int flags, mode_t mode) {
    int fd;
    do {
        fd = ::open(path, flags | O_NONBLOCK, mode);
    } while (fd < 0 && errno == EINTR);
    if (fd >= 0) {
        const int status = ::fcntl(fd, F_GETFL);
        if (status < 0 || ::fcntl(fd, F_SETFL, status & ~O_NONBLOCK) < 0) {
            const int error = errno;
            ::close(fd);
            errno = error;
            return -1;
        }
    }
    return fd;
}

// A create must tell whether the file was already there (the caller logs only
// files it really created or opened for the first time), so it is tried
// exclusively first; the retry covers a file removed between the two opens.
int posixOpen(const char* path, int runtimeFlags, int permission) {
    setLastSystemError(0);
    const int flags = toPosixFlags(runtimeFlags);
    const mode_t mode = toPosixMode(permission);
    if ((runtimeFlags & kRtCreate) == 0) return openRetrying(path, flags, 0);
    for (;;) {
        int fd = openRetrying(path, flags | O_CREAT | O_EXCL, mode);
        if (fd >= 0 || errno != EEXIST) return fd;
        fd = openRetrying(path, flags, 0);
        if (fd >= 0) {
            setLastSystemError(kErrorAlreadyExists);
            return fd;
        }
        if (errno != ENOENT) return fd;
    }
}

int posixClose(int handle) { return ::close(handle); }

unsigned clampCount(unsigned count) { return count > INT_MAX ? static_cast<unsigned>(INT_MAX) : count; }

int posixRead(int handle, void* buffer, unsigned count) {
    ssize_t r;
    do {
        r = ::read(handle, buffer, clampCount(count));
    } while (r < 0 && errno == EINTR);
    if (r == 0) errno = 0;  // end of file is no error of its own
    return static_cast<int>(r);
}

int posixWrite(int handle, const void* buffer, unsigned count) {
    ssize_t r;
    do {
        r = ::write(handle, buffer, clampCount(count));
    } while (r < 0 && errno == EINTR);
    if (r == 0) errno = 0;
    return static_cast<int>(r);
}

int posixPread(int handle, void* buffer, unsigned count, std::int64_t offset) {
    ssize_t r;
    do {
        r = ::pread(handle, buffer, clampCount(count), static_cast<off_t>(offset));
    } while (r < 0 && errno == EINTR);
    if (r == 0) errno = 0;
    return static_cast<int>(r);
}

int posixPwrite(int handle, const void* buffer, unsigned count, std::int64_t offset) {
    ssize_t r;
    do {
        r = ::pwrite(handle, buffer, clampCount(count), static_cast<off_t>(offset));
    } while (r < 0 && errno == EINTR);
    if (r == 0) errno = 0;
    return static_cast<int>(r);
}

std::int64_t posixSeek(int handle, std::int64_t offset, int origin) {
    int whence;
    switch (origin) {
        case 0: whence = SEEK_SET; break;
        case 1: whence = SEEK_CUR; break;
        case 2: whence = SEEK_END; break;
        default: errno = EINVAL; return -1;
    }
    static_assert(sizeof(off_t) == 8, "64-bit file offsets required");
    return static_cast<std::int64_t>(::lseek(handle, static_cast<off_t>(offset), whence));
}

int posixFsync(int handle) {
    int r;
    do {
        r = ::fsync(handle);
    } while (r < 0 && errno == EINTR);
    return r;
}

constexpr FileOps kPosixFileOps = {posixOpen, posixClose, posixRead,  posixWrite,
                                   posixSeek, posixFsync, posixPread, posixPwrite};

}  // namespace

const FileOps& systemFileOps() { return kPosixFileOps; }

}  // namespace platform
