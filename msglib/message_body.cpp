// Store-and-forward notifications: a head (message type 3, transaction type
// 15) and a one-entry table, a character field as long as the body, followed
// by the body.
#include <cstring>

#include "msglib/coding.h"
#include "msglib/head_writer.h"
#include "msglib/library_codes.h"
#include "msglib/message_checks.h"
#include "msglib/msglib.h"
#include "msglib/parse_codes.h"
#include "msglib/support_codes.h"

namespace {

constexpr std::uint32_t kBodyEntries = 1;
constexpr std::uint32_t kDataAt = head::kSize + kDescriptorBytes;

std::int32_t readBody(MsgView msg, std::span<const std::uint8_t>& body) {
    if (std::int32_t fault = checkHead(msg); fault != 0) return fault;
    if (ZENTO_SERVER_MSGTYPE(msg) != kMsgNotification) return parsecode::kWrongMessageType;
    if (ZENTO_SERVER_TRANSTYPE(msg) != kTransMsg) return parsecode::kWrongTransType;
    DescriptorTableView table = DescriptorTableView::fromBytes({});
    std::size_t dataOffset = 0;
    const std::uint32_t allowed[] = {kBodyEntries};
    if (std::int32_t fault = readDescriptorTable(msg, allowed, table, dataOffset); fault != 0) return fault;
    const DescriptorEntry entry = table.at(0);
    if (entry.type != kDescChars || entry.zero != 0 || entry.count != 1) return parsecode::kTableShape;
    if (entry.size != msg.size() - dataOffset) return parsecode::kDataSizeMismatch;
    body = msg.subspan(dataOffset);
    return 0;
}

}  // namespace

void ZENTO_SERVER_BLD_MSG(const AddressRecord& source, const AddressRecord& destination,
                          std::span<const std::uint8_t> body, Message& out, StatusBlock& status) {
    ZENTO_SERVER_INITBLK(status);
    releaseMessage(out);
    if (body.size() > kMaxDescribedBytes - kDataAt) {
        ZENTO_SERVER_LDBLK(kFacilityLibrary, supportcode::kBodyTooLarge, status);
        return;
    }
    const auto length = static_cast<std::uint32_t>(kDataAt + body.size());
    if (!allocateMessage(out, length)) {
        ZENTO_SERVER_LDBLK(kFacilityLibrary, libcode::kNoMemory, status);
        return;
    }
    HeadFields fields;
    fields.length = length;
    fields.messageType = kMsgNotification;
    fields.transType = kTransMsg;
    fields.destination = destination;
    fields.replyDestination = source;
    fields.source = source;
    fields.requestSource = source;
    fields.descriptorCount = kBodyEntries;
    writeHead(out.data(), fields);
    encodeDescriptor(out.data() + head::kSize, {kDescChars, 0, static_cast<std::uint32_t>(body.size()), 1});
    if (!body.empty()) std::memcpy(out.data() + kDataAt, body.data(), body.size());
}

void ZENTO_SERVER_PARSE_MSG(MsgView msg, std::span<const std::uint8_t>& body, StatusBlock& status) {
    ZENTO_SERVER_INITBLK(status);
    body = {};
    if (std::int32_t fault = readBody(msg, body); fault != 0) {
        body = {};
        ZENTO_SERVER_LDBLK(kFacilityParser, fault, status);
        ZENTO_SERVER_LDBLK(kFacilityParser, parsecode::kUnableToParse, status);
    }
}
