#include "storefile/skip_log.h"

#include <cinttypes>
#include <cstdio>

#include "msglib/msglib.h"

void SkipLog::skipped(std::int64_t offset, std::int64_t length, const char* reason) {
    ranges_ += 1;
    bytes_ += static_cast<std::uint64_t>(length);
    char text[1024];
    std::snprintf(text, sizeof text, "Store file %s: skipped %" PRId64 " bytes at offset %" PRId64 ": %s",
                  storeFileName_.c_str(), length, offset, reason);
    StatusBlock logStatus;
    ZENTO_SERVER_LOGMSG(serviceName_, text, logStatus);
}
