#include "forward/end_of_file_notice.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>

#include "forward/forwarding.h"
#include "forward/get_request.h"
#include "msglib/msglib.h"
#include "storefile/store_file.h"
#include "storefile/stored_record.h"

namespace {

constexpr char kEmptyTag[] = "STOREFILEISEMPTY";
constexpr std::int32_t kNoticeListId = 9999;
constexpr std::int32_t kNoticeFrequency = 100;
constexpr std::int32_t kNoticeWait = 300;

std::string_view selfService(const ForwardState& fwd) {
    const AddressRecord& self = fwd.settings.selfAddress;
    return fixedText(self.service, sizeof self.service);
}

std::array<char, 80> emptyTagText() {
    std::array<char, 80> text{};
    setFixedText(text.data(), text.size(), kEmptyTag);
    return text;
}

// The error stays in the caller's block for the main loop to see, so the log
// call gets a block of its own.
void logNoticeError(const ForwardState& fwd, const char* what, const StatusBlock& status) {
    char line[1024];
    std::snprintf(line, sizeof line, "%s ec=%d\n", what, firstErrorCode(status));
    StatusBlock logStatus;
    ZENTO_SERVER_LOGMSG(selfService(fwd), line, logStatus);
}

// A run that forwarded nothing has no destination. When an earlier run was
// stopped between the last acknowledgement and its notice, the store file
// still holds the message it forwarded last: the notice goes where that one
// went, or it would never be sent. A file that never held a message gets no
// notice, as nobody is known to wait for one.
void addressToNewestMessage(ForwardState& fwd, const StoreFile& store) {
    Message newest;
    StatusBlock readStatus;
    if (!readStoredMessage(store.storeFileHandle, store.fileSize, store.header.lastMsgOffset, newest, readStatus)) {
        return;
    }
    addressToRequester(fwd, newest.view());
    const std::int32_t transType = ZENTO_SERVER_TRANSTYPE(newest.view());
    if (transType == kTransGet || transType == kTransUnsolicited) {
        ReplyFields fields;
        StatusBlock parseStatus;
        parseStoredReply(newest.view(), fields, parseStatus);
        if (!statusFailed(parseStatus) && fields.deviceName != nullptr) {
            std::memcpy(fwd.deviceName, fields.deviceName, sizeof fwd.deviceName);
        }
    }
    char line[1024];
    std::snprintf(line, sizeof line,
                  "No message forwarded in this run: the end-of-file notice goes to %.32s on node %.32s, the "
                  "destination of the newest stored message\n",
                  fwd.destinationAddress.service, fwd.destinationAddress.node);
    StatusBlock logStatus;
    ZENTO_SERVER_LOGMSG(selfService(fwd), line, logStatus);
}

}  // namespace

void sendEndOfFileNotice(ForwardState& fwd, const StoreFile& store, StatusBlock& status) {
    StatusBlock acquisitionStatus;
    ZENTO_SERVER_INITBLK(status);
    ZENTO_SERVER_INITBLK(acquisitionStatus);
    TimeStamp valueTime{};
    ZENTO_SERVER_GETTIME(valueTime);
    if (!fwd.addressedAny) addressToNewestMessage(fwd, store);

    const std::array<char, 80> tagNames = emptyTagText();
    const std::array<char, 80> value = emptyTagText();
    const std::array<DescriptorEntry, 2> dataTemplate = {
        DescriptorEntry{kDescStruct, 0, 1, 1},
        DescriptorEntry{kDescChars, 0, sizeof kEmptyTag, 1},
    };
    const std::array<std::int32_t, 3> valueStatus = {-1, 13, 0};
    // The one tag's pair carries no meaning for the destination.
    const std::array<std::int32_t, 2> pair = {0, 0};

    Message request;
    buildGetRequest(kNoticeListId, fwd.deviceName, 0, 1, 1, 1, 300, &fwd.settings.selfAddress, fwd.destinationAddress,
                    kNoticeFrequency, tagNames, pair, dataTemplate, request, status);
    if (statusFailed(status)) {
        logNoticeError(fwd, "Error creating a shutdown message for recover async task", status);
        return;
    }

    Message reply;
    ZENTO_SERVER_BLD_GETREPLY(request.view(), acquisitionStatus,
                              std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(value.data()),
                                                            value.size()),
                              valueStatus, valueTime, reply, status);
    releaseMessage(request);
    if (statusFailed(status)) {
        logNoticeError(fwd, "Error building shutdown message for recover async task", status);
        return;
    }

    ZENTO_SERVER_SET_MSGDEST(reply.span(), fwd.destinationAddress);
    ZENTO_SERVER_SET_MSGSRC(reply.span(), fwd.settings.selfAddress);
    ZENTO_SERVER_SET_REPDEST(reply.span(), fwd.destinationAddress);
    ZENTO_SERVER_SEND(kNoticeWait, reply.view(), status);
    if (statusFailed(status)) {
        logNoticeError(fwd, "Error sending shutdown message to recover async task", status);
    }
    // The reply is released when it leaves scope, sent or not.
}
