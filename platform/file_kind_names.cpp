#include "platform/file_kind.h"

namespace platform {

const char* describeFileKind(FileKind kind) {
    switch (kind) {
        case FileKind::Regular: return "a regular file";
        case FileKind::Directory: return "a directory";
        case FileKind::Fifo: return "a FIFO";
        case FileKind::Device: return "a device";
        case FileKind::Socket: return "a socket";
        case FileKind::Other: return "not a regular file";
        case FileKind::Unknown: break;
    }
    return "of an unknown kind";
}

}  // namespace platform
