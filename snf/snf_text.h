#pragma once
// Log lines of the support routines: built in fixed buffers (cut when they do
// not fit), as the logging calls take them.
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>

constexpr std::size_t kSnfLineSize = 2048;

template <std::size_t N>
__attribute__((format(printf, 2, 3))) void formatSnfLine(char (&out)[N], const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(out, N, format, arguments);
    va_end(arguments);
}

// When a registry call failed for another reason than a missing key or value,
// the database's own account of it goes to the kernel debug log under tag,
// beside the routine's line.
void logRegistryFault(const char* tag, std::int32_t error);

// The 32-bit quotient of bytes / 1048576 for "%d" fields, saturated.
int megabytesOf(std::int64_t bytes);
