// The library calls of unsolicited lists: declare and cancel requests built
// and parsed back, the parsers' refusals, the GET request's slots, tag names.
#include <gtest/gtest.h>

#include <functional>

#include "msglib/library_codes.h"
#include "msglib/msglib.h"
#include "msglib/parse_codes.h"
#include "msglib/same_address.h"
#include "tests/scanlist/scan_test_support.h"
#include "tests/support/status_entries.h"

namespace {

using namespace scantest;
using testsupport::Entries;
using testsupport::statusEntries;

ListDeclaration declaration(const Bytes& names, std::uint32_t tags, const Template& dataTemplate,
                            const Bytes& pairArray, const Bytes& bands) {
    ListDeclaration d;
    d.source = client();
    d.destination = storeTask();
    d.replyAddress = makeAddress("CLIENTNODE", "CLIENT_UNS");
    d.transNum = 77;
    d.listId = -12;
    d.deviceName = kDevice;
    d.requestWord = 5;
    d.frequency = -50;
    d.tagCount = tags;
    d.tagNames = names;
    d.dataTemplate = dataTemplate;
    d.pairs = pairArray;
    d.secondPairs = bands;
    return d;
}

TEST(ListRequests, DeclareRequestsParseBackAsBuilt) {
    const Bytes names = nameBlock({"TAG_A", "B", "TAG_C"});
    const Template tpl = uniformTemplate(3);
    const Bytes firstPairs = pairs({{1, 2}, {3, 4}, {5, 6}});
    const Bytes bands = deadbands({{1, 0.5f}, {2, 10.0f}, {0, 0.0f}});
    const struct {
        bool withPairs, withBands;
        std::size_t entries;
    } rows[] = {{false, false, 15}, {true, false, 18}, {false, true, 18}, {true, true, 21}};
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::Message() << row.withPairs << row.withBands);
        Message msg;
        StatusBlock status;
        ZENTO_CLIENT_BLD_DECLREQ(declaration(names, 3, tpl, row.withPairs ? firstPairs : Bytes{},
                                             row.withBands ? bands : Bytes{}),
                                 msg, status);
        ASSERT_FALSE(statusFailed(status));
        EXPECT_EQ(ZENTO_SERVER_TRANSTYPE(msg.view()), kTransDeclare);
        EXPECT_EQ(decodeU32(msg.data() + 288), row.entries);
        EXPECT_EQ(ZENTO_SERVER_TRANSNUM(msg.view()), 77u);

        DeclareRequestSlots slots;
        ZENTO_SERVER_PARSE_DECLREQ(msg.view(), slots, status);
        ASSERT_FALSE(statusFailed(status));
        EXPECT_EQ(slots.pairsFlag, row.withPairs ? 1 : 0);
        EXPECT_EQ(slots.secondPairsFlag, row.withBands ? 1 : 0);
        EXPECT_EQ(slots.listId, -12);
        EXPECT_STREQ(slots.deviceName, "DEVICE-1");
        EXPECT_EQ(slots.requestWord, 5);
        EXPECT_EQ(slots.tagCount, 3);
        EXPECT_EQ(slots.frequency, -50);
        EXPECT_EQ(decoded(slots.dataTemplate), tpl);
        EXPECT_EQ(bytesOf(slots.pairs), row.withPairs ? firstPairs : Bytes{});
        EXPECT_EQ(bytesOf(slots.secondPairs), row.withBands ? bands : Bytes{});
        EXPECT_STREQ(slots.replyAddress.service, "CLIENT_UNS");
        EXPECT_EQ(slots.tagNames.size(), 18u);
        EXPECT_EQ(namesOf(slots.tagNames, 3), (std::vector<std::string>{"TAG_A", "B", "TAG_C"}));
        EXPECT_EQ(sameAddress(ZENTO_SERVER_REQSRC(msg.view()), client()), 1);
        EXPECT_EQ(sameAddress(ZENTO_SERVER_REPDEST(msg.view()), slots.replyAddress), 1);
    }
}

TEST(ListRequests, CancelRequestsParseBackAsBuilt) {
    const Bytes names = nameBlock({"LONGNAME", "X"});
    ListCancellation c;
    c.source = client();
    c.destination = storeTask();
    c.listId = 44;
    c.deviceName = kDevice;
    c.requestWord = 3;
    c.frequency = -10;
    c.tagCount = 2;
    c.tagNames = names;
    Message msg;
    StatusBlock status;
    ZENTO_CLIENT_BLD_CANCREQ(c, msg, status);
    ASSERT_FALSE(statusFailed(status));
    EXPECT_EQ(decodeU32(msg.data() + 288), 9u);
    CancelRequestSlots slots;
    ZENTO_SERVER_PARSE_CANCREQ(msg.view(), slots, status);
    ASSERT_FALSE(statusFailed(status));
    EXPECT_EQ(slots.listId, 44);
    EXPECT_STREQ(slots.deviceName, "DEVICE-1");
    EXPECT_EQ(slots.requestWord, 3);
    EXPECT_EQ(slots.tagCount, 2);
    EXPECT_EQ(slots.frequency, -10);
    EXPECT_EQ(namesOf(slots.tagNames, 2), (std::vector<std::string>{"LONGNAME", "X"}));
}

