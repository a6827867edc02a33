#include "platform/file_kind.h"

#include <sys/stat.h>

#include <cstring>
#include <new>

namespace platform {

FileKind fileKindOf(int handle) {
    struct stat st {};
    if (::fstat(handle, &st) != 0) return FileKind::Unknown;
    if (S_ISREG(st.st_mode)) return FileKind::Regular;
    if (S_ISDIR(st.st_mode)) return FileKind::Directory;
    if (S_ISFIFO(st.st_mode)) return FileKind::Fifo;
    if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) return FileKind::Device;
    if (S_ISSOCK(st.st_mode)) return FileKind::Socket;
    return FileKind::Other;
}

namespace {

// strerror_r comes in two flavours: the XSI one fills the buffer and returns
// 0, the GNU one returns the text, which may be a static one.
[[maybe_unused]] const char* textOf(int result, const char* buffer) { return result == 0 ? buffer : nullptr; }
[[maybe_unused]] const char* textOf(const char* result, const char*) { return result; }

}  // namespace

std::string runtimeErrorText(int error) {
    char buffer[256] = {};
    const char* text = textOf(::strerror_r(error, buffer, sizeof buffer), buffer);
    try {
        return text != nullptr ? std::string(text) : std::string("error ") + std::to_string(error);
    } catch (const std::bad_alloc&) {
        return {};
    }
}

}  // namespace platform
