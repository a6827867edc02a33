#include "forward/end_of_file_notice.h"

#include <array>
#include <cstdio>

#include "forward/get_request.h"
#include "msglib/msglib.h"
#include "recover/recover_context.h"

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

}  // namespace

void sendEndOfFileNotice(RecoverContext& ctx, StatusBlock& status) {
    StatusBlock acquisitionStatus;
    ZENTO_SERVER_INITBLK(status);
    ZENTO_SERVER_INITBLK(acquisitionStatus);
    TimeStamp valueTime{};
    ZENTO_SERVER_GETTIME(valueTime);

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
