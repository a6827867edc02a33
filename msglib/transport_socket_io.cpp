#include "msglib/transport_socket_io.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace msglib {

namespace {

constexpr int kListenBacklog = 64;
// How often a connect is retried while a listener's backlog is full.
constexpr std::int64_t kBacklogRetryMs = 10;
// More parts than a send ever has (a hello and a message).
constexpr std::size_t kMaxParts = 4;
// More sockets than a receive watches (two listeners and every connection).
constexpr std::size_t kMaxWatched = 1024;

bool makeUnixAddress(const std::string& path, sockaddr_un& address, int& error) {
    std::memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        error = ENAMETOOLONG;
        return false;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return true;
}

UniqueFd newSocket(int family, int& error) {
    UniqueFd fd(::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd.valid()) error = errno;
    return fd;
}

// A message split over two TCP segments would wait for the peer's delayed
// acknowledgement; every write here carries whole frames.
void setNoDelay(int fd) {
    int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

bool isRefusal(int error) { return error == ENOENT || error == ECONNREFUSED; }

// Waits for events on fd until deadline; 0 when the time ran out.
int pollOne(int fd, short events, SteadyClock::time_point deadline) {
    for (;;) {
        pollfd entry{fd, events, 0};
        const int ready = ::poll(&entry, 1, millisecondsLeft(deadline));
        if (ready >= 0 || errno != EINTR) return ready;
    }
}

IoResult finishConnect(int fd, SteadyClock::time_point deadline) {
    const int ready = pollOne(fd, POLLOUT, deadline);
    if (ready == 0) return {IoResult::kTimedOut, ETIMEDOUT, 0};
    if (ready < 0) return {IoResult::kFailed, errno, 0};
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return {IoResult::kFailed, errno, 0};
    if (error == 0) return {};
    return {isRefusal(error) ? IoResult::kRefused : IoResult::kFailed, error, 0};
}

IoResult connectOne(const addrinfo& address, SteadyClock::time_point deadline, UniqueFd& out) {
    int error = 0;
    UniqueFd fd = newSocket(address.ai_family, error);
    if (!fd.valid()) return {IoResult::kFailed, error, 0};
    IoResult result;
    if (::connect(fd.get(), address.ai_addr, address.ai_addrlen) != 0) {
        if (errno != EINPROGRESS) return {isRefusal(errno) ? IoResult::kRefused : IoResult::kFailed, errno, 0};
        result = finishConnect(fd.get(), deadline);
    }
    if (result.kind == IoResult::kOk) {
        setNoDelay(fd.get());
        out = std::move(fd);
    }
    return result;
}

}  // namespace

void UniqueFd::reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

UniqueFd listenUnix(const std::string& path, int& error) {
    sockaddr_un address;
    if (!makeUnixAddress(path, address, error)) return {};
    UniqueFd fd = newSocket(AF_UNIX, error);
    if (!fd.valid()) return fd;
    // The run directory is private to the user; the mode narrows the file
    // too, for a directory that was made wider by hand.
    if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        error = errno;
        return {};
    }
    if (::chmod(path.c_str(), 0600) != 0 || ::listen(fd.get(), kListenBacklog) != 0) {
        error = errno;
        ::unlink(path.c_str());
        return {};
    }
    return fd;
}

UniqueFd listenTcp(const std::string& host, const std::string& port, int& error) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* addresses = nullptr;
    if (::getaddrinfo(host.c_str(), port.c_str(), &hints, &addresses) != 0) {
        error = EADDRNOTAVAIL;
        return {};
    }
    UniqueFd result;
    error = EADDRNOTAVAIL;
    for (const addrinfo* address = addresses; address != nullptr && !result.valid(); address = address->ai_next) {
        UniqueFd fd = newSocket(address->ai_family, error);
        if (!fd.valid()) continue;
        int on = 1;
        ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (::bind(fd.get(), address->ai_addr, address->ai_addrlen) != 0 ||
            ::listen(fd.get(), kListenBacklog) != 0) {
            error = errno;
            continue;
        }
        result = std::move(fd);
    }
    ::freeaddrinfo(addresses);
    return result;
}

ListenerProbe probeUnixListener(const std::string& path) {
    sockaddr_un address;
    int error = 0;
    if (!makeUnixAddress(path, address, error)) return ListenerProbe::kAbsent;
    // Non-blocking, so that a listener with a full backlog answers EAGAIN
    // instead of holding the probe.
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd.valid()) return ListenerProbe::kAbsent;
    if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
        return ListenerProbe::kLive;
    }
    if (errno == EAGAIN || errno == EINPROGRESS) return ListenerProbe::kLive;
    return errno == ECONNREFUSED ? ListenerProbe::kStale : ListenerProbe::kAbsent;
}

