// The store task's two entry points over any bytes: updateScanList with a
// request, convertGetReply with a reply, in a sequence of up to four calls
// on one scan list, which may already hold a list.
//
// Input: a flags byte (bit 0: a list is recorded first, list 7 of tags A, B
// and C declared by the client the seeds use; bit 1: the dummy-tag flag;
// bit 2: that list has had its first conversion), then records of a kind
// byte, a little-endian u16 length and that many bytes. Kind bit 0 clear:
// updateScanList; set: convertGetReply, with the state of the slot the
// reply names (its list id and requester), or with bit 1 set, or no such
// slot, with zeroed arrays of (kind >> 2) tags.
//
// Rules, after every call: highestEntry is at most 15000 and covers every
// slot in use (none in use when it is 0); a slot in use holds a request of
// its requestLength that parses as a GET request, and either no tag state or
// tag state of that request's tag count and value size, and a dummy-tag copy
// whose length word is its size; a slot not in use holds nothing. A request
// handed out parses as a GET request; the result is -1 or a slot. A
// conversion that fails leaves the kept arrays and flag as they were and no
// reply; one that succeeds gives an unsolicited reply of at most the list's
// tags and sets the flag.
#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "lists/list_rules.h"
#include "msglib/coding.h"
#include "msglib/msglib.h"
#include "scanlist/reply_conversion.h"
#include "scanlist/scan_list_update.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

const char kDevice[32] = "DEVICE-1";
const AddressRecord kClient = makeAddress("CLIENTNODE", "CLIENT");
const AddressRecord kStore = makeAddress("SERVERNODE", "STORE");
const AddressRecord kScanner = makeAddress("SERVERNODE", "SCANNER");

ScanList& table() {
    static std::unique_ptr<ScanList> list = newScanList();
    return *list;
}
ScanTagArray& tagArray() {
    static std::unique_ptr<ScanTagArray> tags = newScanTagArray();
    return *tags;
}

// The slots an input may have touched: below the highest highestEntry seen
// (an add takes a slot below the highestEntry it leaves). The whole table is
// checked once at the end of each input.
std::size_t touched = 0;

void resetTables() {
    ScanList& list = table();
    ScanTagArray& tags = tagArray();
    for (std::size_t i = 0; i < std::min<std::size_t>(touched + 8, kListSlots); ++i) {
        ScanListEntry& entry = list.slots[i];
        if (entry.inUse || entry.requestMsg || entry.dummyTagMsg || entry.listId != 0 || tags[i].tagCount != 0 ||
            tags[i].deadbands || tags[i].tagStates || tags[i].lastValues) {
            entry = ScanListEntry{};
            tags[i] = ScanEntryTags{};
        }
    }
    list.highestEntry = 0;
    touched = 0;
}

void checkTable(bool whole = false) {
    const ScanList& list = table();
    const ScanTagArray& tags = tagArray();
    FUZZ_CHECK(list.highestEntry <= kListSlots);
    touched = std::max<std::size_t>(touched, list.highestEntry);
    const std::size_t slots = whole ? kListSlots : std::min<std::size_t>(touched + 8, kListSlots);
    for (std::size_t i = 0; i < slots; ++i) {
        const ScanListEntry& entry = list.slots[i];
        const ScanEntryTags& state = tags[i];
        if (!entry.inUse) {
            FUZZ_CHECK(!entry.requestMsg && !entry.dummyTagMsg && state.tagCount == 0 && !state.deadbands &&
                       !state.tagStates && !state.lastValues);
            continue;
        }
        FUZZ_CHECK(list.highestEntry != 0 && i < list.highestEntry);
        FUZZ_CHECK(entry.requestMsg && entry.requestLength == entry.requestMsg.size);
        GetRequestSlots request;
        StatusBlock status;
        ZENTO_SERVER_PARSE_GETREQ(entry.requestMsg.view(), request, status);
        FUZZ_CHECK(!statusFailed(status));
        if (state.tagCount != 0) {
            const std::vector<DescriptorEntry> dataTemplate = decodeDescriptors(request.dataTemplate);
            std::int32_t valueBytes = 0;
            ZENTO_DCONV_SIZE(dataTemplate, valueBytes, status);
            FUZZ_CHECK(state.tagCount == static_cast<std::uint32_t>(request.tagCount));
            FUZZ_CHECK(state.deadbands.size == state.tagCount * 8 && state.tagStates.size == state.tagCount * 12 &&
                       state.lastValues.size == static_cast<std::uint32_t>(valueBytes));
        } else {
            FUZZ_CHECK(!state.deadbands && !state.tagStates && !state.lastValues);
        }
        if (entry.dummyTagMsg) FUZZ_CHECK(decodeU32(entry.dummyTagMsg.data() + 4) == entry.dummyTagMsg.size);
    }
}

