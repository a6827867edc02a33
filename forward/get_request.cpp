#include "forward/get_request.h"

#include <cstring>
#include <memory>
#include <new>

#include "msglib/coding.h"
#include "msglib/library_codes.h"
#include "msglib/msglib.h"
#include "msglib/request_layout.h"

namespace {

using namespace getreq;

bool fail(std::int32_t code, StatusBlock& status) {
    ZENTO_SERVER_LDBLK(kFacilityBuilder, code, status);
    return false;
}

void upcaseField(char* field, std::size_t size) {
    for (std::size_t i = 0; i < size && field[i] != '\0'; ++i) {
        if (field[i] >= 'a' && field[i] <= 'z') field[i] = static_cast<char>(field[i] - 'a' + 'A');
    }
}

// The address replies go to: the destination when none is given; the given
// service on the destination's node when its node is empty; else the given
// address. Both names are cut to 31 characters.
bool workOutReplyTo(const AddressRecord* replyTo, const AddressRecord& destination, AddressRecord& result,
                    StatusBlock& status) {
    if (replyTo == nullptr) {
        result = destination;
    } else if (replyTo->service[0] == '\0') {
        return fail(kNoReplyToService, status);
    } else if (replyTo->node[0] == '\0') {
        std::memcpy(result.node, destination.node, sizeof result.node);
        std::memcpy(result.service, replyTo->service, sizeof result.service);
    } else {
        result = *replyTo;
    }
    result.node[sizeof result.node - 1] = '\0';
    result.service[sizeof result.service - 1] = '\0';
    return true;
}

// Width of one name: the first name's length plus its terminator, which must
// lie within the block.
std::uint32_t nameWidthOf(std::span<const char> tagNames) {
    const void* nul = std::memchr(tagNames.data(), '\0', tagNames.size());
    if (nul == nullptr) return 0;
    return static_cast<std::uint32_t>(static_cast<const char*>(nul) - tagNames.data()) + 1;
}

}  // namespace

void buildGetRequest(std::int32_t listId, const char* deviceName, std::int32_t requestWord, std::uint32_t tagCount,
                     std::uint32_t headValue, std::int32_t replyToFlag, std::int32_t timeout,
                     const AddressRecord* replyTo, AddressRecord destination, std::int32_t frequency,
                     std::span<const char> tagNames, std::span<const std::int32_t> pairs,
                     std::span<const DescriptorEntry> dataTemplate, Message& out, StatusBlock& status) {
    (void)timeout;
    ZENTO_SERVER_INITBLK(status);

    if (deviceName == nullptr) return (void)fail(kNoDeviceName, status);
    if (tagCount == 0) return (void)fail(kNoTags, status);
    if (headValue < 1 || headValue > 9) return (void)fail(kBadHeadValue, status);
    if (replyToFlag != 0 && replyToFlag != 1) return (void)fail(kBadReplyToFlag, status);

    AddressRecord replyAddress{};
    if (replyToFlag == 1 && !workOutReplyTo(replyTo, destination, replyAddress, status)) return;

    if (tagNames.empty()) return (void)fail(kNoTagNames, status);
    std::uint32_t nameWidth = nameWidthOf(tagNames);
    std::uint64_t nameBlockBytes = std::uint64_t{tagCount} * nameWidth;
    if (nameWidth == 0 || nameBlockBytes > tagNames.size() || nameBlockBytes > INT32_MAX) {
        return (void)fail(kTagNamesTooShort, status);
    }

    const bool withPairs = !pairs.empty() && replyToFlag == 1;
    if (withPairs && pairs.size() / 2 < tagCount) return (void)fail(kPairsTooShort, status);

    if (dataTemplate.empty()) return (void)fail(kNoDataTemplate, status);
    if (destination.node[0] == '\0') return (void)fail(kNoDestinationNode, status);

    std::int32_t templateEntries = ZENTO_SERVER_TEMPLATE_SIZE(dataTemplate, status);
    if (statusFailed(status) || templateEntries < 1 ||
        static_cast<std::uint32_t>(templateEntries) > dataTemplate.size()) {
        return (void)fail(kSizeFailed, status);
    }

    RequestShape shape;
    shape.withPairs = withPairs;
    shape.templateEntries = static_cast<std::uint32_t>(templateEntries);
    shape.tagCount = tagCount;
    shape.nameBlock = static_cast<std::uint32_t>(nameBlockBytes);
    ZENTO_SERVER_DSIZE(requestTable(shape).entries(), status);
    if (statusFailed(status)) return (void)fail(kSizeFailed, status);

    // The template and the pairs go into the message encoded, as a parsed
    // request holds them.
    const std::size_t templateBytes = std::size_t{kDescriptorBytes} * shape.templateEntries;
    const std::size_t pairBytes = withPairs ? std::size_t{8} * tagCount : 0;
    std::unique_ptr<std::uint8_t[]> encoded(new (std::nothrow) std::uint8_t[templateBytes + pairBytes]);
    if (!encoded) return (void)fail(kNoMemory, status);
    for (std::uint32_t i = 0; i < shape.templateEntries; ++i) {
        encodeDescriptor(encoded.get() + std::size_t{kDescriptorBytes} * i, dataTemplate[i]);
    }
    for (std::size_t i = 0; i < pairBytes / 4; ++i) encodeI32(encoded.get() + templateBytes + 4 * i, pairs[i]);

    GetRequestFields request;
    request.head.messageType = static_cast<std::int32_t>(headValue);
    request.head.destination = destination;
    if (replyToFlag == 1) {
        upcaseField(replyAddress.node, sizeof replyAddress.node);
        upcaseField(replyAddress.service, sizeof replyAddress.service);
        request.head.replyDestination = replyAddress;
    } else {
        request.head.replyDestination = destination;
    }
    request.head.source = destination;
    if (replyTo != nullptr) request.head.requestSource = *replyTo;
    request.items = {replyToFlag, listId, deviceName, requestWord, tagCount, frequency};
    request.dataTemplate = {encoded.get(), templateBytes};
    request.pairs = {encoded.get() + templateBytes, pairBytes};
    request.tagNames = {reinterpret_cast<const std::uint8_t*>(tagNames.data()), shape.nameBlock};
    switch (writeGetRequest(request, out)) {
        case 0:
            return;
        case libcode::kNoMemory:
            return (void)fail(kNoMemory, status);
        default:
            // The checks above leave the writer nothing to refuse but a size.
            return (void)fail(kSizeFailed, status);
    }
}
