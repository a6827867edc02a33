#include "storefile/skip_log.h"

#include <cinttypes>
#include <cstdio>

#include "msglib/msglib.h"

void SkipLog::log(const char* text) {
    StatusBlock logStatus;
    ZENTO_SERVER_LOGMSG(serviceName_, text, logStatus);
}

void SkipLog::skipped(std::int64_t offset, std::int64_t length, const char* reason) {
    ranges_ += 1;
    bytes_ += static_cast<std::uint64_t>(length);
    char text[1024];
    std::snprintf(text, sizeof text, "Store file %s: skipped %" PRId64 " bytes at offset %" PRId64 ": %s",
                  storeFileName_.c_str(), length, offset, reason);
    log(text);
}

void SkipLog::truncatedRecord(std::int64_t offset, std::int64_t bytesPresent) {
    truncatedOffset_ = offset;
    truncatedBytes_ = bytesPresent;
    char text[1024];
    std::snprintf(text, sizeof text,
                  "Store file %s: the record at offset %" PRId64 " runs past the end of the file (%" PRId64
                  " of its bytes are there): the data ends there",
                  storeFileName_.c_str(), offset, bytesPresent);
    log(text);
}
