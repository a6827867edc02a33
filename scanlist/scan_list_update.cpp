#include "scanlist/scan_list_update.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>

#include "diag/list_reports.h"
#include "lists/list_rules.h"
#include "msglib/head_writer.h"
#include "msglib/library_codes.h"
#include "msglib/message_head.h"
#include "msglib/msglib.h"
#include "msglib/parse_codes.h"
#include "msglib/request_layout.h"
#include "msglib/same_address.h"
#include "scanlist/scan_entry.h"
#include "scanlist/scanlist_codes.h"
#include "scanlist/tag_sets.h"
#include "scanlist/template_members.h"

namespace {

constexpr std::int32_t kReportAddedOrModified = 1;
constexpr std::int32_t kReportRemoved = 2;
constexpr char kDumpName[] = "DEBUG";

thread_local char progressMark = '*';
// The last GET request built here, handed out until the next build.
thread_local Message lastBuilt;

void mark(char step) { progressMark = step; }

void fail(std::int32_t facility, std::int32_t code, StatusBlock& status) {
    ZENTO_SERVER_LDBLK(facility, code, status);
}
void fail(scancode::FacilityCode code, StatusBlock& status) { ZENTO_SERVER_LDBLK(code.facility, code.code, status); }

// The causes a call left, then the caller's own code.
void failAfter(const StatusBlock& cause, std::int32_t facility, std::int32_t code, StatusBlock& status) {
    appendStatusEntries(cause, status);
    ZENTO_SERVER_LDBLK(facility, code, status);
}

bool holds(const StatusBlock& status, std::int32_t code) {
    for (int i = 0; i < statusEntryCount(status); ++i) {
        if (status.error[i] == code) return true;
    }
    return false;
}

// What the received request says.
struct Incoming {
    bool declare = false;
    std::int32_t pairsFlag = 0;
    std::int32_t listId = 0;
    char device[32] = {};
    std::int32_t requestWord = 0;
    std::int32_t frequency = 0;
    AddressRecord replyAddress{};
    TagSet set;  // names, template, both pair arrays (a cancel: names only)
};

// The items of the GET request to build.
struct Items {
    std::int32_t pairsFlag = 0;
    std::int32_t listId = 0;
    char device[32] = {};
    std::int32_t requestWord = 0;
};

// What a dump tells about the update.
struct Trace {
    MsgView request;
    const char* device = nullptr;
    const std::uint8_t* dataTemplate = nullptr;
    std::size_t templateEntries = 0;
    std::int32_t slot = -1;
};

void logLine(const char* text) {
    StatusBlock ignored;
    ZENTO_SERVER_LOGMSG(kDumpName, text, ignored);
}

// The bytes its length word says (no more than it has) as "%02X", a blank
// after every fourth, a line per 16.
void dumpBytes(MsgView msg) {
    const std::size_t length = std::min<std::size_t>(msg.size(), ZENTO_SERVER_MSGSIZE(msg));
    char line[16 * 2 + 4 + 1];
    std::size_t used = 0;
    for (std::size_t i = 0; i < length; ++i) {
        std::snprintf(line + used, sizeof line - used, "%02X", msg[i]);
        used += 2;
        if ((i + 1) % 4 == 0) line[used++] = ' ';
        line[used] = '\0';
        if ((i + 1) % 16 == 0) {
            logLine(line);
            used = 0;
        }
    }
    if (used > 0) logLine(line);
}

void dumpInconsistent(const Trace& trace, const ScanList& list, const StatusBlock& status) {
    char text[256];
    std::snprintf(text, sizeof text, "updateScanList stopped at location %c on an inconsistent request, cause %08X",
                  progressMark, static_cast<unsigned>(lastErrorCode(status)));
    logLine(text);
    std::snprintf(text, sizeof text, "msg=%p, device=%p, pDataTemplate=%p, dataTplSize=%d",
                  static_cast<const void*>(trace.request.data()), static_cast<const void*>(trace.device),
                  static_cast<const void*>(trace.dataTemplate), static_cast<int>(trace.templateEntries));
    logLine(text);
    std::snprintf(text, sizeof text, "reply size=%d, start=%p, source=%p, source size=%d",
                  static_cast<int>(lastBuilt.size), static_cast<const void*>(lastBuilt.data()),
                  static_cast<const void*>(trace.request.data()),
                  static_cast<int>(ZENTO_SERVER_MSGSIZE(trace.request)));
    logLine(text);
    std::snprintf(text, sizeof text, "scanFileIndex= %ld, highestScanEntry= %ld", static_cast<long>(trace.slot),
                  static_cast<long>(list.highestEntry));
    logLine(text);
    logLine("Message dump:");
    dumpBytes(trace.request);
    if (trace.slot >= 0) {
        logLine("ScanList Msg Dump:");
        dumpBytes(list.slots[static_cast<std::size_t>(trace.slot)].requestMsg.view());
    }
}

bool readIncoming(MsgView request, std::int32_t transType, Incoming& in, Trace& trace, StatusBlock& status) {
    StatusBlock cause;
    if (transType == kTransDeclare) {
        mark('c');
        DeclareRequestSlots slots;
        ZENTO_SERVER_PARSE_DECLREQ(request, slots, cause);
        if (statusFailed(cause)) {
            failAfter(cause, kFacilityStore, scancode::kDeclareParse, status);
            return false;
        }
        mark('d');
        in.declare = true;
        in.pairsFlag = slots.pairsFlag;
        in.listId = slots.listId;
        std::memcpy(in.device, slots.deviceName, sizeof in.device);
        in.requestWord = slots.requestWord;
        in.frequency = slots.frequency;
        in.replyAddress = slots.replyAddress;
        in.set.count = static_cast<std::uint32_t>(slots.tagCount);
        in.set.names = slots.tagNames;
        in.set.dataTemplate = slots.dataTemplate;
        in.set.pairs = slots.pairs;
        in.set.secondPairs = slots.secondPairs;
        trace.device = slots.deviceName;
        trace.dataTemplate = slots.dataTemplate.data();
        trace.templateEntries = slots.dataTemplate.size() / kDescriptorBytes;
        return true;
    }
    if (transType == kTransCancel) {
        mark('f');
        CancelRequestSlots slots;
        ZENTO_SERVER_PARSE_CANCREQ(request, slots, cause);
        if (statusFailed(cause)) {
            failAfter(cause, kFacilityStore, scancode::kCancelParse, status);
            return false;
        }
        mark('g');
        in.listId = slots.listId;
        std::memcpy(in.device, slots.deviceName, sizeof in.device);
        in.requestWord = slots.requestWord;
        in.frequency = slots.frequency;
        in.set.count = static_cast<std::uint32_t>(slots.tagCount);
        in.set.names = slots.tagNames;
        trace.device = slots.deviceName;
        return true;
    }
    mark('h');
    fail(kFacilityStore, scancode::kUnknownTransaction, status);
    return false;
}

std::int32_t absoluteFrequency(std::int32_t frequency) {
    if (frequency == INT32_MIN) return INT32_MAX;
    return frequency < 0 ? -frequency : frequency;
}

// The old tag set of a listed list: its stored request's, with the tag state
// the slot keeps (absent when it keeps none).
TagSet storedSet(const GetRequestSlots& stored, const ScanEntryTags& state) {
    TagSet set;
    set.count = static_cast<std::uint32_t>(stored.tagCount);
    set.names = stored.tagNames;
    set.dataTemplate = stored.dataTemplate;
    set.pairs = stored.pairs;
    if (state.tagCount > 0) {
        set.secondPairs = {state.deadbands.data(), state.deadbands.size};
        set.states = {state.tagStates.data(), state.tagStates.size};
        set.values = {state.lastValues.data(), state.lastValues.size};
    }
    return set;
}

// Builds the GET request of the new set into lastBuilt; false with the
// failure loaded (inconsistent set true when the dump is due).
bool buildRequest(MsgView received, const Items& items, const AddressRecord& reply, std::int32_t frequency,
                  const TagSet& set, TemplateShape& shape, bool& inconsistent, StatusBlock& status) {
    mark('I');
    StatusBlock cause;
    if (!checkTagSet(set, scancode::kUpdateSize, shape, cause)) {
        appendStatusEntries(cause, status);
        inconsistent = holds(cause, scancode::kTagSetInconsistent);
        if (inconsistent) fail(kFacilityStore, scancode::kUpdateSize, status);
        return false;
    }
    mark('K');
    GetRequestFields fields;
    fields.head = readHead(received.data());
    fields.head.replyDestination = reply;
    fields.items = {1, items.listId, items.device, items.requestWord, set.count, absoluteFrequency(frequency)};
    fields.dataTemplate = set.dataTemplate;
    // A set whose pairs are absent has them all zero.
    OwnedBytes zeroPairs;
    if (items.pairsFlag == 1) {
        if (set.pairs.empty()) {
            if (std::uint64_t{set.count} * 8 > 0x7FFFFFFF || !allocateBytes(zeroPairs, set.count * 8)) {
                fail(kFacilityStore, scancode::kUpdateNoMemory, status);
                return false;
            }
            fields.pairs = {zeroPairs.data(), zeroPairs.size};
        } else {
            fields.pairs = set.pairs;
        }
    }
    fields.tagNames = set.names;
    mark('M');
    switch (std::int32_t fault = writeGetRequest(fields, lastBuilt); fault) {
        case 0:
            return true;
        case libcode::kNoMemory:
            fail(kFacilityLibrary, fault, status);
            fail(kFacilityStore, scancode::kUpdateNoMemory, status);
            return false;
        default:
            fail(kFacilityLibrary, fault, status);
            fail(kFacilityStore, scancode::kUpdateSize, status);
            inconsistent = fault == libcode::kBadRequestInput;
            return false;
    }
}

// A piece of a set into a buffer of its size; an absent piece leaves the
// buffer's zeros.
void copyPiece(OwnedBytes& to, std::span<const std::uint8_t> piece) {
    if (!piece.empty()) std::memcpy(to.data(), piece.data(), std::min<std::size_t>(piece.size(), to.size));
}

// Replaces the slot's request and tag state by the built request and the
// new set's, whole or not at all.
bool replaceSlot(ScanListEntry& entry, ScanEntryTags& state, const TagSet& set, const TemplateShape& shape,
                 std::int32_t frequency, const AddressRecord& destination, const AddressRecord& replyDestination,
                 std::int32_t dummyTagFlag, StatusBlock& status) {
    Message request;
    ScanEntryTags fresh;
    const std::uint64_t count = set.count;
    if (count * 12 > 0x7FFFFFFF || !allocateMessage(request, lastBuilt.size) ||
        !allocateBytes(fresh.deadbands, set.count * 8) || !allocateBytes(fresh.tagStates, set.count * 12) ||
        !allocateBytes(fresh.lastValues, shape.valueBytes)) {
        fail(kFacilityStore, scancode::kUpdateNoMemory, status);
        return false;
    }
    std::memcpy(request.data(), lastBuilt.data(), lastBuilt.size);
    copyPiece(fresh.deadbands, set.secondPairs);
    copyPiece(fresh.tagStates, set.states);
    copyPiece(fresh.lastValues, set.values);
    fresh.tagCount = set.count;
    ZENTO_SERVER_SET_REPDEST(request.span(), replyDestination);
    ZENTO_SERVER_SET_MSGDEST(request.span(), destination);
    Message dummy;
    if (entry.dummyTagMsg || dummyTagFlag == 1) {
        StatusBlock cause;
        makeDummyTagMessage(request.view(), dummy, cause);
        if (!statusFailed(cause) && entry.listId < 0 && entry.listId != INT32_MIN) {
            ZENTO_SERVER_SET_LISTID(dummy.span(), -entry.listId, cause);
        }
        if (statusFailed(cause)) {
            failAfter(cause, kFacilityStore, scancode::kDummyFailed, status);
            return false;
        }
        ZENTO_SERVER_SET_REPDEST(dummy.span(), replyDestination);
        ZENTO_SERVER_SET_MSGDEST(dummy.span(), destination);
    }
    releaseScanRequest(entry, state);
    entry.requestLength = request.size;
    entry.requestMsg = std::move(request);
    entry.dummyTagMsg = std::move(dummy);
    entry.frequency = frequency;
    state = std::move(fresh);
    return true;
}

}  // namespace

