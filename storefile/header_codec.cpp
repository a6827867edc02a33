// The three generations of the store file header and their checks. Every
// generation is converted to and from the type-2 layout, which is the
// in-memory form of all of them.
#include <algorithm>
#include <cstdio>

#include "msglib/coding.h"
#include "storefile/store_format.h"

std::uint32_t blockSizeOf(std::int32_t headerType) {
    switch (headerType) {
        case 0: return 64;
        case 1: return 68;
        case 2: return 92;
        default: return 0;  // no such header type: callers must not lay out a block
    }
}

HeaderBlockCheck checkBlockPair(std::span<const std::uint8_t> bytes, std::uint32_t s) {
    const auto primary = bytes.subspan(0, s);
    const auto backup = bytes.subspan(s + 4, s);
    HeaderBlockCheck c{};
    c.primaryCrc = storeCrc(primary);
    c.primaryStored = decodeU32(bytes.data() + s);
    c.backupCrc = storeCrc(backup);
    c.backupStored = decodeU32(bytes.data() + 2 * s + 4);
    c.primaryOk = c.primaryCrc == c.primaryStored;
    c.backupOk = c.backupCrc == c.backupStored;
    c.blocksEqual = std::equal(primary.begin(), primary.end(), backup.begin());
    return c;
}

StoreFileHeader headerFromBlock(std::int32_t headerType, std::span<const std::uint8_t> block) {
    StoreFileHeader header{};
    switch (headerType) {
        case 0: headerFromType0(block.first<64>(), header); break;
        case 1: headerFromType1(block.first<68>(), header); break;
        default: header = decodeType2(block.first<92>()); break;
    }
    return header;
}

namespace {

int verdictOf(const HeaderBlockCheck& c) {
    if (c.primaryOk && c.backupOk) return c.blocksEqual ? 0 : 3;
    if (c.primaryOk) return 2;
    if (c.backupOk) return 1;
    return 3;
}

// A header area too short for two blocks and their CRC words cannot be
// trusted at all.
bool holdsHeaderPair(std::span<const std::uint8_t> bytes, std::uint32_t s) {
    return s > 0 && bytes.size() >= 2 * static_cast<std::size_t>(s) + 8;
}

}  // namespace

int checkHeaderBlocks(std::span<const std::uint8_t> bytes, std::uint32_t blockSize) {
    std::printf("Checking store file header blocks, size=%d\n", static_cast<int>(blockSize));
    if (!holdsHeaderPair(bytes, blockSize)) return 3;
    const HeaderBlockCheck c = checkBlockPair(bytes, blockSize);
    if (!c.primaryOk) {
        std::printf("BAD CRC: CRC #1 should be %08X, file CRC #1 is %08X\n", c.primaryCrc, c.primaryStored);
    }
    if (!c.backupOk) {
        std::printf("BAD CRC: CRC #2 should be %08X, file CRC #2 is %08X\n", c.backupCrc, c.backupStored);
    }
    return verdictOf(c);
}

int checkType2Blocks(std::span<const std::uint8_t> bytes) {
    if (!holdsHeaderPair(bytes, 92)) return 3;
    return verdictOf(checkBlockPair(bytes, 92));
}

bool countsMessages(const StoreFileHeader& h) { return h.msgCount != 0 && h.msgCount != kUnknownMsgCount; }

bool type2HeaderDrained(const StoreFileHeader& h) {
    return countsMessages(h) && h.forwardOffset == h.lastMsgOffset && h.forwardedCount >= h.msgCount;
}

StoreFileHeader emptyStoreHeader(std::uint32_t maxSizeMiB) {
    StoreFileHeader header{};
    header.magic = kStoreMagic;
    header.revision = 2;
    header.firstMsgOffset = kType2HeaderLength;
    header.lastMsgOffset = kType2HeaderLength;
    header.offset48 = kType2HeaderLength;
    header.lastOffset = kType2HeaderLength;
    header.forwardOffset = kType2HeaderLength;
    header.maxSize = maxSizeMiB;
    return header;
}

Type2Block encodeType2(const StoreFileHeader& h) {
    Type2Block b{};
    std::uint8_t* p = b.data();
    encodeU32(p + 0, h.magic);
    encodeU32(p + 4, h.revision);
    encodeU32(p + 8, h.word08);
    encodeU32(p + 12, h.word12);
    encodeI64(p + 16, h.firstMsgOffset);
    encodeI64(p + 24, h.value24);
    encodeI64(p + 32, h.lastMsgOffset);
    encodeU32(p + 40, h.msgCount);
    encodeU32(p + 44, h.forwardedCount);
    encodeI64(p + 48, h.offset48);
    encodeI64(p + 56, h.lastOffset);
    encodeI64(p + 64, h.forwardOffset);
    encodeI64(p + 72, h.value72);
    encodeU32(p + 80, h.wrapped);
    encodeU32(p + 84, h.maxSize);
    encodeU32(p + 88, h.word88);
    return b;
}

