#include "scanlist/scan_list_file.h"

#include <cstring>
#include <memory>
#include <new>

#include "diag/list_reports.h"
#include "lists/list_records.h"
#include "lists/list_rules.h"
#include "msglib/coding.h"
#include "msglib/message_head.h"
#include "msglib/msglib.h"
#include "msglib/transport_frame.h"
#include "scanlist/scan_entry.h"
#include "scanlist/scanlist_codes.h"
#include "snf/file_removal.h"
#include "snf/list_files_codes.h"
#include "snf/list_files_io.h"

namespace {

using namespace listcode;

constexpr std::uint32_t kRevisionWritten = 2;

constexpr ListSaveRules kScanSave = {kScanListSignature,
                                     kRevisionWritten,
                                     kSaveNullName,
                                     kSaveEmptyName,
                                     kSaveOpenFailed,
                                     kSaveHeaderFailed,
                                     kSaveCloseFailed,
                                     kSaveRemoveFailed,
                                     "No messages to save. Open READONLY file %s\n",
                                     "No messages to save, marked delete file found %s\n",
                                     "Messages to save. Open WRITE|CREATE file %s\n",
                                     "Messages to save. Error in Open WRITE|CREATE scan file %s\n",
                                     true,
                                     kSnfScanListFile};

constexpr ListLoadRules kScanLoad = {kScanLoadNullName,
                                     kScanLoadEmptyName,
                                     kScanLoadOpenFailed,
                                     kScanLoadHeaderFailed,
                                     kScanLoadCloseFailed,
                                     0,
                                     nullptr,
                                     kScanListSignature,
                                     1,
                                     2,
                                     kScanLoadBadSignature,
                                     kScanLoadBadRevision};

void fail(const StatusBlock& cause, std::int32_t code, StatusBlock& status) {
    appendStatusEntries(cause, status);
    ZENTO_SERVER_LDBLK(kFacilityStore, code, status);
}

std::uint32_t slotsInUse(const ScanList& table) {
    std::uint32_t count = 0;
    const std::uint32_t searched = searchedSlots(table.highestEntry);
    for (std::uint32_t i = 0; i < searched; ++i) count += slotInUse(table.slots[i]) ? 1 : 0;
    return count;
}

void writeScanEntries(const ScanList& table, const ScanTagArray& tags, ListFileWriter& writer) {
    const std::uint32_t searched = searchedSlots(table.highestEntry);
    for (std::uint32_t i = 0; i < searched && !writer.failed(); ++i) {
        const ScanListEntry& entry = table.slots[i];
        if (!slotInUse(entry)) continue;
        if (std::uint8_t* at = writer.reserve(kScanListEntryBytes, kSaveEntryFailed)) {
            encodeScanListEntry(entry, std::span<std::uint8_t, kScanListEntryBytes>(at, kScanListEntryBytes));
        }
        if (entry.requestLength > 0 && (!entry.requestMsg || entry.requestMsg.size < entry.requestLength)) {
            writer.refuse(kSaveRequestFailed);
        } else {
            writer.put({entry.requestMsg.data(), entry.requestLength}, kSaveRequestFailed);
        }
    }
    for (std::uint32_t i = 0; i < searched && !writer.failed(); ++i) {
        if (!slotInUse(table.slots[i])) continue;
        const ScanEntryTags& entryTags = tags[i];
        if (std::uint8_t* at = writer.reserve(kScanEntryTagsBytes, kSaveTagsFailed)) {
            encodeScanEntryTags(entryTags, std::span<std::uint8_t, kScanEntryTagsBytes>(at, kScanEntryTagsBytes));
        }
        const std::uint64_t bytes = std::uint64_t{entryTags.tagCount} * 8;
        if (bytes == 0) continue;
        if (!entryTags.deadbands || entryTags.deadbands.size < bytes) {
            writer.refuse(kSaveDeadbandsFailed);
        } else {
            writer.put({entryTags.deadbands.data(), static_cast<std::size_t>(bytes)}, kSaveDeadbandsFailed);
        }
    }
}

// A buffer that a read fills at once: not zero-filled first.
template <class Buffer>
bool allocateForRead(Buffer& buffer, std::uint32_t size) {
    buffer.bytes.reset(new (std::nothrow) std::uint8_t[size == 0 ? 1 : size]);
    buffer.size = buffer.bytes ? size : 0;
    return static_cast<bool>(buffer.bytes);
}

// A request that did not parse: above any size a template can describe.
constexpr std::uint32_t kNotParsed = 0xFFFFFFFF;

// The dummy-tag copy of a request that parsed as a GET request, made from
// that parse as makeDummyTagMessage makes it from its own: the bytes before
// the names, then a "-" and its NUL for each name-wide piece of the rest.
void makeDummyFromParse(MsgView request, const GetRequestSlots& parsed, Message& dummy, StatusBlock& status) {
    const std::size_t namesAt = static_cast<std::size_t>(parsed.tagNames.data() - request.data());
    const std::size_t width = parsed.tagNames.size() / static_cast<std::uint32_t>(parsed.tagCount);
    const std::uint64_t count = (request.size() - namesAt) / width;
    const std::uint64_t length = namesAt + count * 2;
    if (length > 0x7FFFFFFF || !allocateForRead(dummy, static_cast<std::uint32_t>(length))) {
        releaseMessage(dummy);
        ZENTO_SERVER_LDBLK(kFacilityStore, scancode::kDummyNoMemory, status);
        return;
    }
    std::memcpy(dummy.data(), request.data(), namesAt);
    for (std::uint8_t* name = dummy.data() + namesAt; name < dummy.data() + length; name += 2) {
        name[0] = '-';
        name[1] = '\0';
    }
    encodeU32(dummy.data() + head::kLengthOffset, static_cast<std::uint32_t>(length));
}

// Entry i with its request; false with the failure loaded. With valueBytes
// (the bytes of the values the request's template describes, kNotParsed for
// a request that does not parse) the request is parsed for its tag record
// while it is still in the cache; a dummy-tag copy is made from that parse.
bool readScanEntry(ScanList& table, ScanEntryTags& entryTags, std::uint32_t i, std::int32_t rebuild,
                   ListFileReader& reader, std::uint32_t* valueBytes, StatusBlock& status) {
    StatusBlock step;
    const std::uint8_t* at = reader.take(kScanListEntryBytes, step);
    if (at == nullptr) {
        fail(step, kScanLoadEntryFailed, status);
        return false;
    }
    ScanListEntry& slot = table.slots[i];
    releaseScanRequest(slot, entryTags);
    slot = decodeScanListEntry(std::span<const std::uint8_t, kScanListEntryBytes>(at, kScanListEntryBytes));
    if (slot.flag164 > 1) slot.flag164 = 0;
    if (!reader.holds(slot.requestLength)) {
        // Refused before any memory is taken for it.
        loadEndOfFile(step);
        fail(step, kScanLoadRequestFailed, status);
        return false;
    }
    if (!allocateForRead(slot.requestMsg, slot.requestLength)) {
        ZENTO_SERVER_LDBLK(kFacilityStore, kScanLoadNoMemory, status);
        return false;
    }
    if (!reader.read(slot.requestMsg.span(), step)) {
        // Part of it may be unread: no earlier contents of the heap stay in it.
        std::memset(slot.requestMsg.data(), 0, slot.requestMsg.size);
        fail(step, kScanLoadRequestFailed, status);
        return false;
    }
    GetRequestSlots parsed;
    bool isGetRequest = false;
    if (valueBytes != nullptr || rebuild == 1) {
        ZENTO_SERVER_PARSE_GETREQ(slot.requestMsg.view(), parsed, step);
        isGetRequest = !statusFailed(step);
        if (valueBytes != nullptr) *valueBytes = isGetRequest ? parsed.valueBytes : kNotParsed;
    }
    slot.inUse = 1;
    if (rebuild != 1) return true;
    slot.word156 = 0;
    if (isGetRequest) {
        ZENTO_SERVER_INITBLK(step);
        makeDummyFromParse(slot.requestMsg.view(), parsed, slot.dummyTagMsg, step);
    } else {
        // Its failure, or the copy of another kind of request, as the scan
        // task makes it.
        makeDummyTagMessage(slot.requestMsg.view(), slot.dummyTagMsg, step);
    }
    if (statusFailed(step)) {
        fail(step, kScanLoadDummyFailed, status);
        return false;
    }
    if (slot.dummyTagMsg) {
        const std::int32_t listId = slot.listId < 0 && slot.listId != INT32_MIN ? -slot.listId : slot.listId;
        ZENTO_SERVER_SET_LISTID(slot.dummyTagMsg.span(), listId, step);
    }
    return true;
}

// The tag record of entry i, whose request describes valueBytes of values
// (kNotParsed: the request is parsed here, and a failure to parse it is
// reported); false with the failure loaded.
bool readScanTags(const ScanListEntry& slot, ScanEntryTags& entryTags, std::uint32_t valueBytes,
                  ListFileReader& reader, StatusBlock& status) {
    StatusBlock step;
    const std::uint8_t* at = reader.take(kScanEntryTagsBytes, step);
    if (at == nullptr) {
        fail(step, kScanLoadTagsFailed, status);
        return false;
    }
    const std::uint32_t tagCount =
        decodeScanEntryTags(std::span<const std::uint8_t, kScanEntryTagsBytes>(at, kScanEntryTagsBytes)).tagCount;
    clearScanEntryTags(entryTags);
    if (valueBytes == kNotParsed) {
        GetRequestSlots parsed;
        ZENTO_SERVER_PARSE_GETREQ(slot.requestMsg.view(), parsed, step);
        if (statusFailed(step)) {
            fail(step, kScanLoadParseFailed, status);
            return false;
        }
        valueBytes = parsed.valueBytes;
    }
    if (tagCount == 0) return true;
    // The parse walked the template as the size call does, so the size call
    // could not fail here. No reply could bring more values than a message
    // carries.
    if (valueBytes > msglib::kMaxFrameBytes) {
        ZENTO_SERVER_LDBLK(kFacilityStore, kScanLoadSizeFailed, status);
        return false;
    }
    const std::uint64_t deadbandBytes = std::uint64_t{tagCount} * 8;
    if (!reader.holds(deadbandBytes)) {
        loadEndOfFile(step);
        fail(step, kScanLoadDeadbandsFailed, status);
        return false;
    }
    // Within the file, so each size fits in 32 bits.
    ScanEntryTags loaded;
    if (!allocateForRead(loaded.deadbands, static_cast<std::uint32_t>(deadbandBytes)) ||
        !allocateBytes(loaded.tagStates, static_cast<std::uint32_t>(std::uint64_t{tagCount} * 12)) ||
        !allocateBytes(loaded.lastValues, valueBytes)) {
        ZENTO_SERVER_LDBLK(kFacilityStore, kScanLoadTagMemory, status);
        return false;
    }
    if (!reader.read({loaded.deadbands.data(), loaded.deadbands.size}, step)) {
        fail(step, kScanLoadDeadbandsFailed, status);
        return false;
    }
    loaded.tagCount = tagCount;
    entryTags = std::move(loaded);
    return true;
}

}  // namespace

