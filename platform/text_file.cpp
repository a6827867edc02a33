#include "platform/text_file.h"

#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>

namespace platform {

namespace {

// More pieces than a log line has (stamp, tag, text, line end).
constexpr std::size_t kMaxPieces = 8;

// Writes every piece, picking up after a short write.
bool writeAll(int fd, iovec* pieces, std::size_t count) {
    while (count > 0) {
        const ssize_t written = ::writev(fd, pieces, static_cast<int>(count));
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        auto left = static_cast<std::size_t>(written);
        while (count > 0 && left >= pieces->iov_len) {
            left -= pieces->iov_len;
            ++pieces;
            --count;
        }
        if (count > 0) {
            pieces->iov_base = static_cast<char*>(pieces->iov_base) + left;
            pieces->iov_len -= left;
        }
    }
    return true;
}

}  // namespace

AppendResult appendToFile(const std::string& path, std::span<const std::string_view> pieces) {
    if (pieces.size() > kMaxPieces) return {AppendResult::kWriteFailed, EINVAL};
    std::array<iovec, kMaxPieces> vector{};
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        vector[i] = {const_cast<char*>(pieces[i].data()), pieces[i].size()};
    }
    int fd;
    do {
        fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return {AppendResult::kOpenFailed, errno};

    AppendResult result;
    if (!writeAll(fd, vector.data(), pieces.size())) result = {AppendResult::kWriteFailed, errno};
    if (::close(fd) != 0 && result.stage == AppendResult::kDone) result = {AppendResult::kWriteFailed, errno};
    return result;
}

bool readSmallTextFile(const std::string& path, std::size_t maxBytes, std::string& text) {
    text.clear();
    int fd;
    do {
        // Not blocking: a FIFO in the file's place must not hang the caller.
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return false;
    char chunk[4096];
    bool ok = true;
    while (text.size() < maxBytes) {
        const ssize_t n = ::read(fd, chunk, std::min(sizeof chunk, maxBytes - text.size()));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) ok = false;
        if (n <= 0) break;
        text.append(chunk, static_cast<std::size_t>(n));
    }
    ::close(fd);
    if (!ok) text.clear();
    return ok;
}

}  // namespace platform
