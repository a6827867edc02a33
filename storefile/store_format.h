#pragma once
// The store file's on-disk format: the double, CRC-protected header in three
// generations, and the 12-byte record prefix in front of each stored message.
#include <array>
#include <cstdint>
#include <span>

#include "msglib/status_block.h"

constexpr std::uint32_t kStoreMagic = 0x5A5AA5A5;
constexpr std::uint8_t kRecordMarker[4] = {0x5B, 0x5D, 0x5C, 0x5E};  // "[]\^"
constexpr std::uint32_t kRecordPrefixSize = 12;
constexpr std::uint32_t kMessageHeadSize = 292;
constexpr std::uint32_t kRecordHeadSize = 304;
constexpr std::int64_t kType2HeaderLength = 192;
constexpr std::uint32_t kMaxHeaderBlock = 92;
constexpr std::uint32_t kHeaderAreaRead = 392;  // enough for every header type
constexpr std::uint32_t kUnknownMsgCount = 0xFFFFFFFF;  // the DUMP default header's message count

// The header in the type-2 layout: on disk for type 2, in memory for all.
struct StoreFileHeader {
    std::uint32_t magic;
    std::uint32_t revision;
    std::uint32_t word08;
    std::uint32_t word12;
    std::int64_t firstMsgOffset;
    std::int64_t value24;
    std::int64_t lastMsgOffset;
    std::uint32_t msgCount;
    std::uint32_t forwardedCount;
    std::int64_t offset48;
    std::int64_t lastOffset;
    std::int64_t forwardOffset;
    std::int64_t value72;
    std::uint32_t wrapped;
    std::uint32_t maxSize;
    std::uint32_t word88;
};

using Type2Block = std::array<std::uint8_t, 92>;
using Type1Block = std::array<std::uint8_t, 68>;
using Type0Block = std::array<std::uint8_t, 64>;

std::uint32_t storeCrc(std::span<const std::uint8_t> bytes);
std::uint32_t storeCrcBitwise(std::span<const std::uint8_t> bytes);  // the definition, for tests
std::uint32_t bodyChecksum(std::span<const std::uint8_t> bytes);
std::uint32_t blockSizeOf(std::int32_t headerType);

// The two blocks of a header pair as read: their stored and computed CRCs.
// bytes holds at least both blocks and their CRC words.
struct HeaderBlockCheck {
    bool primaryOk;
    bool backupOk;
    std::uint32_t primaryCrc;
    std::uint32_t primaryStored;
    std::uint32_t backupCrc;
    std::uint32_t backupStored;
    bool blocksEqual;
};
HeaderBlockCheck checkBlockPair(std::span<const std::uint8_t> bytes, std::uint32_t blockSize);

// Verdicts: 0 good, 1 primary bad (backup usable), 2 backup bad, 3 both bad.
int checkHeaderBlocks(std::span<const std::uint8_t> bytes, std::uint32_t blockSize);  // prints
int checkType2Blocks(std::span<const std::uint8_t> bytes);                            // silent

// A header whose msgCount says how many messages it holds: neither a writer
// that kept no count nor the DUMP default header.
bool countsMessages(const StoreFileHeader& header);
// A type-2 header that counts every stored message forwarded, with the
// forward offset on the last one (where a removal leaves it): nothing is left
// to deliver.
bool type2HeaderDrained(const StoreFileHeader& header);

// The header of a new, empty store file: every offset at the start of the
// type-2 data area; a ring of maxSizeMiB MiB, or linear with 0.
StoreFileHeader emptyStoreHeader(std::uint32_t maxSizeMiB);

Type2Block encodeType2(const StoreFileHeader& header);
StoreFileHeader decodeType2(std::span<const std::uint8_t, 92> block);
// Type 0 and 1 leave lastMsgOffset of `into` as it is.
void headerFromType1(std::span<const std::uint8_t, 68> block, StoreFileHeader& into);
void headerFromType0(std::span<const std::uint8_t, 64> block, StoreFileHeader& into);
// A block of the given generation in the type-2 layout; the older ones leave
// lastMsgOffset at 0.
StoreFileHeader headerFromBlock(std::int32_t headerType, std::span<const std::uint8_t> block);
Type1Block headerToType1(const StoreFileHeader& header);
Type0Block headerToType0(const StoreFileHeader& header);

// Header and record I/O on an open handle. Codes as documented per call.
struct StoreFile;
void writeStoreHeader(const StoreFile& store, const StoreFileHeader& header, StatusBlock& status);
void writeNewType2Header(int handle, const StoreFileHeader& header, StatusBlock& status);
StoreFileHeader readType2Header(int handle, StatusBlock& status);
std::uint32_t readRecordHead(int handle, std::int64_t position, std::span<std::uint8_t, 292> head,
                             StatusBlock& status);
void readRecordBody(int handle, std::int64_t position, std::uint32_t length, std::uint32_t expected,
                    std::span<std::uint8_t> message, StatusBlock& status);
void appendRecord(int handle, std::int64_t position, std::span<const std::uint8_t> message, StatusBlock& status);