TEST(ListRequests, BuildersRefuseInputTheParsersWouldRefuse) {
    const Bytes names = nameBlock({"AB", "CD"});
    const Template tpl = uniformTemplate(2);
    const Bytes noTerminator = {'A', 'B', 'C'};
    const Template twoItems = {entry(kDescFloat, 4), entry(kDescFloat, 4)};
    const Bytes shortPairs = pairs({{1, 1}});
    const struct {
        const char* what;
        std::function<void(ListDeclaration&)> change;
    } rows[] = {
        {"no device name", [](ListDeclaration& d) { d.deviceName = nullptr; }},
        {"no tags", [](ListDeclaration& d) { d.tagCount = 0; }},
        {"names shorter than tags x width", [](ListDeclaration& d) { d.tagCount = 3; }},
        {"first name without terminator", [&](ListDeclaration& d) { d.tagNames = noTerminator; }},
        {"template of two items", [&](ListDeclaration& d) { d.dataTemplate = twoItems; }},
        {"empty template", [](ListDeclaration& d) { d.dataTemplate = {}; }},
        {"pairs not one a tag", [&](ListDeclaration& d) { d.pairs = shortPairs; }},
        {"second pairs not one a tag", [&](ListDeclaration& d) { d.secondPairs = shortPairs; }},
        {"message type 0", [](ListDeclaration& d) { d.messageType = 0; }},
    };
    for (const auto& row : rows) {
        ListDeclaration d = declaration(names, 2, tpl, {}, {});
        row.change(d);
        Message msg;
        StatusBlock status;
        ZENTO_CLIENT_BLD_DECLREQ(d, msg, status);
        EXPECT_EQ(statusEntries(status), (Entries{{9, libcode::kBadRequestInput}})) << row.what;
        EXPECT_FALSE(msg) << row.what;
    }
}

// Parsers refuse, with their cause, what a damaged or foreign message holds.
TEST(ListRequests, ParsersRefuseDamagedRequests) {
    const Bytes names = nameBlock({"AB", "CD"});
    const Template tpl = uniformTemplate(2);
    Message declare;
    StatusBlock status;
    ZENTO_CLIENT_BLD_DECLREQ(declaration(names, 2, tpl, {}, {}), declare, status);
    ASSERT_FALSE(statusFailed(status));
    const std::size_t data = 292 + 15 * 12;
    const struct {
        const char* what;
        std::function<void(Bytes&)> damage;
        std::int32_t cause;
    } rows[] = {
        {"transaction type 5", [](Bytes& m) { encodeI32(m.data() + 152, kTransCancel); }, parsecode::kWrongTransType},
        {"message type 10", [](Bytes& m) { encodeI32(m.data() + 12, 10); }, parsecode::kWrongMessageType},
        {"one byte short", [](Bytes& m) { m.pop_back(); }, parsecode::kLengthMismatch},
        {"pairs flag 2", [&](Bytes& m) { encodeI32(m.data() + data, 2); }, parsecode::kBadFlag},
        {"pairs flag 1 without the array", [&](Bytes& m) { encodeI32(m.data() + data, 1); }, parsecode::kTableShape},
        {"no tags", [&](Bytes& m) { encodeI32(m.data() + data + 48, 0); }, parsecode::kBadTagCount},
        {"four tags in a block of 6", [&](Bytes& m) { encodeI32(m.data() + data + 48, 4); },
         parsecode::kBadNameBlock},
        {"template count 4", [](Bytes& m) { encodeU32(m.data() + 292 + 8 * 12 + 8, 4); }, parsecode::kBadTemplate},
        {"names entry longer", [](Bytes& m) { encodeU32(m.data() + 292 + 14 * 12 + 4, 8); },
         parsecode::kDataSizeMismatch},
    };
    for (const auto& row : rows) {
        Bytes bytes = bytesOf(declare.view());
        row.damage(bytes);
        DeclareRequestSlots slots;
        ZENTO_SERVER_PARSE_DECLREQ(bytes, slots, status);
        EXPECT_EQ(statusEntries(status), (Entries{{8, row.cause}, {8, parsecode::kUnableToParse}})) << row.what;
        EXPECT_EQ(slots.tagCount, 0) << row.what;
    }
    // Each parser takes only its own kind.
    CancelRequestSlots cancel;
    ZENTO_SERVER_PARSE_CANCREQ(declare.view(), cancel, status);
    EXPECT_TRUE(testsupport::hasEntry(status, 8, parsecode::kWrongTransType));
    GetRequestSlots get;
    ZENTO_SERVER_PARSE_GETREQ(declare.view(), get, status);
    EXPECT_TRUE(testsupport::hasEntry(status, 8, parsecode::kWrongTransType));
}

