// The on-disk format: the CRC, the verdict on a header pair, the type-2
// layout, the conversions of the two older header generations, and the
// silent type-2 header I/O with its codes. (Rewrites in the file's own type
// are header_crash_test.cpp's.)
#include <cstdio>
#include <random>
#include <string_view>

#include "msglib/coding.h"
#include "tests/storefile/store_test.h"

namespace {

using namespace storetest;

TEST(StoreCrc, CheckValuesAndTheTableAgainstTheBitwiseDefinition) {
    const auto text = [](std::string_view s) {
        return std::span(reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
    };
    for (auto crc : {storeCrc, storeCrcBitwise}) {
        EXPECT_EQ(crc(text("abc")), 0x00616263u);
        EXPECT_EQ(crc(text("123456789")), 0xCCBD34E2u);
        EXPECT_EQ(crc(Bytes(292, 0)), 0u);
    }
    // Every length at every start alignment, so that no wide load depends on either.
    std::mt19937 rng(20240611);
    Bytes buffer(608);
    for (auto& b : buffer) b = static_cast<std::uint8_t>(rng());
    for (std::size_t length = 0; length <= 600; ++length) {
        const std::span<const std::uint8_t> input(buffer.data() + length % 8, length);
        ASSERT_EQ(storeCrc(input), storeCrcBitwise(input)) << length;
    }
}

StoreFileHeader distinctHeader() {
    return {kStoreMagic, 2, 0x08080808, 0x12121212, 0x1000, 0x0000002400000024, 0x3000, 40, 44,
            0x4800, 0x5600, (std::int64_t{7} << 32) + 192, 0x7200, 1, 84, 0x88888888};
}

TEST(HeaderVerdict, TableForEveryHeaderType) {
    using Damage = void (*)(Bytes&, std::uint32_t);
    const std::pair<Damage, int> cases[] = {
        {[](Bytes&, std::uint32_t) {}, 0},
        {[](Bytes& a, std::uint32_t) { a[20] ^= 1; }, 1},
        {[](Bytes& a, std::uint32_t s) { a[s] ^= 0x80; }, 1},  // CRC #1 word
        {[](Bytes& a, std::uint32_t s) { a[s + 4 + 20] ^= 1; }, 2},
        {[](Bytes& a, std::uint32_t s) { a[2 * s + 7] ^= 1; }, 2},  // CRC #2 word
        {[](Bytes& a, std::uint32_t s) { a[0] ^= 1; a[s + 4] ^= 2; }, 3},
        {[](Bytes& a, std::uint32_t s) {  // both CRCs right, the blocks differ
             a[40] ^= 1;
             testsupport::fixHeaderCrcs(a, s == 64 ? 0 : s == 68 ? 1 : 2);
         }, 3},
        {[](Bytes& a, std::uint32_t) { std::fill(a.begin(), a.end(), 0); }, 0},  // the CRC of zeros is 0
    };
    captured([&] {
        for (int type = 0; type <= 2; ++type) {
            const std::uint32_t s = blockSizeOf(type);
            for (std::size_t i = 0; i < std::size(cases); ++i) {
                Bytes area = testsupport::makeHeaderArea(distinctHeader(), type);
                cases[i].first(area, s);
                EXPECT_EQ(checkHeaderBlocks(area, s), cases[i].second) << "case " << i << ", type " << type;
                if (type == 2) {
                    EXPECT_EQ(checkType2Blocks(area), cases[i].second) << "case " << i;
                }
            }
        }
        const Bytes area = testsupport::makeHeaderArea(distinctHeader(), 2);
        EXPECT_EQ(checkHeaderBlocks(std::span(area).first(191), 92), 3) << "too few bytes";
        EXPECT_EQ(checkType2Blocks(std::span(area).first(100)), 3);
    });
    Bytes area = testsupport::makeHeaderArea(distinctHeader(), 1);
    const std::uint32_t good = decodeU32(area.data() + 68);
    encodeU32(area.data() + 68, 0xDEADBEEF);
    encodeU32(area.data() + 140, 0x0000ABCD);
    char expected[256];
    std::snprintf(expected, sizeof expected,
                  "Checking store file header blocks, size=68\n"
                  "BAD CRC: CRC #1 should be %08X, file CRC #1 is DEADBEEF\n"
                  "BAD CRC: CRC #2 should be %08X, file CRC #2 is 0000ABCD\n",
                  good, good);
    EXPECT_EQ(captured([&] { checkHeaderBlocks(area, 68); }), expected);
    EXPECT_EQ(captured([&] { checkType2Blocks(area); }), "");
}

TEST(HeaderLayout, Type2FieldsAtTheirOffsetsLittleEndian) {
    const StoreFileHeader h = distinctHeader();
    const Type2Block b = encodeType2(h);
    EXPECT_EQ(Bytes(b.begin(), b.begin() + 4), (Bytes{0xA5, 0xA5, 0x5A, 0x5A}));
    const std::pair<int, std::int64_t> words[] = {{4, h.revision},  {8, h.word08},  {12, h.word12},
                                                  {40, h.msgCount}, {44, h.forwardedCount},
                                                  {80, h.wrapped},  {84, h.maxSize}, {88, h.word88}};
    const std::pair<int, std::int64_t> wide[] = {{16, h.firstMsgOffset}, {24, h.value24}, {32, h.lastMsgOffset},
                                                 {48, h.offset48}, {56, h.lastOffset}, {64, h.forwardOffset},
                                                 {72, h.value72}};
    for (auto [at, value] : words) EXPECT_EQ(decodeU32(b.data() + at), value) << at;
    for (auto [at, value] : wide) EXPECT_EQ(decodeI64(b.data() + at), value) << at;
    EXPECT_EQ(encodeType2(decodeType2(b)), b);
}

// Type-1 words, in order; a type-0 block is the first 56 bytes of them, then
// maxSize and word88, with the forward offset at 48 and the last offset at 44.
const std::uint32_t kType1Words[17] = {kStoreMagic, 1, 8, 12, 0x1000, 0x24, 0x25, 0xAAAA, 40,
                                       44, 0x4800, 0xFFFFFFF0, 0x6400, 0x7200, 1, 84, 88};

TEST(HeaderConversion, Type1ReadsEveryWordAndWritesBackBelowFourGiB) {
    Type1Block block{};
    for (int i = 0; i < 17; ++i) encodeU32(block.data() + 4 * i, kType1Words[i]);
    StoreFileHeader h{};
    h.lastMsgOffset = 777;
    headerFromType1(block, h);
    // Zero-extended words; the word at 28 is not carried, lastMsgOffset stays.
    const StoreFileHeader expected{kStoreMagic, 1, 8, 12, 0x1000, (std::int64_t{0x25} << 32) | 0x24, 777, 40, 44,
                                   0x4800, 0xFFFFFFF0, 0x6400, 0x7200, 1, 84, 88};
    EXPECT_EQ(encodeType2(h), encodeType2(expected));
    h.forwardOffset = h.forwardedCount = 0xFFFFFFFF;
    StoreFileHeader again{};
    again.lastMsgOffset = 777;
    headerFromType1(headerToType1(h), again);
    EXPECT_EQ(encodeType2(again), encodeType2(h));
    // Word 28 gets the low word of lastMsgOffset; beyond 4 GiB only low words fit.
    h.lastMsgOffset = (std::int64_t{1} << 32) + 0x3000;
    h.forwardOffset = (std::int64_t{2} << 32) + 500;
    EXPECT_EQ(decodeU32(headerToType1(h).data() + 28), 0x3000u);
    EXPECT_EQ(decodeU32(headerToType1(h).data() + 48), 500u);
}

TEST(HeaderConversion, Type0WrapFollowsTheOffsetsAndIsNotWrittenBack) {
    const auto type0 = [](std::uint32_t last, std::uint32_t forward) {
        Type0Block b{};
        for (int i = 0; i < 14; ++i) encodeU32(b.data() + 4 * i, i == 1 ? 0 : kType1Words[i]);
        encodeU32(b.data() + 44, last);
        encodeU32(b.data() + 48, forward);
        encodeU32(b.data() + 56, 99);          // maxSize
        encodeU32(b.data() + 60, 0xCAFEF00D);  // word88
        return b;
    };
    const std::uint32_t cases[][3] = {{4000, 5000, 1}, {5000, 4000, 0}, {4000, 4000, 0}, {1, 0x80000000u, 1}};
    for (const auto& [last, forward, wrapped] : cases) {
        StoreFileHeader h{};
        h.wrapped = 7;
        headerFromType0(type0(last, forward), h);
        EXPECT_EQ(std::tuple(h.wrapped, h.maxSize, h.word88, h.forwardOffset),
                  std::tuple(wrapped, 99u, 0xCAFEF00Du, std::int64_t{forward}));
    }
    StoreFileHeader h{};
    headerFromType0(type0(4000, 5000), h);
    Type0Block out = headerToType0(h);
    EXPECT_EQ(decodeU32(out.data() + 28), 0u);  // lastMsgOffset, which a type-0 load leaves at 0
    encodeU32(out.data() + 28, 0xAAAA);
    EXPECT_EQ(out, type0(4000, 5000));
    h.forwardOffset = 100;  // a wrapped word the offsets do not imply is lost: the layout has no room
    StoreFileHeader again{};
    headerFromType0(headerToType0(h), again);
    EXPECT_EQ(again.wrapped, 0u);
}

// A new file's pair needs no header area yet; the silent read takes the
// usable copy and fails on two valid copies that differ; failures carry their
// causes; without a known header type nothing is written at all.
TEST_F(StoreFileTest, Type2HeaderIoAndItsCodes) {
    StoreFileHeader h = distinctHeader();
    const int fd = openPlain({});
    EXPECT_EQ(captured([&] { writeNewType2Header(fd, h, status_); }), "");
    EXPECT_EQ(testsupport::readAllBytes(path_), testsupport::makeHeaderArea(h, 2));
    Bytes area = testsupport::makeHeaderArea(h, 2);
    h.forwardOffset = 4444;
    const Bytes backup = testsupport::makeHeaderArea(h, 2);
    std::copy(backup.begin() + 96, backup.end(), area.begin() + 96);
    const std::tuple<int, std::int64_t, Entries> copies[] = {  // damaged byte, forward offset read, entries
        {-1, 0, storeCodes({13510})}, {10, 4444, {}}, {100, distinctHeader().forwardOffset, {}}};
    for (const auto& [damageAt, forward, entries] : copies) {
        Bytes file = area;
        if (damageAt >= 0) file[static_cast<std::size_t>(damageAt)] ^= 0x01;
        testsupport::writeAllBytes(path_, file);
        EXPECT_EQ(readType2Header(fd, status_).forwardOffset, forward) << damageAt;
        EXPECT_EQ(statusEntries(status_), entries) << damageAt;
    }
    // A write reads the header area first, to know which copy holds the header now.
    const std::tuple<FileOpKind, bool, Entries> faults[] = {
        {FileOpKind::Seek, false, {{1, EIO}, {13, 13159}, {13, 13511}}},
        {FileOpKind::Read, false, {{1, EIO}, {13, 13182}, {13, 13512}}},
        {FileOpKind::Read, true, {{1, EIO}, {13, 13182}, {13, 13521}}},
        {FileOpKind::Write, true, {{1, EIO}, {13, 13202}, {13, 13521}}},
    };
    for (const auto& [kind, write, entries] : faults) {
        FaultyFileOps ops;
        ops.failNth(kind, 1, EIO);
        if (write) writeNewType2Header(fd, distinctHeader(), status_);
        if (!write) readType2Header(fd, status_);
        EXPECT_EQ(statusEntries(status_), entries);
    }
    const Bytes before = testsupport::readAllBytes(path_);
    FaultyFileOps ops;
    EXPECT_EQ(captured([&] { writeStoreHeader(store_, distinctHeader(), status_); }),
              "Warning: ERROR trying to write file header: error in WRITE.\n");
    EXPECT_EQ(statusEntries(status_), storeCodes({13521}));
    EXPECT_EQ(ops.totalCalls(), 0);
    EXPECT_EQ(testsupport::readAllBytes(path_), before);
    testsupport::writeAllBytes(path_, Bytes(100, 0));  // shorter than a header
    readType2Header(fd, status_);
    EXPECT_EQ(testsupport::failingEntries(status_), storeCodes({13182, 13512}));
}

}  // namespace
