#include <gtest/gtest.h>

#include <vector>

#include "msglib/descriptors.h"
#include "msglib/library_codes.h"
#include "tests/msglib/msglib_test_support.h"

namespace {

using msgtest::entry;
using Table = std::vector<DescriptorEntry>;

std::int32_t dsize(const Table& table, StatusBlock& status) { return ZENTO_SERVER_DSIZE(table, status); }

TEST(DescriptorSizes, SimpleTypesUseTheirElementSize) {
    struct Case {
        std::uint16_t type;
        std::uint32_t size;
        std::int32_t bytes;
    };
    // The size field counts only for character fields.
    const Case cases[] = {{1, 99, 12}, {2, 99, 6}, {3, 5, 15}, {4, 0, 12}, {5, 1, 24}, {6, 4, 24}};
    for (const Case& c : cases) {
        StatusBlock status;
        EXPECT_EQ(dsize({entry(c.type, c.size, 3)}, status), c.bytes) << "type " << c.type;
        EXPECT_FALSE(statusFailed(status));
    }
}

TEST(DescriptorSizes, NestedStructuresMultiplyTheirCounts) {
    // 3 x (int + 2 x (short + 5 chars)) = 3 x (4 + 14) = 54, then a double.
    Table table{entry(7, 2, 3), entry(4, 4, 1), entry(7, 2, 2), entry(2, 2, 1), entry(3, 5, 1), entry(5, 8, 1)};
    StatusBlock status;
    EXPECT_EQ(dsize(table, status), 62);
    EXPECT_EQ(ZENTO_SERVER_TEMPLATE_SIZE(table, status), 5);
    std::int32_t bytes = 0;
    EXPECT_EQ(ZENTO_DCONV_SIZE(table, bytes, status), 5);
    EXPECT_EQ(bytes, 54);
    EXPECT_FALSE(statusFailed(status));

    // A nested structure closing together with its parent.
    Table closing{entry(7, 1, 2), entry(7, 1, 3), entry(7, 1, 4), entry(2, 2, 1), entry(4, 4, 1)};
    EXPECT_EQ(ZENTO_DCONV_SIZE(closing, bytes, status), 4);
    EXPECT_EQ(bytes, 48);
    EXPECT_EQ(dsize(closing, status), 52);

    // A structure without members spans itself and describes nothing.
    Table empty{entry(7, 0, 9), entry(4, 4, 1)};
    EXPECT_EQ(ZENTO_DCONV_SIZE(empty, bytes, status), 1);
    EXPECT_EQ(bytes, 0);
    EXPECT_EQ(dsize(empty, status), 4);
}

TEST(DescriptorSizes, TemplatesAndRequestTables) {
    // The end-of-file notice's template: one structure around one text.
    Table notice{entry(7, 1, 1), entry(3, 17, 1)};
    StatusBlock status;
    std::int32_t bytes = 0;
    EXPECT_EQ(ZENTO_DCONV_SIZE(notice, bytes, status), 2);
    EXPECT_EQ(bytes, 17);
    EXPECT_EQ(ZENTO_SERVER_TEMPLATE_SIZE(notice, status), 2);

    // GET request tables for a 2-entry template and one 17-byte name.
    Table request{entry(7, 9, 1), entry(4, 4, 1), entry(4, 4, 1), entry(4, 4, 1), entry(3, 32, 1),
                  entry(4, 4, 1), entry(4, 4, 1), entry(4, 4, 1), entry(7, 4, 2), entry(2, 2, 1),
                  entry(2, 2, 1), entry(4, 4, 1), entry(4, 4, 1), entry(3, 17, 1)};
    EXPECT_EQ(dsize(request, status), 12 + 32 + 12 + 24 + 17);
    EXPECT_EQ(ZENTO_SERVER_TEMPLATE_SIZE(request, status), 14);
    Table withPairs = request;
    withPairs[0].size = 10;
    withPairs.insert(withPairs.end() - 1, {entry(7, 2, 1), entry(4, 4, 1), entry(4, 4, 1)});
    ASSERT_EQ(withPairs.size(), 17u);
    EXPECT_EQ(dsize(withPairs, status), 12 + 32 + 12 + 24 + 8 + 17);
    EXPECT_FALSE(statusFailed(status));
}

TEST(DescriptorSizes, MalformedTablesFailWithTheirCause) {
    struct Case {
        const char* what;
        Table table;
        std::int32_t code;
    };
    const Case cases[] = {
        {"type 0", {entry(0, 4, 1)}, libcode::kDescriptorUnknownType},
        {"type 8 inside a structure", {entry(7, 1, 1), entry(8, 4, 1)}, libcode::kDescriptorUnknownType},
        {"members past the end", {entry(7, 3, 1), entry(4, 4, 1), entry(4, 4, 1)}, libcode::kDescriptorStructOverrun},
        {"huge member count", {entry(7, 0xFFFFFFFF, 1), entry(4, 4, 1)}, libcode::kDescriptorStructOverrun},
        {"2^31 bytes", {entry(3, 0x80000000, 1)}, libcode::kDescriptorTooLarge},
        {"count overflow", {entry(6, 8, 0xFFFFFFFF)}, libcode::kDescriptorTooLarge},
        {"nested counts overflow",
         {entry(7, 1, 0xFFFFFFFF), entry(7, 1, 0xFFFFFFFF), entry(4, 4, 0xFFFFFFF)},
         libcode::kDescriptorTooLarge},
        {"items together too large", {entry(3, 0x40000000, 1), entry(3, 0x40000000, 1)},
         libcode::kDescriptorTooLarge},
    };
    for (const Case& c : cases) {
        StatusBlock status;
        EXPECT_EQ(dsize(c.table, status), 0) << c.what;
        EXPECT_TRUE(statusFailed(status)) << c.what;
        EXPECT_EQ(status.facility[0], kFacilityLibrary) << c.what;
        EXPECT_EQ(status.error[0], c.code) << c.what;
    }
    StatusBlock status;
    EXPECT_EQ(dsize({entry(3, 0x7FFFFFFF, 1)}, status), 0x7FFFFFFF);
    EXPECT_FALSE(statusFailed(status));
    EXPECT_EQ(dsize({}, status), 0);
    EXPECT_FALSE(statusFailed(status));
    std::int32_t bytes = 5;
    EXPECT_EQ(ZENTO_DCONV_SIZE(Table{}, bytes, status), 0);
    EXPECT_EQ(status.error[0], libcode::kDescriptorEmpty);
    EXPECT_EQ(bytes, 0);
}

TEST(DescriptorSizes, NestingIsBoundedNotRecursive) {
    auto nested = [](std::size_t depth) {
        Table table(depth, entry(7, 1, 1));
        table.push_back(entry(4, 4, 1));
        return table;
    };
    StatusBlock status;
    EXPECT_EQ(dsize(nested(kMaxDescriptorDepth), status), 4);
    EXPECT_FALSE(statusFailed(status));
    EXPECT_EQ(dsize(nested(kMaxDescriptorDepth + 1), status), 0);
    EXPECT_EQ(status.error[0], libcode::kDescriptorTooDeep);
    // A crafted table deep enough to exhaust any call stack.
    EXPECT_EQ(dsize(nested(500000), status), 0);
    EXPECT_EQ(status.error[0], libcode::kDescriptorTooDeep);
}

TEST(DescriptorCoding, LittleEndianFieldByField) {
    std::uint8_t bytes[25] = {};
    encodeDescriptor(bytes, {7, 0, 0x01020304, 0xA0B0C0D0});
    const std::uint8_t expected[12] = {7, 0, 0, 0, 4, 3, 2, 1, 0xD0, 0xC0, 0xB0, 0xA0};
    EXPECT_EQ(std::memcmp(bytes, expected, 12), 0);
    encodeDescriptor(bytes + 12, {3, 0, 17, 1});
    Table decoded = decodeDescriptors(bytes);  // the trailing byte is no entry
    ASSERT_EQ(decoded.size(), 2u);
    EXPECT_EQ(decoded[0].size, 0x01020304u);
    EXPECT_EQ(decoded[0].count, 0xA0B0C0D0u);
    EXPECT_EQ(decoded[1].type, 3);
    EXPECT_EQ(decoded[1].size, 17u);
}

}  // namespace
