#include "msglib/log_file.h"

#include <cstdio>
#include <optional>
#include <string>

#include "msglib/library_codes.h"
#include "platform/clock.h"
#include "platform/environment.h"
#include "platform/text_file.h"

namespace {

std::optional<std::string> heldDirectory;

std::string logDirectory() { return heldDirectory ? *heldDirectory : platform::zentoHomeDir("log"); }

// "YYYY-MM-DD HH:MM:SS.mmm " in local time; the length written.
std::size_t formatTimestamp(char* out, std::size_t size) {
    const platform::LocalTime t = platform::toLocalTime(platform::wallClockNow());
    int length = std::snprintf(out, size, "%04d-%02d-%02d %02d:%02d:%02d.%03d ", t.year, t.month, t.day, t.hour,
                               t.minute, t.second, t.millisecond);
    return length > 0 ? static_cast<std::size_t>(length) : 0;
}

std::string_view withoutTrailingNewlines(std::string_view text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.remove_suffix(1);
    return text;
}

}  // namespace

LogFailure appendLogLine(const char* fileName, std::string_view tag, std::string_view text) {
    char timestamp[64];
    const std::size_t stampLength = formatTimestamp(timestamp, sizeof timestamp);
    const std::string_view pieces[] = {{timestamp, stampLength}, tag, withoutTrailingNewlines(text), "\n"};
    const platform::AppendResult result = platform::appendToFile(logDirectory() + "/" + fileName, pieces);
    switch (result.stage) {
        case platform::AppendResult::kDone: return {};
        case platform::AppendResult::kOpenFailed: return {libcode::kLogOpenFailed, result.error};
        case platform::AppendResult::kWriteFailed: break;
    }
    return {libcode::kLogWriteFailed, result.error};
}

void holdLogDirectory() { heldDirectory = platform::zentoHomeDir("log"); }

void releaseLogDirectory() { heldDirectory.reset(); }
