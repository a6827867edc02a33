#include "msglib/request_layout.h"

#include <array>

#include "msglib/byte_cursor.h"
#include "msglib/coding.h"
#include "msglib/head_writer.h"
#include "msglib/library_codes.h"
#include "msglib/message_checks.h"
#include "msglib/message_head.h"
#include "msglib/parse_codes.h"

using namespace getlayout;

void addRequestItemEntries(FixedTable& table, std::uint32_t templateEntries) {
    addIntItem(table);  // list id
    table.add(kDescChars, kDeviceNameBytes, 1);
    addIntItem(table);  // request word
    addIntItem(table);  // number of tags
    addIntItem(table);  // frequency
    addTemplateItem(table, templateEntries);
}

FixedTable requestTable(const RequestShape& shape) {
    FixedTable table;
    table.add(kDescStruct, shape.withPairs ? 10 : 9, 1);
    addIntItem(table);  // pairs flag
    addIntItem(table);  // reply-to flag
    addRequestItemEntries(table, shape.templateEntries);
    if (shape.withPairs) addPairArrayItem(table, shape.tagCount);
    table.add(kDescChars, shape.nameBlock, 1);
    return table;
}

namespace {

bool isFlag(std::int32_t value) { return value == 0 || value == 1; }

// The builder lets its caller choose the message type word, 1 to 9.
bool isRequestType(std::int32_t messageType) { return messageType >= 1 && messageType <= 9; }

// The template must be one item spanning all of its entries, as the parser
// demands.
bool isWholeTemplate(std::span<const std::uint8_t> bytes) {
    if (bytes.empty() || bytes.size() % kDescriptorBytes != 0) return false;
    const DescriptorTableView dataTemplate = DescriptorTableView::fromBytes(bytes);
    ItemExtent extent;
    return walkDescriptorItem(dataTemplate, 0, extent) == 0 && extent.entries == dataTemplate.size();
}

// The sizes the callers promise, checked again so that no copy below can
// read past a caller's buffer and no request goes out that its parser would
// refuse.
bool sizesAgree(const GetRequestFields& request) {
    const RequestItems& items = request.items;
    const std::uint64_t tags = items.tagCount;
    const bool pairsFit = request.pairs.empty() || request.pairs.size() == tags * 8;
    return isRequestType(request.head.messageType) && items.deviceName != nullptr && tags > 0 &&
           tags <= 0x7FFFFFFF && isFlag(items.replyToFlag) && pairsFit &&
           isWholeNameBlock(request.tagNames.size(), tags) && isWholeTemplate(request.dataTemplate);
}

void writeItems(WriteCursor& cursor, const GetRequestFields& request) {
    const RequestItems& items = request.items;
    cursor.putI32(request.pairs.empty() ? 0 : 1);
    cursor.putI32(items.replyToFlag);
    cursor.putI32(items.listId);
    cursor.put({reinterpret_cast<const std::uint8_t*>(items.deviceName), kDeviceNameBytes});
    cursor.putI32(items.requestWord);
    cursor.putI32(static_cast<std::int32_t>(items.tagCount));
    cursor.putI32(items.frequency);
    cursor.put(request.dataTemplate);
    cursor.put(request.pairs);
    cursor.put(request.tagNames);
}

std::int32_t checkRequestHead(MsgView msg) {
    if (std::int32_t fault = checkHead(msg); fault != 0) return fault;
    if (!isRequestType(decodeI32(msg.data() + head::kMessageTypeOffset))) return parsecode::kWrongMessageType;
    if (decodeI32(msg.data() + head::kTransTypeOffset) != kTransGet) return parsecode::kWrongTransType;
    return 0;
}

// Reads the items in table order; the table has been checked against the
// data size, so a short cursor means a fault in this file.
std::int32_t readItems(std::span<const std::uint8_t> data, std::uint32_t nameBlock, GetRequestView& request) {
    RequestItems& items = request.items;
    ReadCursor cursor(data, 0);
    std::int32_t tags = 0;
    std::span<const std::uint8_t> deviceName;
    cursor.takeI32(request.pairsFlag);
    cursor.takeI32(items.replyToFlag);
    cursor.takeI32(items.listId);
    cursor.take(kDeviceNameBytes, deviceName);
    cursor.takeI32(items.requestWord);
    cursor.takeI32(tags);
    cursor.takeI32(items.frequency);
    cursor.take(static_cast<std::uint64_t>(request.templateEntries) * kDescriptorBytes, request.dataTemplate);
    if (request.pairsFlag == 1) cursor.take(static_cast<std::uint64_t>(items.tagCount) * 8, request.pairs);
    cursor.take(nameBlock, request.tagNames);
    if (!cursor.ok() || cursor.position() != data.size()) return parsecode::kDataShort;
    items.deviceName = reinterpret_cast<const char*>(deviceName.data());
    return 0;
}

}  // namespace

