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
using msgtest::makeGetRequest;
using msgtest::RequestSpec;
using msgtest::sameAddressBytes;

std::vector<std::uint8_t> bytesOf(std::initializer_list<std::int32_t> words) {
    std::vector<std::uint8_t> out(words.size() * 4);
    std::size_t at = 0;
    for (std::int32_t word : words) encodeI32(out.data() + (at++) * 4, word);
    return out;
}

std::string text(std::span<const std::uint8_t> bytes) { return {bytes.begin(), bytes.end()}; }

// The table describes the data exactly: its size plus head and table is the
// length word, which is the buffer's size.
void expectSelfDescribing(MsgView msg) {
    std::vector<DescriptorEntry> table = msgtest::tableOf(msg);
    StatusBlock status;
    std::int32_t data = ZENTO_SERVER_DSIZE(table, status);
    ASSERT_FALSE(statusFailed(status));
    EXPECT_EQ(292u + 12u * table.size() + static_cast<std::uint32_t>(data), ZENTO_SERVER_MSGSIZE(msg));
    EXPECT_EQ(ZENTO_SERVER_MSGSIZE(msg), msg.size());
    EXPECT_EQ(ZENTO_SERVER_TEMPLATE_SIZE(table, status), static_cast<std::int32_t>(table.size()));
}

struct GetReplyFixture {
    StatusBlock acquisition{};
    std::vector<std::uint8_t> values = bytesOf({1234, 0});  // int 1234, float 0.0, then spare bytes
    std::vector<std::int32_t> valueStatus{0, 1, 2, 10, 11, 12};
    TimeStamp valueTime{250, 1700000000};
    Message reply;
    StatusBlock status{};

    GetReplyFixture() {
        ZENTO_SERVER_INITBLK(acquisition);
        values.resize(40, 0xEE);
    }
    void build(MsgView request) {
        ZENTO_SERVER_BLD_GETREPLY(request, acquisition, values, valueStatus, valueTime, reply, status);
    }
};

TEST(GetReply, AnswersTheRequestItWasBuiltFrom) {
    RequestSpec spec;
    spec.pairs = {1, 2, 3, 4};
    std::vector<std::uint8_t> request = makeGetRequest(spec);
    GetReplyFixture f;
    f.build(request);
    ASSERT_FALSE(statusFailed(f.status)) << f.status.error[0];
    MsgView reply = f.reply.view();
    expectSelfDescribing(reply);

    EXPECT_EQ(ZENTO_SERVER_MSGTYPE(reply), kMsgReply);
    EXPECT_EQ(ZENTO_SERVER_TRANSTYPE(reply), kTransGet);
    EXPECT_EQ(ZENTO_SERVER_TRANSNUM(reply), spec.transNum);
    EXPECT_TRUE(sameAddressBytes(ZENTO_SERVER_MSGDEST(reply), spec.replyDestination));
    EXPECT_TRUE(sameAddressBytes(ZENTO_SERVER_REPDEST(reply), spec.destination));
    EXPECT_TRUE(sameAddressBytes(ZENTO_SERVER_MSGSRC(reply), spec.destination));
    EXPECT_TRUE(sameAddressBytes(ZENTO_SERVER_REQSRC(reply), spec.requester));

    ReplyFields out;
    StatusBlock status;
    ZENTO_SERVER_PARSE_GETREP(reply, out, status);
    ASSERT_FALSE(statusFailed(status)) << status.error[0];
    EXPECT_EQ(out.pairsFlag, 1);
    EXPECT_EQ(out.replyToFlag, 1);
    EXPECT_EQ(out.secondPairsFlag, 0);
    EXPECT_EQ(out.listId, spec.listId);
    EXPECT_EQ(fixedText(out.deviceName, 32), spec.deviceName);
    EXPECT_EQ(out.requestWord, spec.requestWord);
    EXPECT_EQ(out.tagCount, 2);
    EXPECT_EQ(out.frequency, spec.frequency);
    ASSERT_EQ(out.dataTemplate.size(), 36u);
    EXPECT_EQ(decodeDescriptor(out.dataTemplate.data() + 24).type, 1);
    EXPECT_EQ(out.pairs.size(), 16u);
    EXPECT_EQ(decodeI32(out.pairs.data() + 12), 4);
    EXPECT_EQ(text(out.tagNames), std::string("TEMP\0FLOW\0", 10));
    EXPECT_EQ(out.values.size(), 8u);  // only what the template describes
    EXPECT_EQ(decodeI32(out.values.data()), 1234);
    ASSERT_EQ(out.statusRecords.size(), 24u);
    EXPECT_EQ(decodeI32(out.statusRecords.data() + 20), 12);
    EXPECT_TRUE(out.secondPairs.empty());
    // The value time closes the message: milliseconds, then seconds.
    EXPECT_EQ(decodeI32(reply.data() + reply.size() - 8), 250);
    EXPECT_EQ(decodeI32(reply.data() + reply.size() - 4), 1700000000);

    StatusBlock freqStatus;
    EXPECT_EQ(ZENTO_SERVER_FREQUENCY(reply, freqStatus), spec.frequency);
    EXPECT_EQ(ZENTO_SERVER_FREQUENCY(request, freqStatus), spec.frequency);
    EXPECT_FALSE(statusFailed(freqStatus));
    ZENTO_SERVER_PARSE_UNSREP(reply, out, status);
    EXPECT_EQ(status.error[0], parsecode::kWrongTransType);
    EXPECT_EQ(status.error[1], parsecode::kUnableToParse);
}

