// The messaging library's message parsers on arbitrary bytes: the GET and
// unsolicited reply parsers, the frequency of any message, and the GET reply
// built for an arbitrary "request".
//
// What must hold besides memory safety: a parsed reply's parts lie inside the
// message and have the sizes its tag count and template give; the frequency
// call agrees with the parser; a reply is built exactly for the requests the
// request reader accepts, and parses back to the request's fields with the
// values and status words it was given; a request written again from its
// parsed fields has the same head fields, table and data (one layout for the
// writer and the reader); an unsolicited reply rebuilt from its parsed fields
// parses to the same fields.
#include <algorithm>
#include <cstring>
#include <span>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "msglib/coding.h"
#include "msglib/descriptors.h"
#include "msglib/library_codes.h"
#include "msglib/message_head.h"
#include "msglib/msglib.h"
#include "msglib/request_layout.h"

namespace {

using Bytes = std::span<const std::uint8_t>;

bool inside(Bytes part, MsgView msg) {
    if (part.empty()) return true;
    return part.data() >= msg.data() && part.data() + part.size() <= msg.data() + msg.size();
}

bool same(Bytes a, Bytes b) {
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size()) == 0);
}

std::uint32_t templateValueBytes(Bytes dataTemplate) {
    const std::vector<DescriptorEntry> entries = decodeDescriptors(dataTemplate);
    std::int32_t bytes = -1;
    StatusBlock status;
    const std::int32_t spanned = ZENTO_DCONV_SIZE(entries, bytes, status);
    FUZZ_CHECK(!statusFailed(status));
    FUZZ_CHECK(static_cast<std::size_t>(spanned) == entries.size());
    return static_cast<std::uint32_t>(bytes);
}

void checkParsedReply(const ReplyFields& f, MsgView msg) {
    FUZZ_CHECK(f.tagCount >= 1);
    const auto tags = static_cast<std::size_t>(f.tagCount);
    FUZZ_CHECK(f.deviceName != nullptr);
    FUZZ_CHECK(inside({reinterpret_cast<const std::uint8_t*>(f.deviceName), 32}, msg));
    for (Bytes part : {f.dataTemplate, f.pairs, f.tagNames, f.values, f.statusRecords, f.secondPairs}) {
        FUZZ_CHECK(inside(part, msg));
    }
    FUZZ_CHECK(!f.dataTemplate.empty() && f.dataTemplate.size() % kDescriptorBytes == 0);
    FUZZ_CHECK(f.pairs.size() == (f.pairsFlag == 1 ? tags * 8 : 0));
    FUZZ_CHECK(f.secondPairs.size() == (f.secondPairsFlag == 1 ? tags * 8 : 0));
    FUZZ_CHECK(f.tagNames.size() >= tags && f.tagNames.size() % tags == 0);
    FUZZ_CHECK(f.statusRecords.size() == tags * 12);
    FUZZ_CHECK(f.values.size() == templateValueBytes(f.dataTemplate));

    StatusBlock status;
    FUZZ_CHECK(ZENTO_SERVER_FREQUENCY(msg, status) == f.frequency);
    FUZZ_CHECK(!statusFailed(status));
}

void checkSameReplyFields(const ReplyFields& a, const ReplyFields& b) {
    FUZZ_CHECK(a.pairsFlag == b.pairsFlag && a.secondPairsFlag == b.secondPairsFlag);
    FUZZ_CHECK(a.listId == b.listId && a.requestWord == b.requestWord);
    FUZZ_CHECK(a.tagCount == b.tagCount && a.frequency == b.frequency);
    FUZZ_CHECK(std::memcmp(a.deviceName, b.deviceName, 32) == 0);
    FUZZ_CHECK(same(a.dataTemplate, b.dataTemplate) && same(a.pairs, b.pairs) && same(a.tagNames, b.tagNames));
    FUZZ_CHECK(same(a.values, b.values) && same(a.statusRecords, b.statusRecords));
    FUZZ_CHECK(same(a.secondPairs, b.secondPairs));
}

void rebuildUnsolicited(const ReplyFields& f, MsgView msg) {
    const std::vector<DescriptorEntry> dataTemplate = decodeDescriptors(f.dataTemplate);
    UnsolicitedReplyInput input;
    input.destination = ZENTO_SERVER_MSGDEST(msg);
    input.replyDestination = ZENTO_SERVER_REPDEST(msg);
    input.deviceName = f.deviceName;
    input.requestWord = f.requestWord;
    input.listId = f.listId;
    input.frequency = f.frequency;
    input.tagCount = f.tagCount;
    input.tagNames = f.tagNames;
    input.pairs = f.pairs;
    input.dataTemplate = dataTemplate;
    input.values = f.values;
    input.statusRecords = f.statusRecords;
    input.secondPairs = f.secondPairs;
    Message rebuilt;
    StatusBlock status;
    ZENTO_SERVER_BLD_UNSREPLY(input, rebuilt, status);
    FUZZ_CHECK(!statusFailed(status) && rebuilt);

    ReplyFields again;
    ZENTO_SERVER_PARSE_UNSREP(rebuilt.view(), again, status);
    FUZZ_CHECK(!statusFailed(status));
    checkSameReplyFields(f, again);
    FUZZ_CHECK(again.replyToFlag == 0);
}

