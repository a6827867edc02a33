#pragma once
// Building a report's text. ReportText appends to a buffer of fixed capacity
// and cuts a text that would run past it. The put* writers below write
// without checks, for callers that have made room for the widest text first
// (the table rows, where formatting speed matters); each does what the printf
// conversion named beside it does, without parsing a format, and returns the
// end of what it wrote.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace diag {

namespace put {

inline char* text(char* at, std::string_view text) {
    std::memcpy(at, text.data(), text.size());
    return at + text.size();
}

inline char* blanks(char* at, std::size_t count) {
    std::memset(at, ' ', count);
    return at + count;
}

// "%-W.Ps": at most precision characters, padded with blanks to width.
inline char* left(char* at, std::string_view value, std::size_t width, std::size_t precision) {
    if (value.size() > precision) value = value.substr(0, precision);
    at = text(at, value);
    return value.size() < width ? blanks(at, width - value.size()) : at;
}

// "%Ws".
inline char* right(char* at, std::string_view value, std::size_t width) {
    if (value.size() < width) at = blanks(at, width - value.size());
    return text(at, value);
}

// The decimal digits of value, sign included, at the end of out.
inline std::string_view decimal(std::int64_t value, char (&out)[24]) {
    char* at = out + sizeof out;
    const bool negative = value < 0;
    std::uint64_t magnitude = negative ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
    do {
        *--at = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    if (negative) *--at = '-';
    return {at, static_cast<std::size_t>(out + sizeof out - at)};
}

// "%Wd".
inline char* integer(char* at, std::int64_t value, std::size_t width) {
    char digits[24];
    return right(at, decimal(value, digits), width);
}

// "%W.1f" of tenths / 10.0, exact for every int32 count of tenths: the double
// lies within 1e-9 of the decimal q.r, so printf prints q.r.
inline char* tenths(char* at, std::int32_t tenths, std::size_t width) {
    const std::int64_t value = tenths;
    const std::int64_t magnitude = value < 0 ? -value : value;
    char digits[24];
    const std::string_view whole = decimal(magnitude / 10, digits);
    char number[32];
    char* end = number;
    if (value < 0) *end++ = '-';
    end = text(end, whole);
    *end++ = '.';
    *end++ = static_cast<char>('0' + magnitude % 10);
    return right(at, {number, static_cast<std::size_t>(end - number)}, width);
}

// The length of the text in a 32-byte name field: up to its first NUL, or
// all 32 bytes. Eight bytes at a time, without a call.
inline std::size_t fieldLength(const char (&field)[32]) {
    constexpr std::uint64_t kLow = 0x0101010101010101ull;
    constexpr std::uint64_t kHigh = 0x8080808080808080ull;
    for (std::size_t at = 0; at < 32; at += 8) {
        std::uint64_t word;
        std::memcpy(&word, field + at, 8);
        const std::uint64_t zeros = (word - kLow) & ~word & kHigh;
        if (zeros != 0) return at + static_cast<std::size_t>(__builtin_ctzll(zeros)) / 8;
    }
    return 32;
}

// Room a caller leaves behind a field() for its blind stores.
constexpr std::size_t kFieldSlack = 64;

// "%-30.30s" of a 32-byte name field. Copies and pads in fixed 32-byte
// stores (which the compiler inlines) and may write up to kFieldSlack bytes
// past the end it returns; what follows overwrites them.
inline char* field30(char* at, const char (&field)[32]) {
    static constexpr char kBlanks[32] = {' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ',
                                         ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' '};
    const std::size_t length = fieldLength(field);
    std::memcpy(at, field, 32);
    std::memcpy(at + (length < 30 ? length : 30), kBlanks, 32);
    return at + 30;
}

}  // namespace put

class ReportText {
public:
    // capacity includes room for a terminating NUL.
    ReportText(char* buffer, std::size_t capacity);

    void append(std::string_view text);
    void format(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // "%-W.Ps".
    void appendLeft(std::string_view text, std::size_t width, std::size_t precision);

    std::string_view text() const { return {buffer_, used_}; }

private:
    char* buffer_;
    std::size_t capacity_;
    std::size_t used_ = 0;
};

// A NUL-terminated text read at most limit bytes far: the part before its NUL.
std::string_view boundedText(const char* text, std::size_t limit);

}  // namespace diag
