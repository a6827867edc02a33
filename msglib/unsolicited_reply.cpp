#include "msglib/descriptor_walk.h"
#include "msglib/library_codes.h"
#include "msglib/msglib.h"
#include "msglib/reply_layout.h"

namespace {

// A pair array is either absent or covers every tag; a longer buffer gives
// its first tagCount pairs.
bool takePairs(std::span<const std::uint8_t> given, std::uint64_t tagCount, std::span<const std::uint8_t>& pairs) {
    pairs = {};
    if (given.empty()) return true;
    if (given.size() < tagCount * 8) return false;
    pairs = given.first(static_cast<std::size_t>(tagCount * 8));
    return true;
}

// The template must be one item that spans all of its entries; 0 or a code.
std::int32_t checkTemplate(std::span<const DescriptorEntry> dataTemplate, std::uint32_t& valueBytes) {
    if (dataTemplate.empty()) return libcode::kDescriptorEmpty;
    ItemExtent extent;
    if (std::int32_t fault = walkDescriptorItem(DescriptorTableView(dataTemplate), 0, extent); fault != 0) {
        return fault;
    }
    if (extent.entries != dataTemplate.size()) return libcode::kBadReplyInput;
    valueBytes = static_cast<std::uint32_t>(extent.bytes);
    return 0;
}

void fail(std::int32_t code, StatusBlock& status) { ZENTO_SERVER_LDBLK(kFacilityLibrary, code, status); }

void failWithCause(std::int32_t cause, std::int32_t code, StatusBlock& status) {
    if (cause != code) fail(cause, status);
    fail(code, status);
}

}  // namespace

void ZENTO_SERVER_BLD_UNSREPLY(const UnsolicitedReplyInput& input, Message& reply, StatusBlock& status) {
    ZENTO_SERVER_INITBLK(status);
    releaseMessage(reply);
    if (input.tagCount < 1 || input.deviceName == nullptr) {
        fail(libcode::kBadReplyInput, status);
        return;
    }
    std::uint64_t tags = static_cast<std::uint64_t>(input.tagCount);
    // The names are tagCount names of one width, the whole span.
    if (input.tagNames.size() < tags || input.tagNames.size() % tags != 0) {
        fail(libcode::kBadReplyInput, status);
        return;
    }
    ReplyContent content;
    if (std::int32_t fault = checkTemplate(input.dataTemplate, content.valueBytes); fault != 0) {
        failWithCause(fault, libcode::kBadReplyInput, status);
        return;
    }
    if (input.values.size() < content.valueBytes) {
        fail(libcode::kValuesShort, status);
        return;
    }
    if (input.statusRecords.size() < tags * 12) {
        fail(libcode::kValueStatusShort, status);
        return;
    }
    if (!takePairs(input.pairs, tags, content.pairs) || !takePairs(input.secondPairs, tags, content.secondPairs)) {
        fail(libcode::kBadReplyInput, status);
        return;
    }

    content.head.transType = kTransUnsolicited;
    content.head.transNum = 0;
    content.head.destination = input.destination;
    content.head.replyDestination = input.replyDestination;
    // The sender is the service replies come back to; the client the values
    // are for stands as the requester, which is where a stored copy is
    // forwarded to later.
    content.head.source = input.replyDestination;
    content.head.requestSource = input.destination;
    content.items.replyToFlag = 0;
    content.items.listId = input.listId;
    content.items.deviceName = input.deviceName;
    content.items.requestWord = input.requestWord;
    content.items.tagCount = static_cast<std::uint32_t>(input.tagCount);
    content.items.frequency = input.frequency;
    content.dataTemplate = DescriptorTableView(input.dataTemplate);
    content.tagNames = input.tagNames;
    content.values = input.values.first(content.valueBytes);
    content.statusBytes = input.statusRecords.first(static_cast<std::size_t>(tags * 12));
    ZENTO_SERVER_GETTIME(content.valueTime);
    if (std::int32_t fault = writeReply(content, reply); fault != 0) {
        ZENTO_SERVER_LDBLK(kFacilityLibrary, fault, status);
    }
}
