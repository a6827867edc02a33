#pragma once
// What the Windows implementations of the platform calls share: the Windows
// headers, the OS handle behind a runtime file handle, and the runtime error
// number closest to a Windows error (for the calls whose callers read errno
// values).
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cstdint>

namespace platform::win32 {

// INVALID_HANDLE_VALUE when the runtime handle is not open.
HANDLE osHandleOf(int handle);

int errnoOf(DWORD error);

// Splits a 64-bit file offset for the calls that take it in two halves.
inline LARGE_INTEGER largeInteger(std::int64_t value) {
    LARGE_INTEGER large;
    large.QuadPart = value;
    return large;
}

}  // namespace platform::win32
