#include "tools/sf_tool/stored_message.h"

#include "storefile/file_handle.h"
#include "storefile/stored_record.h"
#include "tools/sf_tool/store_writer.h"

bool readStoredMessage(std::int32_t handle, std::int64_t recordOffset, Message& message, std::string& error) {
    StatusBlock status;
    const std::int64_t fileSize = storeFileSize(handle, status);
    if (!statusFailed(status) && readStoredMessage(handle, fileSize, recordOffset, message, status)) return true;
    error = "the message at offset " + std::to_string(recordOffset) + " cannot be read";
    if (statusFailed(status)) error += " (" + describeStatus(status) + ")";
    return false;
}
