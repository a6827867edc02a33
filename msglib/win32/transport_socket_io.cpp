// The socket calls of the transport over Winsock. A service's local listener
// is a TCP socket on the loopback address with a port the system picks; its
// file under ZENTO_HOME/run holds "<port> <process id>\n". A listener whose
// process has gone counts as stale, like a UNIX-domain socket file that no
// one listens on any more. Unlike that socket file, a loopback port can be
// reached by every user of the machine.
//
// Errors are given as the runtime's errno values, as over POSIX; waits look
// for a stop request (Ctrl+C) every 100 ms, since a console event does not
// interrupt them as a signal does a poll.
#include "msglib/transport_socket_io.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>

#include "platform/clock.h"
#include "platform/stop_signal.h"
#include "platform/text_file.h"

namespace msglib {

namespace {

constexpr int kListenBacklog = 64;
// More parts than a send ever has (a hello and a message).
constexpr std::size_t kMaxParts = 4;
// More sockets than a receive watches (two listeners and every connection).
constexpr std::size_t kMaxWatched = 1024;
// The longest a wait goes without looking whether a stop was asked for.
constexpr int kStopLookMs = 100;
// How long a probe waits for a busy listener to take its connection.
constexpr std::int64_t kProbeWaitMs = 1000;

// Started once for the process and left running to its end.
bool winsockStarted() {
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return started;
}

int errnoOfSocketError(int error) {
    switch (error) {
        case 0: return 0;
        case WSAEINTR: return EINTR;
        case WSAEWOULDBLOCK: return EWOULDBLOCK;
        case WSAEINPROGRESS:
        case WSAEALREADY: return EINPROGRESS;
        case WSAEADDRINUSE: return EADDRINUSE;
        case WSAEADDRNOTAVAIL: return EADDRNOTAVAIL;
        case WSAECONNREFUSED: return ECONNREFUSED;
        case WSAECONNRESET: return ECONNRESET;
        case WSAECONNABORTED: return ECONNABORTED;
        case WSAESHUTDOWN: return EPIPE;
        case WSAENOTCONN: return ENOTCONN;
        case WSAETIMEDOUT: return ETIMEDOUT;
        case WSAEHOSTUNREACH:
        case WSAENETUNREACH: return EHOSTUNREACH;
        case WSAEMFILE: return EMFILE;
        case WSAENOBUFS: return ENOBUFS;
        case WSAEACCES: return EACCES;
        case WSAEINVAL: return EINVAL;
        default: return EIO;
    }
}

int lastSocketErrno() { return errnoOfSocketError(WSAGetLastError()); }

SOCKET asSocket(int fd) { return static_cast<SOCKET>(static_cast<unsigned>(fd)); }

bool isRefusal(int error) { return error == ENOENT || error == ECONNREFUSED; }
bool isBroken(int error) { return error == EPIPE || error == ECONNRESET || error == ECONNABORTED || error == ENOTCONN; }

// A message split over two TCP segments would wait for the peer's delayed
// acknowledgement; every write here carries whole frames.
void setNoDelay(SOCKET s) {
    BOOL on = TRUE;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
}

// Non-blocking, not inherited by child processes, without Nagle's delay.
bool prepare(SOCKET s) {
    u_long on = 1;
    if (ioctlsocket(s, FIONBIO, &on) != 0) return false;
    SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
    setNoDelay(s);
    return true;
}

// Handles are small numbers; one that an int cannot hold is refused.
UniqueFd adopt(SOCKET s, int& error) {
    if (s == INVALID_SOCKET) {
        error = lastSocketErrno();
        return {};
    }
    if (s > static_cast<SOCKET>(INT_MAX) || !prepare(s)) {
        error = s > static_cast<SOCKET>(INT_MAX) ? EMFILE : lastSocketErrno();
        closesocket(s);
        return {};
    }
    return UniqueFd(static_cast<int>(s));
}

UniqueFd newSocket(int family, int& error) {
    if (!winsockStarted()) {
        error = ENOBUFS;
        return {};
    }
    return adopt(socket(family, SOCK_STREAM, IPPROTO_TCP), error);
}

// Waits until the connect ends; select, because WSAPoll does not report a
// refused connect on every Windows version.
IoResult finishConnect(SOCKET s, SteadyClock::time_point deadline) {
    fd_set writable;
    fd_set failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(s, &writable);
    FD_SET(s, &failed);
    const int ms = millisecondsLeft(deadline);
    timeval wait{ms / 1000, (ms % 1000) * 1000};
    const int ready = select(0, nullptr, &writable, &failed, &wait);
    if (ready == 0) return {IoResult::kTimedOut, ETIMEDOUT, 0};
    if (ready == SOCKET_ERROR) return {IoResult::kFailed, lastSocketErrno(), 0};
    int error = 0;
    int length = sizeof error;
    if (getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) != 0) {
        return {IoResult::kFailed, lastSocketErrno(), 0};
    }
    if (error == 0 && !FD_ISSET(s, &failed)) return {};
    const int cause = errnoOfSocketError(error != 0 ? error : WSAECONNREFUSED);
    return {isRefusal(cause) ? IoResult::kRefused : IoResult::kFailed, cause, 0};
}

IoResult connectTo(const sockaddr* address, int length, SteadyClock::time_point deadline, UniqueFd& out) {
    int error = 0;
    UniqueFd fd = newSocket(address->sa_family, error);
    if (!fd.valid()) return {IoResult::kFailed, error, 0};
    const SOCKET s = asSocket(fd.get());
    IoResult result;
    if (connect(s, address, length) != 0) {
        error = lastSocketErrno();
        if (error != EWOULDBLOCK && error != EINPROGRESS) {
            return {isRefusal(error) ? IoResult::kRefused : IoResult::kFailed, error, 0};
        }
        result = finishConnect(s, deadline);
    }
    if (result.kind == IoResult::kOk) out = std::move(fd);
    return result;
}

sockaddr_in loopback(unsigned port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<u_short>(port));
    return address;
}

