// Status blocks, fixed fields, the message head and descriptor sizes.
#include <gtest/gtest.h>

#include "msglib/library_codes.h"
#include "tests/msglib/msglib_test_support.h"

namespace {

using msgtest::Bytes;
using msgtest::entry;
using msgtest::same;
using Entries = std::vector<std::pair<int, int>>;
using Table = std::vector<DescriptorEntry>;

Entries entriesOf(const StatusBlock& status) {
    Entries out;
    for (int i = 0; i < statusEntryCount(status); ++i) out.emplace_back(status.facility[i], status.error[i]);
    return out;
}

TEST(StatusBlock, ReadsAsAChainOfCausesThatStaysFailed) {
    Entries fourteen, firstNineAndNewest, tenZeros, codeThenZeros{{13, 13471}};
    for (int i = 1; i <= 14; ++i) fourteen.emplace_back(13, 13000 + i);
    firstNineAndNewest.assign(fourteen.begin(), fourteen.begin() + 9);
    firstNineAndNewest.emplace_back(13, 13014);
    tenZeros.assign(10, {1, 0});
    codeThenZeros.insert(codeThenZeros.end(), 9, {1, 0});
    tenZeros.emplace_back(13, 13471);
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

TEST(Fields, FixedTextIsCutPaddedAndReadWithoutTerminator) {
    char field[8];
    std::memset(field, 'x', sizeof field);
    setFixedText(field, sizeof field, "ABCDEFGHIJ");
    EXPECT_EQ(std::string(field, 8), std::string("ABCDEFG\0", 8));
    setFixedText(field, sizeof field, std::string_view{});  // no data pointer at all
    EXPECT_EQ(std::string(field, 8), std::string(8, '\0'));
    const char full[4] = {'W', 'X', 'Y', 'Z'};
    EXPECT_EQ(fixedText(full, sizeof full), "WXYZ");
}

// The head offsets are the layout every peer reads.
TEST(Fields, HeadFieldsSitAtTheirOffsetsAndShortSpansAreLeftAlone) {
    Bytes msg(292, 0);
    const AddressRecord a = makeAddress("N1", "S1"), b = makeAddress("N2", "S2"), c = makeAddress("N3", "S3");
    ZENTO_SERVER_SET_MSGSRC(msg, a);
    ZENTO_SERVER_SET_MSGDEST(msg, b);
    ZENTO_SERVER_SET_REPDEST(msg, c);
    ZENTO_SERVER_SET_TRANSNUM(msg, 0xDEADBEEF);
    EXPECT_EQ(std::memcmp(msg.data() + 156, &a, 64), 0);
    EXPECT_EQ(std::memcmp(msg.data() + 24, &b, 64), 0);
    EXPECT_EQ(std::memcmp(msg.data() + 88, &c, 64), 0);
    EXPECT_EQ(decodeU32(msg.data() + 16), 0xDEADBEEFu);
    std::memcpy(msg.data() + 220, &c, 64);
    EXPECT_TRUE(same(ZENTO_SERVER_REQSRC(msg), c));

    Bytes shortMsg(291, 0xAB);
    ZENTO_SERVER_SET_MSGSRC(shortMsg, a);
    ZENTO_SERVER_SET_REPDEST(shortMsg, a);
    ZENTO_SERVER_SET_TRANSNUM(shortMsg, 5);
    EXPECT_EQ(shortMsg, Bytes(291, 0xAB));
    EXPECT_EQ(ZENTO_SERVER_MSGSIZE(shortMsg), 0u);
    EXPECT_TRUE(same(ZENTO_SERVER_MSGDEST(shortMsg), AddressRecord{}));

    Message note;
    StatusBlock status;
    buildNotification(kTransAck, a, b, 31, note, status);
    ASSERT_EQ(note.size, 292u);
    const MsgView view = note.view();
    EXPECT_EQ(decodeU16(view.data()), 0x5A5A);
    EXPECT_EQ(ZENTO_SERVER_MSGSIZE(view), 292u);
    EXPECT_EQ(ZENTO_SERVER_MSGTYPE(view), kMsgNotification);
    EXPECT_EQ(ZENTO_SERVER_TRANSTYPE(view), kTransAck);
    EXPECT_EQ(ZENTO_SERVER_TRANSNUM(view), 31u);
    EXPECT_TRUE(same(ZENTO_SERVER_MSGDEST(view), b));
    EXPECT_TRUE(same(ZENTO_SERVER_MSGSRC(view), a) && same(ZENTO_SERVER_REQSRC(view), a));
    EXPECT_EQ(decodeU32(view.data() + 284), 1u);
    EXPECT_EQ(decodeU32(view.data() + 288), 0u);
}

TEST(Descriptors, SizesOfTablesAndOfTheFirstItem) {
    struct Case {
        Table table;
        std::int32_t tableBytes, firstEntries, firstBytes;
    };
    const Case cases[] = {
        // The size field counts only for character fields.
        {{entry(1, 99, 3), entry(2, 99, 3), entry(3, 5, 3), entry(4, 0, 3), entry(5, 1, 3), entry(6, 4, 3)},
         12 + 6 + 15 + 12 + 24 + 24, 1, 12},
        // 3 x (int + 2 x (short + 5 chars)) = 54, then a double.
        {{entry(7, 2, 3), entry(4, 4, 1), entry(7, 2, 2), entry(2, 2, 1), entry(3, 5, 1), entry(5, 8, 1)}, 62, 5, 54},
        {{entry(7, 1, 2), entry(7, 1, 3), entry(7, 1, 4), entry(2, 2, 1), entry(4, 4, 1)}, 52, 4, 48},
        {{entry(7, 0, 9), entry(4, 4, 1)}, 4, 1, 0},
        {{entry(3, 0x7FFFFFFF, 1)}, 0x7FFFFFFF, 1, 0x7FFFFFFF},
    };
    for (const Case& c : cases) {
        StatusBlock status;
        std::int32_t bytes = 0;
        EXPECT_EQ(ZENTO_SERVER_DSIZE(c.table, status), c.tableBytes) << c.tableBytes;
        EXPECT_EQ(ZENTO_DCONV_SIZE(c.table, bytes, status), c.firstEntries) << c.tableBytes;
        EXPECT_EQ(bytes, c.firstBytes) << c.tableBytes;
        EXPECT_EQ(ZENTO_SERVER_TEMPLATE_SIZE(c.table, status), c.firstEntries) << c.tableBytes;
        EXPECT_FALSE(statusFailed(status));
    }
    std::uint8_t bytes[13] = {};
    encodeDescriptor(bytes, {7, 0, 0x01020304, 0xA0B0C0D0});
    EXPECT_EQ(Bytes(bytes, bytes + 12), (Bytes{7, 0, 0, 0, 4, 3, 2, 1, 0xD0, 0xC0, 0xB0, 0xA0}));
    EXPECT_EQ(decodeDescriptors(bytes).size(), 1u);  // a trailing byte is no entry
}

TEST(Descriptors, MalformedTablesFailWithTheirCause) {
    auto nested = [](std::size_t depth) {
        Table table(depth, entry(7, 1, 1));
        table.push_back(entry(4, 4, 1));
        return table;
    };
    const std::pair<Table, std::int32_t> cases[] = {
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
    EXPECT_FALSE(statusFailed(status));
    std::int32_t bytes = 5;
    EXPECT_EQ(ZENTO_DCONV_SIZE(Table{}, bytes, status), 0);
    EXPECT_EQ(status.error[0], libcode::kDescriptorEmpty);
}

}  // namespace
