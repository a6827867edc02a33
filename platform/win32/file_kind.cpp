#include "platform/file_kind.h"

#include <cstring>
#include <new>

#include "platform/win32/windows_api.h"

namespace platform {

FileKind fileKindOf(int handle) {
    const HANDLE os = win32::osHandleOf(handle);
    if (os == INVALID_HANDLE_VALUE) return FileKind::Unknown;
    switch (GetFileType(os)) {
        case FILE_TYPE_DISK: {
            BY_HANDLE_FILE_INFORMATION info{};
            if (!GetFileInformationByHandle(os, &info)) return FileKind::Unknown;
            return (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? FileKind::Directory : FileKind::Regular;
        }
        case FILE_TYPE_CHAR: return FileKind::Device;  // a console, NUL, a serial line
        case FILE_TYPE_PIPE: return FileKind::Fifo;    // a named or anonymous pipe, or a socket
        default: return GetLastError() == NO_ERROR ? FileKind::Other : FileKind::Unknown;
    }
}

// The runtime keeps strerror's text per thread.
std::string runtimeErrorText(int error) {
    try {
        return std::string(std::strerror(error));
    } catch (const std::bad_alloc&) {
        return {};
    }
}

}  // namespace platform