int errnoOfFileError(DWORD error) {
    switch (error) {
        case ERROR_FILENAME_EXCED_RANGE: return ENAMETOOLONG;
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND: return ENOENT;
        case ERROR_ACCESS_DENIED: return EACCES;
        default: return EIO;
    }
}

// The whole line in one write; a reader takes a file without its line end
// for one being written.
bool writeListenerFile(const std::string& path, unsigned port, int& error) {
    if (path.size() >= MAX_PATH) {
        error = ENAMETOOLONG;
        return false;
    }
    char line[48];
    const int length = std::snprintf(line, sizeof line, "%u %lu\n", port, GetCurrentProcessId());
    const HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                    CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        error = errnoOfFileError(GetLastError());
        return false;
    }
    DWORD written = 0;
    const bool ok = WriteFile(file, line, static_cast<DWORD>(length), &written, nullptr) &&
                    written == static_cast<DWORD>(length);
    if (!ok) error = errnoOfFileError(GetLastError());
    CloseHandle(file);
    if (!ok) DeleteFileA(path.c_str());
    return ok;
}

struct ListenerFile {
    enum State { kAbsent, kUnreadable, kRead } state = kAbsent;
    unsigned port = 0;
    unsigned long processId = 0;
};

ListenerFile readListenerFile(const std::string& path) {
    std::string text;
    if (!platform::readSmallTextFile(path, 64, text)) return {};
    ListenerFile file;
    file.state = ListenerFile::kUnreadable;
    char end = '\0';
    if (std::sscanf(text.c_str(), "%u %lu%c", &file.port, &file.processId, &end) == 3 && end == '\n' &&
        file.port > 0 && file.port <= 65535) {
        file.state = ListenerFile::kRead;
    }
    return file;
}

bool processAlive(unsigned long id) {
    const HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(id));
    // A process of another user may not be looked at, but it is there.
    if (process == nullptr) return GetLastError() == ERROR_ACCESS_DENIED;
    DWORD code = 0;
    const bool alive = GetExitCodeProcess(process, &code) && code == STILL_ACTIVE;
    CloseHandle(process);
    return alive;
}

}  // namespace

void UniqueFd::reset() {
    if (fd_ >= 0) closesocket(asSocket(fd_));
    fd_ = -1;
}

