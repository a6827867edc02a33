#include "msglib/library_codes.h"
#include "msglib/msglib.h"
#include "msglib/parse_codes.h"
#include "msglib/reply_layout.h"
#include "msglib/request_layout.h"

namespace {

void loadCauses(const StatusBlock& causes, StatusBlock& status) {
    int count = statusEntryCount(causes);
    for (int i = 0; i < count; ++i) ZENTO_SERVER_LDBLK(causes.facility[i], causes.error[i], status);
}

ReplyContent answerTo(const GetRequestView& request) {
    ReplyContent content;
    content.transType = kTransGet;
    content.transNum = request.transNum;
    // Back to whoever the request named for its reply, from the service it
    // was addressed to, still naming the requester.
    content.destination = request.replyDestination;
    content.replyDestination = request.destination;
    content.source = request.destination;
    content.requestSource = request.requestSource;
    content.replyToFlag = request.replyToFlag;
    content.listId = request.listId;
    content.deviceName = request.deviceName;
    content.requestWord = request.requestWord;
    content.tagCount = request.tagCount;
    content.frequency = request.frequency;
    content.dataTemplate = DescriptorTableView::fromBytes(request.dataTemplate);
    content.valueBytes = request.valueBytes;
    content.pairs = request.pairs;
    content.tagNames = request.tagNames;
    return content;
}

}  // namespace

// A reply is made only from data that was acquired: when acquisitionStatus
// shows a failure, its entries become the causes of kAcquisitionFailed and no
// reply is built, since the layout has no place for an acquisition error.
void ZENTO_SERVER_BLD_GETREPLY(MsgView request, const StatusBlock& acquisitionStatus,
                               std::span<const std::uint8_t> values, std::span<const std::int32_t> valueStatus,
                               const TimeStamp& valueTime, Message& reply, StatusBlock& status) {
    ZENTO_SERVER_INITBLK(status);
    releaseMessage(reply);
    if (statusFailed(acquisitionStatus)) {
        loadCauses(acquisitionStatus, status);
        ZENTO_SERVER_LDBLK(kFacilityLibrary, libcode::kAcquisitionFailed, status);
        return;
    }
    GetRequestView parsed;
    if (std::int32_t fault = readGetRequest(request, parsed); fault != 0) {
        ZENTO_SERVER_LDBLK(kFacilityParser, fault, status);
        ZENTO_SERVER_LDBLK(kFacilityParser, parsecode::kUnableToParse, status);
        ZENTO_SERVER_LDBLK(kFacilityLibrary, libcode::kBadRequest, status);
        return;
    }
    if (values.size() < parsed.valueBytes) {
        ZENTO_SERVER_LDBLK(kFacilityLibrary, libcode::kValuesShort, status);
        return;
    }
    std::uint64_t statusWords = static_cast<std::uint64_t>(parsed.tagCount) * 3;
    if (valueStatus.size() < statusWords) {
        ZENTO_SERVER_LDBLK(kFacilityLibrary, libcode::kValueStatusShort, status);
        return;
    }
    ReplyContent content = answerTo(parsed);
    content.values = values.first(parsed.valueBytes);
    content.statusWords = valueStatus.first(static_cast<std::size_t>(statusWords));
    content.valueTime = valueTime;
    if (std::int32_t fault = writeReply(content, reply); fault != 0) {
        ZENTO_SERVER_LDBLK(kFacilityLibrary, fault, status);
    }
}
