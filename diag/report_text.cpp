#include "diag/report_text.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace diag {

ReportText::ReportText(char* buffer, std::size_t capacity) : buffer_(buffer), capacity_(capacity) {
    if (capacity_ > 0) buffer_[0] = '\0';
}

void ReportText::put(const char* data, std::size_t length) {
    if (capacity_ == 0) return;
    const std::size_t room = capacity_ - 1 - used_;
    if (length > room) length = room;
    std::memcpy(buffer_ + used_, data, length);
    used_ += length;
    buffer_[used_] = '\0';
}

void ReportText::append(std::string_view text) { put(text.data(), text.size()); }

void ReportText::format(const char* format, ...) {
    if (capacity_ == 0) return;
    va_list arguments;
    va_start(arguments, format);
    const int length = std::vsnprintf(buffer_ + used_, capacity_ - used_, format, arguments);
    va_end(arguments);
    if (length < 0) {
        buffer_[used_] = '\0';
        return;
    }
    used_ += static_cast<std::size_t>(length);
    if (used_ > capacity_ - 1) used_ = capacity_ - 1;
}

void ReportText::appendBlanks(std::size_t count) {
    static constexpr char kBlanks[] = "                                                                ";
    while (count > 0) {
        const std::size_t piece = count < sizeof kBlanks - 1 ? count : sizeof kBlanks - 1;
        put(kBlanks, piece);
        count -= piece;
    }
}

void ReportText::appendLeft(std::string_view text, std::size_t width, std::size_t precision) {
    if (text.size() > precision) text = text.substr(0, precision);
    append(text);
    if (text.size() < width) appendBlanks(width - text.size());
}

void ReportText::appendRight(std::string_view text, std::size_t width) {
    if (text.size() < width) appendBlanks(width - text.size());
    append(text);
}

namespace {

// The decimal digits of value, sign included, at the end of out; the text.
std::string_view decimal(std::int64_t value, char (&out)[24]) {
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

}  // namespace

void ReportText::appendInt(std::int64_t value, std::size_t width) {
    char digits[24];
    appendRight(decimal(value, digits), width);
}

void ReportText::appendTenths(std::int32_t tenths, std::size_t width) {
    // tenths / 10.0 lies within 1e-9 of the decimal q.r, so "%.1f" prints q.r.
    const std::int64_t value = tenths;
    const std::uint64_t magnitude = value < 0 ? static_cast<std::uint64_t>(-value) : static_cast<std::uint64_t>(value);
    char text[32];
    char digits[24];
    const std::string_view whole = decimal(static_cast<std::int64_t>(magnitude / 10), digits);
    std::size_t length = 0;
    if (value < 0) text[length++] = '-';
    std::memcpy(text + length, whole.data(), whole.size());
    length += whole.size();
    text[length++] = '.';
    text[length++] = static_cast<char>('0' + magnitude % 10);
    appendRight({text, length}, width);
}

std::string_view boundedText(const char* text, std::size_t limit) {
    if (text == nullptr) return {};
    const void* nul = std::memchr(text, '\0', limit);
    return {text, nul != nullptr ? static_cast<std::size_t>(static_cast<const char*>(nul) - text) : limit};
}

}  // namespace diag
