#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "msglib/library_codes.h"
#include "msglib/msglib.h"
#include "msglib/parse_codes.h"
#include "tests/msglib/msglib_test_support.h"

namespace {

using msgtest::entry;
using msgtest::RequestSpec;
using msgtest::sameAddressBytes;
using msgtest::Bytes;
using msgtest::GetReplyCall;
using msgtest::text;
using msgtest::UnsolicitedCall;
using msgtest::words;

// Parses, and checks the table describes the data exactly: its size plus head
// and table is the length word, which is the buffer's size.
ReplyFields parsedReply(MsgView msg, std::int32_t transType) {
    ReplyFields out;
    StatusBlock status;
    if (transType == kTransGet) {
        ZENTO_SERVER_PARSE_GETREP(msg, out, status);
    } else {
        ZENTO_SERVER_PARSE_UNSREP(msg, out, status);
    }
    EXPECT_FALSE(statusFailed(status)) << status.error[0];
    std::vector<DescriptorEntry> table = decodeDescriptors(msg.subspan(292, decodeU32(msg.data() + 288) * 12));
    std::int32_t data = ZENTO_SERVER_DSIZE(table, status);
    EXPECT_EQ(292u + 12u * table.size() + static_cast<std::uint32_t>(data), msg.size());
    EXPECT_EQ(ZENTO_SERVER_MSGSIZE(msg), msg.size());
    EXPECT_EQ(ZENTO_SERVER_MSGTYPE(msg), kMsgReply);
    EXPECT_EQ(ZENTO_SERVER_TRANSTYPE(msg), transType);
    return out;
}

TEST(GetReply, AnswersTheRequestItWasBuiltFrom) {
    RequestSpec spec;
    spec.pairs = {1, 2, 3, 4};
    Bytes request = msgtest::makeGetRequest(spec);
    GetReplyCall call;
    call.build(request);
    ASSERT_FALSE(statusFailed(call.status)) << call.status.error[0];
    MsgView reply = call.reply.view();
    EXPECT_EQ(ZENTO_SERVER_TRANSNUM(reply), spec.transNum);
    EXPECT_TRUE(sameAddressBytes(ZENTO_SERVER_MSGDEST(reply), spec.replyDestination));
    EXPECT_TRUE(sameAddressBytes(ZENTO_SERVER_REPDEST(reply), spec.destination));
    EXPECT_TRUE(sameAddressBytes(ZENTO_SERVER_MSGSRC(reply), spec.destination));
    EXPECT_TRUE(sameAddressBytes(ZENTO_SERVER_REQSRC(reply), spec.requester));

    ReplyFields out = parsedReply(reply, kTransGet);
    EXPECT_EQ(out.pairsFlag, 1);
    EXPECT_EQ(out.replyToFlag, 1);
    EXPECT_EQ(out.secondPairsFlag, 0);
    EXPECT_EQ(out.listId, spec.listId);
    EXPECT_EQ(fixedText(out.deviceName, 32), spec.deviceName);
    EXPECT_EQ(out.requestWord, spec.requestWord);
    EXPECT_EQ(out.tagCount, 2);
    EXPECT_EQ(out.frequency, spec.frequency);
    EXPECT_EQ(decodeDescriptors(out.dataTemplate).size(), 3u);
    EXPECT_EQ(text(out.pairs), text(words({1, 2, 3, 4})));
    EXPECT_EQ(text(out.tagNames), std::string("TEMP\0FLOW\0", 10));
    EXPECT_EQ(text(out.values), text(words({1234, 0})));  // only what the template describes
    EXPECT_EQ(text(out.statusRecords), text(words({0, 1, 2, 10, 11, 12})));
    EXPECT_TRUE(out.secondPairs.empty());
    // The value time closes the message: milliseconds, then seconds.
    EXPECT_EQ(text(reply.last(8)), text(words({250, 1700000000})));

    StatusBlock status;
    EXPECT_EQ(ZENTO_SERVER_FREQUENCY(reply, status), spec.frequency);
    EXPECT_EQ(ZENTO_SERVER_FREQUENCY(request, status), spec.frequency);
    ZENTO_SERVER_PARSE_UNSREP(reply, out, status);
    EXPECT_EQ(status.error[0], parsecode::kWrongTransType);
    EXPECT_EQ(status.error[1], parsecode::kUnableToParse);
    EXPECT_EQ(out.deviceName, nullptr);  // nothing left from a failed parse
}

TEST(GetReply, EndOfFileNoticeCarriesItsText) {
    RequestSpec spec;
    spec.dataTemplate = {entry(7, 1, 1), entry(3, 17, 1)};
    spec.names = {"STOREFILEISEMPTY"};
    spec.nameWidth = 17;
    GetReplyCall call;
    call.values.assign(80, 0);
    std::memcpy(call.values.data(), "STOREFILEISEMPTY", 16);
    call.valueStatus = {-1, 13, 0};
    call.build(msgtest::makeGetRequest(spec));
    ASSERT_FALSE(statusFailed(call.status));
    ReplyFields out = parsedReply(call.reply.view(), kTransGet);
    EXPECT_EQ(out.pairsFlag, 0);
    EXPECT_EQ(text(out.values), std::string("STOREFILEISEMPTY\0", 17));
    EXPECT_EQ(text(out.tagNames), std::string("STOREFILEISEMPTY\0", 17));
    EXPECT_EQ(text(out.statusRecords), text(words({-1, 13, 0})));
}

TEST(GetReply, RefusedWithoutEverythingItNeeds) {
    Bytes request = msgtest::makeGetRequest(RequestSpec{});
    GetReplyCall failedAcquisition, shortValues, shortStatus, notRequest;
    ZENTO_SERVER_LDBLK(1, 0, failedAcquisition.acquisition);
    ZENTO_SERVER_LDBLK(13, 13123, failedAcquisition.acquisition);
    failedAcquisition.build(request);
    EXPECT_EQ(failedAcquisition.status.error[0], 13123);  // the acquisition's entries come first
    EXPECT_EQ(failedAcquisition.status.error[2], libcode::kAcquisitionFailed);

    shortValues.values.resize(7);  // the template describes 8 bytes
    shortValues.build(request);
    EXPECT_EQ(shortValues.status.error[0], libcode::kValuesShort);
    shortStatus.valueStatus.resize(5);  // two tags need six words
    shortStatus.build(request);
    EXPECT_EQ(shortStatus.status.error[0], libcode::kValueStatusShort);

    encodeU32(request.data() + 152, kTransShut);
    notRequest.build(request);
    EXPECT_EQ(notRequest.status.facility[0], kFacilityParser);
    EXPECT_EQ(notRequest.status.error[0], parsecode::kWrongTransType);
    EXPECT_EQ(notRequest.status.error[2], libcode::kBadRequest);
    for (GetReplyCall* call : {&failedAcquisition, &shortValues, &shortStatus, &notRequest}) {
        EXPECT_FALSE(call->reply);
    }
}

TEST(UnsolicitedReply, RoundTripsEverySlot) {
    UnsolicitedCall call;
    call.build();
    ASSERT_FALSE(statusFailed(call.status)) << call.status.error[0];
    MsgView msg = call.reply.view();
    EXPECT_EQ(ZENTO_SERVER_TRANSNUM(msg), 0u);
    EXPECT_TRUE(sameAddressBytes(ZENTO_SERVER_MSGDEST(msg), call.input.destination));
    EXPECT_TRUE(sameAddressBytes(ZENTO_SERVER_REPDEST(msg), call.input.replyDestination));
    // A stored copy is forwarded to the requester's node: the client's.
    EXPECT_TRUE(sameAddressBytes(ZENTO_SERVER_REQSRC(msg), call.input.destination));

    ReplyFields out = parsedReply(msg, kTransUnsolicited);
    EXPECT_EQ(out.pairsFlag, 1);
    EXPECT_EQ(out.secondPairsFlag, 1);
    EXPECT_EQ(out.listId, 17);
    EXPECT_EQ(out.requestWord, -5);
    EXPECT_EQ(out.tagCount, 3);
    EXPECT_EQ(fixedText(out.deviceName, 32), "DEVICE-U");
    EXPECT_EQ(decodeDescriptors(out.dataTemplate).size(), 5u);
    EXPECT_EQ(text(out.values), text(call.values));
    EXPECT_EQ(text(out.tagNames), text(call.names));
    EXPECT_EQ(text(out.pairs), text(call.pairs));
    EXPECT_EQ(text(out.secondPairs), text(words({9, 9, 8, 8, 7, 7})));
    EXPECT_EQ(text(out.statusRecords), text(call.statusRecords));
    StatusBlock status;
    EXPECT_EQ(ZENTO_SERVER_FREQUENCY(msg, status), 30);
    ZENTO_SERVER_PARSE_GETREP(msg, out, status);
    EXPECT_EQ(status.error[0], parsecode::kWrongTransType);

    call.input.pairs = {};
    call.input.secondPairs = {};
    call.build();
    out = parsedReply(call.reply.view(), kTransUnsolicited);
    EXPECT_EQ(out.pairsFlag + out.secondPairsFlag, 0);
    EXPECT_TRUE(out.pairs.empty() && out.secondPairs.empty());
}

TEST(UnsolicitedReply, InconsistentInputIsRefused) {
    struct Case {
        const char* what;
        void (*spoil)(UnsolicitedCall&);
        std::int32_t code;
    };
    const Case cases[] = {
        {"no tags", [](UnsolicitedCall& c) { c.input.tagCount = 0; }, libcode::kBadReplyInput},
        {"no device", [](UnsolicitedCall& c) { c.input.deviceName = nullptr; }, libcode::kBadReplyInput},
        {"names not whole", [](UnsolicitedCall& c) { c.names.pop_back(); c.input.tagNames = c.names; },
         libcode::kBadReplyInput},
        {"template not one item", [](UnsolicitedCall& c) { c.dataTemplate.push_back(entry(4, 4, 1)); },
         libcode::kBadReplyInput},
        {"template malformed", [](UnsolicitedCall& c) { c.dataTemplate[3].type = 9; }, libcode::kBadReplyInput},
        {"values short", [](UnsolicitedCall& c) { c.values.pop_back(); c.input.values = c.values; },
         libcode::kValuesShort},
        {"status short", [](UnsolicitedCall& c) { c.statusRecords.pop_back(); c.input.statusRecords = c.statusRecords; },
         libcode::kValueStatusShort},
        {"pairs short", [](UnsolicitedCall& c) { c.pairs.pop_back(); c.input.pairs = c.pairs; },
         libcode::kBadReplyInput},
    };
    for (const Case& c : cases) {
        UnsolicitedCall call;
        c.spoil(call);
        call.build();
        EXPECT_FALSE(call.reply) << c.what;
        EXPECT_EQ(call.status.error[statusEntryCount(call.status) - 1], c.code) << c.what;
    }
}

TEST(Frequency, OnlyForRequestsAndReplies) {
    Message notification;
    StatusBlock status;
    buildNotification(kTransAck, makeAddress("A", "B"), makeAddress("C", "D"), 0, notification, status);
    EXPECT_EQ(ZENTO_SERVER_FREQUENCY(notification.view(), status), 0);
    EXPECT_EQ(status.facility[0], kFacilityParser);
    EXPECT_EQ(status.error[0], parsecode::kWrongTransType);
    EXPECT_EQ(status.error[1], parsecode::kUnableToParse);

    RequestSpec spec;
    spec.frequency = -20;
    spec.headValue = 9;
    EXPECT_EQ(ZENTO_SERVER_FREQUENCY(msgtest::makeGetRequest(spec), status), -20);
    EXPECT_FALSE(statusFailed(status));
    spec.headValue = 10;
    EXPECT_EQ(ZENTO_SERVER_FREQUENCY(msgtest::makeGetRequest(spec), status), 0);
    EXPECT_EQ(status.error[0], parsecode::kWrongMessageType);
}

}  // namespace
