#include "msglib/request_layout.h"

#include <array>

#include "msglib/address_coding.h"
#include "msglib/byte_cursor.h"
#include "msglib/coding.h"
#include "msglib/fixed_table.h"
#include "msglib/message_checks.h"
#include "msglib/message_head.h"
#include "msglib/parse_codes.h"

namespace {

constexpr std::uint32_t kEntriesWithoutPairs = 14;
constexpr std::uint32_t kEntriesWithPairs = 17;

// Data offsets of the items before the template, which never move.
constexpr std::size_t kPairsFlagAt = 0;
constexpr std::size_t kReplyToFlagAt = 4;
constexpr std::size_t kTagCountAt = 48;
constexpr std::size_t kTemplateAt = 56;

constexpr std::size_t kTemplateEntryIndex = 8;

FixedTable requestTable(bool withPairs, std::uint32_t templateEntries, std::uint32_t tagCount,
                        std::uint32_t nameBlock) {
    FixedTable table;
    table.add(kDescStruct, withPairs ? 10 : 9, 1);
    addIntItem(table);  // pairs flag
    addIntItem(table);  // reply-to flag
    addIntItem(table);  // list id
    table.add(kDescChars, 32, 1);
    addIntItem(table);  // request word
    addIntItem(table);  // number of tags
    addIntItem(table);  // frequency
    addTemplateItem(table, templateEntries);
    if (withPairs) addPairArrayItem(table, tagCount);
    table.add(kDescChars, nameBlock, 1);
    return table;
}

bool isFlag(std::int32_t value) { return value == 0 || value == 1; }

std::int32_t checkRequestHead(MsgView msg) {
    if (std::int32_t fault = checkHead(msg); fault != 0) return fault;
    // The builder lets its caller choose the message type word, 1 to 9.
    std::int32_t messageType = decodeI32(msg.data() + head::kMessageTypeOffset);
    if (messageType < 1 || messageType > 9) return parsecode::kWrongMessageType;
    if (decodeI32(msg.data() + head::kTransTypeOffset) != kTransGet) return parsecode::kWrongTransType;
    return 0;
}

void readHeadFields(MsgView msg, GetRequestView& request) {
    request.transNum = decodeU32(msg.data() + head::kTransNumOffset);
    request.destination = decodeAddress(msg.data() + head::kDestinationOffset);
    request.replyDestination = decodeAddress(msg.data() + head::kReplyDestinationOffset);
    request.requestSource = decodeAddress(msg.data() + head::kRequestSourceOffset);
}

// Reads the items in table order; the table has been checked against the
// data size, so a short cursor means a fault in this file.
std::int32_t readItems(std::span<const std::uint8_t> data, std::uint32_t nameBlock, GetRequestView& request) {
    ReadCursor cursor(data, 0);
    std::int32_t tags = 0;
    std::span<const std::uint8_t> deviceName;
    cursor.takeI32(request.pairsFlag);
    cursor.takeI32(request.replyToFlag);
    cursor.takeI32(request.listId);
    cursor.take(32, deviceName);
    cursor.takeI32(request.requestWord);
    cursor.takeI32(tags);
    cursor.takeI32(request.frequency);
    cursor.take(static_cast<std::uint64_t>(request.templateEntries) * kDescriptorBytes, request.dataTemplate);
    if (request.pairsFlag == 1) cursor.take(static_cast<std::uint64_t>(request.tagCount) * 8, request.pairs);
    cursor.take(nameBlock, request.tagNames);
    if (!cursor.ok() || cursor.position() != data.size()) return parsecode::kDataShort;
    request.deviceName = reinterpret_cast<const char*>(deviceName.data());
    return 0;
}

}  // namespace

std::int32_t readGetRequest(MsgView msg, GetRequestView& request) {
    request = {};
    if (std::int32_t fault = checkRequestHead(msg); fault != 0) return fault;

    constexpr std::array<std::uint32_t, 2> kAllowed{kEntriesWithoutPairs, kEntriesWithPairs};
    DescriptorTableView table{std::span<const DescriptorEntry>{}};
    std::size_t dataOffset = 0;
    if (std::int32_t fault = readDescriptorTable(msg, kAllowed, table, dataOffset); fault != 0) return fault;
    std::span<const std::uint8_t> data = msg.subspan(dataOffset);
    if (data.size() < kTemplateAt) return parsecode::kDataShort;

    std::int32_t pairsFlag = decodeI32(data.data() + kPairsFlagAt);
    if (!isFlag(pairsFlag) || !isFlag(decodeI32(data.data() + kReplyToFlagAt))) return parsecode::kBadFlag;
    if (table.size() != (pairsFlag == 1 ? kEntriesWithPairs : kEntriesWithoutPairs)) return parsecode::kTableShape;

    std::uint32_t templateEntries = table.at(kTemplateEntryIndex).count;
    std::uint32_t valueBytes = 0;
    if (std::int32_t fault = checkDataTemplate(data.subspan(kTemplateAt), templateEntries, valueBytes); fault != 0) {
        return fault;
    }
    std::uint32_t tagCount = decodeU32(data.data() + kTagCountAt);
    if (tagCount < 1 || tagCount > 0x7FFFFFFF) return parsecode::kBadTagCount;
    std::uint32_t nameBlock = table.at(table.size() - 1).size;
    if (!isWholeNameBlock(nameBlock, tagCount)) return parsecode::kBadNameBlock;

    FixedTable expected = requestTable(pairsFlag == 1, templateEntries, tagCount, nameBlock);
    if (!sameTable(table, expected.entries())) return parsecode::kTableShape;
    if (std::int32_t fault = checkDataSize(expected.entries(), data.size()); fault != 0) return fault;

    readHeadFields(msg, request);
    request.tagCount = tagCount;
    request.templateEntries = templateEntries;
    request.valueBytes = valueBytes;
    if (std::int32_t fault = readItems(data, nameBlock, request); fault != 0) {
        request = {};
        return fault;
    }
    return 0;
}
