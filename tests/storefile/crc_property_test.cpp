// Every implementation of the store file CRC against its bitwise definition,
// on random lengths, start alignments and contents: the folding paths split
// an input into a lead of length % 16 bytes, four lanes and single folds, so
// each length class and each point of the lane loop is met.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "storefile/crc_variants.h"
#include "storefile/store_format.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(StoreCrcVariants, TheWidestIsTheOneInUse) {
    const auto variants = storeCrcVariants();
    ASSERT_FALSE(variants.empty());
    EXPECT_STREQ(variants.front().name, "table");
    Bytes bytes(292);
    std::mt19937 rng(7);
    for (auto& b : bytes) b = static_cast<std::uint8_t>(rng());
    EXPECT_EQ(variants.back().crc(bytes), storeCrc(bytes));
}

TEST(StoreCrcVariants, AgreeWithTheDefinitionOnRandomLengthsAndAlignments) {
    std::mt19937 rng(20240612);
    Bytes buffer(8192 + 64);
    // Random bytes, all ones (every bit of the register and the folds set)
    // and sparse bytes (long runs of zeros between single set bits).
    const auto fills = {+[](std::mt19937& r) { return static_cast<std::uint8_t>(r()); },
                        +[](std::mt19937&) { return std::uint8_t{0xFF}; },
                        +[](std::mt19937& r) { return static_cast<std::uint8_t>(r() % 61 == 0 ? 1u << (r() % 8) : 0); }};
    for (const auto& variant : storeCrcVariants()) {
        for (const auto fill : fills) {
            for (auto& b : buffer) b = fill(rng);
            for (int i = 0; i < 400; ++i) {
                // Short inputs half the time: the lead and lane boundaries lie there.
                const std::size_t length = i % 2 == 0 ? rng() % 200 : rng() % 8192;
                const std::size_t align = rng() % 64;
                const std::span<const std::uint8_t> input(buffer.data() + align, length);
                ASSERT_EQ(variant.crc(input), storeCrcBitwise(input))
                    << variant.name << " length " << length << " at " << align;
            }
        }
    }
}

TEST(StoreCrcVariants, ZerosInFrontChangeNothing) {
    // The folding paths rely on it for lengths that are no multiple of 16.
    Bytes message(300);
    std::mt19937 rng(3);
    for (auto& b : message) b = static_cast<std::uint8_t>(rng());
    for (const auto& variant : storeCrcVariants()) {
        for (std::size_t zeros : {1u, 15u, 16u, 17u, 63u}) {
            Bytes padded(zeros, 0);
            padded.insert(padded.end(), message.begin(), message.end());
            EXPECT_EQ(variant.crc(padded), variant.crc(message)) << variant.name << " " << zeros;
        }
    }
}

}  // namespace
