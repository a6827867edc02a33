#include "forward/end_of_file_notice.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>

#include "forward/forwarding.h"
#include "forward/get_request.h"
#include "msglib/msglib.h"
#include "recover/recover_context.h"
#include "storefile/store_format.h"

namespace {

constexpr char kEmptyTag[] = "STOREFILEISEMPTY";
constexpr std::int32_t kNoticeListId = 9999;
constexpr std::int32_t kNoticeFrequency = 100;
constexpr std::int32_t kNoticeWait = 300;

std::array<char, 80> emptyTagText() {
    std::array<char, 80> text{};
    setFixedText(text.data(), text.size(), kEmptyTag);
    return text;
}

// The error stays in the caller's block for the main loop to see, so the log
// call gets a block of its own.
void logNoticeError(const RecoverContext& ctx, const char* what, const StatusBlock& status) {
    char line[1024];
    std::snprintf(line, sizeof line, "%s ec=%d\n", what, firstErrorCode(status));
    StatusBlock logStatus;
    ZENTO_SERVER_LOGMSG(fixedText(ctx.selfAddress.service, sizeof ctx.selfAddress.service), line, logStatus);
}

// The newest stored message, read whole and checked; false when the store
// file holds none there (it never held one, or the record is damaged).
bool readNewestMessage(const RecoverContext& ctx, Message& msg) {
    const std::int64_t position = ctx.header.lastMsgOffset;
    if (position < 0 || position >= ctx.fileSize) return false;
    StatusBlock status;
    std::array<std::uint8_t, kMessageHeadSize> head{};
    const std::uint32_t bodyCheck = readRecordHead(ctx.storeFileHandle, position, head, status);
    if (statusFailed(status)) return false;
    const std::uint32_t length = ZENTO_SERVER_MSGSIZE(head);
    if (length < kMessageHeadSize || ctx.fileSize - position < std::int64_t{kRecordPrefixSize} + length) return false;
    if (!allocateMessage(msg, length)) return false;
    std::copy(head.begin(), head.end(), msg.data());
    readRecordBody(ctx.storeFileHandle, position, length, bodyCheck, msg.span(), status);
    return !statusFailed(status);
}

// A run that forwarded nothing has no destination. When an earlier run was
// stopped between the last acknowledgement and its notice, the store file
// still holds the message it forwarded last: the notice goes where that one
// went, or it would never be sent. A file that never held a message gets no
// notice, as nobody is known to wait for one.
void addressToNewestMessage(RecoverContext& ctx) {
    Message newest;
    if (!readNewestMessage(ctx, newest)) return;
    addressToRequester(ctx, newest.view());
    const std::int32_t transType = ZENTO_SERVER_TRANSTYPE(newest.view());
    if (transType == kTransGet || transType == kTransUnsolicited) {
        ReplyFields fields;
        StatusBlock parseStatus;
        parseStoredReply(newest.view(), fields, parseStatus);
        if (!statusFailed(parseStatus) && fields.deviceName != nullptr) {
            std::memcpy(ctx.deviceName, fields.deviceName, sizeof ctx.deviceName);
        }
    }
    char line[1024];
    std::snprintf(line, sizeof line,
                  "No message forwarded in this run: the end-of-file notice goes to %.32s on node %.32s, the "
                  "destination of the newest stored message\n",
                  ctx.destinationAddress.service, ctx.destinationAddress.node);
    StatusBlock logStatus;
    ZENTO_SERVER_LOGMSG(fixedText(ctx.selfAddress.service, sizeof ctx.selfAddress.service), line, logStatus);
}

}  // namespace

void sendEndOfFileNotice(RecoverContext& ctx, StatusBlock& status) {
    StatusBlock acquisitionStatus;
    ZENTO_SERVER_INITBLK(status);
    ZENTO_SERVER_INITBLK(acquisitionStatus);
    TimeStamp valueTime{};
    ZENTO_SERVER_GETTIME(valueTime);
    if (ctx.destinationAddress.node[0] == '\0') addressToNewestMessage(ctx);

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
    buildGetRequest(kNoticeListId, ctx.deviceName, 0, 1, 1, 1, 300, &ctx.selfAddress, ctx.destinationAddress,
                    kNoticeFrequency, tagNames, pair, dataTemplate, request, status);
    if (statusFailed(status)) {
        logNoticeError(ctx, "Error creating a shutdown message for recover async task", status);
        return;
    }

    Message reply;
    ZENTO_SERVER_BLD_GETREPLY(request.view(), acquisitionStatus,
                              std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(value.data()),
                                                            value.size()),
                              valueStatus, valueTime, reply, status);
    releaseMessage(request);
    if (statusFailed(status)) {
        logNoticeError(ctx, "Error building shutdown message for recover async task", status);
        return;
    }

    ZENTO_SERVER_SET_MSGDEST(reply.span(), ctx.destinationAddress);
    ZENTO_SERVER_SET_MSGSRC(reply.span(), ctx.selfAddress);
    ZENTO_SERVER_SET_REPDEST(reply.span(), ctx.destinationAddress);
    ZENTO_SERVER_SEND(kNoticeWait, reply.view(), status);
    if (statusFailed(status)) {
        logNoticeError(ctx, "Error sending shutdown message to recover async task", status);
    }
    // The reply is released when it leaves scope, sent or not.
}
