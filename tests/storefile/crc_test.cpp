#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string_view>
#include <vector>

#include "storefile/store_format.h"

namespace {

std::span<const std::uint8_t> bytesOf(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

TEST(StoreCrc, CheckValues) {
    for (auto crc : {storeCrc, storeCrcBitwise}) {
        EXPECT_EQ(crc(bytesOf("abc")), 0x00616263u);
        EXPECT_EQ(crc(bytesOf("123456789")), 0xCCBD34E2u);
        EXPECT_EQ(crc({}), 0u);
        const std::vector<std::uint8_t> zeros(292, 0);
        EXPECT_EQ(crc(zeros), 0u);
        // Up to four bytes the register just holds the input, big-endian.
        const std::uint8_t word[4] = {0xDE, 0xAD, 0xBE, 0xEF};
        EXPECT_EQ(crc(std::span<const std::uint8_t>(word)), 0xDEADBEEFu);
        EXPECT_EQ(crc(std::span<const std::uint8_t>(word, 1)), 0xDEu);
        // The fifth byte is the first one that gets reduced.
        const std::uint8_t five[5] = {0x01, 0, 0, 0, 0};  // x^32
        EXPECT_EQ(crc(std::span<const std::uint8_t>(five)), 0x04C11DB7u);
    }
}

TEST(StoreCrc, TableDrivenEqualsBitwiseDefinition) {
    std::mt19937 rng(20240611);
    std::vector<std::uint8_t> buffer(600 + 8);
    for (int round = 0; round < 3; ++round) {
        for (auto& b : buffer) b = static_cast<std::uint8_t>(rng());
        for (std::size_t length = 0; length <= 600; ++length) {
            // Every alignment of the start, so no load depends on it.
            const std::size_t start = (length + static_cast<std::size_t>(round)) % 8;
            const std::span<const std::uint8_t> input(buffer.data() + start, length);
            ASSERT_EQ(storeCrc(input), storeCrcBitwise(input)) << "length " << length << " start " << start;
        }
    }
    const std::vector<std::uint8_t> ones(1000, 0xFF);
    EXPECT_EQ(storeCrc(ones), storeCrcBitwise(ones));
}

TEST(StoreCrc, IsLinearWithZeroStart) {
    // No initial value and no final XOR: the CRC of a XOR b is the XOR of the
    // CRCs. A seeded or inverted register would break this.
    std::mt19937 rng(7);
    std::vector<std::uint8_t> a(292), b(292), x(292);
    for (std::size_t i = 0; i < a.size(); ++i) {
        a[i] = static_cast<std::uint8_t>(rng());
        b[i] = static_cast<std::uint8_t>(rng());
        x[i] = static_cast<std::uint8_t>(a[i] ^ b[i]);
    }
    EXPECT_EQ(storeCrc(x), storeCrc(a) ^ storeCrc(b));
}

}  // namespace
