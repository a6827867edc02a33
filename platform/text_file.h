#pragma once
// Whole-line appends to shared text files (the logs) and reads of small
// configuration files. These do not go through the runtime-style file calls
// of file_ops.h: those belong to the store-and-forward files, whose tests
// count and fail them one by one.
#include <cstddef>
#include <span>
#include <string>
#include <string_view>

namespace platform {

struct AppendResult {
    enum Stage { kDone, kOpenFailed, kWriteFailed };
    Stage stage = kDone;
    int error = 0;  // errno of the failing call
};

// Appends the pieces, in order, to the file at path (created with mode 0644
// when missing) in one write, so lines that several processes append to one
// file never cut into one another. A write cut short is carried on.
AppendResult appendToFile(const std::string& path, std::span<const std::string_view> pieces);

// The first maxBytes (at most) of the file at path; false (and no text) when
// it cannot be opened or read.
bool readSmallTextFile(const std::string& path, std::size_t maxBytes, std::string& text);

}  // namespace platform
