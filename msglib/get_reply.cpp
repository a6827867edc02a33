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
    content.head.transType = kTransGet;
    content.head.transNum = request.head.transNum;
    // Back to whoever the request named for its reply, from the service it
    // was addressed to, still naming the requester.
    content.head.destination = request.head.replyDestination;
    content.head.replyDestination = request.head.destination;
    content.head.source = request.head.destination;
    content.head.requestSource = request.head.requestSource;
    content.items = request.items;
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
    std::uint64_t statusWords = static_cast<std::uint64_t>(parsed.items.tagCount) * 3;
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