TEST(ListRequests, GetRequestSlotsComeInThePartsOrder) {
    const Bytes names = nameBlock({"ONE", "TWO"});
    const Bytes firstPairs = pairs({{7, 8}, {9, 10}});
    Message request = getRequest(-3, names, 2, uniformTemplate(2), firstPairs, 25);
    GetRequestSlots slots;
    StatusBlock status;
    ZENTO_SERVER_PARSE_GETREQ(request.view(), slots, status);
    ASSERT_FALSE(statusFailed(status));
    EXPECT_EQ(slots.pairsFlag, 1);
    EXPECT_EQ(slots.replyToFlag, 1);
    EXPECT_EQ(slots.listId, -3);
    EXPECT_STREQ(slots.deviceName, "DEVICE-1");
    EXPECT_EQ(slots.tagCount, 2);
    EXPECT_EQ(slots.frequency, 25);
    EXPECT_EQ(decoded(slots.dataTemplate), uniformTemplate(2));
    EXPECT_EQ(bytesOf(slots.pairs), firstPairs);
    EXPECT_EQ(namesOf(slots.tagNames, 2), (std::vector<std::string>{"ONE", "TWO"}));
    EXPECT_EQ(slots.valueBytes, 8u) << "two floats, as the size call counts them";
}

TEST(ListRequests, TagNamesAreFoundInEveryRequestKind) {
    const Bytes names = nameBlock({"FIRST", "SECOND"}, 8);
    Message get = getRequest(1, names, 2, uniformTemplate(2));
    Message declare;
    Message cancel;
    StatusBlock status;
    ZENTO_CLIENT_BLD_DECLREQ(declaration(nameBlock({"FIRST", "SECOND"}), 2, uniformTemplate(2), {}, {}), declare,
                             status);
    ListCancellation c;
    c.deviceName = kDevice;
    c.tagCount = 2;
    const Bytes cancelNames = nameBlock({"FIRST", "SECOND"});
    c.tagNames = cancelNames;
    ZENTO_CLIENT_BLD_CANCREQ(c, cancel, status);
    const struct {
        const char* what;
        MsgView msg;
        std::uint32_t width;
    } rows[] = {{"get", get.view(), 8}, {"declare", declare.view(), 6}, {"cancel", cancel.view(), 6}};
    for (const auto& row : rows) {
        std::uint32_t width = 0;
        const char* second = ZENTO_SERVER_TAG(row.msg, 1, &width, status);
        ASSERT_NE(second, nullptr) << row.what;
        EXPECT_EQ(width, row.width) << row.what;
        EXPECT_EQ(std::string(second, strnlen(second, width)), "SECOND") << row.what;
        const char* first = ZENTO_SERVER_TAG(row.msg, 0, nullptr, status);
        EXPECT_EQ(second - first, static_cast<std::ptrdiff_t>(width)) << row.what;
        EXPECT_EQ(ZENTO_SERVER_TAG(row.msg, 2, &width, status), nullptr) << row.what;
        EXPECT_EQ(statusEntries(status), (Entries{{9, libcode::kNoSuchTag}})) << row.what;
        EXPECT_EQ(width, 0u);
    }
    EXPECT_EQ(ZENTO_SERVER_TAG(MsgView{}, 0, nullptr, status), nullptr);
    EXPECT_EQ(statusEntries(status), (Entries{{8, parsecode::kShorterThanHead}, {8, parsecode::kUnableToParse}}));
}

TEST(ListRequests, DummyTagsAndLeftTrim) {
    std::uint32_t bytes = 0;
    std::unique_ptr<char[]> block = createDummyTags(3, "-", bytes);
    ASSERT_TRUE(block);
    EXPECT_EQ(std::string(block.get(), bytes), std::string("-\0-\0-\0", 6));
    EXPECT_FALSE(createDummyTags(0, "-", bytes));
    EXPECT_EQ(bytes, 0u);
    EXPECT_FALSE(createDummyTags(0x7FFFFFFF, "-", bytes));

    const struct {
        std::string in;
        std::string out;  // the whole span afterwards
        std::size_t length;
    } rows[] = {
        {std::string("  AB\0", 5), std::string("AB\0\0\0", 5), 2},
        {std::string("\t B \0x", 6), std::string("B \0\0\0x", 6), 2},
        {"ABC", "ABC", 3},
        {"   ", std::string("\0\0\0", 3), 0},
        {" A", std::string("A\0", 2), 1},
        {"", "", 0},
    };
    for (const auto& row : rows) {
        std::string text = row.in;
        EXPECT_EQ(zento_lefttrim(text), row.length) << row.in;
        EXPECT_EQ(text, row.out) << row.in;
    }
}

}  // namespace
