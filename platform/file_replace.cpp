#include "platform/file_replace.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace platform {

namespace {

int posixReplace(const char* from, const char* to) { return std::rename(from, to) == 0 ? 0 : errno; }

int posixSyncDirectory(const char* directory) {
    int fd;
    do {
        fd = ::open(directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return errno;
    int rc;
    do {
        rc = ::fsync(fd) == 0 ? 0 : errno;
    } while (rc == EINTR);
    // Some file systems cannot sync a directory; their entries are then as
    // safe as they will ever be.
    if (rc == EINVAL || rc == EROFS) rc = 0;
    ::close(fd);
    return rc;
}

constexpr ReplaceOps kPosixReplaceOps = {posixReplace, posixSyncDirectory};

}  // namespace

const ReplaceOps& systemReplaceOps() { return kPosixReplaceOps; }

}  // namespace platform
