// Named mutexes on Windows: the system's own (CreateMutexA,
// WaitForSingleObject, ReleaseMutex), in the Global namespace so that the
// store-and-forward services and a recovery started from a console session
// share them. A mutex belongs to the thread that waited for it: the same
// thread may wait again at once and releases once per wait, and the system
// hands a mutex whose holder died to its next waiter.
#include "platform/named_mutex.h"

#include <cstdio>
#include <map>
#include <memory>
#include <new>
#include <string>

#include "platform/win32/windows_api.h"

namespace platform {

struct NamedMutex {
    std::string name;
    HANDLE handle = nullptr;
    bool waitReported = false;
};

namespace {

// Object names may not hold '\' and are at most MAX_PATH characters long.
// Bytes outside [A-Za-z0-9_.-] are written as %XX, so every name has its own
// object. Object names compare with letter case, as the lock names do.
constexpr std::size_t kLongestEncoding = 200;

std::string objectName(std::string_view name) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string encoded = "Global\\zento-lock-";
    for (char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        const bool plain = (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') ||
                           (byte >= '0' && byte <= '9') || byte == '_' || byte == '-' || byte == '.';
        if (plain) {
            encoded += c;
        } else {
            encoded += '%';
            encoded += kHex[byte >> 4];
            encoded += kHex[byte & 0xF];
        }
    }
    if (encoded.size() <= kLongestEncoding) return encoded;
    // Names no store file has (lock names are file extensions): the start of
    // the encoding and a 64-bit FNV-1a hash of the whole name stand for it.
    std::uint64_t hash = 0xcbf29ce484222325u;
    for (char c : name) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 0x100000001b3u;
    }
    char tail[24];
    std::snprintf(tail, sizeof tail, "#%016llx", static_cast<unsigned long long>(hash));
    encoded.resize(kLongestEncoding - 17);
    return encoded + tail;
}

// One object per name for the process's lifetime, like the handles of the
// original mutexes; never destroyed, so a holder running during exit still
// finds its mutex.
std::map<std::string, NamedMutex*>& mutexes() {
    static auto* all = new std::map<std::string, NamedMutex*>;
    return *all;
}

HANDLE openMutex(const std::string& name) {
    HANDLE handle = CreateMutexA(nullptr, FALSE, name.c_str());
    // A mutex that a service made under another account may grant a user
    // only the rights of waiting and releasing.
    if (handle == nullptr && GetLastError() == ERROR_ACCESS_DENIED) {
        handle = OpenMutexA(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, name.c_str());
    }
    return handle;
}

bool acquired(DWORD result) { return result == WAIT_OBJECT_0 || result == WAIT_ABANDONED; }

}  // namespace

NamedMutex* createNamedMutex(std::string_view name) {
    try {
        const std::string object = objectName(name);
        auto& all = mutexes();
        if (auto found = all.find(object); found != all.end()) return found->second;
        auto mutex = std::make_unique<NamedMutex>();
        mutex->name.assign(name);
        mutex->handle = openMutex(object);
        if (mutex->handle == nullptr) return nullptr;
        NamedMutex* kept = mutex.release();
        all.emplace(object, kept);
        return kept;
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

bool waitNamedMutex(NamedMutex* mutex) {
    if (mutex == nullptr) return false;
    DWORD result = WaitForSingleObject(mutex->handle, 0);
    if (result == WAIT_TIMEOUT) {
        if (!mutex->waitReported) {
            std::fprintf(stderr, "Waiting for the lock on '%.*s' held by another process...\n",
                         static_cast<int>(mutex->name.size()), mutex->name.data());
            std::fflush(stderr);
            mutex->waitReported = true;
        }
        result = WaitForSingleObject(mutex->handle, INFINITE);
    }
    return acquired(result);
}

bool tryWaitNamedMutex(NamedMutex* mutex) {
    return mutex != nullptr && acquired(WaitForSingleObject(mutex->handle, 0));
}

bool releaseNamedMutex(NamedMutex* mutex) { return mutex != nullptr && ReleaseMutex(mutex->handle) != 0; }

}  // namespace platform