char updateScanListProgress() { return progressMark; }

std::int32_t findScanEntry(const ScanList& list, std::int32_t listId, MsgView request, StatusBlock& status) {
    ZENTO_SERVER_INITBLK(status);
    if (request.size() < head::kSize) {
        fail(kFacilityParser, parsecode::kShorterThanHead, status);
        return -1;
    }
    return findScanEntry(list, listId, ZENTO_SERVER_REQSRC(request));
}

std::int32_t removeScanEntry(ScanList& list, ScanTagArray& tags, std::int32_t listId, MsgView request,
                             StatusBlock& status) {
    ZENTO_SERVER_INITBLK(status);
    const AddressRecord source = ZENTO_SERVER_REQSRC(request);
    const std::uint32_t searched = searchedSlots(list.highestEntry);
    std::uint32_t inUse = 0;
    std::int32_t slot = -1;
    for (std::uint32_t i = 0; i < searched; ++i) {
        const ScanListEntry& entry = list.slots[i];
        if (!slotInUse(entry)) continue;
        ++inUse;
        if (slot < 0 && matchesListId(entry.listId, listId) && sameAddress(entry.requestSource, source) == 1) {
            slot = static_cast<std::int32_t>(i);
        }
    }
    if (slot < 0) {
        fail(kFacilityStore, scancode::kNoEntry, status);
        return -1;
    }
    diag::reportScanListChange(&list, slot, kReportRemoved, nullptr, &status);
    ScanListEntry& entry = list.slots[static_cast<std::size_t>(slot)];
    releaseScanRequest(entry, tags[static_cast<std::size_t>(slot)]);
    entry.requestLength = 0;
    entry.inUse = 0;
    if (list.highestEntry != 0) {
        if (inUse == 1) {
            list.highestEntry = 0;
        } else if (static_cast<std::uint32_t>(slot) + 1 == list.highestEntry) {
            --list.highestEntry;
        }
    }
    return slot;
}