std::int32_t writeGetRequest(const GetRequestFields& request, Message& out) {
    if (!sizesAgree(request)) return libcode::kBadRequestInput;
    if (request.tagNames.size() > kMaxDescribedBytes) return libcode::kRequestTooLarge;
    RequestShape shape;
    shape.withPairs = !request.pairs.empty();
    shape.templateEntries = static_cast<std::uint32_t>(request.dataTemplate.size() / kDescriptorBytes);
    shape.tagCount = request.items.tagCount;
    shape.nameBlock = static_cast<std::uint32_t>(request.tagNames.size());
    FixedTable table = requestTable(shape);

    HeadFields fields = request.head;
    fields.transType = kTransGet;
    std::size_t dataAt = 0;
    if (std::int32_t fault = startMessage(table.entries(), fields, libcode::kRequestTooLarge, out, dataAt);
        fault != 0) {
        return fault;
    }
    WriteCursor cursor(out.span(), dataAt);
    writeItems(cursor, request);
    if (!cursor.ok() || cursor.position() != out.size) {
        releaseMessage(out);
        return libcode::kBadRequestInput;
    }
    return 0;
}

std::int32_t readGetRequest(MsgView msg, GetRequestView& request) {
    request = {};
    if (std::int32_t fault = checkRequestHead(msg); fault != 0) return fault;

    constexpr std::array<std::uint32_t, 2> kAllowed{kEntriesWithoutPairs, kEntriesWithPairs};
    DescriptorTableView table{std::span<const DescriptorEntry>{}};
    std::size_t dataOffset = 0;
    if (std::int32_t fault = readDescriptorTable(msg, kAllowed, table, dataOffset); fault != 0) return fault;
    std::span<const std::uint8_t> data = msg.subspan(dataOffset);
    if (data.size() < kTemplateAt) return parsecode::kDataShort;

    RequestShape shape;
    std::int32_t pairsFlag = decodeI32(data.data() + kPairsFlagAt);
    if (!isFlag(pairsFlag) || !isFlag(decodeI32(data.data() + kReplyToFlagAt))) return parsecode::kBadFlag;
    shape.withPairs = pairsFlag == 1;
    if (table.size() != (shape.withPairs ? kEntriesWithPairs : kEntriesWithoutPairs)) return parsecode::kTableShape;

    shape.templateEntries = table.at(kTemplateEntryIndex).count;
    std::uint32_t valueBytes = 0;
    if (std::int32_t fault = checkDataTemplate(data.subspan(kTemplateAt), shape.templateEntries, valueBytes);
        fault != 0) {
        return fault;
    }
    shape.tagCount = decodeU32(data.data() + kTagCountAt);
    if (shape.tagCount < 1 || shape.tagCount > 0x7FFFFFFF) return parsecode::kBadTagCount;
    shape.nameBlock = table.at(table.size() - 1).size;
    if (!isWholeNameBlock(shape.nameBlock, shape.tagCount)) return parsecode::kBadNameBlock;

    FixedTable expected = requestTable(shape);
    if (!sameTable(table, expected.entries())) return parsecode::kTableShape;
    if (std::int32_t fault = checkDataSize(expected.entries(), data.size()); fault != 0) return fault;

    request.head = readHead(msg.data());
    request.items.tagCount = shape.tagCount;
    request.templateEntries = shape.templateEntries;
    request.valueBytes = valueBytes;
    if (std::int32_t fault = readItems(data, shape.nameBlock, request); fault != 0) {
        request = {};
        return fault;
    }
    return 0;
}
