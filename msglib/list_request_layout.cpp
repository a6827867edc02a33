#include "msglib/list_request_layout.h"

#include <array>
#include <cstring>

#include "msglib/address_coding.h"
#include "msglib/byte_cursor.h"
#include "msglib/coding.h"
#include "msglib/fixed_table.h"
#include "msglib/head_writer.h"
#include "msglib/library_codes.h"
#include "msglib/message_checks.h"
#include "msglib/message_head.h"
#include "msglib/parse_codes.h"
#include "msglib/request_layout.h"

using namespace getlayout;
using namespace listlayout;

namespace {

struct ListShape {
    bool pairs = false;
    bool secondPairs = false;
    std::uint32_t templateEntries = 0;
    std::uint32_t tagCount = 0;
    std::uint32_t nameBlock = 0;
};

FixedTable declareTable(const ListShape& shape) {
    FixedTable table;
    table.add(kDescStruct, 10 + (shape.pairs ? 1 : 0) + (shape.secondPairs ? 1 : 0), 1);
    addIntItem(table);  // pairs flag
    addIntItem(table);  // second-pairs flag
    addRequestItemEntries(table, shape.templateEntries);
    if (shape.pairs) addPairArrayItem(table, shape.tagCount);
    if (shape.secondPairs) addPairArrayItem(table, shape.tagCount);
    table.add(kDescChars, kReplyAddressBytes, 1);
    table.add(kDescChars, shape.nameBlock, 1);
    return table;
}

FixedTable cancelTable(std::uint32_t nameBlock) {
    FixedTable table;
    table.add(kDescStruct, 8, 1);
    addIntItem(table);  // pairs flag
    addIntItem(table);  // second flag
    addIntItem(table);  // list id
    table.add(kDescChars, kDeviceNameBytes, 1);
    addIntItem(table);  // request word
    addIntItem(table);  // number of tags
    addIntItem(table);  // frequency
    table.add(kDescChars, nameBlock, 1);
    return table;
}

bool isFlag(std::int32_t value) { return value == 0 || value == 1; }
bool isRequestType(std::int32_t messageType) { return messageType >= 1 && messageType <= 9; }

// The block of tagCount names whose width is the first name's length plus
// its terminator; false when the first name has no terminator or the block
// would run past the caller's bytes.
bool takeNameBlock(std::span<const std::uint8_t> given, std::uint32_t tagCount, std::span<const std::uint8_t>& block) {
    const void* nul = given.empty() ? nullptr : std::memchr(given.data(), '\0', given.size());
    if (nul == nullptr || tagCount == 0 || tagCount > 0x7FFFFFFF) return false;
    const std::uint64_t width = static_cast<std::uint64_t>(static_cast<const std::uint8_t*>(nul) - given.data()) + 1;
    const std::uint64_t bytes = width * tagCount;
    if (bytes > given.size() || bytes > kMaxDescribedBytes) return false;
    block = given.first(static_cast<std::size_t>(bytes));
    return true;
}

bool isOneItem(std::span<const DescriptorEntry> dataTemplate) {
    if (dataTemplate.empty()) return false;
    ItemExtent extent;
    return walkDescriptorItem(DescriptorTableView(dataTemplate), 0, extent) == 0 &&
           extent.entries == dataTemplate.size();
}

bool pairsFit(std::span<const std::uint8_t> pairs, std::uint32_t tagCount) {
    return pairs.empty() || pairs.size() == std::uint64_t{tagCount} * 8;
}

HeadFields requestHead(std::int32_t messageType, std::uint32_t transNum, std::int32_t transType,
                       const AddressRecord& source, const AddressRecord& destination,
                       const AddressRecord& replyDestination) {
    HeadFields head;
    head.messageType = messageType;
    head.transNum = transNum;
    head.transType = transType;
    head.destination = destination;
    head.replyDestination = replyDestination;
    head.source = source;
    head.requestSource = source;
    return head;
}

// The fixed items every request kind begins with.
void putFixedItems(WriteCursor& cursor, std::int32_t firstFlag, std::int32_t secondFlag, std::int32_t listId,
                   const char* deviceName, std::int32_t requestWord, std::uint32_t tagCount,
                   std::int32_t frequency) {
    cursor.putI32(firstFlag);
    cursor.putI32(secondFlag);
    cursor.putI32(listId);
    cursor.put({reinterpret_cast<const std::uint8_t*>(deviceName), kDeviceNameBytes});
    cursor.putI32(requestWord);
    cursor.putI32(static_cast<std::int32_t>(tagCount));
    cursor.putI32(frequency);
}

std::int32_t finish(WriteCursor& cursor, Message& out) {
    if (!cursor.ok() || cursor.position() != out.size) {
        releaseMessage(out);
        return libcode::kBadRequestInput;
    }
    return 0;
}

std::int32_t checkListHead(MsgView msg, std::int32_t transType) {
    if (std::int32_t fault = checkHead(msg); fault != 0) return fault;
    if (!isRequestType(decodeI32(msg.data() + head::kMessageTypeOffset))) return parsecode::kWrongMessageType;
    if (decodeI32(msg.data() + head::kTransTypeOffset) != transType) return parsecode::kWrongTransType;
    return 0;
}

// The fixed items at the front of a checked data part (at least kTemplateAt
// bytes); the tag count must be 1 or more.
struct FixedItems {
    std::int32_t firstFlag = 0;
    std::int32_t secondFlag = 0;
    std::uint32_t tagCount = 0;
};

std::int32_t readFixedFlags(std::span<const std::uint8_t> data, FixedItems& items) {
    if (data.size() < kTemplateAt) return parsecode::kDataShort;
    items.firstFlag = decodeI32(data.data() + kPairsFlagAt);
    items.secondFlag = decodeI32(data.data() + kReplyToFlagAt);
    if (!isFlag(items.firstFlag) || !isFlag(items.secondFlag)) return parsecode::kBadFlag;
    items.tagCount = decodeU32(data.data() + kTagCountAt);
    return 0;
}

bool tagCountInRange(std::uint32_t tagCount) { return tagCount >= 1 && tagCount <= 0x7FFFFFFF; }

void takeFixedItems(ReadCursor& cursor, std::int32_t& firstFlag, std::int32_t& secondFlag, std::int32_t& listId,
                    const char*& deviceName, std::int32_t& requestWord, std::int32_t& tagCount,
                    std::int32_t& frequency) {
    std::span<const std::uint8_t> device;
    cursor.takeI32(firstFlag);
    cursor.takeI32(secondFlag);
    cursor.takeI32(listId);
    cursor.take(kDeviceNameBytes, device);
    cursor.takeI32(requestWord);
    cursor.takeI32(tagCount);
    cursor.takeI32(frequency);
    deviceName = cursor.ok() ? reinterpret_cast<const char*>(device.data()) : nullptr;
}

std::int32_t readDeclareChecked(MsgView msg, DeclareRequestSlots& out) {
    if (std::int32_t fault = checkListHead(msg, kTransDeclare); fault != 0) return fault;
    constexpr std::array<std::uint32_t, 3> kAllowed{kDeclareBaseEntries, kDeclareBaseEntries + kPairArrayEntries,
                                                    kDeclareBaseEntries + 2 * kPairArrayEntries};
    DescriptorTableView table{std::span<const DescriptorEntry>{}};
    std::size_t dataOffset = 0;
    if (std::int32_t fault = readDescriptorTable(msg, kAllowed, table, dataOffset); fault != 0) return fault;
    std::span<const std::uint8_t> data = msg.subspan(dataOffset);
    FixedItems fixed;
    if (std::int32_t fault = readFixedFlags(data, fixed); fault != 0) return fault;

    ListShape shape;
    shape.pairs = fixed.firstFlag == 1;
    shape.secondPairs = fixed.secondFlag == 1;
    const std::uint32_t entries = kDeclareBaseEntries + (shape.pairs ? kPairArrayEntries : 0) +
                                  (shape.secondPairs ? kPairArrayEntries : 0);
    if (table.size() != entries) return parsecode::kTableShape;
    shape.templateEntries = table.at(kTemplateEntryIndex).count;
    std::uint32_t valueBytes = 0;
    if (std::int32_t fault = checkDataTemplate(data.subspan(kTemplateAt), shape.templateEntries, valueBytes);
        fault != 0) {
        return fault;
    }
    if (!tagCountInRange(fixed.tagCount)) return parsecode::kBadTagCount;
    shape.tagCount = fixed.tagCount;
    shape.nameBlock = table.at(table.size() - 1).size;
    if (!isWholeNameBlock(shape.nameBlock, shape.tagCount)) return parsecode::kBadNameBlock;
    FixedTable expected = declareTable(shape);
    if (!sameTable(table, expected.entries())) return parsecode::kTableShape;
    if (std::int32_t fault = checkDataSize(expected.entries(), data.size()); fault != 0) return fault;

    ReadCursor cursor(data, 0);
    const std::uint64_t tags = shape.tagCount;
    std::span<const std::uint8_t> reply;
    takeFixedItems(cursor, out.pairsFlag, out.secondPairsFlag, out.listId, out.deviceName, out.requestWord,
                   out.tagCount, out.frequency);
    cursor.take(std::uint64_t{shape.templateEntries} * kDescriptorBytes, out.dataTemplate);
    if (shape.pairs) cursor.take(tags * 8, out.pairs);
    if (shape.secondPairs) cursor.take(tags * 8, out.secondPairs);
    cursor.take(kReplyAddressBytes, reply);
    cursor.take(shape.nameBlock, out.tagNames);
    if (!cursor.ok() || cursor.position() != data.size()) return parsecode::kDataShort;
    out.replyAddress = decodeAddress(reply.data());
    return 0;
}

std::int32_t readCancelChecked(MsgView msg, CancelRequestSlots& out) {
    if (std::int32_t fault = checkListHead(msg, kTransCancel); fault != 0) return fault;
    constexpr std::array<std::uint32_t, 1> kAllowed{kCancelEntries};
    DescriptorTableView table{std::span<const DescriptorEntry>{}};
    std::size_t dataOffset = 0;
    if (std::int32_t fault = readDescriptorTable(msg, kAllowed, table, dataOffset); fault != 0) return fault;
    std::span<const std::uint8_t> data = msg.subspan(dataOffset);
    FixedItems fixed;
    if (std::int32_t fault = readFixedFlags(data, fixed); fault != 0) return fault;
    if (!tagCountInRange(fixed.tagCount)) return parsecode::kBadTagCount;
    const std::uint32_t nameBlock = table.at(table.size() - 1).size;
    if (!isWholeNameBlock(nameBlock, fixed.tagCount)) return parsecode::kBadNameBlock;
    FixedTable expected = cancelTable(nameBlock);
    if (!sameTable(table, expected.entries())) return parsecode::kTableShape;
    if (std::int32_t fault = checkDataSize(expected.entries(), data.size()); fault != 0) return fault;

    ReadCursor cursor(data, 0);
    takeFixedItems(cursor, out.pairsFlag, out.secondFlag, out.listId, out.deviceName, out.requestWord, out.tagCount,
                   out.frequency);
    cursor.take(nameBlock, out.tagNames);
    if (!cursor.ok() || cursor.position() != data.size()) return parsecode::kDataShort;
    return 0;
}

}  // namespace

