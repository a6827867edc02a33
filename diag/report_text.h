#pragma once
// Building a report's text in a buffer of fixed capacity. Every append is
// bounded: a text that would run past the buffer is cut at its end. The
// padded appends do what the printf conversions named beside them do, without
// parsing a format, so a table of 15000 rows formats at memory speed.
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace diag {

class ReportText {
public:
    // capacity includes room for a terminating NUL.
    ReportText(char* buffer, std::size_t capacity);

    void append(std::string_view text);
    void format(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // "%-W.Ps": at most precision characters, padded with blanks to width.
    void appendLeft(std::string_view text, std::size_t width, std::size_t precision);
    // "%Ws".
    void appendRight(std::string_view text, std::size_t width);
    // "%Wd".
    void appendInt(std::int64_t value, std::size_t width);
    // "%W.1f" of tenths / 10.0, exact for every int32 count of tenths.
    void appendTenths(std::int32_t tenths, std::size_t width);
    void appendBlanks(std::size_t count);

    std::string_view text() const { return {buffer_, used_}; }
    const char* c_str() const { return buffer_; }

private:
    void put(const char* data, std::size_t length);

    char* buffer_;
    std::size_t capacity_;
    std::size_t used_ = 0;
};

// A NUL-terminated text read at most limit bytes far: the part before its NUL.
std::string_view boundedText(const char* text, std::size_t limit);

}  // namespace diag
