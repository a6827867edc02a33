#include "platform/named_mutex.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <map>
#include <memory>
#include <new>
#include <string>

#include "platform/environment.h"

namespace platform {

struct NamedMutex {
    std::string name;
    std::string lockPath;
    int fd = -1;
    pid_t ownerPid = 0;  // the process the descriptor was opened in
    int holdCount = 0;   // re-entrant holds of this process
    bool waitReported = false;
};

namespace {

// Every name maps to exactly one path and no two names to the same one: bytes
// outside [A-Za-z0-9_-] are written as %XX, and the leading 'n' keeps the
// empty name, "." and ".." from becoming special entries. Long names are cut
// into directory levels so no single component exceeds the file system's
// limit; the ".d" and ".lock" suffixes cannot occur inside an encoded name
// ('.' is always escaped), so a directory never meets a lock file's name.
std::string encodeName(std::string_view name) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string encoded = "n";
    for (char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        const bool plain = (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') ||
                           (byte >= '0' && byte <= '9') || byte == '_' || byte == '-';
        if (plain) {
            encoded += c;
        } else {
            encoded += '%';
            encoded += kHex[byte >> 4];
            encoded += kHex[byte & 0xF];
        }
    }
    return encoded;
}

constexpr std::size_t kComponentLength = 128;

// Builds the lock file path, creating its intermediate directories.
std::string lockPathFor(std::string_view name) {
    const std::string encoded = encodeName(name);
    std::string path = zentoHomeDir("locks");
    std::size_t at = 0;
    while (encoded.size() - at > kComponentLength) {
        path += '/';
        path.append(encoded, at, kComponentLength);
        path += ".d";
        if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) return {};
        at += kComponentLength;
    }
    path += '/';
    path.append(encoded, at, std::string::npos);
    path += ".lock";
    return path;
}

bool openLockFile(NamedMutex& mutex) {
    int fd;
    do {
        fd = ::open(mutex.lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return false;
    mutex.fd = fd;
    mutex.ownerPid = ::getpid();
    mutex.holdCount = 0;
    return true;
}

// A forked child inherits the parent's descriptor, and with it the parent's
// flock; it must use a descriptor of its own to contend for the lock.
bool ensureOwnDescriptor(NamedMutex& mutex) {
    if (mutex.fd >= 0 && mutex.ownerPid == ::getpid()) return true;
    if (mutex.fd >= 0) ::close(mutex.fd);
    mutex.fd = -1;
    mutex.waitReported = false;
    return openLockFile(mutex);
}

int flockRetrying(int fd, int operation) {
    int r;
    do {
        r = ::flock(fd, operation);
    } while (r != 0 && errno == EINTR);
    return r;
}

// Mutexes live as long as the process, like the handles of the system's own
// named mutexes; one object per lock file so that every holder in this process
// shares one hold count.
// The registry is never destroyed, so a holder running during exit still
// finds its mutex.
std::map<std::string, NamedMutex*>& registry() {
    static auto* mutexes = new std::map<std::string, NamedMutex*>;
    return *mutexes;
}

}  // namespace

NamedMutex* createNamedMutex(std::string_view name) {
    try {
        const std::string path = lockPathFor(name);
        if (path.empty()) return nullptr;
        auto& mutexes = registry();
        auto found = mutexes.find(path);
        if (found != mutexes.end()) return ensureOwnDescriptor(*found->second) ? found->second : nullptr;
        auto mutex = std::make_unique<NamedMutex>();
        mutex->name.assign(name);
        mutex->lockPath = path;
        if (!openLockFile(*mutex)) return nullptr;
        NamedMutex* kept = mutex.get();
        mutexes.emplace(path, kept);
        mutex.release();
        return kept;
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

bool waitNamedMutex(NamedMutex* mutex) {
    if (mutex == nullptr || !ensureOwnDescriptor(*mutex)) return false;
    if (mutex->holdCount > 0) {
        ++mutex->holdCount;
        return true;
    }
    if (flockRetrying(mutex->fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK) return false;
        if (!mutex->waitReported) {
            std::fprintf(stderr, "Waiting for the lock on '%.*s' held by another process...\n",
                         static_cast<int>(mutex->name.size()), mutex->name.data());
            std::fflush(stderr);
            mutex->waitReported = true;
        }
        if (flockRetrying(mutex->fd, LOCK_EX) != 0) return false;
    }
    mutex->holdCount = 1;
    return true;
}

bool tryWaitNamedMutex(NamedMutex* mutex) {
    if (mutex == nullptr || !ensureOwnDescriptor(*mutex)) return false;
    if (mutex->holdCount > 0) {
        ++mutex->holdCount;
        return true;
    }
    if (flockRetrying(mutex->fd, LOCK_EX | LOCK_NB) != 0) return false;
    mutex->holdCount = 1;
    return true;
}

bool releaseNamedMutex(NamedMutex* mutex) {
    if (mutex == nullptr || !ensureOwnDescriptor(*mutex) || mutex->holdCount == 0) return false;
    if (--mutex->holdCount > 0) return true;
    return flockRetrying(mutex->fd, LOCK_UN) == 0;
}

}  // namespace platform