std::int32_t writeDeclareRequest(const ListDeclaration& declaration, Message& out) {
    std::span<const std::uint8_t> names;
    if (!isRequestType(declaration.messageType) || declaration.deviceName == nullptr ||
        !takeNameBlock(declaration.tagNames, declaration.tagCount, names) || !isOneItem(declaration.dataTemplate) ||
        declaration.dataTemplate.size() > 0x7FFFFFFF || !pairsFit(declaration.pairs, declaration.tagCount) ||
        !pairsFit(declaration.secondPairs, declaration.tagCount)) {
        return libcode::kBadRequestInput;
    }
    ListShape shape;
    shape.pairs = !declaration.pairs.empty();
    shape.secondPairs = !declaration.secondPairs.empty();
    shape.templateEntries = static_cast<std::uint32_t>(declaration.dataTemplate.size());
    shape.tagCount = declaration.tagCount;
    shape.nameBlock = static_cast<std::uint32_t>(names.size());
    FixedTable table = declareTable(shape);
    const HeadFields head = requestHead(declaration.messageType, declaration.transNum, kTransDeclare,
                                        declaration.source, declaration.destination, declaration.replyAddress);
    std::size_t dataAt = 0;
    if (std::int32_t fault = startMessage(table.entries(), head, libcode::kRequestTooLarge, out, dataAt); fault != 0) {
        return fault;
    }
    WriteCursor cursor(out.span(), dataAt);
    putFixedItems(cursor, shape.pairs ? 1 : 0, shape.secondPairs ? 1 : 0, declaration.listId, declaration.deviceName,
                  declaration.requestWord, declaration.tagCount, declaration.frequency);
    putDescriptors(cursor, DescriptorTableView(declaration.dataTemplate));
    cursor.put(declaration.pairs);
    cursor.put(declaration.secondPairs);
    if (std::uint8_t* reply = cursor.reserve(kReplyAddressBytes); reply != nullptr) {
        encodeAddress(reply, declaration.replyAddress);
    }
    cursor.put(names);
    return finish(cursor, out);
}