void recordKnownList(std::int32_t dummyFlag, bool converted) {
    const Bytes names = {'A', 0, 'B', 0, 'C', 0};
    const DescriptorEntry tpl[] = {{kDescStruct, 0, 3, 1}, {kDescFloat, 0, 4, 1}, {kDescFloat, 0, 4, 1},
                                   {kDescFloat, 0, 4, 1}};
    Bytes bands(24, 0);
    for (std::size_t i = 0; i < 3; ++i) {
        encodeI32(bands.data() + 8 * i, static_cast<std::int32_t>(i));
        encodeU32(bands.data() + 8 * i + 4, 0x3F000000);  // 0.5
    }
    ListDeclaration d;
    d.source = kClient;
    d.destination = kStore;
    d.replyAddress = kClient;
    d.listId = 7;
    d.deviceName = kDevice;
    d.frequency = -10;
    d.tagCount = 3;
    d.tagNames = names;
    d.dataTemplate = tpl;
    d.secondPairs = bands;
    Message declare;
    StatusBlock status;
    ZENTO_CLIENT_BLD_DECLREQ(d, declare, status);
    MsgView built;
    FUZZ_CHECK(updateScanList(declare.view(), table(), tagArray(), kScanner, kStore, dummyFlag, &built, 0, &status) ==
               0);
    if (!converted) return;
    StatusBlock acquisition;
    ZENTO_SERVER_INITBLK(acquisition);
    const Bytes values(12, 0x41);
    const std::int32_t words[] = {1, 0, 0, 1, 0, 0, 1, 0, 0};
    Message reply;
    ZENTO_SERVER_BLD_GETREPLY(table().slots[0].requestMsg.view(), acquisition, values, words, TimeStamp{}, reply,
                              status);
    ScanEntryTags& state = tagArray()[0];
    Message unsolicited;
    convertGetReply(reply.view(), &table().slots[0].word156, 3, {state.deadbands.data(), state.deadbands.size},
                    {state.tagStates.data(), state.tagStates.size}, {state.lastValues.data(), state.lastValues.size},
                    &unsolicited, &status);
    FUZZ_CHECK(!statusFailed(status));
}

void runUpdate(MsgView request, std::int32_t dummyFlag) {
    MsgView built;
    StatusBlock status;
    const std::int32_t result =
        updateScanList(request, table(), tagArray(), kScanner, kStore, dummyFlag, &built, 1, &status);
    FUZZ_CHECK(result >= -1 && result < static_cast<std::int32_t>(kListSlots));
    if (!built.empty()) {
        GetRequestSlots parsed;
        ZENTO_SERVER_PARSE_GETREQ(built, parsed, status);
        FUZZ_CHECK(!statusFailed(status));
    }
    FUZZ_CHECK(updateScanListProgress() == '*');
}

void runConversion(MsgView reply, std::uint8_t kind) {
    std::int32_t slot = -1;
    if ((kind & 2) == 0 && reply.size() >= 292) {
        // The slot of the list and client the reply names, read as a store
        // task reads them; a reply too damaged to name one has none.
        ReplyFields fields;
        StatusBlock status;
        ZENTO_SERVER_PARSE_GETREP(reply, fields, status);
        if (!statusFailed(status)) slot = findScanEntry(table(), fields.listId, ZENTO_SERVER_REQSRC(reply));
    }
    const std::uint32_t scratchTags = kind >> 2;
    Bytes scratchBands(scratchTags * 8, 0), scratchStates(scratchTags * 12, 0), scratchValues(scratchTags * 4, 0);
    std::uint32_t scratchFlag = 0;
    std::uint32_t* flag = &scratchFlag;
    std::uint32_t tags = scratchTags;
    std::span<const std::uint8_t> bands = scratchBands;
    std::span<std::uint8_t> states = scratchStates;
    std::span<std::uint8_t> values = scratchValues;
    if (slot >= 0) {
        ScanEntryTags& state = tagArray()[static_cast<std::size_t>(slot)];
        flag = &table().slots[static_cast<std::size_t>(slot)].word156;
        tags = state.tagCount;
        bands = {state.deadbands.data(), state.deadbands.size};
        states = {state.tagStates.data(), state.tagStates.size};
        values = {state.lastValues.data(), state.lastValues.size};
    }
    const Bytes statesBefore(states.begin(), states.end());
    const Bytes valuesBefore(values.begin(), values.end());
    const std::uint32_t flagBefore = *flag;
    Message unsolicited;
    StatusBlock status;
    convertGetReply(reply, flag, tags, bands, states, values, &unsolicited, &status);
    if (statusFailed(status)) {
        FUZZ_CHECK(!unsolicited && *flag == flagBefore);
        FUZZ_CHECK(std::equal(states.begin(), states.end(), statesBefore.begin()));
        FUZZ_CHECK(std::equal(values.begin(), values.end(), valuesBefore.begin()));
        return;
    }
    FUZZ_CHECK(*flag == 1);
    ReplyFields fields;
    ZENTO_SERVER_PARSE_UNSREP(unsolicited.view(), fields, status);
    FUZZ_CHECK(!statusFailed(status) && fields.tagCount >= 1 && static_cast<std::uint32_t>(fields.tagCount) <= tags);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzzsupport::prepareProcess();
    fuzzsupport::clearLogs();
    resetTables();
    if (size == 0) return 0;
    const std::uint8_t flags = data[0];
    const std::int32_t dummyFlag = (flags & 2) != 0 ? 1 : 0;
    if ((flags & 1) != 0) recordKnownList(dummyFlag, (flags & 4) != 0);
    checkTable();
    std::size_t at = 1;
    for (int call = 0; call < 4 && at + 3 <= size; ++call) {
        const std::uint8_t kind = data[at];
        const std::size_t length = std::min<std::size_t>(decodeU16(data + at + 1), size - at - 3);
        const MsgView message(data + at + 3, length);
        at += 3 + length;
        if ((kind & 1) == 0) {
            runUpdate(message, dummyFlag);
        } else {
            runConversion(message, kind);
        }
        checkTable();
    }
    checkTable(true);
    return 0;
}