TEST(GetReply, EndOfFileNoticeShape) {
    RequestSpec spec;
    spec.dataTemplate = {entry(7, 1, 1), entry(3, 17, 1)};
    spec.names = {"STOREFILEISEMPTY"};
    spec.nameWidth = 17;
    spec.pairs = {0, 0};
    spec.listId = 9999;
    std::vector<std::uint8_t> request = makeGetRequest(spec);
    GetReplyFixture f;
    f.values.assign(80, 0);
    std::memcpy(f.values.data(), "STOREFILEISEMPTY", 16);
    f.valueStatus = {-1, 13, 0};
    f.build(request);
    ASSERT_FALSE(statusFailed(f.status)) << f.status.error[0];
    ReplyFields out;
    StatusBlock status;
    ZENTO_SERVER_PARSE_GETREP(f.reply.view(), out, status);
    ASSERT_FALSE(statusFailed(status));
    EXPECT_EQ(out.listId, 9999);
    EXPECT_EQ(text(out.values), std::string("STOREFILEISEMPTY\0", 17));
    EXPECT_EQ(text(out.tagNames), std::string("STOREFILEISEMPTY\0", 17));
    EXPECT_EQ(decodeI32(out.statusRecords.data()), -1);
    EXPECT_EQ(decodeI32(out.statusRecords.data() + 4), 13);
    expectSelfDescribing(f.reply.view());
}

TEST(GetReply, RefusedWithoutEverythingItNeeds) {
    std::vector<std::uint8_t> request = makeGetRequest(RequestSpec{});
    {
        GetReplyFixture f;
        ZENTO_SERVER_LDBLK(1, 0, f.acquisition);
        ZENTO_SERVER_LDBLK(13, 13123, f.acquisition);
        f.build(request);
        EXPECT_FALSE(f.reply);
        ASSERT_EQ(statusEntryCount(f.status), 3);
        EXPECT_EQ(f.status.error[0], 13123);
        EXPECT_EQ(f.status.error[2], libcode::kAcquisitionFailed);
    }
    {
        GetReplyFixture f;
        f.values.resize(7);  // the template describes 8 bytes
        f.build(request);
        EXPECT_FALSE(f.reply);
        EXPECT_EQ(f.status.error[0], libcode::kValuesShort);
    }
    {
        GetReplyFixture f;
        f.valueStatus.resize(5);  // two tags need six words
        f.build(request);
        EXPECT_FALSE(f.reply);
        EXPECT_EQ(f.status.error[0], libcode::kValueStatusShort);
    }
    {
        GetReplyFixture f;
        std::vector<std::uint8_t> notRequest = request;
        encodeU32(notRequest.data() + 152, kTransShut);
        f.build(notRequest);
        EXPECT_FALSE(f.reply);
        EXPECT_EQ(f.status.facility[0], kFacilityParser);
        EXPECT_EQ(f.status.error[0], parsecode::kWrongTransType);
        EXPECT_EQ(f.status.error[1], parsecode::kUnableToParse);
        EXPECT_EQ(f.status.error[2], libcode::kBadRequest);
    }
}

