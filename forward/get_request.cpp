#include "forward/get_request.h"

#include <array>
#include <cstring>

#include "msglib/address_coding.h"
#include "msglib/coding.h"
#include "msglib/message_head.h"
#include "msglib/msglib.h"

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

struct Layout {
    bool withPairs = false;
    std::uint32_t entries = 0;
    std::uint32_t templateEntries = 0;
    std::uint32_t tagCount = 0;
    std::uint32_t nameBlockBytes = 0;
};

std::uint32_t fillDescriptorTable(const Layout& layout, std::array<DescriptorEntry, kEntriesWithPairs>& table) {
    std::uint32_t n = 0;
    auto add = [&](std::uint16_t type, std::uint32_t size, std::uint32_t count) {
        table[n++] = DescriptorEntry{type, 0, size, count};
    };
    add(kDescStruct, layout.entries - (layout.withPairs ? 7 : 5), 1);
    add(kDescInt, 4, 1);   // pairs flag
    add(kDescInt, 4, 1);   // reply-to flag
    add(kDescInt, 4, 1);   // list id
    add(kDescChars, 32, 1);  // device name
    add(kDescInt, 4, 1);   // request word
    add(kDescInt, 4, 1);   // number of tags
    add(kDescInt, 4, 1);   // frequency
    add(kDescStruct, 4, layout.templateEntries);
    add(kDescShort, 2, 1);
    add(kDescShort, 2, 1);
    add(kDescInt, 4, 1);
    add(kDescInt, 4, 1);
    if (layout.withPairs) {
        add(kDescStruct, 2, layout.tagCount);
        add(kDescInt, 4, 1);
        add(kDescInt, 4, 1);
    }
    add(kDescChars, layout.nameBlockBytes, 1);
    return n;
}

std::uint32_t creationTimeMs() { return static_cast<std::uint32_t>(clockMilliseconds()); }

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

    Layout layout;
    layout.withPairs = !pairs.empty() && replyToFlag == 1;
    if (layout.withPairs && pairs.size() / 2 < tagCount) return (void)fail(kPairsTooShort, status);

    if (dataTemplate.empty()) return (void)fail(kNoDataTemplate, status);
    if (destination.node[0] == '\0') return (void)fail(kNoDestinationNode, status);

    std::int32_t templateEntries = ZENTO_SERVER_TEMPLATE_SIZE(dataTemplate, status);
    if (statusFailed(status) || templateEntries < 1 ||
        static_cast<std::uint32_t>(templateEntries) > dataTemplate.size()) {
        return (void)fail(kSizeFailed, status);
    }

    layout.entries = layout.withPairs ? kEntriesWithPairs : kEntriesWithoutPairs;
    layout.templateEntries = static_cast<std::uint32_t>(templateEntries);
    layout.tagCount = tagCount;
    layout.nameBlockBytes = static_cast<std::uint32_t>(nameBlockBytes);
    std::array<DescriptorEntry, kEntriesWithPairs> table{};
    std::uint32_t entries = fillDescriptorTable(layout, table);

    std::int32_t dataSize = ZENTO_SERVER_DSIZE(std::span<const DescriptorEntry>(table.data(), entries), status);
    if (statusFailed(status) || dataSize < 0) return (void)fail(kSizeFailed, status);
    std::uint64_t total = head::kSize + std::uint64_t{kDescriptorBytes} * entries + static_cast<std::uint64_t>(dataSize);
    if (total > UINT32_MAX) return (void)fail(kSizeFailed, status);

    if (!allocateMessage(out, static_cast<std::uint32_t>(total))) {
        releaseMessage(out);
        return (void)fail(kNoMemory, status);
    }

    std::uint8_t* p = out.data();
    encodeU16(p + head::kMagicOffset, head::kMagic);
    encodeU32(p + head::kLengthOffset, static_cast<std::uint32_t>(total));
    encodeU32(p + head::kCreationTimeOffset, creationTimeMs());
    encodeU32(p + head::kMessageTypeOffset, headValue);
    encodeAddress(p + head::kDestinationOffset, destination);
    if (replyToFlag == 1) {
        upcaseField(replyAddress.node, sizeof replyAddress.node);
        upcaseField(replyAddress.service, sizeof replyAddress.service);
        encodeAddress(p + head::kReplyDestinationOffset, replyAddress);
    } else {
        encodeAddress(p + head::kReplyDestinationOffset, destination);
    }
    encodeU32(p + head::kTransTypeOffset, static_cast<std::uint32_t>(kTransGet));
    encodeAddress(p + head::kSourceOffset, destination);
    if (replyTo != nullptr) encodeAddress(p + head::kRequestSourceOffset, *replyTo);
    encodeU32(p + head::kVersionOffset, 1);
    encodeU32(p + head::kDescriptorCountOffset, entries);

    p += head::kSize;
    for (std::uint32_t i = 0; i < entries; ++i, p += kDescriptorBytes) encodeDescriptor(p, table[i]);

    auto putI32 = [&p](std::int32_t v) {
        encodeI32(p, v);
        p += 4;
    };
    putI32(layout.withPairs ? 1 : 0);
    putI32(replyToFlag);
    putI32(listId);
    std::memcpy(p, deviceName, 32);
    p += 32;
    putI32(requestWord);
    putI32(static_cast<std::int32_t>(tagCount));
    putI32(frequency);
    for (std::uint32_t i = 0; i < layout.templateEntries; ++i, p += kDescriptorBytes) {
        encodeDescriptor(p, dataTemplate[i]);
    }
    if (layout.withPairs) {
        for (std::uint32_t i = 0; i < 2 * tagCount; ++i) putI32(pairs[i]);
    }
    std::memcpy(p, tagNames.data(), layout.nameBlockBytes);
}
