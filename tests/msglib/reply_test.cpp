// GET and unsolicited replies: built, parsed back, refused. Arbitrary bytes
// through the parsers are the messages fuzz target's; here are the causes
// named for single damaged fields, and truncations.
#include <gtest/gtest.h>

#include "msglib/library_codes.h"
#include "msglib/parse_codes.h"
#include "tests/msglib/msglib_test_support.h"

namespace {

using namespace msgtest;

Bytes bytesOf(const Message& msg) { return {msg.data(), msg.data() + msg.size}; }

// Parses, and checks the table describes the data exactly: head, table and
// data make up the length word, which is the buffer's size.
ReplyFields parsedReply(MsgView msg, std::int32_t transType) {
    ReplyFields out;
    StatusBlock status;
    (transType == kTransGet ? ZENTO_SERVER_PARSE_GETREP : ZENTO_SERVER_PARSE_UNSREP)(msg, out, status);
    EXPECT_FALSE(statusFailed(status)) << status.error[0];
    std::vector<DescriptorEntry> table = decodeDescriptors(msg.subspan(292, decodeU32(msg.data() + 288) * 12));
    EXPECT_EQ(292u + 12u * table.size() + static_cast<std::uint32_t>(ZENTO_SERVER_DSIZE(table, status)), msg.size());
    EXPECT_EQ(ZENTO_SERVER_MSGSIZE(msg), msg.size());
    EXPECT_EQ(ZENTO_SERVER_MSGTYPE(msg), kMsgReply);
    EXPECT_EQ(ZENTO_SERVER_TRANSTYPE(msg), transType);
    return out;
}

TEST(GetReply, AnswersTheRequestItWasBuiltFrom) {
    const Message request = sampleRequest();
    GetReplyCall call;
    call.build(request.view());
    ASSERT_FALSE(statusFailed(call.status)) << call.status.error[0];
    const MsgView reply = call.reply.view();
    // Back to the reply destination, from the service asked, naming the requester.
    EXPECT_EQ(ZENTO_SERVER_TRANSNUM(reply), 77u);
    EXPECT_TRUE(same(ZENTO_SERVER_MSGDEST(reply), ZENTO_SERVER_REPDEST(request.view())));
    EXPECT_TRUE(same(ZENTO_SERVER_REPDEST(reply), kServer) && same(ZENTO_SERVER_MSGSRC(reply), kServer));
    EXPECT_TRUE(same(ZENTO_SERVER_REQSRC(reply), kRequester));

    const ReplyFields out = parsedReply(reply, kTransGet);
    EXPECT_EQ(out.pairsFlag + out.replyToFlag, 2);
    EXPECT_EQ(out.listId, 4242);
    EXPECT_EQ(fixedText(out.deviceName, 32), "PLC-7");
    EXPECT_EQ(out.frequency, 100);
    EXPECT_EQ(text(out.pairs), text(words({1, 2, 3, 4})));
    EXPECT_EQ(text(out.tagNames), std::string("TEMP\0FLOW\0", 10));
    EXPECT_EQ(text(out.values), text(Bytes{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));  // only what the template describes
    EXPECT_EQ(text(out.statusRecords), text(words({0, 1, 2, 10, 11, 12})));
    EXPECT_EQ(text(reply.last(8)), text(words({250, 1700000000})));  // value time: milliseconds, then seconds
}

TEST(GetReply, RefusedWithoutEverythingItNeeds) {
    Bytes notRequest = bytesOf(sampleRequest());
    encodeU32(notRequest.data() + 152, kTransShut);
    GetReplyCall failedAcquisition, shortValues, shortStatus, badRequest;
    ZENTO_SERVER_LDBLK(1, 0, failedAcquisition.acquisition);
    ZENTO_SERVER_LDBLK(13, 13123, failedAcquisition.acquisition);
    shortValues.values.resize(9);
    shortStatus.valueStatus.resize(5);  // two tags need six words
    const std::pair<GetReplyCall*, std::vector<std::int32_t>> cases[] = {
        {&failedAcquisition, {13123, 0, libcode::kAcquisitionFailed}},  // its entries are the causes
        {&shortValues, {libcode::kValuesShort}},
        {&shortStatus, {libcode::kValueStatusShort}},
        {&badRequest, {parsecode::kWrongTransType, parsecode::kUnableToParse, libcode::kBadRequest}},
    };
    for (const auto& [call, codes] : cases) {
        call->build(call == &badRequest ? MsgView(notRequest) : sampleRequest().view());
        EXPECT_FALSE(call->reply);
        EXPECT_EQ(std::vector<std::int32_t>(call->status.error, call->status.error + codes.size()), codes);
    }
}

TEST(UnsolicitedReply, AddressedToTheClientWithWhatItWasGiven) {
    UnsolicitedCall call;
    call.build();
    ASSERT_FALSE(statusFailed(call.status)) << call.status.error[0];
    const MsgView msg = call.reply.view();
    EXPECT_EQ(ZENTO_SERVER_TRANSNUM(msg), 0u);
    EXPECT_TRUE(same(ZENTO_SERVER_MSGDEST(msg), kClient) && same(ZENTO_SERVER_REPDEST(msg), kServer));
    // A stored copy is forwarded to the requester's node: the client's.
    EXPECT_TRUE(same(ZENTO_SERVER_REQSRC(msg), kClient));
    ReplyFields out = parsedReply(msg, kTransUnsolicited);
    EXPECT_EQ(out.pairsFlag + out.secondPairsFlag, 2);
    EXPECT_EQ(out.replyToFlag, 0);
    EXPECT_EQ(out.requestWord, -5);
    EXPECT_EQ(text(out.values), text(call.values));
    EXPECT_EQ(text(out.tagNames), text(call.names));
    EXPECT_EQ(text(out.secondPairs), text(words({9, 9, 8, 8, 7, 7})));  // the pairs the tags need
    EXPECT_EQ(text(out.statusRecords), text(call.statusRecords));

    call.pairs.clear();
    call.secondPairs.clear();
    call.build();
    out = parsedReply(call.reply.view(), kTransUnsolicited);
    EXPECT_EQ(out.pairsFlag + out.secondPairsFlag, 0);
    EXPECT_TRUE(out.pairs.empty() && out.secondPairs.empty());
}

TEST(UnsolicitedReply, InconsistentInputIsRefused) {
    const std::pair<void (*)(UnsolicitedCall&), std::int32_t> cases[] = {
        {[](UnsolicitedCall& c) { c.input.tagCount = 0; }, libcode::kBadReplyInput},
        {[](UnsolicitedCall& c) { c.input.deviceName = nullptr; }, libcode::kBadReplyInput},
        {[](UnsolicitedCall& c) { c.names.pop_back(); }, libcode::kBadReplyInput},
        {[](UnsolicitedCall& c) { c.dataTemplate.push_back(entry(4, 4, 1)); }, libcode::kBadReplyInput},
        {[](UnsolicitedCall& c) { c.dataTemplate[3].type = 9; }, libcode::kBadReplyInput},
        {[](UnsolicitedCall& c) { c.values.pop_back(); }, libcode::kValuesShort},
        {[](UnsolicitedCall& c) { c.statusRecords.pop_back(); }, libcode::kValueStatusShort},
        {[](UnsolicitedCall& c) { c.pairs.pop_back(); }, libcode::kBadReplyInput},
    };
    for (const auto& [spoil, code] : cases) {
        UnsolicitedCall call;
        spoil(call);
        call.build();
        EXPECT_FALSE(call.reply) << code;
        EXPECT_EQ(call.status.error[statusEntryCount(call.status) - 1], code);
    }
}

TEST(Frequency, OfGetRequestsAndRepliesOnly) {
    Bytes request = bytesOf(sampleRequest());
    Message note;
    StatusBlock status;
    encodeU32(request.data() + 12, 9);  // the request builder's callers choose a head value up to 9
    EXPECT_EQ(ZENTO_SERVER_FREQUENCY(request, status), 100);
    EXPECT_FALSE(statusFailed(status));
    encodeU32(request.data() + 12, 10);
    EXPECT_EQ(ZENTO_SERVER_FREQUENCY(request, status), 0);
    EXPECT_EQ(status.error[0], parsecode::kWrongMessageType);
    buildNotification(kTransAck, kServer, kClient, 0, note, status);
    EXPECT_EQ(ZENTO_SERVER_FREQUENCY(note.view(), status), 0);
    EXPECT_EQ(status.facility[0], kFacilityParser);
    EXPECT_EQ(status.error[0], parsecode::kWrongTransType);
    EXPECT_EQ(status.error[1], parsecode::kUnableToParse);
}

TEST(ParserRobustness, DamagedFieldsNameTheirCause) {
    GetReplyCall call;
    call.build(sampleRequest().view());
    const std::size_t data = 292 + 12 * 25;  // behind the table of a reply with pairs
    const std::size_t templateCount = 292 + 12 * 9 + 8;
    const std::tuple<std::size_t, std::uint32_t, std::int32_t> cases[] = {
        {0, 0x5A5B, parsecode::kBadMagic},
        {4, 100000, parsecode::kLengthMismatch},
        {12, kMsgRequest, parsecode::kWrongMessageType},
        {152, kTransUnsolicited, parsecode::kWrongTransType},
        {288, 0xFFFFFFFF, parsecode::kBadDescriptorCount},
        {288, 28, parsecode::kTableShape},
        {data, 2, parsecode::kBadFlag},
        {data + 8, 1, parsecode::kTableShape},  // second pairs flag without second pairs
        {data + 52, 0, parsecode::kBadTagCount},
        {data + 52, 3, parsecode::kBadNameBlock},
        {templateCount, 0x10000000, parsecode::kDataShort},
        {templateCount, 3, parsecode::kBadTemplate},
        {292 + 12 * 17 + 4, 6, parsecode::kDataSizeMismatch},  // the name block's size
    };
    for (const auto& [offset, value, code] : cases) {
        Bytes msg = bytesOf(call.reply);
        if (offset == 0) {
            encodeU16(msg.data(), static_cast<std::uint16_t>(value));
        } else {
            encodeU32(msg.data() + offset, value);
        }
        ReplyFields out;
        StatusBlock status;
        ZENTO_SERVER_PARSE_GETREP(msg, out, status);
        EXPECT_EQ(status.facility[0], kFacilityParser) << offset;
        EXPECT_EQ(status.error[0], code) << offset << " " << value;
        EXPECT_EQ(status.error[1], parsecode::kUnableToParse);
        EXPECT_EQ(out.deviceName, nullptr) << "nothing is left from a failed parse";
    }
}

TEST(ParserRobustness, EveryTruncationIsRefused) {
    UnsolicitedCall unsolicited;
    unsolicited.build();
    GetReplyCall get;
    get.build(sampleRequest().view());
    for (const Bytes& whole : {bytesOf(get.reply), bytesOf(unsolicited.reply), bytesOf(sampleRequest())}) {
        for (std::size_t length = 0; length < whole.size(); ++length) {
            Bytes prefix(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(length));
            // The length word as cut, then patched so the parser must find
            // the missing data itself.
            for (int patched = 0; patched < 2; ++patched) {
                if (patched == 1 && length >= 8) encodeU32(prefix.data() + 4, static_cast<std::uint32_t>(length));
                ReplyFields out;
                StatusBlock getStatus, unsStatus, frequencyStatus;
                ZENTO_SERVER_PARSE_GETREP(prefix, out, getStatus);
                ZENTO_SERVER_PARSE_UNSREP(prefix, out, unsStatus);
                EXPECT_EQ(ZENTO_SERVER_FREQUENCY(prefix, frequencyStatus), 0);
                GetReplyCall answer;
                answer.build(prefix);
                ASSERT_TRUE(statusFailed(getStatus) && statusFailed(unsStatus) && statusFailed(frequencyStatus) &&
                            !answer.reply)
                    << length;
            }
        }
    }
}

}  // namespace
