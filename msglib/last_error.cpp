#include "msglib/msglib.h"
#include "platform/file_ops.h"
#include "platform/windows_errors.h"

std::int32_t zento_GetLastError() { return static_cast<std::int32_t>(platform::lastSystemError()); }

std::int32_t zento_GetLastErrorEx(std::int32_t /*reserved1*/, std::int32_t /*reserved2*/, std::int32_t& condition) {
    const std::int32_t error = zento_GetLastError();
    if (error == platform::kErrorSuccess) {
        condition = 0;
    } else if (error == platform::kErrorFileNotFound || error == platform::kErrorPathNotFound) {
        condition = 1;
    } else {
        condition = 2;
    }
    return error;
}