UniqueFd acceptConnection(int listener, bool tcp, int& error) {
    for (;;) {
        UniqueFd fd(::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
        if (fd.valid()) {
            if (tcp) setNoDelay(fd.get());
            error = 0;
            return fd;
        }
        // A client that gave up before being accepted is no failure.
        if (errno == EINTR || errno == ECONNABORTED || errno == EPROTO) continue;
        error = (errno == EAGAIN || errno == EWOULDBLOCK) ? 0 : errno;
        return {};
    }
}

IoResult connectUnix(const std::string& path, SteadyClock::time_point deadline, UniqueFd& out) {
    sockaddr_un address;
    int error = 0;
    if (!makeUnixAddress(path, address, error)) return {IoResult::kFailed, error, 0};
    for (;;) {
        UniqueFd fd = newSocket(AF_UNIX, error);
        if (!fd.valid()) return {IoResult::kFailed, error, 0};
        if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
            out = std::move(fd);
            return {};
        }
        error = errno;
        if (isRefusal(error)) return {IoResult::kRefused, error, 0};
        if (error == EINPROGRESS) {
            IoResult result = finishConnect(fd.get(), deadline);
            if (result.kind == IoResult::kOk) out = std::move(fd);
            return result;
        }
        // A UNIX socket whose backlog is full refuses with EAGAIN at once and
        // cannot be waited on; try again until the deadline.
        if (error != EAGAIN) return {IoResult::kFailed, error, 0};
        if (millisecondsLeft(deadline) == 0) return {IoResult::kTimedOut, ETIMEDOUT, 0};
        platform::sleepMilliseconds(kBacklogRetryMs);
    }
}

IoResult connectTcp(const std::string& host, const std::string& port, SteadyClock::time_point deadline,
                    UniqueFd& out) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* addresses = nullptr;
    if (::getaddrinfo(host.c_str(), port.c_str(), &hints, &addresses) != 0) {
        return {IoResult::kFailed, EHOSTUNREACH, 0};
    }
    IoResult result{IoResult::kFailed, EHOSTUNREACH, 0};
    for (const addrinfo* address = addresses; address != nullptr; address = address->ai_next) {
        result = connectOne(*address, deadline, out);
        if (result.kind == IoResult::kOk || result.kind == IoResult::kTimedOut) break;
    }
    ::freeaddrinfo(addresses);
    return result;
}

IoResult writeParts(int fd, std::span<const MsgView> parts, SteadyClock::time_point deadline) {
    iovec vectors[kMaxParts];
    std::size_t count = 0;
    for (MsgView part : parts) {
        if (part.empty() || count == kMaxParts) continue;
        vectors[count].iov_base = const_cast<std::uint8_t*>(part.data());
        vectors[count].iov_len = part.size();
        ++count;
    }
    IoResult result;
    std::size_t first = 0;
    while (first < count) {
        msghdr header{};
        header.msg_iov = vectors + first;
        header.msg_iovlen = count - first;
        const ssize_t sent = ::sendmsg(fd, &header, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                const int ready = pollOne(fd, POLLOUT, deadline);
                if (ready > 0) continue;
                if (ready == 0) return {IoResult::kTimedOut, ETIMEDOUT, result.written};
                return {IoResult::kFailed, errno, result.written};
            }
            const bool broken = errno == EPIPE || errno == ECONNRESET || errno == ENOTCONN;
            return {broken ? IoResult::kBroken : IoResult::kFailed, errno, result.written};
        }
        auto left = static_cast<std::size_t>(sent);
        result.written += left;
        while (first < count && left >= vectors[first].iov_len) {
            left -= vectors[first].iov_len;
            ++first;
        }
        if (first < count) {
            vectors[first].iov_base = static_cast<std::uint8_t*>(vectors[first].iov_base) + left;
            vectors[first].iov_len -= left;
        }
    }
    return result;
}

ReadResult readAvailable(int fd, MsgSpan space) {
    const ssize_t count = ::recv(fd, space.data(), space.size(), MSG_DONTWAIT);
    if (count > 0) return {ReadResult::kData, static_cast<std::size_t>(count)};
    if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return {};
    return {ReadResult::kClosed, 0};
}

int waitReadable(std::span<WatchedSocket> sockets, int timeoutMs, int& error) {
    pollfd entries[kMaxWatched];
    const std::size_t count = std::min(sockets.size(), kMaxWatched);
    for (std::size_t i = 0; i < count; ++i) entries[i] = {sockets[i].fd, POLLIN, 0};
    const int ready = ::poll(entries, count, timeoutMs);
    if (ready < 0) {
        error = errno;
        return -1;
    }
    for (std::size_t i = 0; i < count; ++i) sockets[i].ready = entries[i].revents != 0;
    return ready;
}

PeerLook lookBeforeSend(int fd, bool tcp) {
    if (!tcp) return {};
    pollfd entry{fd, POLLIN | POLLRDHUP, 0};
    if (::poll(&entry, 1, 0) <= 0) return {};
    return {(entry.revents & POLLIN) != 0, (entry.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0};
}

void removeListenerFile(const std::string& path) { ::unlink(path.c_str()); }

long currentProcessId() { return static_cast<long>(::getpid()); }

}  // namespace msglib