struct UnsolicitedFixture {
    char device[32] = "DEVICE-U";
    std::vector<DescriptorEntry> dataTemplate{entry(7, 2, 1), entry(7, 2, 2), entry(2, 2, 1), entry(3, 3, 1),
                                              entry(6, 8, 1)};
    std::vector<std::uint8_t> names = std::vector<std::uint8_t>(3 * 6, 0);
    std::vector<std::uint8_t> values = std::vector<std::uint8_t>(18, 0x5C);
    std::vector<std::uint8_t> statusRecords = bytesOf({1, 2, 3, 4, 5, 6, 7, 8, 9});
    std::vector<std::uint8_t> pairs = bytesOf({1, 1, 2, 2, 3, 3});
    std::vector<std::uint8_t> secondPairs = bytesOf({9, 9, 8, 8, 7, 7, 6, 6});  // one pair too many
    UnsolicitedReplyInput input;

    UnsolicitedFixture() {
        std::memcpy(names.data(), "AAAAA\0BBBB\0\0CCC\0\0\0", 18);
        input.destination = makeAddress("CLIENT", "TSK_CLIENT");
        input.replyDestination = makeAddress("SERVER", "DLGP1");
        input.deviceName = device;
        input.requestWord = -5;
        input.listId = 17;
        input.frequency = 30;
        input.tagCount = 3;
        input.tagNames = names;
        input.pairs = pairs;
        input.dataTemplate = dataTemplate;
        input.values = values;
        input.statusRecords = statusRecords;
        input.secondPairs = secondPairs;
    }
};

TEST(UnsolicitedReply, RoundTripsEverySlot) {
    UnsolicitedFixture f;
    Message reply;
    StatusBlock status;
    ZENTO_SERVER_BLD_UNSREPLY(f.input, reply, status);
    ASSERT_FALSE(statusFailed(status)) << status.error[0];
    MsgView msg = reply.view();
    expectSelfDescribing(msg);
    EXPECT_EQ(ZENTO_SERVER_MSGTYPE(msg), kMsgReply);
    EXPECT_EQ(ZENTO_SERVER_TRANSTYPE(msg), kTransUnsolicited);
    EXPECT_EQ(ZENTO_SERVER_TRANSNUM(msg), 0u);
    EXPECT_TRUE(sameAddressBytes(ZENTO_SERVER_MSGDEST(msg), f.input.destination));
    EXPECT_TRUE(sameAddressBytes(ZENTO_SERVER_REPDEST(msg), f.input.replyDestination));
    // A stored copy is forwarded to the requester's node: the client.
    EXPECT_TRUE(sameAddressBytes(ZENTO_SERVER_REQSRC(msg), f.input.destination));

    ReplyFields out;
    ZENTO_SERVER_PARSE_UNSREP(msg, out, status);
    ASSERT_FALSE(statusFailed(status)) << status.error[0];
    EXPECT_EQ(out.pairsFlag, 1);
    EXPECT_EQ(out.secondPairsFlag, 1);
    EXPECT_EQ(out.listId, 17);
    EXPECT_EQ(out.requestWord, -5);
    EXPECT_EQ(out.tagCount, 3);
    EXPECT_EQ(out.frequency, 30);
    EXPECT_EQ(fixedText(out.deviceName, 32), "DEVICE-U");
    EXPECT_EQ(out.dataTemplate.size(), 60u);
    EXPECT_EQ(out.values.size(), 18u);  // 2 x (2 + 3) + 8
    EXPECT_EQ(out.tagNames.size(), 18u);
    EXPECT_EQ(fixedText(reinterpret_cast<const char*>(out.tagNames.data()) + 12, 6), "CCC");
    EXPECT_EQ(text(out.pairs), text(f.pairs));
    EXPECT_EQ(out.secondPairs.size(), 24u);
    EXPECT_EQ(decodeI32(out.secondPairs.data() + 16), 7);
    EXPECT_EQ(text(out.statusRecords), text(f.statusRecords));
    EXPECT_EQ(ZENTO_SERVER_FREQUENCY(msg, status), 30);

    ZENTO_SERVER_PARSE_GETREP(msg, out, status);
    EXPECT_EQ(status.error[0], parsecode::kWrongTransType);
    EXPECT_EQ(out.deviceName, nullptr);  // nothing left from the failed parse

    // Without pair arrays the table is shorter and the flags say so.
    f.input.pairs = {};
    f.input.secondPairs = {};
    ZENTO_SERVER_BLD_UNSREPLY(f.input, reply, status);
    ASSERT_FALSE(statusFailed(status));
    EXPECT_EQ(decodeU32(reply.data() + 288), 22u);
    ZENTO_SERVER_PARSE_UNSREP(reply.view(), out, status);
    ASSERT_FALSE(statusFailed(status));
    EXPECT_EQ(out.pairsFlag, 0);
    EXPECT_TRUE(out.pairs.empty());
    EXPECT_TRUE(out.secondPairs.empty());
}

