#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "msglib/coding.h"
#include "storefile/store_format.h"
#include "tests/support/file_damage.h"
#include "tests/support/store_builder.h"

namespace {

using testsupport::fixHeaderCrcs;
using testsupport::makeHeaderArea;

StoreFileHeader distinctHeader() {
    StoreFileHeader h{};
    h.magic = kStoreMagic;
    h.revision = 2;
    h.word08 = 0x08080808;
    h.word12 = 0x12121212;
    h.firstMsgOffset = 0x1000;
    h.value24 = 0x0000002400000024;
    h.lastMsgOffset = 0x3000;
    h.msgCount = 40;
    h.forwardedCount = 44;
    h.offset48 = 0x4800;
    h.lastOffset = 0x5600;
    h.forwardOffset = 0x6400;
    h.value72 = 0x7200;
    h.wrapped = 1;
    h.maxSize = 84;
    h.word88 = 0x88888888;
    return h;
}

bool sameHeader(const StoreFileHeader& a, const StoreFileHeader& b) {
    return encodeType2(a) == encodeType2(b);
}

// Each row damages a fresh, valid header area of every type.
struct VerdictCase {
    const char* what;
    void (*damage)(std::vector<std::uint8_t>& area, std::uint32_t s);
    int verdict;
};

const VerdictCase kVerdictCases[] = {
    {"untouched", [](std::vector<std::uint8_t>&, std::uint32_t) {}, 0},
    {"primary byte", [](std::vector<std::uint8_t>& a, std::uint32_t) { a[20] ^= 1; }, 1},
    {"crc #1 word", [](std::vector<std::uint8_t>& a, std::uint32_t s) { a[s] ^= 0x80; }, 1},
    {"backup byte", [](std::vector<std::uint8_t>& a, std::uint32_t s) { a[s + 4 + 20] ^= 1; }, 2},
    {"crc #2 word", [](std::vector<std::uint8_t>& a, std::uint32_t s) { a[2 * s + 7] ^= 1; }, 2},
    {"both blocks", [](std::vector<std::uint8_t>& a, std::uint32_t s) { a[0] ^= 1; a[s + 4] ^= 2; }, 3},
    {"blocks differ, crcs right",
     [](std::vector<std::uint8_t>& a, std::uint32_t s) {
         a[40] ^= 1;
         const std::uint32_t t = s == 64 ? 0 : s == 68 ? 1 : 2;
         fixHeaderCrcs(a, static_cast<int>(t));
     },
     3},
    {"all zero", [](std::vector<std::uint8_t>& a, std::uint32_t) { std::fill(a.begin(), a.end(), 0); }, 0},
};

TEST(HeaderVerdict, TableForEveryHeaderType) {
    for (int type = 0; type <= 2; ++type) {
        const std::uint32_t s = blockSizeOf(type);
        for (const VerdictCase& c : kVerdictCases) {
            std::vector<std::uint8_t> area = makeHeaderArea(distinctHeader(), type);
            ASSERT_EQ(area.size(), 2 * s + 8);
            c.damage(area, s);
            testing::internal::CaptureStdout();
            EXPECT_EQ(checkHeaderBlocks(area, s), c.verdict) << c.what << ", type " << type;
            testing::internal::GetCapturedStdout();
            if (type == 2) {
                EXPECT_EQ(checkType2Blocks(area), c.verdict) << c.what;
            }
        }
    }
}

TEST(HeaderVerdict, ConsoleLinesNameBothCrcs) {
    std::vector<std::uint8_t> area = makeHeaderArea(distinctHeader(), 1);
    const std::uint32_t good = decodeU32(area.data() + 68);
    encodeU32(area.data() + 68, 0xDEADBEEF);
    encodeU32(area.data() + 140, 0x0000ABCD);

    testing::internal::CaptureStdout();
    EXPECT_EQ(checkHeaderBlocks(area, 68), 3);
    char expected[256];
    std::snprintf(expected, sizeof expected,
                  "Checking store file header blocks, size=68\n"
                  "BAD CRC: CRC #1 should be %08X, file CRC #1 is DEADBEEF\n"
                  "BAD CRC: CRC #2 should be %08X, file CRC #2 is 0000ABCD\n",
                  good, good);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), expected);

    testing::internal::CaptureStdout();
    EXPECT_EQ(checkHeaderBlocks(makeHeaderArea(distinctHeader(), 2), 92), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Checking store file header blocks, size=92\n");

    testing::internal::CaptureStdout();
    EXPECT_EQ(checkType2Blocks(area), 3);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << "the type-2 check is silent";
}

