#include "storefile/stored_record.h"

#include <algorithm>

#include "msglib/coding.h"
#include "msglib/message_head.h"
#include "storefile/store_codes.h"

namespace {

bool allZero(std::span<const std::uint8_t> bytes) {
    return std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b == 0; });
}


}  // namespace

HeadVerdict readJudgedHead(std::int32_t handle, std::int64_t fileSize, std::int64_t position, RecordHead& head,
                           StatusBlock& status) {
    head.bodyCheck = readRecordHead(handle, position, head.bytes, status);
    if (statusFailed(status)) {
        return lastErrorCode(status) == storecode::kHeadCrcFailed ? HeadVerdict::CrcFailed : HeadVerdict::Unreadable;
    }
    // Zero bytes pass the head CRC (the CRC of zeros is 0) with a length of 0.
    if (allZero(head.bytes)) return HeadVerdict::Unwritten;
    head.length = decodeU32(head.bytes.data() + head::kLengthOffset);
    if (head.length < kMessageHeadSize) return HeadVerdict::TooShort;
    // The comparison counts the 12-byte prefix too.
    if (fileSize - position < std::int64_t{kRecordPrefixSize} + head.length) return HeadVerdict::PastEnd;
    return HeadVerdict::Sound;
}

bool readRecordMessage(std::int32_t handle, std::int64_t position, const RecordHead& head, Message& msg,
                       StatusBlock& status) {
    ZENTO_SERVER_INITBLK(status);
    if (!allocateMessage(msg, head.length)) {
        ZENTO_SERVER_LDBLK(kFacilityStore, storecode::kMessageNoMemory, status);
        return false;
    }
    std::copy(head.bytes.begin(), head.bytes.end(), msg.data());
    readRecordBody(handle, position, head.length, head.bodyCheck, msg.span(), status);
    if (!statusFailed(status)) return true;
    releaseMessage(msg);
    return false;
}

bool readStoredMessage(std::int32_t handle, std::int64_t fileSize, std::int64_t position, Message& msg,
                       StatusBlock& status) {
    ZENTO_SERVER_INITBLK(status);
    if (position < 0 || position >= fileSize) return false;
    RecordHead head;
    if (readJudgedHead(handle, fileSize, position, head, status) != HeadVerdict::Sound) return false;
    return readRecordMessage(handle, position, head, msg, status);
}
