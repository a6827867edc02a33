#include "scanlist/scan_entry.h"

#include <climits>
#include <cstring>
#include <vector>

#include "diag/list_reports.h"
#include "lists/list_rules.h"
#include "msglib/coding.h"
#include "msglib/message_head.h"
#include "msglib/msglib.h"
#include "msglib/parse_codes.h"
#include "msglib/same_address.h"
#include "scanlist/scanlist_codes.h"

namespace {

constexpr char kDummyName[] = "-";
constexpr std::int32_t kReportAddedOrModified = 1;

void fail(std::int32_t code, StatusBlock& status) { ZENTO_SERVER_LDBLK(kFacilityStore, code, status); }

// What an add puts into its slot, made before the slot is touched.
struct PreparedEntry {
    Message request;
    Message dummy;
    ScanEntryTags tags;
};

// The slot's tag state for the request: deadbands, zeroed status records and
// values.
bool prepareTagState(MsgView request, std::uint32_t tagCount, std::span<const std::uint8_t> secondPairs,
                     ScanEntryTags& state, StatusBlock& status) {
    GetRequestSlots slots;
    StatusBlock cause;
    ZENTO_SERVER_PARSE_GETREQ(request, slots, cause);
    if (statusFailed(cause)) {
        appendStatusEntries(cause, status);
        fail(scancode::kAddTemplateParse, status);
        return false;
    }
    const std::vector<DescriptorEntry> dataTemplate = decodeDescriptors(slots.dataTemplate);
    std::int32_t valueBytes = 0;
    ZENTO_DCONV_SIZE(dataTemplate, valueBytes, cause);
    if (statusFailed(cause) || valueBytes < 0) {
        appendStatusEntries(cause, status);
        fail(scancode::kAddTemplateSize, status);
        return false;
    }
    // The deadbands must cover the request's tags, which they describe.
    if (tagCount != static_cast<std::uint32_t>(slots.tagCount) || secondPairs.size() < std::uint64_t{tagCount} * 8) {
        fail(scancode::kTagSetInconsistent, status);
        return false;
    }
    if (!allocateBytes(state.deadbands, tagCount * 8) || !allocateBytes(state.tagStates, tagCount * 12) ||
        !allocateBytes(state.lastValues, static_cast<std::uint32_t>(valueBytes))) {
        clearScanEntryTags(state);
        fail(scancode::kAddNoMemory, status);
        return false;
    }
    std::memcpy(state.deadbands.data(), secondPairs.data(), std::size_t{tagCount} * 8);
    state.tagCount = tagCount;
    state.word4 = 0;
    return true;
}

bool prepareEntry(MsgView request, std::int32_t listId, const AddressRecord& destination,
                  const AddressRecord& replyDestination, std::int32_t dummyTagFlag, std::uint32_t tagCount,
                  std::span<const std::uint8_t> secondPairs, PreparedEntry& entry, StatusBlock& status) {
    if (request.size() < head::kSize) {
        ZENTO_SERVER_LDBLK(kFacilityParser, parsecode::kShorterThanHead, status);
        fail(scancode::kAddTemplateParse, status);
        return false;
    }
    if (!allocateMessage(entry.request, static_cast<std::uint32_t>(request.size()))) {
        fail(scancode::kAddNoMemory, status);
        return false;
    }
    std::memcpy(entry.request.data(), request.data(), request.size());
    // With tags up to 2^29 a count of bytes below stays within 32 bits;
    // larger counts cannot come from a request of 31 bits.
    if (!secondPairs.empty() && tagCount >= 1 &&
        (tagCount > 0x0FFFFFFF || !prepareTagState(request, tagCount, secondPairs, entry.tags, status))) {
        if (!statusFailed(status)) fail(scancode::kTagSetInconsistent, status);
        return false;
    }
    if (dummyTagFlag == 1) {
        StatusBlock cause;
        makeDummyTagMessage(entry.request.view(), entry.dummy, cause);
        if (!statusFailed(cause) && listId < 0 && listId != INT32_MIN) {
            ZENTO_SERVER_SET_LISTID(entry.dummy.span(), -listId, cause);
        }
        if (statusFailed(cause)) {
            appendStatusEntries(cause, status);
            fail(scancode::kDummyFailed, status);
            return false;
        }
        ZENTO_SERVER_SET_REPDEST(entry.dummy.span(), replyDestination);
        ZENTO_SERVER_SET_MSGDEST(entry.dummy.span(), destination);
    }
    ZENTO_SERVER_SET_REPDEST(entry.request.span(), replyDestination);
    ZENTO_SERVER_SET_MSGDEST(entry.request.span(), destination);
    return true;
}

}  // namespace

std::int32_t addScanEntry(ScanList& list, ScanTagArray& tags, std::int32_t listId, std::int32_t frequency,
                          const AddressRecord& destination, const AddressRecord& replyDestination, MsgView request,
                          std::int32_t dummyTagFlag, std::uint32_t tagCount, std::span<const std::uint8_t> secondPairs,
                          std::uint32_t extraValue, StatusBlock& status) {
    ZENTO_SERVER_INITBLK(status);
    const AddressRecord requestSource = ZENTO_SERVER_REQSRC(request);
    const AddressRecord requestReplyTo = ZENTO_SERVER_REPDEST(request);
    PreparedEntry prepared;
    std::int32_t slot = -1;
    if (prepareEntry(request, listId, destination, replyDestination, dummyTagFlag, tagCount, secondPairs, prepared,
                     status)) {
        const SlotSearch found = searchSlots(list, [&](const ScanListEntry& entry) {
            return matchesListId(entry.listId, listId) && sameAddress(entry.requestSource, requestSource) == 1;
        });
        slot = takeSlot(list, ListKind::Scan, found, status);
    }
    if (slot >= 0) {
        ScanListEntry& entry = list.slots[static_cast<std::size_t>(slot)];
        ScanEntryTags& state = tags[static_cast<std::size_t>(slot)];
        releaseScanRequest(entry, state);
        entry.listId = listId;
        entry.frequency = frequency;
        entry.reserved8[0] = 0;
        entry.reserved8[1] = 0;
        entry.replyDestination = requestReplyTo;
        entry.requestSource = requestSource;
        entry.requestLength = prepared.request.size;
        entry.requestMsg = std::move(prepared.request);
        entry.dummyTagMsg = std::move(prepared.dummy);
        entry.word156 = 0;
        entry.inUse = 1;
        entry.flag164 = extraValue;
        state = std::move(prepared.tags);
    }
    diag::reportScanListChange(&list, slot, kReportAddedOrModified, nullptr, &status);
    return slot;
}

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
