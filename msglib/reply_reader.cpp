#include <array>

#include "msglib/byte_cursor.h"
#include "msglib/coding.h"
#include "msglib/message_checks.h"
#include "msglib/parse_codes.h"
#include "msglib/reply_layout.h"

namespace {

// Data offsets of the items before the template, which never move.
constexpr std::size_t kPairsFlagAt = 0;
constexpr std::size_t kReplyToFlagAt = 4;
constexpr std::size_t kSecondPairsFlagAt = 8;
constexpr std::size_t kTagCountAt = 52;
constexpr std::size_t kTemplateAt = 60;

constexpr std::size_t kTemplateEntryIndex = 9;
constexpr std::size_t kNameEntryIndex = 14;  // without the pair array
constexpr std::uint32_t kBaseEntries = 22;
constexpr std::uint32_t kPairArrayEntries = 3;

bool isFlag(std::int32_t value) { return value == 0 || value == 1; }

std::int32_t checkReplyHead(MsgView msg, std::int32_t transType) {
    if (std::int32_t fault = checkHead(msg); fault != 0) return fault;
    if (decodeI32(msg.data() + head::kMessageTypeOffset) != kMsgReply) return parsecode::kWrongMessageType;
    if (decodeI32(msg.data() + head::kTransTypeOffset) != transType) return parsecode::kWrongTransType;
    return 0;
}

std::int32_t readItems(std::span<const std::uint8_t> data, const ReplyShape& shape, ReplyFields& out,
                       TimeStamp& valueTime) {
    ReadCursor cursor(data, 0);
    std::span<const std::uint8_t> deviceName;
    std::uint64_t tags = shape.tagCount;
    cursor.takeI32(out.pairsFlag);
    cursor.takeI32(out.replyToFlag);
    cursor.takeI32(out.secondPairsFlag);
    cursor.takeI32(out.listId);
    cursor.take(32, deviceName);
    cursor.takeI32(out.requestWord);
    cursor.takeI32(out.tagCount);
    cursor.takeI32(out.frequency);
    cursor.take(static_cast<std::uint64_t>(shape.templateEntries) * kDescriptorBytes, out.dataTemplate);
    if (shape.pairs) cursor.take(tags * 8, out.pairs);
    cursor.take(shape.nameBlock, out.tagNames);
    cursor.take(shape.valueBytes, out.values);
    cursor.take(tags * 12, out.statusRecords);
    if (shape.secondPairs) cursor.take(tags * 8, out.secondPairs);
    cursor.takeI32(valueTime.milliseconds);
    cursor.takeI32(valueTime.seconds);
    if (!cursor.ok() || cursor.position() != data.size()) return parsecode::kDataShort;
    out.deviceName = reinterpret_cast<const char*>(deviceName.data());
    return 0;
}

std::int32_t readReplyChecked(MsgView msg, std::int32_t transType, ReplyFields& out, TimeStamp& valueTime) {
    if (std::int32_t fault = checkReplyHead(msg, transType); fault != 0) return fault;

    constexpr std::array<std::uint32_t, 3> kAllowed{kBaseEntries, kBaseEntries + kPairArrayEntries,
                                                    kBaseEntries + 2 * kPairArrayEntries};
    DescriptorTableView table{std::span<const DescriptorEntry>{}};
    std::size_t dataOffset = 0;
    if (std::int32_t fault = readDescriptorTable(msg, kAllowed, table, dataOffset); fault != 0) return fault;
    std::span<const std::uint8_t> data = msg.subspan(dataOffset);
    if (data.size() < kTemplateAt) return parsecode::kDataShort;

    std::int32_t pairsFlag = decodeI32(data.data() + kPairsFlagAt);
    std::int32_t secondPairsFlag = decodeI32(data.data() + kSecondPairsFlagAt);
    if (!isFlag(pairsFlag) || !isFlag(secondPairsFlag) || !isFlag(decodeI32(data.data() + kReplyToFlagAt))) {
        return parsecode::kBadFlag;
    }
    ReplyShape shape;
    shape.pairs = pairsFlag == 1;
    shape.secondPairs = secondPairsFlag == 1;
    std::uint32_t expectedEntries =
        kBaseEntries + (shape.pairs ? kPairArrayEntries : 0) + (shape.secondPairs ? kPairArrayEntries : 0);
    if (table.size() != expectedEntries) return parsecode::kTableShape;

    shape.templateEntries = table.at(kTemplateEntryIndex).count;
    if (std::int32_t fault = checkDataTemplate(data.subspan(kTemplateAt), shape.templateEntries, shape.valueBytes);
        fault != 0) {
        return fault;
    }
    shape.tagCount = decodeU32(data.data() + kTagCountAt);
    if (shape.tagCount < 1 || shape.tagCount > 0x7FFFFFFF) return parsecode::kBadTagCount;
    shape.nameBlock = table.at(kNameEntryIndex + (shape.pairs ? kPairArrayEntries : 0)).size;
    if (!isWholeNameBlock(shape.nameBlock, shape.tagCount)) return parsecode::kBadNameBlock;

    FixedTable expected = replyTable(shape);
    if (!sameTable(table, expected.entries())) return parsecode::kTableShape;
    if (std::int32_t fault = checkDataSize(expected.entries(), data.size()); fault != 0) return fault;
    return readItems(data, shape, out, valueTime);
}

}  // namespace

std::int32_t readReply(MsgView msg, std::int32_t transType, ReplyFields& out, TimeStamp& valueTime) {
    out = {};
    valueTime = {};
    std::int32_t fault = readReplyChecked(msg, transType, out, valueTime);
    if (fault != 0) {
        out = {};
        valueTime = {};
    }
    return fault;
}
