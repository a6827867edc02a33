#include <gtest/gtest.h>

#include <vector>

#include "msglib/descriptors.h"
#include "msglib/library_codes.h"
#include "tests/msglib/msglib_test_support.h"

namespace {

using msgtest::entry;
using Table = std::vector<DescriptorEntry>;

std::int32_t dsize(const Table& table, StatusBlock& status) { return ZENTO_SERVER_DSIZE(table, status); }

TEST(DescriptorSizes, ElementSizesAndNestedStructures) {
    struct Case {
        const char* what;
        Table table;
        std::int32_t tableBytes, firstEntries, firstBytes;
    };
    const Case cases[] = {
        // The size field counts only for character fields.
        {"simple types", {entry(1, 99, 3), entry(2, 99, 3), entry(3, 5, 3), entry(4, 0, 3), entry(5, 1, 3),
                          entry(6, 4, 3)}, 12 + 6 + 15 + 12 + 24 + 24, 1, 12},
        // 3 x (int + 2 x (short + 5 chars)) = 54, then a double.
        {"nested", {entry(7, 2, 3), entry(4, 4, 1), entry(7, 2, 2), entry(2, 2, 1), entry(3, 5, 1), entry(5, 8, 1)},
         62, 5, 54},
        {"closing together", {entry(7, 1, 2), entry(7, 1, 3), entry(7, 1, 4), entry(2, 2, 1), entry(4, 4, 1)},
         52, 4, 48},
        {"structure without members", {entry(7, 0, 9), entry(4, 4, 1)}, 4, 1, 0},
        {"end-of-file notice template", {entry(7, 1, 1), entry(3, 17, 1)}, 17, 2, 17},
        {"largest size", {entry(3, 0x7FFFFFFF, 1)}, 0x7FFFFFFF, 1, 0x7FFFFFFF},
    };
    for (const Case& c : cases) {
        StatusBlock status;
        std::int32_t bytes = 0;
        EXPECT_EQ(dsize(c.table, status), c.tableBytes) << c.what;
        EXPECT_EQ(ZENTO_DCONV_SIZE(c.table, bytes, status), c.firstEntries) << c.what;
        EXPECT_EQ(bytes, c.firstBytes) << c.what;
        EXPECT_EQ(ZENTO_SERVER_TEMPLATE_SIZE(c.table, status), c.firstEntries) << c.what;
        EXPECT_FALSE(statusFailed(status)) << c.what;
    }
}

TEST(DescriptorSizes, GetRequestTables) {
    // A 2-entry template, one 17-byte name; 17 entries with the pair array.
    Table request{entry(7, 9, 1), entry(4, 4, 1), entry(4, 4, 1), entry(4, 4, 1), entry(3, 32, 1),
                  entry(4, 4, 1), entry(4, 4, 1), entry(4, 4, 1), entry(7, 4, 2), entry(2, 2, 1),
                  entry(2, 2, 1), entry(4, 4, 1), entry(4, 4, 1), entry(3, 17, 1)};
    StatusBlock status;
    EXPECT_EQ(dsize(request, status), 12 + 32 + 12 + 24 + 17);
    EXPECT_EQ(ZENTO_SERVER_TEMPLATE_SIZE(request, status), 14);
    request[0].size = 10;
    request.insert(request.end() - 1, {entry(7, 2, 1), entry(4, 4, 1), entry(4, 4, 1)});
    EXPECT_EQ(dsize(request, status), 12 + 32 + 12 + 24 + 8 + 17);
    EXPECT_EQ(ZENTO_SERVER_TEMPLATE_SIZE(request, status), 17);
    EXPECT_FALSE(statusFailed(status));
}

TEST(DescriptorSizes, MalformedTablesFailWithTheirCause) {
    auto nested = [](std::size_t depth) {
        Table table(depth, entry(7, 1, 1));
        table.push_back(entry(4, 4, 1));
        return table;
    };
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
        {"nested counts overflow", {entry(7, 1, 0xFFFFFFFF), entry(7, 1, 0xFFFFFFFF), entry(4, 4, 0xFFFFFFF)},
         libcode::kDescriptorTooLarge},
        {"items together too large", {entry(3, 0x40000000, 1), entry(3, 0x40000000, 1)},
         libcode::kDescriptorTooLarge},
        {"one level too deep", nested(kMaxDescriptorDepth + 1), libcode::kDescriptorTooDeep},
        // Deep enough to exhaust any call stack.
        {"crafted depth", nested(500000), libcode::kDescriptorTooDeep},
    };
    for (const Case& c : cases) {
        StatusBlock status;
        EXPECT_EQ(dsize(c.table, status), 0) << c.what;
        EXPECT_EQ(status.facility[0], kFacilityLibrary) << c.what;
        EXPECT_EQ(status.error[0], c.code) << c.what;
    }
    StatusBlock status;
    EXPECT_EQ(dsize(nested(kMaxDescriptorDepth), status), 4);
    EXPECT_EQ(dsize({}, status), 0);
    EXPECT_FALSE(statusFailed(status));
    std::int32_t bytes = 5;
    EXPECT_EQ(ZENTO_DCONV_SIZE(Table{}, bytes, status), 0);
    EXPECT_EQ(status.error[0], libcode::kDescriptorEmpty);
}

TEST(DescriptorCoding, LittleEndianFieldByField) {
    std::uint8_t bytes[13] = {};
    encodeDescriptor(bytes, {7, 0, 0x01020304, 0xA0B0C0D0});
    const std::uint8_t expected[12] = {7, 0, 0, 0, 4, 3, 2, 1, 0xD0, 0xC0, 0xB0, 0xA0};
    EXPECT_EQ(std::memcmp(bytes, expected, 12), 0);
    EXPECT_EQ(decodeDescriptors(bytes).size(), 1u);  // the trailing byte is no entry
}

}  // namespace
