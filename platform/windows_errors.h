#pragma once
// The Windows error numbers that the platform calls report (GetLastError and
// the registry's results), so that callers written against them, such as
// "any failure other than ERROR_FILE_NOT_FOUND", work unchanged over POSIX.
#include <cstdint>

namespace platform {

constexpr std::int32_t kErrorSuccess = 0;
constexpr std::int32_t kErrorFileNotFound = 2;
constexpr std::int32_t kErrorPathNotFound = 3;
constexpr std::int32_t kErrorTooManyOpenFiles = 4;
constexpr std::int32_t kErrorAccessDenied = 5;
constexpr std::int32_t kErrorInvalidHandle = 6;
constexpr std::int32_t kErrorNotEnoughMemory = 8;
constexpr std::int32_t kErrorWriteProtect = 19;
constexpr std::int32_t kErrorGenFailure = 31;
constexpr std::int32_t kErrorSharingViolation = 32;
constexpr std::int32_t kErrorLockViolation = 33;
constexpr std::int32_t kErrorHandleEof = 38;
constexpr std::int32_t kErrorFileExists = 80;
constexpr std::int32_t kErrorInvalidParameter = 87;
constexpr std::int32_t kErrorDiskFull = 112;
constexpr std::int32_t kErrorNegativeSeek = 131;
constexpr std::int32_t kErrorFilenameTooLong = 206;
constexpr std::int32_t kErrorMoreData = 234;
constexpr std::int32_t kErrorNoMoreItems = 259;
constexpr std::int32_t kErrorBadDb = 1009;             // the registry database is corrupt
constexpr std::int32_t kErrorCantOpen = 1011;          // a registry key could not be opened
constexpr std::int32_t kErrorRegistryIoFailed = 1016;
constexpr std::int32_t kErrorKeyDeleted = 1018;        // the key was deleted while open
constexpr std::int32_t kErrorDiskQuotaExceeded = 1295;

// The Windows number closest in meaning to an errno value; 0 for 0.
std::int32_t windowsErrorOf(int errnoValue);

}  // namespace platform
