#include "diag/report_text.h"

#include <cstdarg>
#include <cstdio>

namespace diag {

ReportText::ReportText(char* buffer, std::size_t capacity) : buffer_(buffer), capacity_(capacity) {
    if (capacity_ > 0) buffer_[0] = '\0';
}

void ReportText::append(std::string_view text) {
    if (capacity_ == 0) return;
    const std::size_t room = capacity_ - 1 - used_;
    if (text.size() > room) text = text.substr(0, room);
    used_ = static_cast<std::size_t>(put::text(buffer_ + used_, text) - buffer_);
    buffer_[used_] = '\0';
}

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

void ReportText::appendLeft(std::string_view text, std::size_t width, std::size_t precision) {
    if (text.size() > precision) text = text.substr(0, precision);
    append(text);
    for (std::size_t pad = text.size(); pad < width; ++pad) append(" ");
}

std::string_view boundedText(const char* text, std::size_t limit) {
    if (text == nullptr) return {};
    const void* nul = std::memchr(text, '\0', limit);
    return {text, nul != nullptr ? static_cast<std::size_t>(static_cast<const char*>(nul) - text) : limit};
}

}  // namespace diag
