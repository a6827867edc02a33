#include "recover/operator_lines.h"

#include <cstdio>

#include "msglib/msglib.h"

void tellOperator(std::string_view logName, std::string_view text) {
    std::fprintf(stderr, "%.*s: %.*s\n", static_cast<int>(kProgramName.size()), kProgramName.data(),
                 static_cast<int>(text.size()), text.data());
    std::fflush(stderr);
    StatusBlock logStatus;
    ZENTO_SERVER_LOGMSG(logName, text, logStatus);
}

std::string shownText(std::string_view bytes, std::size_t limit) {
    std::string shown;
    for (std::size_t i = 0; i < bytes.size() && i < limit; ++i) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            shown += static_cast<char>(c);
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
            shown += escaped;
        }
    }
    if (bytes.size() > limit) shown += "...";
    return shown;
}

bool isPlainName(std::string_view name) {
    if (name.empty()) return false;
    for (char c : name) {
        if (c <= 0x20 || c >= 0x7F) return false;
    }
    return true;
}
