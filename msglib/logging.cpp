#include <cstdarg>
#include <cstdio>

#include "msglib/library_codes.h"
#include "msglib/log_file.h"
#include "msglib/msglib.h"

namespace {

constexpr const char* kMessageLog = "zento.log";
constexpr const char* kDiagnosticLog = "diag.log";
constexpr const char* kKernelLog = "kernel.log";

void loadLogFailure(const LogFailure& failure, StatusBlock& status) {
    if (failure.code == 0) return;
    if (failure.systemError != 0) ZENTO_SERVER_LDBLK(kFacilityRuntime, failure.systemError, status);
    ZENTO_SERVER_LDBLK(kFacilityLibrary, failure.code, status);
}

// "[name] " in buffer, cut to fit; the text written.
std::string_view bracketed(char* buffer, std::size_t size, std::string_view name) {
    int length = std::snprintf(buffer, size, "[%.*s] ", static_cast<int>(name.size()), name.data());
    if (length < 0) return {};
    return {buffer, static_cast<std::size_t>(length) < size ? static_cast<std::size_t>(length) : size - 1};
}

}  // namespace

void ZENTO_SERVER_LOGMSG(std::string_view name, std::string_view text, StatusBlock& status) {
    ZENTO_SERVER_INITBLK(status);
    char tag[128];
    loadLogFailure(appendLogLine(kMessageLog, bracketed(tag, sizeof tag, name), text), status);
}

void ZENTO_SERVER_LOGBLK(std::string_view name, const StatusBlock& block, StatusBlock& status) {
    ZENTO_SERVER_INITBLK(status);
    char text[kStatusEntries * 48 + 32];
    std::size_t used = 0;
    int count = statusEntryCount(block);
    if (count == 0) used = static_cast<std::size_t>(std::snprintf(text, sizeof text, "no status entries"));
    for (int i = 0; i < count; ++i) {
        int length = std::snprintf(text + used, sizeof text - used, "%sfacility=%d error=%d", i == 0 ? "" : ", ",
                                   static_cast<int>(block.facility[i]), static_cast<int>(block.error[i]));
        if (length < 0) break;
        used += static_cast<std::size_t>(length);
    }
    char tag[128];
    loadLogFailure(appendLogLine(kMessageLog, bracketed(tag, sizeof tag, name), {text, used}), status);
}

void ZENTO_DIAG_LOG(std::string_view category, std::int32_t code, std::string_view text, StatusBlock& status) {
    ZENTO_SERVER_INITBLK(status);
    char tag[128];
    int length = std::snprintf(tag, sizeof tag, "[%.*s] [%d] ", static_cast<int>(category.size()), category.data(),
                               static_cast<int>(code));
    std::size_t tagLength = length < 0 ? 0 : static_cast<std::size_t>(length);
    if (tagLength >= sizeof tag) tagLength = sizeof tag - 1;
    loadLogFailure(appendLogLine(kDiagnosticLog, {tag, tagLength}, text), status);
}

void KernelDebugLog(const char* format, ...) {
    if (format == nullptr) return;
    // Debug lines are cut to this size rather than allocated for.
    char text[4096];
    va_list arguments;
    va_start(arguments, format);
    int length = std::vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    if (length < 0) return;
    std::size_t textLength = static_cast<std::size_t>(length) < sizeof text ? static_cast<std::size_t>(length)
                                                                             : sizeof text - 1;
    // Nobody to tell when the debug log itself fails.
    appendLogLine(kKernelLog, {}, {text, textLength});
}

void ZENTO_FILTER_CRLF(char* text) {
    if (text == nullptr) return;
    for (char* at = text; *at != '\0'; ++at) {
        if (*at == '\r' || *at == '\n') *at = ' ';
    }
}