TEST(UnsolicitedReply, InconsistentInputIsRefused) {
    struct Case {
        const char* what;
        void (*spoil)(UnsolicitedFixture&);
        std::int32_t code;
    };
    const Case cases[] = {
        {"no tags", [](UnsolicitedFixture& f) { f.input.tagCount = 0; }, libcode::kBadReplyInput},
        {"no device", [](UnsolicitedFixture& f) { f.input.deviceName = nullptr; }, libcode::kBadReplyInput},
        {"names not whole", [](UnsolicitedFixture& f) { f.input.tagNames = std::span(f.names).first(17); },
         libcode::kBadReplyInput},
        {"template not one item", [](UnsolicitedFixture& f) { f.dataTemplate.push_back(entry(4, 4, 1)); },
         libcode::kBadReplyInput},
        {"template malformed", [](UnsolicitedFixture& f) { f.dataTemplate[3].type = 9; },
         libcode::kBadReplyInput},
        {"values short", [](UnsolicitedFixture& f) { f.input.values = std::span(f.values).first(17); },
         libcode::kValuesShort},
        {"status short", [](UnsolicitedFixture& f) { f.input.statusRecords = std::span(f.statusRecords).first(35); },
         libcode::kValueStatusShort},
        {"pairs short", [](UnsolicitedFixture& f) { f.input.pairs = std::span(f.pairs).first(23); },
         libcode::kBadReplyInput},
    };
    for (const Case& c : cases) {
        UnsolicitedFixture f;
        c.spoil(f);
        f.input.dataTemplate = f.dataTemplate;
        Message reply;
        StatusBlock status;
        ZENTO_SERVER_BLD_UNSREPLY(f.input, reply, status);
        EXPECT_FALSE(reply) << c.what;
        EXPECT_EQ(status.error[statusEntryCount(status) - 1], c.code) << c.what;
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
    EXPECT_EQ(ZENTO_SERVER_FREQUENCY(makeGetRequest(spec), status), -20);
    EXPECT_FALSE(statusFailed(status));
    spec.headValue = 10;
    EXPECT_EQ(ZENTO_SERVER_FREQUENCY(makeGetRequest(spec), status), 0);
    EXPECT_EQ(status.error[0], parsecode::kWrongMessageType);
}

}  // namespace