void parseReplies(MsgView msg) {
    ReplyFields get;
    StatusBlock getStatus;
    ZENTO_SERVER_PARSE_GETREP(msg, get, getStatus);
    ReplyFields uns;
    StatusBlock unsStatus;
    ZENTO_SERVER_PARSE_UNSREP(msg, uns, unsStatus);
    // One transaction type word: never both.
    FUZZ_CHECK(statusFailed(getStatus) || statusFailed(unsStatus));

    if (!statusFailed(getStatus)) {
        FUZZ_CHECK(ZENTO_SERVER_TRANSTYPE(msg) == kTransGet && ZENTO_SERVER_MSGTYPE(msg) == kMsgReply);
        checkParsedReply(get, msg);
    } else {
        FUZZ_CHECK(get.deviceName == nullptr && get.values.empty());
    }
    if (!statusFailed(unsStatus)) {
        FUZZ_CHECK(ZENTO_SERVER_TRANSTYPE(msg) == kTransUnsolicited);
        checkParsedReply(uns, msg);
        rebuildUnsolicited(uns, msg);
    }
}

void rewriteRequest(const GetRequestView& request, MsgView msg) {
    Message rewritten;
    FUZZ_CHECK(writeGetRequest(request, rewritten) == 0);
    const MsgView again = rewritten.view();
    FUZZ_CHECK(again.size() == msg.size());
    FUZZ_CHECK(same(again.subspan(head::kSize), msg.subspan(head::kSize)));
    // In the head: message type and transaction number, then every address
    // and the transaction type between them.
    constexpr std::size_t kAddressesBytes = head::kVersionOffset - head::kDestinationOffset;
    FUZZ_CHECK(same(again.subspan(head::kMessageTypeOffset, 8), msg.subspan(head::kMessageTypeOffset, 8)));
    FUZZ_CHECK(same(again.subspan(head::kDestinationOffset, kAddressesBytes),
                    msg.subspan(head::kDestinationOffset, kAddressesBytes)));
}

// Values a test can recognise; at most this many are offered.
constexpr std::size_t kMaxValueBytes = 1 << 20;

void answerRequest(MsgView msg) {
    GetRequestView request;
    const bool wellFormed = readGetRequest(msg, request) == 0;
    if (wellFormed) rewriteRequest(request, msg);

    // Offer what the request asks for when that is a reasonable amount, so
    // that the only refusal left is a malformed request.
    const std::size_t valueBytes = wellFormed ? std::min<std::size_t>(request.valueBytes, kMaxValueBytes) : 16;
    std::vector<std::uint8_t> values(valueBytes);
    for (std::size_t i = 0; i < values.size(); ++i) values[i] = static_cast<std::uint8_t>(i * 7 + 1);
    const std::size_t words = wellFormed ? static_cast<std::size_t>(request.items.tagCount) * 3 : 3;
    std::vector<std::int32_t> valueStatus(words);
    for (std::size_t i = 0; i < words; ++i) valueStatus[i] = static_cast<std::int32_t>(i) - 1;

    StatusBlock acquisition;
    ZENTO_SERVER_INITBLK(acquisition);
    const TimeStamp valueTime{123, 456789};
    Message reply;
    StatusBlock status;
    ZENTO_SERVER_BLD_GETREPLY(msg, acquisition, values, valueStatus, valueTime, reply, status);
    if (!wellFormed || request.valueBytes > kMaxValueBytes) {
        FUZZ_CHECK(statusFailed(status) && !reply);
        return;
    }
    // A reply too large for its length word is the one refusal left.
    if (statusFailed(status)) {
        FUZZ_CHECK(!reply && firstErrorCode(status) == libcode::kReplyTooLarge);
        return;
    }
    FUZZ_CHECK(reply);

    ReplyFields f;
    ZENTO_SERVER_PARSE_GETREP(reply.view(), f, status);
    FUZZ_CHECK(!statusFailed(status));
    const RequestItems& items = request.items;
    FUZZ_CHECK(ZENTO_SERVER_TRANSNUM(reply.view()) == request.head.transNum);
    FUZZ_CHECK(static_cast<std::uint32_t>(f.tagCount) == items.tagCount);
    FUZZ_CHECK(f.listId == items.listId && f.requestWord == items.requestWord);
    FUZZ_CHECK(f.frequency == items.frequency && f.replyToFlag == items.replyToFlag);
    FUZZ_CHECK(f.pairsFlag == request.pairsFlag && f.secondPairsFlag == 0);
    FUZZ_CHECK(std::memcmp(f.deviceName, items.deviceName, 32) == 0);
    FUZZ_CHECK(same(f.dataTemplate, request.dataTemplate) && same(f.pairs, request.pairs));
    FUZZ_CHECK(same(f.tagNames, request.tagNames));
    FUZZ_CHECK(same(f.values, values));
    for (std::size_t i = 0; i < words; ++i) {
        FUZZ_CHECK(decodeI32(f.statusRecords.data() + 4 * i) == valueStatus[i]);
    }
    StatusBlock frequencyStatus;
    FUZZ_CHECK(ZENTO_SERVER_FREQUENCY(reply.view(), frequencyStatus) == items.frequency);
    // Message type 2 marks a reply, so only other requests are read as such.
    if (ZENTO_SERVER_MSGTYPE(msg) != kMsgReply) {
        FUZZ_CHECK(ZENTO_SERVER_FREQUENCY(msg, frequencyStatus) == items.frequency);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzzsupport::prepareProcess();
    const MsgView msg(data, size);
    parseReplies(msg);
    answerRequest(msg);
    StatusBlock status;
    ZENTO_SERVER_FREQUENCY(msg, status);
    return 0;
}
