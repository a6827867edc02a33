#include "platform/system_error.h"

#include <new>

#include "platform/file_ops.h"
#include "platform/win32/windows_api.h"

namespace platform {

std::optional<std::string> systemErrorText(std::uint32_t code) {
    char* text = nullptr;
    const DWORD length = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
        MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), reinterpret_cast<LPSTR>(&text), 0, nullptr);
    if (length == 0) {
        setLastSystemError(GetLastError());
        return std::nullopt;
    }
    std::optional<std::string> result;
    try {
        result.emplace(text, length);
    } catch (const std::bad_alloc&) {
        setLastSystemError(ERROR_NOT_ENOUGH_MEMORY);
    }
    LocalFree(text);
    return result;
}

}  // namespace platform
