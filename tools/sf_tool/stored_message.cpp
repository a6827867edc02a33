#include "tools/sf_tool/stored_message.h"

#include <algorithm>
#include <array>

#include "msglib/coding.h"
#include "msglib/message_head.h"
#include "storefile/store_format.h"
#include "tools/sf_tool/store_writer.h"

bool readStoredMessage(std::int32_t handle, std::int64_t recordOffset, Message& message, std::string& error) {
    StatusBlock status;
    std::array<std::uint8_t, kMessageHeadSize> head{};
    const std::uint32_t bodyCheck = readRecordHead(handle, recordOffset, head, status);
    const std::uint32_t length = decodeU32(head.data() + head::kLengthOffset);
    if (statusFailed(status) || length < kMessageHeadSize) {
        error = "the record at offset " + std::to_string(recordOffset) + " has no readable head";
        return false;
    }
    if (!allocateMessage(message, length)) {
        error = "no memory for a message of " + std::to_string(length) + " bytes";
        return false;
    }
    std::copy(head.begin(), head.end(), message.data());
    readRecordBody(handle, recordOffset, length, bodyCheck, message.span(), status);
    if (statusFailed(status)) {
        releaseMessage(message);
        error = "the message at offset " + std::to_string(recordOffset) + " cannot be read (" +
                describeStatus(status) + ")";
        return false;
    }
    return true;
}
