#pragma once
// The socket calls of the transport, each bounded by a deadline. Sockets are
// non-blocking and close-on-exec; writes never raise SIGPIPE.
//
// A service's local listener is named by a file, ZENTO_HOME/run/<SERVICE>.sock:
// over POSIX a UNIX-domain socket; on Windows (win32/transport_socket_io.cpp)
// a plain file that gives the loopback TCP port the service listens on and
// the process that listens.
#include <cstddef>
#include <span>
#include <string>

#include "msglib/message.h"
#include "platform/clock.h"

namespace msglib {

using SteadyClock = platform::MonotonicClock;

// Milliseconds until deadline, 0 once it has passed.
int millisecondsLeft(SteadyClock::time_point deadline);

class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept;
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { reset(); }

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    int release();
    void reset();

private:
    int fd_ = -1;
};

struct IoResult {
    enum Kind {
        kOk,
        kRefused,   // nobody listens there (no socket file, connection refused)
        kTimedOut,
        kBroken,    // the peer has gone (EPIPE, ECONNRESET)
        kFailed,
    };
    Kind kind = kOk;
    int error = 0;             // errno of the failure, 0 when there is none
    std::size_t written = 0;   // bytes a write got out before it stopped
};

// Listens on a UNIX-domain socket file readable and writable by this user
// only. The caller removes any stale file first.
UniqueFd listenUnix(const std::string& path, int& error);
UniqueFd listenTcp(const std::string& host, const std::string& port, int& error);

// Whether a live process listens on the socket file at path.
enum class ListenerProbe { kAbsent, kStale, kLive };
ListenerProbe probeUnixListener(const std::string& path);

// One pending connection; an invalid handle with error 0 when none is left.
UniqueFd acceptConnection(int listener, bool tcp, int& error);

IoResult connectUnix(const std::string& path, SteadyClock::time_point deadline, UniqueFd& out);
IoResult connectTcp(const std::string& host, const std::string& port, SteadyClock::time_point deadline,
                    UniqueFd& out);

// Writes all parts in as few calls as the socket allows (one, normally).
IoResult writeParts(int fd, std::span<const MsgView> parts, SteadyClock::time_point deadline);

// What a read without waiting found: bytes, nothing yet, or the end of the
// stream (the peer closed, or the connection failed).
struct ReadResult {
    enum Kind { kData, kNothing, kClosed };
    Kind kind = kNothing;
    std::size_t count = 0;
};
ReadResult readAvailable(int fd, MsgSpan space);

// One socket to watch for reading; ready says whether it can be read (or
// accepted from) without waiting.
struct WatchedSocket {
    int fd = -1;
    bool ready = false;
};
// Waits up to timeoutMs for one of the sockets (none: just waits). The count
// of ready ones, 0 when the time ran out, -1 with error set when the wait
// failed; error EINTR when a stop signal ended it.
int waitReadable(std::span<WatchedSocket> sockets, int timeoutMs, int& error);

// Before a send on a cached connection: whether data waits to be read and
// whether the peer has closed or shut its sending side. Connections whose
// writes fail at once when the peer has gone (UNIX-domain ones) are not
// looked at.
struct PeerLook {
    bool readable = false;
    bool hungUp = false;
};
PeerLook lookBeforeSend(int fd, bool tcp);

// Removes the file that names a local listener.
void removeListenerFile(const std::string& path);
// This process's id, to tell a forked child, which shares the parent's
// registration but not its name, from the parent.
long currentProcessId();

}  // namespace msglib
