// Status blocks, fixed fields, the message head and descriptor tables. Sizes
// of well-formed tables are the descriptors fuzz target's.
#include <gtest/gtest.h>

#include "msglib/library_codes.h"
#include "tests/msglib/msglib_test_support.h"

namespace {

using namespace msgtest;
using Entries = std::vector<std::pair<int, int>>;

Entries entriesOf(const StatusBlock& status) {
    Entries out;
    for (int i = 0; i < statusEntryCount(status); ++i) out.emplace_back(status.facility[i], status.error[i]);
    return out;
}

TEST(StatusBlock, ReadsAsAChainOfCausesThatStaysFailed) {
    Entries fourteen, tenZeros(10, {1, 0}), codeThenZeros(10, {1, 0});
    for (int i = 1; i <= 14; ++i) fourteen.emplace_back(13, 13000 + i);
    Entries firstNineAndNewest(fourteen.begin(), fourteen.begin() + 9);
    firstNineAndNewest.emplace_back(13, 13014);
    tenZeros.emplace_back(13, 13471);
    codeThenZeros[0] = {13, 13471};
    const std::pair<Entries, Entries> cases[] = {
        {{}, {}},
        {{{1, 2}, {9, 9040}, {13, 13471}}, {{1, 2}, {9, 9040}, {13, 13471}}},
        {{{1, 0}}, {{1, 0}}},
        // A cause without a code (errno 0) must not leave a failed block
        // reading as a success: the first real code goes in front.
        {{{1, 0}, {13, 13005}, {13, 13100}, {4, 0}}, {{13, 13005}, {1, 0}, {13, 13100}, {4, 0}}},
        {fourteen, firstNineAndNewest},
        {tenZeros, codeThenZeros},
    };
    for (const auto& [loaded, expected] : cases) {
        StatusBlock status;
        ZENTO_SERVER_LDBLK(13, 13999, status);  // whatever was there before
        ZENTO_SERVER_INITBLK(status);
        EXPECT_EQ(firstErrorCode(status), -1);
        for (auto [facility, code] : loaded) ZENTO_SERVER_LDBLK(facility, code, status);
        EXPECT_EQ(entriesOf(status), expected);
        EXPECT_EQ(statusFailed(status), !expected.empty() && expected[0].second > 0);
        ZENTO_CLIENT_INITBLK(status);
        EXPECT_TRUE(entriesOf(status).empty());
    }
}

TEST(Fields, FixedTextAndHeadsTooShortToHold) {
    char field[8];
    std::memset(field, 'x', sizeof field);
    setFixedText(field, sizeof field, "ABCDEFGHIJ");
    EXPECT_EQ(std::string(field, 8), std::string("ABCDEFG\0", 8));
    setFixedText(field, sizeof field, std::string_view{});  // no data pointer at all
    EXPECT_EQ(std::string(field, 8), std::string(8, '\0'));
    EXPECT_EQ(fixedText("WXYZ", 4), "WXYZ");

    // One byte short of a head: reads zero, never written.
    Bytes shortMsg(291, 0xAB);
    ZENTO_SERVER_SET_MSGSRC(shortMsg, makeAddress("N", "S"));
    ZENTO_SERVER_SET_REPDEST(shortMsg, makeAddress("N", "S"));
    ZENTO_SERVER_SET_TRANSNUM(shortMsg, 5);
    EXPECT_EQ(shortMsg, Bytes(291, 0xAB));
    EXPECT_EQ(ZENTO_SERVER_MSGSIZE(shortMsg), 0u);
    EXPECT_TRUE(same(ZENTO_SERVER_MSGDEST(shortMsg), AddressRecord{}));
}

TEST(Fields, NotificationIsABareHeadFromItsSource) {
    const AddressRecord source = makeAddress("HERE", "SF_RECOVER"), destination = makeAddress("THERE", "TSK_AREC");
    Message note;
    StatusBlock status;
    buildNotification(kTransAck, source, destination, 31, note, status);
    const MsgView view = note.view();
    ASSERT_EQ(view.size(), 292u);
    EXPECT_EQ(ZENTO_SERVER_MSGSIZE(view), 292u);
    EXPECT_EQ(ZENTO_SERVER_MSGTYPE(view), kMsgNotification);
    EXPECT_EQ(ZENTO_SERVER_TRANSTYPE(view), kTransAck);
    EXPECT_EQ(ZENTO_SERVER_TRANSNUM(view), 31u);
    EXPECT_TRUE(same(ZENTO_SERVER_MSGDEST(view), destination));
    EXPECT_TRUE(same(ZENTO_SERVER_MSGSRC(view), source) && same(ZENTO_SERVER_REQSRC(view), source));
}

TEST(Descriptors, MalformedTablesFailWithTheirCause) {
    auto nested = [](std::size_t depth) {
        std::vector<DescriptorEntry> table(depth, entry(7, 1, 1));
        table.push_back(entry(4, 4, 1));
        return table;
    };
    const std::pair<std::vector<DescriptorEntry>, std::int32_t> cases[] = {
        {{entry(0, 4, 1)}, libcode::kDescriptorUnknownType},
        {{entry(7, 1, 1), entry(8, 4, 1)}, libcode::kDescriptorUnknownType},
        {{entry(7, 3, 1), entry(4, 4, 1), entry(4, 4, 1)}, libcode::kDescriptorStructOverrun},
        {{entry(7, 0xFFFFFFFF, 1), entry(4, 4, 1)}, libcode::kDescriptorStructOverrun},
        {{entry(3, 0x80000000, 1)}, libcode::kDescriptorTooLarge},
        {{entry(6, 8, 0xFFFFFFFF)}, libcode::kDescriptorTooLarge},
        {{entry(7, 1, 0xFFFFFFFF), entry(7, 1, 0xFFFFFFFF), entry(4, 4, 0xFFFFFFF)}, libcode::kDescriptorTooLarge},
        {{entry(3, 0x40000000, 1), entry(3, 0x40000000, 1)}, libcode::kDescriptorTooLarge},
        {nested(kMaxDescriptorDepth + 1), libcode::kDescriptorTooDeep},
        {nested(500000), libcode::kDescriptorTooDeep},  // would exhaust any call stack
    };
    for (const auto& [table, code] : cases) {
        StatusBlock status;
        EXPECT_EQ(ZENTO_SERVER_DSIZE(table, status), 0) << code;
        EXPECT_EQ(entriesOf(status), (Entries{{kFacilityLibrary, code}}));
    }
    StatusBlock status;
    EXPECT_EQ(ZENTO_SERVER_DSIZE(nested(kMaxDescriptorDepth), status), 4);
    EXPECT_EQ(ZENTO_SERVER_DSIZE(std::vector{entry(3, 0x7FFFFFFF, 1)}, status), 0x7FFFFFFF);
    EXPECT_FALSE(statusFailed(status));
    std::int32_t bytes = 5;
    EXPECT_EQ(ZENTO_DCONV_SIZE(std::vector<DescriptorEntry>{}, bytes, status), 0);
    EXPECT_EQ(status.error[0], libcode::kDescriptorEmpty);

    std::uint8_t encoded[12];
    encodeDescriptor(encoded, {7, 0, 0x01020304, 0xA0B0C0D0});
    EXPECT_EQ(Bytes(encoded, encoded + 12), (Bytes{7, 0, 0, 0, 4, 3, 2, 1, 0xD0, 0xC0, 0xB0, 0xA0}));
}

}  // namespace
