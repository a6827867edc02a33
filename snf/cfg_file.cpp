#include <cstdint>
#include <cstring>
#include <limits>
#include <string_view>

#include "msglib/msglib.h"
#include "snf/snf_codes.h"
#include "snf/snf_config.h"
#include "snf/snf_state.h"
#include "storefile/file_handle.h"

namespace {

std::int32_t saturate(std::int64_t value) {
    if (value > std::numeric_limits<std::int32_t>::max()) return std::numeric_limits<std::int32_t>::max();
    if (value < std::numeric_limits<std::int32_t>::min()) return std::numeric_limits<std::int32_t>::min();
    return static_cast<std::int32_t>(value);
}

}  // namespace

std::int32_t parseDecimal(std::string_view text) {
    std::size_t at = 0;
    while (at < text.size() && (text[at] == ' ' || (text[at] >= '\t' && text[at] <= '\r'))) ++at;
    bool negative = false;
    if (at < text.size() && (text[at] == '+' || text[at] == '-')) negative = text[at++] == '-';
    // Past 2^33 the value saturates whatever follows, so the sum stops growing.
    constexpr std::int64_t kBeyond = std::int64_t{1} << 33;
    std::int64_t value = 0;
    for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
        if (value < kBeyond) value = value * 10 + (text[at] - '0');
    }
    return saturate(negative ? -value : value);
}

// The bytes of a line come one read at a time, as the runtime gives them; the
// buffer is never written past capacity + 1 bytes. A CR before the LF belongs
// to the line end, as the runtime's text mode reads files written on
// Windows. A capacity below 1 reads nothing and reports the end, so that a
// caller looping until the end cannot loop for ever.
std::int32_t ReadCfgLine(std::int32_t handle, char* buffer, std::int32_t capacity, StatusBlock& status) {
    ZENTO_SERVER_INITBLK(status);
    if (buffer == nullptr) return 1;
    buffer[0] = '\0';
    if (capacity < 1) return 1;
    std::int32_t length = 0;
    std::int32_t result = 0;
    while (length < capacity) {
        unsigned char byte = 0;
        readExact(handle, &byte, 1, status);
        if (statusFailed(status) || byte == 0xFF) {
            result = 1;
            break;
        }
        if (byte == '\n') {
            if (length > 0 && buffer[length - 1] == '\r') --length;
            break;
        }
        buffer[length++] = static_cast<char>(byte);
    }
    buffer[length] = '\0';
    return result;
}

// Fields run from the left: hours, minutes, the rest as seconds. "h:m" is
// hours and minutes; a bare number has no minutes field and gives 13116 with
// 0, as an empty minutes field does. Each field saturates and the sum is
// taken in 64 bits, so no period overflows; the result saturates to 32 bits.
std::int32_t ParseCfgPeriod(const char* text, StatusBlock& status) {
    ZENTO_SERVER_INITBLK(status);
    std::string_view rest = text != nullptr ? std::string_view(text) : std::string_view();
    while (!rest.empty() && rest.front() == ':') rest.remove_prefix(1);
    if (rest.empty()) {
        ZENTO_SERVER_LDBLK(kFacilityStore, snfcode::kPeriodEmpty, status);
        return 0;
    }
    const std::size_t firstEnd = rest.find(':');
    const std::string_view hours = rest.substr(0, firstEnd);
    rest = firstEnd == std::string_view::npos ? std::string_view() : rest.substr(firstEnd + 1);
    const std::size_t secondEnd = rest.find(':');
    const std::string_view minutes = rest.substr(0, secondEnd);
    if (minutes.empty()) {
        ZENTO_SERVER_LDBLK(kFacilityStore, snfcode::kPeriodNoMinutes, status);
        return 0;
    }
    const std::string_view seconds = secondEnd == std::string_view::npos ? std::string_view() : rest.substr(secondEnd + 1);
    const std::int64_t total = std::int64_t{parseDecimal(hours)} * 3600 + std::int64_t{parseDecimal(minutes)} * 60 +
                               parseDecimal(seconds);
    return saturate(total);
}