UniqueFd listenUnix(const std::string& path, int& error) {
    UniqueFd fd = newSocket(AF_INET, error);
    if (!fd.valid()) return fd;
    const SOCKET s = asSocket(fd.get());
    sockaddr_in address = loopback(0);
    int length = sizeof address;
    if (bind(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        listen(s, kListenBacklog) != 0 || getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        error = lastSocketErrno();
        return {};
    }
    if (!writeListenerFile(path, ntohs(address.sin_port), error)) return {};
    return fd;
}

UniqueFd listenTcp(const std::string& host, const std::string& port, int& error) {
    if (!winsockStarted()) {
        error = ENOBUFS;
        return {};
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* addresses = nullptr;
    if (getaddrinfo(host.c_str(), port.c_str(), &hints, &addresses) != 0) {
        error = EADDRNOTAVAIL;
        return {};
    }
    UniqueFd result;
    error = EADDRNOTAVAIL;
    for (const addrinfo* address = addresses; address != nullptr && !result.valid(); address = address->ai_next) {
        UniqueFd fd = newSocket(address->ai_family, error);
        if (!fd.valid()) continue;
        // No SO_REUSEADDR: on Windows it would let a second listener take the
        // port, where POSIX refuses; the port is free again at once anyway.
        if (bind(asSocket(fd.get()), address->ai_addr, static_cast<int>(address->ai_addrlen)) != 0 ||
            listen(asSocket(fd.get()), kListenBacklog) != 0) {
            error = lastSocketErrno();
            continue;
        }
        result = std::move(fd);
    }
    freeaddrinfo(addresses);
    return result;
}

ListenerProbe probeUnixListener(const std::string& path) {
    const ListenerFile file = readListenerFile(path);
    if (file.state == ListenerFile::kAbsent) return ListenerProbe::kAbsent;
    if (file.state == ListenerFile::kUnreadable || !processAlive(file.processId)) return ListenerProbe::kStale;
    const sockaddr_in address = loopback(file.port);
    UniqueFd fd;
    const IoResult result = connectTo(reinterpret_cast<const sockaddr*>(&address), sizeof address,
                                      SteadyClock::now() + std::chrono::milliseconds(kProbeWaitMs), fd);
    if (result.kind == IoResult::kRefused) return ListenerProbe::kStale;
    // A listener too busy to take the probe in time is there all the same.
    return result.kind == IoResult::kOk || result.kind == IoResult::kTimedOut ? ListenerProbe::kLive
                                                                               : ListenerProbe::kAbsent;
}

UniqueFd acceptConnection(int listener, bool /*tcp: every connection is*/, int& error) {
    for (;;) {
        const SOCKET s = accept(asSocket(listener), nullptr, nullptr);
        if (s != INVALID_SOCKET) {
            error = 0;
            return adopt(s, error);
        }
        const int cause = lastSocketErrno();
        // A client that gave up before being accepted is no failure.
        if (cause == EINTR || cause == ECONNRESET || cause == ECONNABORTED) continue;
        error = cause == EWOULDBLOCK ? 0 : cause;
        return {};
    }
}

IoResult connectUnix(const std::string& path, SteadyClock::time_point deadline, UniqueFd& out) {
    const ListenerFile file = readListenerFile(path);
    if (file.state == ListenerFile::kAbsent) return {IoResult::kRefused, ENOENT, 0};
    if (file.state == ListenerFile::kUnreadable || !processAlive(file.processId)) {
        return {IoResult::kRefused, ECONNREFUSED, 0};
    }
    const sockaddr_in address = loopback(file.port);
    return connectTo(reinterpret_cast<const sockaddr*>(&address), sizeof address, deadline, out);
}

IoResult connectTcp(const std::string& host, const std::string& port, SteadyClock::time_point deadline,
                    UniqueFd& out) {
    if (!winsockStarted()) return {IoResult::kFailed, ENOBUFS, 0};
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* addresses = nullptr;
    if (getaddrinfo(host.c_str(), port.c_str(), &hints, &addresses) != 0) {
        return {IoResult::kFailed, EHOSTUNREACH, 0};
    }
    IoResult result{IoResult::kFailed, EHOSTUNREACH, 0};
    for (const addrinfo* address = addresses; address != nullptr; address = address->ai_next) {
        result = connectTo(address->ai_addr, static_cast<int>(address->ai_addrlen), deadline, out);
        if (result.kind == IoResult::kOk || result.kind == IoResult::kTimedOut) break;
    }
    freeaddrinfo(addresses);
    return result;
}

IoResult writeParts(int fd, std::span<const MsgView> parts, SteadyClock::time_point deadline) {
    WSABUF buffers[kMaxParts];
    DWORD count = 0;
    for (MsgView part : parts) {
        if (part.empty() || count == kMaxParts) continue;
        buffers[count].buf = reinterpret_cast<char*>(const_cast<std::uint8_t*>(part.data()));
        buffers[count].len = static_cast<ULONG>(part.size());
        ++count;
    }
    const SOCKET s = asSocket(fd);
    IoResult result;
    DWORD first = 0;
    while (first < count) {
        DWORD sent = 0;
        if (WSASend(s, buffers + first, count - first, &sent, 0, nullptr, nullptr) != 0) {
            const int error = lastSocketErrno();
            if (error == EINTR) continue;
            if (error == EWOULDBLOCK) {
                WSAPOLLFD entry{s, POLLWRNORM, 0};
                const int ready = WSAPoll(&entry, 1, millisecondsLeft(deadline));
                if (ready > 0) continue;
                if (ready == 0) return {IoResult::kTimedOut, ETIMEDOUT, result.written};
                return {IoResult::kFailed, lastSocketErrno(), result.written};
            }
            return {isBroken(error) ? IoResult::kBroken : IoResult::kFailed, error, result.written};
        }
        std::size_t left = sent;
        result.written += left;
        while (first < count && left >= buffers[first].len) {
            left -= buffers[first].len;
            ++first;
        }
        if (first < count) {
            buffers[first].buf += left;
            buffers[first].len -= static_cast<ULONG>(left);
        }
    }
    return result;
}

ReadResult readAvailable(int fd, MsgSpan space) {
    const int wanted = space.size() > INT_MAX ? INT_MAX : static_cast<int>(space.size());
    const int count = recv(asSocket(fd), reinterpret_cast<char*>(space.data()), wanted, 0);
    if (count > 0) return {ReadResult::kData, static_cast<std::size_t>(count)};
    if (count < 0) {
        const int error = lastSocketErrno();
        if (error == EWOULDBLOCK || error == EINTR) return {};
    }
    return {ReadResult::kClosed, 0};
}

// A stop request that comes during the wait ends it, as a signal ends a
// poll; one that came before does not.
int waitReadable(std::span<WatchedSocket> sockets, int timeoutMs, int& error) {
    const SteadyClock::time_point deadline = SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
    const bool stopBefore = platform::stopSignalled();
    WSAPOLLFD entries[kMaxWatched];
    const std::size_t count = std::min(sockets.size(), kMaxWatched);
    for (std::size_t i = 0; i < count; ++i) entries[i] = {asSocket(sockets[i].fd), POLLRDNORM, 0};
    for (;;) {
        const int slice = std::min(millisecondsLeft(deadline), kStopLookMs);
        int ready = 0;
        if (count == 0) {
            platform::sleepMilliseconds(slice);
        } else {
            ready = WSAPoll(entries, static_cast<ULONG>(count), slice);
            if (ready == SOCKET_ERROR) {
                error = lastSocketErrno();
                return -1;
            }
        }
        if (ready > 0) {
            for (std::size_t i = 0; i < count; ++i) sockets[i].ready = entries[i].revents != 0;
            return ready;
        }
        if (!stopBefore && platform::stopSignalled()) {
            error = EINTR;
            return -1;
        }
        if (millisecondsLeft(deadline) == 0) return 0;
    }
}

// Every connection is TCP here, local ones included: a write after the
// peer's close would still succeed, so every connection is looked at.
PeerLook lookBeforeSend(int fd, bool /*tcp*/) {
    const SOCKET s = asSocket(fd);
    WSAPOLLFD entry{s, POLLRDNORM, 0};
    if (WSAPoll(&entry, 1, 0) <= 0) return {};
    PeerLook look;
    look.hungUp = (entry.revents & (POLLHUP | POLLERR)) != 0;
    if ((entry.revents & POLLRDNORM) != 0) {
        char byte = 0;
        // Nothing left to read at a readable socket: the peer has closed.
        if (recv(s, &byte, 1, MSG_PEEK) == 0) look.hungUp = true;
        look.readable = true;
    }
    // A read then meets the end of the stream and lets the connection go.
    if (look.hungUp) look.readable = true;
    return look;
}

void removeListenerFile(const std::string& path) { DeleteFileA(path.c_str()); }

long currentProcessId() { return static_cast<long>(GetCurrentProcessId()); }

}  // namespace msglib
