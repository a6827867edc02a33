#include "scanlist/scan_entry.h"

#include <cstring>

#include "msglib/coding.h"
#include "msglib/message_head.h"
#include "msglib/msglib.h"
#include "scanlist/scanlist_codes.h"

namespace {

constexpr char kDummyName[] = "-";

}  // namespace

void makeDummyTagMessage(MsgView request, Message& dummy, StatusBlock& status) {
    ZENTO_SERVER_INITBLK(status);
    releaseMessage(dummy);
    if (request.empty()) {
        ZENTO_SERVER_LDBLK(kFacilityStore, scancode::kDummyNoRequest, status);
        return;
    }
    std::uint32_t width = 0;
    StatusBlock tagStatus;
    const char* firstName = ZENTO_SERVER_TAG(request, 0, &width, tagStatus);
    if (firstName == nullptr || width == 0) {
        appendStatusEntries(tagStatus, status);
        ZENTO_SERVER_LDBLK(kFacilityStore, scancode::kDummyNoNames, status);
        return;
    }
    // The names end the request.
    const std::size_t namesAt = static_cast<std::size_t>(reinterpret_cast<const std::uint8_t*>(firstName) -
                                                         request.data());
    const std::uint32_t count = static_cast<std::uint32_t>((request.size() - namesAt) / width);
    std::uint32_t blockBytes = 0;
    std::unique_ptr<char[]> names = createDummyTags(count, kDummyName, blockBytes);
    const std::uint64_t length = std::uint64_t{namesAt} + blockBytes;
    if (!names || length > 0x7FFFFFFF || !allocateMessage(dummy, static_cast<std::uint32_t>(length))) {
        releaseMessage(dummy);
        ZENTO_SERVER_LDBLK(kFacilityStore, scancode::kDummyNoMemory, status);
        return;
    }
    std::memcpy(dummy.data(), request.data(), namesAt);
    std::memcpy(dummy.data() + namesAt, names.get(), blockBytes);
    encodeU32(dummy.data() + head::kLengthOffset, static_cast<std::uint32_t>(length));
}