TEST(HeaderVerdict, TooFewBytesAreBothBad) {
    const std::vector<std::uint8_t> area = makeHeaderArea(distinctHeader(), 2);
    testing::internal::CaptureStdout();
    EXPECT_EQ(checkHeaderBlocks(std::span(area).first(191), 92), 3);
    EXPECT_EQ(checkHeaderBlocks(area, 0), 3);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(checkType2Blocks(std::span(area).first(100)), 3);
}

TEST(Type2Layout, FieldsAtTheirOffsetsLittleEndian) {
    const StoreFileHeader h = distinctHeader();
    const Type2Block b = encodeType2(h);
    const std::uint8_t* p = b.data();
    EXPECT_EQ(p[0], 0xA5);
    EXPECT_EQ(p[2], 0x5A);
    EXPECT_EQ(decodeU32(p + 8), h.word08);
    EXPECT_EQ(decodeI64(p + 16), h.firstMsgOffset);
    EXPECT_EQ(decodeI64(p + 24), h.value24);
    EXPECT_EQ(decodeI64(p + 32), h.lastMsgOffset);
    EXPECT_EQ(decodeU32(p + 40), h.msgCount);
    EXPECT_EQ(decodeU32(p + 44), h.forwardedCount);
    EXPECT_EQ(decodeI64(p + 48), h.offset48);
    EXPECT_EQ(decodeI64(p + 56), h.lastOffset);
    EXPECT_EQ(decodeI64(p + 64), h.forwardOffset);
    EXPECT_EQ(decodeI64(p + 72), h.value72);
    EXPECT_EQ(decodeU32(p + 80), h.wrapped);
    EXPECT_EQ(decodeU32(p + 84), h.maxSize);
    EXPECT_EQ(decodeU32(p + 88), h.word88);

    StoreFileHeader big = h;
    big.forwardOffset = (std::int64_t{7} << 32) + 192;
    big.lastOffset = -1;
    EXPECT_TRUE(sameHeader(decodeType2(encodeType2(big)), big));
}

Type1Block type1Block() {
    Type1Block b{};
    const std::uint32_t words[17] = {kStoreMagic, 1, 8, 12, 0x1000, 0x24, 0x25, 0xAAAA, 40,
                                     44,          0x4800, 0xFFFFFFF0, 0x6400, 0x7200, 1, 84, 88};
    for (int i = 0; i < 17; ++i) encodeU32(b.data() + 4 * i, words[i]);
    return b;
}

TEST(Type1Conversion, ReadsEveryWordAndLeavesLastMsgOffset) {
    StoreFileHeader h{};
    h.lastMsgOffset = 777;
    headerFromType1(type1Block(), h);
    EXPECT_EQ(h.magic, kStoreMagic);
    EXPECT_EQ(h.revision, 1u);
    EXPECT_EQ(h.word08, 8u);
    EXPECT_EQ(h.word12, 12u);
    EXPECT_EQ(h.firstMsgOffset, 0x1000);
    EXPECT_EQ(h.value24, (std::int64_t{0x25} << 32) | 0x24);
    EXPECT_EQ(h.lastMsgOffset, 777) << "the word at 28 is not carried";
    EXPECT_EQ(h.msgCount, 40u);
    EXPECT_EQ(h.forwardedCount, 44u);
    EXPECT_EQ(h.offset48, 0x4800);
    EXPECT_EQ(h.lastOffset, 0xFFFFFFF0) << "zero-extended, never negative";
    EXPECT_EQ(h.forwardOffset, 0x6400);
    EXPECT_EQ(h.value72, 0x7200);
    EXPECT_EQ(h.wrapped, 1u);
    EXPECT_EQ(h.maxSize, 84u);
    EXPECT_EQ(h.word88, 88u);
}

