#include "msglib/head_writer.h"
#include "msglib/library_codes.h"
#include "msglib/msglib.h"

void buildNotification(std::int32_t transType, const AddressRecord& source, const AddressRecord& destination,
                       std::uint32_t transNum, Message& out, StatusBlock& status) {
    ZENTO_SERVER_INITBLK(status);
    if (!allocateMessage(out, head::kSize)) {
        ZENTO_SERVER_LDBLK(kFacilityLibrary, libcode::kNoMemory, status);
        return;
    }
    HeadFields fields;
    fields.length = head::kSize;
    fields.messageType = kMsgNotification;
    fields.transType = transType;
    fields.transNum = transNum;
    fields.destination = destination;
    // An answer to a notification, if any, goes back to its sender.
    fields.replyDestination = source;
    fields.source = source;
    fields.requestSource = source;
    fields.descriptorCount = 0;
    writeHead(out.data(), fields);
}
