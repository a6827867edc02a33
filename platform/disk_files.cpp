#include "platform/disk_files.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "platform/file_ops.h"
#include "platform/windows_errors.h"

namespace platform {

namespace {

bool failWith(int errnoValue) {
    setLastSystemError(static_cast<std::uint32_t>(windowsErrorOf(errnoValue)));
    return false;
}

int posixFreeSpace(const char* directory, std::uint64_t& bytes) {
    struct statvfs info {};
    if (::statvfs(directory, &info) != 0) return errno;
    bytes = static_cast<std::uint64_t>(info.f_bavail) * info.f_frsize;
    return 0;
}

// fallocate(2) rather than posix_fallocate: where the file system cannot
// reserve space, glibc's posix_fallocate writes a byte into every block
// instead, slowly and without telling; the caller rather sets the plain
// length and says so.
int posixReserve(int handle, std::int64_t offset, std::int64_t length) {
    int rc;
#ifdef __linux__
    do {
        rc = ::fallocate(handle, 0, static_cast<off_t>(offset), static_cast<off_t>(length)) == 0 ? 0 : errno;
    } while (rc == EINTR);
#else
    do {
        rc = ::posix_fallocate(handle, static_cast<off_t>(offset), static_cast<off_t>(length));
    } while (rc == EINTR);
#endif
    return rc;
}

constexpr DiskOps kPosixDiskOps = {posixFreeSpace, posixReserve};
const DiskOps* gDiskOps = &kPosixDiskOps;

int truncateRetrying(int handle, std::int64_t length) {
    int rc;
    do {
        rc = ::ftruncate(handle, static_cast<off_t>(length)) == 0 ? 0 : errno;
    } while (rc == EINTR);
    return rc;
}

int lockRetrying(int handle, int operation) {
    int rc;
    do {
        rc = ::flock(handle, operation) == 0 ? 0 : errno;
    } while (rc == EINTR);
    return rc;
}

}  // namespace

const DiskOps& systemDiskOps() { return kPosixDiskOps; }

void installDiskOps(const DiskOps* ops) { gDiskOps = ops != nullptr ? ops : &kPosixDiskOps; }

bool freeBytesAvailable(const char* directory, std::uint64_t& bytes) {
    bytes = 0;
    const int rc = gDiskOps->freeSpace(directory, bytes);
    if (rc != 0) return failWith(rc);
    setLastSystemError(0);
    return true;
}

int createFileNoSharing(const char* path, bool readAccess, FileDisposition disposition) {
    const bool create = disposition == FileDisposition::CreateAlways;
    // Without O_TRUNC: an existing file is emptied only once it is ours alone.
    // Non-blocking, so that a FIFO is refused rather than waited on.
    const int flags = (readAccess ? O_RDWR : O_WRONLY) | (create ? O_CREAT : 0) | O_CLOEXEC | O_NONBLOCK;
    int fd;
    do {
        fd = ::open(path, flags, 0600);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        // Windows tells a missing directory from a missing file.
        failWith(create && errno == ENOENT ? ENOTDIR : errno);
        return -1;
    }
    struct stat st {};
    int rc = ::fstat(fd, &st) != 0 ? errno : (S_ISREG(st.st_mode) ? 0 : EACCES);
    if (rc == 0) rc = lockRetrying(fd, LOCK_EX | LOCK_NB);
    if (rc == 0) rc = ::fcntl(fd, F_SETFL, flags & ~(O_NONBLOCK | O_CREAT)) == 0 ? 0 : errno;
    if (rc == 0 && create) rc = truncateRetrying(fd, 0);
    if (rc != 0) {
        ::close(fd);
        failWith(rc);
        return -1;
    }
    setLastSystemError(0);
    return fd;
}

bool setFilePointer(int handle, std::int64_t position) {
    if (position < 0) {
        setLastSystemError(static_cast<std::uint32_t>(kErrorNegativeSeek));
        return false;
    }
    if (::lseek(handle, static_cast<off_t>(position), SEEK_SET) < 0) return failWith(errno);
    setLastSystemError(0);
    return true;
}

EndOfFile setEndOfFile(int handle) {
    const off_t position = ::lseek(handle, 0, SEEK_CUR);
    struct stat st {};
    if (position < 0 || ::fstat(handle, &st) != 0) {
        failWith(errno);
        return EndOfFile::Failed;
    }
    const std::int64_t length = position;
    const std::int64_t old = st.st_size;
    EndOfFile result = EndOfFile::Set;
    int rc = 0;
    if (length > old) {
        rc = gDiskOps->reserve(handle, old, length - old);
        if (rc == EOPNOTSUPP || rc == ENOSYS) {
            result = EndOfFile::PlainLength;
            rc = truncateRetrying(handle, length);
        } else if (rc != 0) {
            // Blocks reserved before the disk ran out go back.
            truncateRetrying(handle, old);
        }
    } else if (length < old) {
        rc = truncateRetrying(handle, length);
    }
    if (rc != 0) {
        failWith(rc);
        return EndOfFile::Failed;
    }
    setLastSystemError(0);
    return result;
}

bool readFile(int handle, void* buffer, std::uint32_t count, std::uint32_t& got) {
    got = 0;
    auto* bytes = static_cast<char*>(buffer);
    while (got < count) {
        const ssize_t r = ::read(handle, bytes + got, count - got);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return failWith(errno);
        if (r == 0) break;
        got += static_cast<std::uint32_t>(r);
    }
    setLastSystemError(0);
    return true;
}

bool closeFileHandle(int handle) {
    // The descriptor is gone whatever close says; EINTR is no reason to retry.
    if (::close(handle) != 0 && errno != EINTR) return failWith(errno);
    setLastSystemError(0);
    return true;
}

bool deleteFile(const char* path) {
    if (::unlink(path) != 0) return failWith(errno);
    setLastSystemError(0);
    return true;
}

std::int64_t fileLength(const char* path) {
    struct stat st {};
    if (::stat(path, &st) != 0) {
        failWith(errno);
        return -1;
    }
    return st.st_size;
}

bool shareOpenFile(int handle) {
    const int rc = lockRetrying(handle, LOCK_SH | LOCK_NB);
    if (rc != 0) return failWith(rc);
    return true;
}

bool fileReadable(const char* path) {
    const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st {};
    const bool file = ::fstat(fd, &st) == 0 && !S_ISDIR(st.st_mode);
    ::close(fd);
    return file;
}

bool renameFile(const char* from, const char* to) {
    if (::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) {
        setLastSystemError(0);
        return true;
    }
    if (errno != EINVAL && errno != ENOSYS) return failWith(errno);
    // A file system without the no-replace rename: a link cannot replace
    // either.
    if (::link(from, to) != 0) return failWith(errno);
    if (::unlink(from) != 0) {
        const int error = errno;
        ::unlink(to);
        return failWith(error);
    }
    setLastSystemError(0);
    return true;
}

}  // namespace platform
