#include "platform/windows_errors.h"

#include <cerrno>

namespace platform {

std::int32_t windowsErrorOf(int errnoValue) {
    switch (errnoValue) {
        case 0: return kErrorSuccess;
        case ENOENT: return kErrorFileNotFound;
        case ENOTDIR: return kErrorPathNotFound;
        case EMFILE:
        case ENFILE: return kErrorTooManyOpenFiles;
        // Windows refuses to open a directory as a file with "access denied".
        case EACCES:
        case EPERM:
        case EISDIR: return kErrorAccessDenied;
        case EBADF: return kErrorInvalidHandle;
        case ENOMEM: return kErrorNotEnoughMemory;
        case EROFS: return kErrorWriteProtect;
        case EWOULDBLOCK: return kErrorSharingViolation;
        case EEXIST: return kErrorFileExists;
        case EINVAL: return kErrorInvalidParameter;
        case ENOSPC:
        case EFBIG: return kErrorDiskFull;
#ifdef EDQUOT  // not among the Windows runtime's numbers
        case EDQUOT: return kErrorDiskQuotaExceeded;
#endif
        case ENAMETOOLONG: return kErrorFilenameTooLong;
        default: return kErrorGenFailure;
    }
}

}  // namespace platform