void saveScanList(ScanList& table, ScanTagArray& tags, const char* fileName, StatusBlock& status) {
    saveListFile(
        kScanSave, fileName, slotsInUse(table), [&](ListFileWriter& writer) { writeScanEntries(table, tags, writer); },
        [&](std::int32_t action, const StatusBlock& outcome) {
            diag::reportScanListChange(&table, -1, action, fileName, &outcome);
        },
        status);
}

void loadScanList(ScanList& table, ScanTagArray& tags, const char* fileName, std::int32_t rebuild,
                  StatusBlock& status) {
    loadListFile(
        kScanLoad, fileName,
        [&](ListFileReader& reader, const ListFileHeader& header, StatusBlock& outcome) {
            // Each request's value size, taken as the request is read, for
            // the tag records that follow all requests. Without memory for
            // them each tag record parses its request itself.
            std::unique_ptr<std::uint32_t[]> valueBytes;
            if (header.revision >= 2 && header.entryCount > 0) {
                valueBytes.reset(new (std::nothrow) std::uint32_t[header.entryCount]);
            }
            for (std::uint32_t i = 0; i < header.entryCount; ++i) {
                std::uint32_t* entryValueBytes = valueBytes ? &valueBytes[i] : nullptr;
                if (!readScanEntry(table, tags[i], i, rebuild, reader, entryValueBytes, outcome)) return;
            }
            table.highestEntry = header.entryCount;
            for (std::uint32_t i = 0; i < header.entryCount; ++i) {
                if (header.revision < 2) {
                    clearScanEntryTags(tags[i]);
                } else if (!readScanTags(table.slots[i], tags[i], valueBytes ? valueBytes[i] : kNotParsed, reader,
                                         outcome)) {
                    return;
                }
            }
        },
        [&](std::int32_t action, const StatusBlock& outcome) {
            diag::reportScanListChange(&table, -1, action, fileName, &outcome);
        },
        status);
}