StoreFileHeader decodeType2(std::span<const std::uint8_t, 92> block) {
    const std::uint8_t* p = block.data();
    StoreFileHeader h{};
    h.magic = decodeU32(p + 0);
    h.revision = decodeU32(p + 4);
    h.word08 = decodeU32(p + 8);
    h.word12 = decodeU32(p + 12);
    h.firstMsgOffset = decodeI64(p + 16);
    h.value24 = decodeI64(p + 24);
    h.lastMsgOffset = decodeI64(p + 32);
    h.msgCount = decodeU32(p + 40);
    h.forwardedCount = decodeU32(p + 44);
    h.offset48 = decodeI64(p + 48);
    h.lastOffset = decodeI64(p + 56);
    h.forwardOffset = decodeI64(p + 64);
    h.value72 = decodeI64(p + 72);
    h.wrapped = decodeU32(p + 80);
    h.maxSize = decodeU32(p + 84);
    h.word88 = decodeU32(p + 88);
    return h;
}

namespace {

// The 32-bit generations keep offsets in one word: zero-extended on reading,
// the low word on writing.
std::int64_t widen(std::uint32_t word) { return static_cast<std::int64_t>(word); }
std::uint32_t lowWord(std::int64_t value) { return static_cast<std::uint32_t>(static_cast<std::uint64_t>(value)); }
std::uint32_t highWord(std::int64_t value) {
    return static_cast<std::uint32_t>(static_cast<std::uint64_t>(value) >> 32);
}

}  // namespace

void headerFromType1(std::span<const std::uint8_t, 68> block, StoreFileHeader& into) {
    const std::uint8_t* p = block.data();
    into.magic = decodeU32(p + 0);
    into.revision = decodeU32(p + 4);
    into.word08 = decodeU32(p + 8);
    into.word12 = decodeU32(p + 12);
    into.firstMsgOffset = widen(decodeU32(p + 16));
    into.value24 = decodeI64(p + 20);
    // The word at 28 is not carried, and lastMsgOffset keeps its value.
    into.msgCount = decodeU32(p + 32);
    into.forwardedCount = decodeU32(p + 36);
    into.offset48 = widen(decodeU32(p + 40));
    into.lastOffset = widen(decodeU32(p + 44));
    into.forwardOffset = widen(decodeU32(p + 48));
    into.value72 = widen(decodeU32(p + 52));
    into.wrapped = decodeU32(p + 56);
    into.maxSize = decodeU32(p + 60);
    into.word88 = decodeU32(p + 64);
}

void headerFromType0(std::span<const std::uint8_t, 64> block, StoreFileHeader& into) {
    Type1Block widened{};
    std::copy_n(block.begin(), 56, widened.begin());
    // The oldest generation has no wrap flag: the data wraps exactly when the
    // forward offset lies behind the end of the stored data.
    const bool wraps = decodeU32(block.data() + 48) > decodeU32(block.data() + 44);
    encodeU32(widened.data() + 56, wraps ? 1u : 0u);
    encodeU32(widened.data() + 60, decodeU32(block.data() + 56));
    encodeU32(widened.data() + 64, decodeU32(block.data() + 60));
    headerFromType1(widened, into);
}

Type1Block headerToType1(const StoreFileHeader& h) {
    Type1Block b{};
    std::uint8_t* p = b.data();
    encodeU32(p + 0, h.magic);
    encodeU32(p + 4, h.revision);
    encodeU32(p + 8, h.word08);
    encodeU32(p + 12, h.word12);
    encodeU32(p + 16, lowWord(h.firstMsgOffset));
    encodeU32(p + 20, lowWord(h.value24));
    encodeU32(p + 24, highWord(h.value24));
    // Word 28 is where this generation kept the last message's offset. Reading
    // does not carry it, so it gets the low word of lastMsgOffset like every
    // other offset: the block then describes the header we hold (0 when the
    // header came from a type-0 or type-1 block in this process).
    encodeU32(p + 28, lowWord(h.lastMsgOffset));
    encodeU32(p + 32, h.msgCount);
    encodeU32(p + 36, h.forwardedCount);
    encodeU32(p + 40, lowWord(h.offset48));
    encodeU32(p + 44, lowWord(h.lastOffset));
    encodeU32(p + 48, lowWord(h.forwardOffset));
    encodeU32(p + 52, lowWord(h.value72));
    encodeU32(p + 56, h.wrapped);
    encodeU32(p + 60, h.maxSize);
    encodeU32(p + 64, h.word88);
    return b;
}

Type0Block headerToType0(const StoreFileHeader& h) {
    const Type1Block wide = headerToType1(h);
    Type0Block b{};
    std::copy_n(wide.begin(), 56, b.begin());
    encodeU32(b.data() + 56, h.maxSize);
    encodeU32(b.data() + 60, h.word88);
    return b;
}
