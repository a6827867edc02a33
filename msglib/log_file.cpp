#include "msglib/log_file.h"

#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <string>

#include "msglib/library_codes.h"
#include "platform/environment.h"

namespace {

// "YYYY-MM-DD HH:MM:SS.mmm " in local time; the length written.
std::size_t formatTimestamp(char* out, std::size_t size) {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    std::tm local{};
    ::localtime_r(&now.tv_sec, &local);
    int length = std::snprintf(out, size, "%04d-%02d-%02d %02d:%02d:%02d.%03d ", local.tm_year + 1900,
                               local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                               static_cast<int>(now.tv_nsec / 1000000));
    return length > 0 ? static_cast<std::size_t>(length) : 0;
}

std::string_view withoutTrailingNewlines(std::string_view text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.remove_suffix(1);
    return text;
}

iovec piece(const void* data, std::size_t length) { return {const_cast<void*>(data), length}; }

// Writes every piece, picking up after a short write.
bool writeAll(int fd, iovec* pieces, int count) {
    while (count > 0) {
        ssize_t written = ::writev(fd, pieces, count);
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

LogFailure appendLogLine(const char* fileName, std::string_view tag, std::string_view text) {
    std::string path = platform::zentoHomeDir("log") + "/" + fileName;
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return {libcode::kLogOpenFailed, errno};

    char timestamp[64];
    std::size_t stampLength = formatTimestamp(timestamp, sizeof timestamp);
    std::string_view body = withoutTrailingNewlines(text);
    iovec pieces[] = {piece(timestamp, stampLength), piece(tag.data(), tag.size()), piece(body.data(), body.size()),
                      piece("\n", 1)};
    LogFailure failure;
    if (!writeAll(fd, pieces, 4)) failure = {libcode::kLogWriteFailed, errno};
    if (::close(fd) != 0 && failure.code == 0) failure = {libcode::kLogWriteFailed, errno};
    return failure;
}
