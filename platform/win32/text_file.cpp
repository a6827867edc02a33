#include "platform/text_file.h"

#include <cerrno>
#include <new>

#include "platform/win32/windows_api.h"

namespace platform {

namespace {

// More pieces than a log line has (stamp, tag, text, line end).
constexpr std::size_t kMaxPieces = 8;

bool writeAll(HANDLE file, const char* bytes, std::size_t size) {
    while (size > 0) {
        const DWORD step = size > 0x40000000u ? 0x40000000u : static_cast<DWORD>(size);
        DWORD written = 0;
        if (!WriteFile(file, bytes, step, &written, nullptr)) return false;
        bytes += written;
        size -= written;
    }
    return true;
}

}  // namespace

// A handle opened for appending only writes each WriteFile at the end of the
// file as one piece, so lines that several processes append never cut into
// one another; the pieces are joined to be one write.
AppendResult appendToFile(const std::string& path, std::span<const std::string_view> pieces) {
    if (pieces.size() > kMaxPieces) return {AppendResult::kWriteFailed, EINVAL};
    std::string line;
    try {
        std::size_t size = 0;
        for (std::string_view piece : pieces) size += piece.size();
        line.reserve(size);
        for (std::string_view piece : pieces) line.append(piece);
    } catch (const std::bad_alloc&) {
        return {AppendResult::kWriteFailed, ENOMEM};
    }
    const HANDLE file = CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return {AppendResult::kOpenFailed, win32::errnoOf(GetLastError())};
    AppendResult result;
    if (!writeAll(file, line.data(), line.size())) result = {AppendResult::kWriteFailed, win32::errnoOf(GetLastError())};
    if (!CloseHandle(file) && result.stage == AppendResult::kDone) {
        result = {AppendResult::kWriteFailed, win32::errnoOf(GetLastError())};
    }
    return result;
}

bool readSmallTextFile(const std::string& path, std::size_t maxBytes, std::string& text) {
    text.clear();
    const HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    // A pipe or a device in the file's place must not hang the caller.
    bool ok = GetFileType(file) == FILE_TYPE_DISK;
    char chunk[4096];
    try {
        while (ok && text.size() < maxBytes) {
            const std::size_t wanted = maxBytes - text.size() < sizeof chunk ? maxBytes - text.size() : sizeof chunk;
            DWORD got = 0;
            if (!ReadFile(file, chunk, static_cast<DWORD>(wanted), &got, nullptr)) ok = false;
            if (!ok || got == 0) break;
            text.append(chunk, got);
        }
    } catch (const std::bad_alloc&) {
        ok = false;
    }
    CloseHandle(file);
    if (!ok) text.clear();
    return ok;
}

}  // namespace platform