TEST(Type1Conversion, WriteBackKeepsEverythingBelowFourGiB) {
    StoreFileHeader h{};
    headerFromType1(type1Block(), h);
    h.forwardOffset = 0xFFFFFFFF;
    h.forwardedCount = 0xFFFFFFFF;
    const Type1Block out = headerToType1(h);
    StoreFileHeader again{};
    headerFromType1(out, again);
    EXPECT_TRUE(sameHeader(again, h));
    // Word 28 carries the low word of lastMsgOffset (0 after a type-1 load).
    EXPECT_EQ(decodeU32(out.data() + 28), 0u);
    h.lastMsgOffset = (std::int64_t{1} << 32) + 0x3000;
    EXPECT_EQ(decodeU32(headerToType1(h).data() + 28), 0x3000u);

    // Beyond 4 GiB only the low word fits.
    h.forwardOffset = (std::int64_t{2} << 32) + 500;
    EXPECT_EQ(decodeU32(headerToType1(h).data() + 48), 500u);
    EXPECT_EQ(decodeU32(headerToType1(h).data() + 20), 0x24u);
    EXPECT_EQ(decodeU32(headerToType1(h).data() + 24), 0x25u);
}

Type0Block type0Block(std::uint32_t lastOffset, std::uint32_t forwardOffset) {
    Type0Block b{};
    const Type1Block wide = type1Block();
    std::copy_n(wide.begin(), 56, b.begin());
    encodeU32(b.data() + 4, 0);
    encodeU32(b.data() + 44, lastOffset);
    encodeU32(b.data() + 48, forwardOffset);
    encodeU32(b.data() + 56, 99);          // maxSize
    encodeU32(b.data() + 60, 0xCAFEF00D);  // word88
    return b;
}

TEST(Type0Conversion, WrapFollowsTheOffsets) {
    struct Case {
        std::uint32_t last, forward, wrapped;
    } cases[] = {
        {4000, 5000, 1}, {5000, 4000, 0}, {4000, 4000, 0}, {1, 0x80000000u, 1}, {0x80000000u, 1, 0},
    };
    for (const Case& c : cases) {
        StoreFileHeader h{};
        h.wrapped = 7;
        headerFromType0(type0Block(c.last, c.forward), h);
        EXPECT_EQ(h.wrapped, c.wrapped) << c.last << " / " << c.forward;
        EXPECT_EQ(h.maxSize, 99u);
        EXPECT_EQ(h.word88, 0xCAFEF00Du);
        EXPECT_EQ(h.lastOffset, c.last);
        EXPECT_EQ(h.forwardOffset, c.forward);
        EXPECT_EQ(h.msgCount, 40u);
    }
}

TEST(Type0Conversion, WriteBackDropsOnlyTheWrapFlag) {
    StoreFileHeader h{};
    headerFromType0(type0Block(4000, 5000), h);
    Type0Block out = headerToType0(h);
    // Word 28 is written from lastMsgOffset, which a type-0 load leaves at 0;
    // every other word survives the round trip.
    EXPECT_EQ(decodeU32(out.data() + 28), 0u);
    encodeU32(out.data() + 28, 0xAAAA);
    EXPECT_EQ(out, type0Block(4000, 5000));

    // A wrapped flag the offsets do not imply is lost: the layout has no room.
    h.forwardOffset = 100;
    h.lastOffset = 4000;
    h.wrapped = 1;
    StoreFileHeader again{};
    headerFromType0(headerToType0(h), again);
    EXPECT_EQ(again.wrapped, 0u);
    EXPECT_EQ(decodeU32(headerToType0(h).data() + 56), 99u);
    EXPECT_EQ(decodeU32(headerToType0(h).data() + 60), 0xCAFEF00Du);
}

}  // namespace
