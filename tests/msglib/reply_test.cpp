// GET and unsolicited replies: how they are addressed and what they carry,
// and why they are refused. That a parse gives back what was built, and that
// arbitrary bytes are safe, is the messages fuzz target's.
#include <gtest/gtest.h>

#include "forward/get_request.h"
#include "msglib/library_codes.h"
#include "msglib/parse_codes.h"
#include "tests/msglib/msglib_test_support.h"

namespace {

using namespace msgtest;

const AddressRecord kServer = makeAddress("SERVERNODE", "DLGP1"), kClient = makeAddress("CLIENTNODE", "TSK_CLIENT");
const AddressRecord kRequester = makeAddress("clientnode", "tsk_client");

// A GET request with pairs for tags "TEMP" and "FLOW", made by the forwarding
// side's builder (apart from the library's own layout code); each value is
// 2 x (short + 3 chars), 10 bytes in all.
Bytes sampleRequest() {
    const char device[32] = "PLC-7", names[] = "TEMP\0FLOW";
    const DescriptorEntry dataTemplate[] = {entry(7, 2, 2), entry(2, 2, 1), entry(7, 1, 1), entry(3, 3, 1)};
    const std::int32_t pairs[] = {1, 2, 3, 4};
    Message request;
    StatusBlock status;
    buildGetRequest(4242, device, 3, 2, 1, 1, 300, &kRequester, kServer, 100, {names, 10}, pairs, dataTemplate,
                    request, status);
    ZENTO_SERVER_SET_TRANSNUM(request.span(), 77);
    ZENTO_SERVER_SET_MSGSRC(request.span(), makeAddress("SENDER", "TSK_SENDER"));
    return bytesOf(request.view());
}

struct GetReplyCall {
    StatusBlock acquisition{};
    Bytes values{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 0xEE};  // longer than the values
    std::vector<std::int32_t> valueStatus{0, 1, 2, 10, 11, 12};
    Message reply;
    StatusBlock status{};
    GetReplyCall() { ZENTO_SERVER_INITBLK(acquisition); }
    void build(MsgView request) {
        ZENTO_SERVER_BLD_GETREPLY(request, acquisition, values, valueStatus, {250, 1700000000}, reply, status);
    }
};

// 3 tags; each value is short + 3 chars, then 8 bytes: 18 value bytes.
struct UnsolicitedCall {
    const char device[32] = "DEVICE-U";
    std::vector<DescriptorEntry> dataTemplate{entry(7, 2, 1), entry(7, 2, 2), entry(2, 2, 1), entry(3, 3, 1),
                                              entry(6, 8, 1)};
    Bytes names{'A', 'A', 'A', 'A', 'A', 0, 'B', 0, 0, 0, 0, 0, 'C', 'C', 'C', 0, 0, 0}, values = Bytes(18, 0x5C);
    Bytes statusRecords = words({1, 2, 3, 4, 5, 6, 7, 8, 9}), pairs = words({1, 1, 2, 2, 3, 3});
    Bytes secondPairs = words({9, 9, 8, 8, 7, 7, 6, 6});  // one pair more than needed
    UnsolicitedReplyInput input{kClient, kServer, device, -5, 17, 30, 3, {}, {}, {}, {}, {}, {}};
    Message reply;
    StatusBlock status{};
    void build() {
        input.tagNames = names;
        input.pairs = pairs;
        input.dataTemplate = dataTemplate;
        input.values = values;
        input.statusRecords = statusRecords;
        input.secondPairs = secondPairs;
        ZENTO_SERVER_BLD_UNSREPLY(input, reply, status);
    }
};

ReplyFields parsed(MsgView msg, bool unsolicited = false) {
    ReplyFields out;
    StatusBlock status;
    (unsolicited ? ZENTO_SERVER_PARSE_UNSREP : ZENTO_SERVER_PARSE_GETREP)(msg, out, status);
    EXPECT_FALSE(statusFailed(status)) << status.error[0];
    return out;
}

TEST(GetReply, GoesBackToTheReplyDestinationWithTheValuesTheTemplateDescribes) {
    const Bytes request = sampleRequest();
    GetReplyCall call;
    call.build(request);
    ASSERT_FALSE(statusFailed(call.status)) << call.status.error[0];
    const MsgView reply = call.reply.view();
    EXPECT_EQ(ZENTO_SERVER_MSGTYPE(reply), kMsgReply);
    EXPECT_EQ(ZENTO_SERVER_TRANSNUM(reply), 77u);
    EXPECT_TRUE(same(ZENTO_SERVER_MSGDEST(reply), kClient)) << "the request's reply destination";
    EXPECT_TRUE(same(ZENTO_SERVER_REPDEST(reply), kServer) && same(ZENTO_SERVER_MSGSRC(reply), kServer));
    EXPECT_TRUE(same(ZENTO_SERVER_REQSRC(reply), kRequester));
    const ReplyFields out = parsed(reply);
    EXPECT_EQ(bytesOf(out.values), (Bytes{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
    EXPECT_EQ(bytesOf(out.statusRecords), words({0, 1, 2, 10, 11, 12}));
    EXPECT_EQ(bytesOf(reply.last(8)), words({250, 1700000000}));  // value time: milliseconds, then seconds
}

TEST(GetReply, RefusedWithoutEverythingItNeeds) {
    Bytes notGet = sampleRequest();
    encodeU32(notGet.data() + 152, kTransShut);
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
        call->build(call == &badRequest ? notGet : sampleRequest());
        EXPECT_FALSE(call->reply);
        EXPECT_EQ(std::vector<std::int32_t>(call->status.error, call->status.error + codes.size()), codes);
    }
}

TEST(UnsolicitedReply, NamesTheClientAsRequesterAndTakesThePairsTheTagsNeed) {
    UnsolicitedCall call;
    call.build();
    ASSERT_FALSE(statusFailed(call.status)) << call.status.error[0];
    const MsgView msg = call.reply.view();
    EXPECT_EQ(ZENTO_SERVER_TRANSTYPE(msg), kTransUnsolicited);
    EXPECT_TRUE(same(ZENTO_SERVER_MSGDEST(msg), kClient) && same(ZENTO_SERVER_REPDEST(msg), kServer));
    // A stored copy is forwarded to the requester's node: the client's.
    EXPECT_TRUE(same(ZENTO_SERVER_REQSRC(msg), kClient));
    EXPECT_EQ(bytesOf(parsed(msg, true).secondPairs), words({9, 9, 8, 8, 7, 7}));
    call.pairs.clear();
    call.secondPairs.clear();
    call.build();
    const ReplyFields out = parsed(call.reply.view(), true);
    EXPECT_EQ(out.pairsFlag + out.secondPairsFlag, 0);
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

TEST(Parsers, DamageNamesItsCauseAndTruncationIsRefused) {
    GetReplyCall call;
    call.build(sampleRequest());
    const Bytes reply = bytesOf(call.reply.view());
    const std::size_t data = 292 + 12 * 25;  // behind the table of a reply with pairs
    const std::tuple<std::size_t, std::uint32_t, std::int32_t> cases[] = {
        {4, 100000, parsecode::kLengthMismatch},
        {12, kMsgRequest, parsecode::kWrongMessageType},
        {152, kTransUnsolicited, parsecode::kWrongTransType},
        {288, 0xFFFFFFFF, parsecode::kBadDescriptorCount},
        {288, 28, parsecode::kTableShape},
        {data, 2, parsecode::kBadFlag},
        {data + 8, 1, parsecode::kTableShape},  // second pairs flag without second pairs
        {data + 52, 0, parsecode::kBadTagCount},
        {data + 52, 3, parsecode::kBadNameBlock},
        {292 + 12 * 9 + 8, 3, parsecode::kBadTemplate},         // the template's entry count
        {292 + 12 * 17 + 4, 6, parsecode::kDataSizeMismatch},  // the name block's size
    };
    for (const auto& [offset, value, code] : cases) {
        Bytes msg = reply;
        encodeU32(msg.data() + offset, value);
        ReplyFields out;
        StatusBlock status;
        ZENTO_SERVER_PARSE_GETREP(msg, out, status);
        EXPECT_EQ(status.facility[0], kFacilityParser) << offset;
        EXPECT_EQ(std::make_pair(status.error[0], status.error[1]), std::make_pair(code, parsecode::kUnableToParse));
        EXPECT_EQ(out.deviceName, nullptr) << "nothing is left from a failed parse";
    }
    // Every prefix, with the length word patched to it: the parser must find
    // the missing data itself.
    for (std::size_t length = 8; length < reply.size(); ++length) {
        Bytes prefix(reply.begin(), reply.begin() + static_cast<std::ptrdiff_t>(length));
        encodeU32(prefix.data() + 4, static_cast<std::uint32_t>(length));
        ReplyFields out;
        StatusBlock status;
        ZENTO_SERVER_PARSE_GETREP(prefix, out, status);
        ASSERT_TRUE(statusFailed(status)) << length;
    }
}

// Request head values 1 to 9 are requests; a reply's frequency is its own.
TEST(Frequency, OfGetRequestsAndRepliesOnly) {
    Bytes request = sampleRequest();
    Message note;
    StatusBlock status;
    encodeU32(request.data() + 12, 9);
    EXPECT_EQ(ZENTO_SERVER_FREQUENCY(request, status), 100);
    encodeU32(request.data() + 12, 10);
    EXPECT_EQ(ZENTO_SERVER_FREQUENCY(request, status), 0);
    EXPECT_EQ(status.error[0], parsecode::kWrongMessageType);
    buildNotification(kTransAck, kServer, kClient, 0, note, status);
    EXPECT_EQ(ZENTO_SERVER_FREQUENCY(note.view(), status), 0);
    EXPECT_EQ(std::make_pair(status.error[0], status.error[1]),
              std::make_pair(parsecode::kWrongTransType, parsecode::kUnableToParse));
}

}  // namespace
