#include "platform/win32/windows_api.h"

#include <io.h>

#include <cerrno>

#include "platform/windows_errors.h"

namespace platform::win32 {

HANDLE osHandleOf(int handle) {
    // The runtime reports a bad handle through its invalid-parameter handler
    // as well; the check keeps that handler out of it.
    if (handle < 0) return INVALID_HANDLE_VALUE;
    return reinterpret_cast<HANDLE>(_get_osfhandle(handle));
}

int errnoOf(DWORD error) {
    switch (static_cast<std::int32_t>(error)) {
        case kErrorSuccess: return 0;
        case kErrorFileNotFound:
        case kErrorPathNotFound: return ENOENT;
        case kErrorTooManyOpenFiles: return EMFILE;
        case kErrorAccessDenied:
        case kErrorSharingViolation:
        case kErrorLockViolation:
        case kErrorWriteProtect: return EACCES;
        case kErrorInvalidHandle: return EBADF;
        case kErrorNotEnoughMemory: return ENOMEM;
        case kErrorFileExists: return EEXIST;
        case kErrorInvalidParameter:
        case kErrorNegativeSeek: return EINVAL;
        case kErrorDiskFull:
        case kErrorDiskQuotaExceeded: return ENOSPC;
        case kErrorFilenameTooLong: return ENAMETOOLONG;
        case kErrorHandleEof: return 0;
        case ERROR_BROKEN_PIPE:
        case ERROR_NO_DATA: return EPIPE;
        default: return EIO;
    }
}

}  // namespace platform::win32