std::int32_t writeCancelRequest(const ListCancellation& cancellation, Message& out) {
    std::span<const std::uint8_t> names;
    if (!isRequestType(cancellation.messageType) || cancellation.deviceName == nullptr ||
        !takeNameBlock(cancellation.tagNames, cancellation.tagCount, names)) {
        return libcode::kBadRequestInput;
    }
    FixedTable table = cancelTable(static_cast<std::uint32_t>(names.size()));
    const HeadFields head = requestHead(cancellation.messageType, cancellation.transNum, kTransCancel,
                                        cancellation.source, cancellation.destination, cancellation.source);
    std::size_t dataAt = 0;
    if (std::int32_t fault = startMessage(table.entries(), head, libcode::kRequestTooLarge, out, dataAt); fault != 0) {
        return fault;
    }
    WriteCursor cursor(out.span(), dataAt);
    putFixedItems(cursor, 0, 0, cancellation.listId, cancellation.deviceName, cancellation.requestWord,
                  cancellation.tagCount, cancellation.frequency);
    cursor.put(names);
    return finish(cursor, out);
}

std::int32_t readDeclareRequest(MsgView msg, DeclareRequestSlots& out) {
    out = {};
    std::int32_t fault = readDeclareChecked(msg, out);
    if (fault != 0) out = {};
    return fault;
}

