#include "platform/file_lock.h"

#include <fcntl.h>

#include <cerrno>
#include <cstdio>

#include "platform/stop_signal.h"

namespace platform {
namespace {

int setLock(int handle, short type, std::int64_t length, bool wait) {
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = 0;
    lock.l_len = static_cast<off_t>(length);
    return ::fcntl(handle, wait ? F_OFD_SETLKW : F_OFD_SETLK, &lock) == 0 ? 0 : errno;
}

}  // namespace

int lockFileRegion(int handle, const char* path, std::int64_t length) {
    int error = setLock(handle, F_WRLCK, length, false);
    if (error != EAGAIN && error != EACCES) return error;
    std::fprintf(stderr, "Waiting for the lock on '%s' held by another process...\n", path);
    std::fflush(stderr);
    do {
        error = setLock(handle, F_WRLCK, length, true);
    } while (error == EINTR && !stopSignalled());
    return error;
}

int unlockFileRegion(int handle, std::int64_t length) { return setLock(handle, F_UNLCK, length, false); }

}  // namespace platform
