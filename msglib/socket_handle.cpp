// The parts of the transport's socket calls that are the same over POSIX and
// Winsock; closing a handle (UniqueFd::reset) is each system's own.
#include "msglib/transport_socket_io.h"

#include <chrono>
#include <limits>

namespace msglib {

int millisecondsLeft(SteadyClock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - SteadyClock::now()).count();
    if (left <= 0) return 0;
    return left > std::numeric_limits<int>::max() ? std::numeric_limits<int>::max() : static_cast<int>(left);
}

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
        reset();
        fd_ = other.release();
    }
    return *this;
}

int UniqueFd::release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
}

}  // namespace msglib