std::int32_t readCancelRequest(MsgView msg, CancelRequestSlots& out) {
    out = {};
    std::int32_t fault = readCancelChecked(msg, out);
    if (fault != 0) out = {};
    return fault;
}

std::int32_t findRequestNames(MsgView msg, std::span<const std::uint8_t>& names, std::uint32_t& tagCount) {
    names = {};
    tagCount = 0;
    if (std::int32_t fault = checkHead(msg); fault != 0) return fault;
    std::int32_t fault = 0;
    switch (decodeI32(msg.data() + head::kTransTypeOffset)) {
        case kTransGet: {
            GetRequestView request;
            fault = readGetRequest(msg, request);
            names = request.tagNames;
            tagCount = request.items.tagCount;
            break;
        }
        case kTransDeclare: {
            DeclareRequestSlots request;
            fault = readDeclareRequest(msg, request);
            names = request.tagNames;
            tagCount = static_cast<std::uint32_t>(request.tagCount);
            break;
        }
        case kTransCancel: {
            CancelRequestSlots request;
            fault = readCancelRequest(msg, request);
            names = request.tagNames;
            tagCount = static_cast<std::uint32_t>(request.tagCount);
            break;
        }
        default:
            fault = parsecode::kWrongTransType;
    }
    if (fault != 0) {
        names = {};
        tagCount = 0;
    }
    return fault;
}