std::int32_t updateScanList(MsgView request, ScanList& list, ScanTagArray& tags, const AddressRecord& destination,
                            const AddressRecord& replyDestination, std::int32_t dummyTagFlag, MsgView* builtRequest,
                            std::uint32_t extraValue, StatusBlock* statusBlock) {
    std::int32_t result = -1;
    mark('0');
    if (request.empty() || builtRequest == nullptr || statusBlock == nullptr) {
        mark('*');
        return result;
    }
    StatusBlock& status = *statusBlock;
    *builtRequest = {};
    ZENTO_SERVER_INITBLK(status);
    Trace trace;
    trace.request = request;
    bool dump = false;
    auto finish = [&]() {
        if (dump) dumpInconsistent(trace, list, status);
        mark('*');
        return result;
    };

    mark('a');
    const std::int32_t transType = ZENTO_SERVER_TRANSTYPE(request);
    mark('b');
    Incoming in;
    if (!readIncoming(request, transType, in, trace, status)) return finish();
    mark('j');
    if (in.set.count == 0) return finish();

    mark('i');
    StatusBlock cause;
    const std::int32_t slot = findScanEntry(list, in.listId, request, cause);
    if (statusFailed(cause)) {
        failAfter(cause, kFacilityStore, scancode::kSlotSearch, status);
        return finish();
    }
    result = slot;
    trace.slot = slot;
    mark('k');
    if (slot < 0 && (!in.declare || in.frequency >= 0)) return finish();
    mark('l');
    if (slot >= 0 && in.declare &&
        !(list.slots[static_cast<std::size_t>(slot)].frequency < 0 && in.frequency < 0)) {
        fail(kFacilityStore, scancode::kFrequencyNotNegative, status);
        return finish();
    }
    mark('m');
    const std::int32_t frequency = in.declare ? in.frequency : list.slots[static_cast<std::size_t>(slot)].frequency;

    Items items;
    AddressRecord reply{};
    TagSet newSet;
    bool afresh = false;
    auto takeDeclared = [&]() {
        items.pairsFlag = in.pairsFlag;
        items.listId = in.listId;
        std::memcpy(items.device, in.device, sizeof items.device);
        items.requestWord = in.requestWord;
        reply = in.replyAddress;
        newSet = in.set;
        afresh = true;
    };
    if (slot < 0) {
        mark('o');
        takeDeclared();
    } else {
        ScanListEntry& entry = list.slots[static_cast<std::size_t>(slot)];
        mark('n');
        GetRequestSlots stored;
        ZENTO_SERVER_PARSE_GETREQ(entry.requestMsg.view(), stored, cause);
        if (statusFailed(cause)) {
            failAfter(cause, kFacilityStore, scancode::kStoredParse, status);
            dump = true;
            return finish();
        }
        mark('p');
        items.pairsFlag = stored.pairsFlag;
        items.listId = stored.listId;
        std::memcpy(items.device, stored.deviceName, sizeof items.device);
        items.requestWord = stored.requestWord;
        reply = ZENTO_SERVER_REPDEST(entry.requestMsg.view());
        const TagSet oldSet = storedSet(stored, tags[static_cast<std::size_t>(slot)]);
        std::uint32_t left = 0;
        TagSet cut;
        if (!in.declare) {
            mark('r');
            removeTags(oldSet, in.set.count, in.set.names, left, cut, cause);
            if (statusFailed(cause)) {
                appendStatusEntries(cause, status);
                fail(scancode::kCancelRemoveTags, status);
                dump = holds(cause, scancode::kTagSetInconsistent);
                return finish();
            }
            mark('s');
            if (left == oldSet.count) {
                result = -1;
                return finish();
            }
            if (left == 0) {
                mark('t');
                removeScanEntry(list, tags, in.listId, entry.requestMsg.view(), cause);
                if (statusFailed(cause)) {
                    appendStatusEntries(cause, status);
                    fail(scancode::kRemoveEntry, status);
                }
                return finish();
            }
            mark('u');
            newSet = cut;
        } else {
            mark('x');
            removeTags(oldSet, in.set.count, in.set.names, left, cut, cause);
            if (statusFailed(cause)) {
                appendStatusEntries(cause, status);
                fail(scancode::kDeclareRemoveTags, status);
                dump = holds(cause, scancode::kTagSetInconsistent);
                return finish();
            }
            mark('y');
            if (left == 0) {
                mark('z');
                takeDeclared();
                removeScanEntry(list, tags, in.listId, entry.requestMsg.view(), cause);
                if (statusFailed(cause)) {
                    appendStatusEntries(cause, status);
                    fail(scancode::kRemoveEntry, status);
                    return finish();
                }
                result = -1;
            } else {
                mark('D');
                std::uint32_t merged = 0;
                mergeTags(left < oldSet.count ? cut : oldSet, in.set, merged, newSet, cause);
                if (statusFailed(cause)) {
                    appendStatusEntries(cause, status);
                    fail(scancode::kMergeTags, status);
                    dump = holds(cause, scancode::kTagSetInconsistent);
                    return finish();
                }
            }
        }
    }

    TemplateShape shape;
    bool inconsistent = false;
    if (!buildRequest(request, items, reply, frequency, newSet, shape, inconsistent, status)) {
        dump = inconsistent;
        return finish();
    }
    *builtRequest = lastBuilt.view();
    mark('#');

    if (afresh) {
        mark('$');
        const std::int32_t added = addScanEntry(list, tags, in.listId, frequency, destination, replyDestination,
                                                lastBuilt.view(), dummyTagFlag, newSet.count, newSet.secondPairs,
                                                extraValue, cause);
        if (statusFailed(cause)) {
            failAfter(cause, kFacilityStore, scancode::kAddEntry, status);
            return finish();
        }
        result = added;
    } else {
        mark('%');
        ScanListEntry& entry = list.slots[static_cast<std::size_t>(slot)];
        const bool replaced = replaceSlot(entry, tags[static_cast<std::size_t>(slot)], newSet, shape, frequency,
                                          destination, replyDestination, dummyTagFlag, status);
        mark('^');
        diag::reportScanListChange(&list, slot, kReportAddedOrModified, nullptr, &status);
        if (!replaced) return finish();
    }
    return finish();
}
