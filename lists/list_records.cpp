#include "lists/list_records.h"

#include <cstring>

#include "msglib/address_coding.h"
#include "msglib/coding.h"

namespace {

namespace scanoff {
constexpr std::size_t kListId = 0;
constexpr std::size_t kFrequency = 4;
constexpr std::size_t kReserved8 = 8;
constexpr std::size_t kReplyDestination = 16;
constexpr std::size_t kRequestSource = 80;
constexpr std::size_t kRequestMsg = 144;
constexpr std::size_t kDummyTagMsg = 148;
constexpr std::size_t kRequestLength = 152;
constexpr std::size_t kWord156 = 156;
constexpr std::size_t kInUse = 160;
constexpr std::size_t kFlag164 = 164;
}  // namespace scanoff

namespace tagsoff {
constexpr std::size_t kTagCount = 0;
constexpr std::size_t kWord4 = 4;
constexpr std::size_t kDeadbands = 8;
constexpr std::size_t kTagStates = 12;
constexpr std::size_t kLastValues = 16;
}  // namespace tagsoff

namespace unsoloff {
constexpr std::size_t kListId = 0;
constexpr std::size_t kDestination = 4;
constexpr std::size_t kRequestSource = 68;
constexpr std::size_t kInUse = 132;
constexpr std::size_t kFlag136 = 136;
}  // namespace unsoloff

namespace storeoff {
constexpr std::size_t kFileName = 0;
constexpr std::size_t kWord1024 = 1024;
constexpr std::size_t kFileHandle = 1028;
constexpr std::size_t kOffset = 1032;
constexpr std::size_t kMsgDest = 1040;
constexpr std::size_t kIsComOk = 1104;
constexpr std::size_t kIsAcked = 1108;
constexpr std::size_t kExistsInList = 1112;
constexpr std::size_t kExistsInDisk = 1116;
constexpr std::size_t kNeedToRetry = 1120;
constexpr std::size_t kMaxSize = 1124;
constexpr std::size_t kMaxPeriod = 1128;
constexpr std::size_t kWord1132 = 1132;
constexpr std::size_t kExpirationMs = 1136;
constexpr std::size_t kExpirationSeconds = 1140;
constexpr std::size_t kFlag1144 = 1144;
constexpr std::size_t kFlag1148 = 1148;
}  // namespace storeoff

constexpr std::uint32_t kNoAddress = 0;

}  // namespace

void encodeScanListEntry(const ScanListEntry& entry, std::span<std::uint8_t, kScanListEntryBytes> out) {
    std::uint8_t* p = out.data();
    encodeI32(p + scanoff::kListId, entry.listId);
    encodeI32(p + scanoff::kFrequency, entry.frequency);
    encodeU32(p + scanoff::kReserved8, entry.reserved8[0]);
    encodeU32(p + scanoff::kReserved8 + 4, entry.reserved8[1]);
    encodeAddress(p + scanoff::kReplyDestination, entry.replyDestination);
    encodeAddress(p + scanoff::kRequestSource, entry.requestSource);
    encodeU32(p + scanoff::kRequestMsg, kNoAddress);
    encodeU32(p + scanoff::kDummyTagMsg, kNoAddress);
    encodeU32(p + scanoff::kRequestLength, entry.requestLength);
    encodeU32(p + scanoff::kWord156, entry.word156);
    encodeU32(p + scanoff::kInUse, entry.inUse);
    encodeU32(p + scanoff::kFlag164, entry.flag164);
}

ScanListEntry decodeScanListEntry(std::span<const std::uint8_t, kScanListEntryBytes> in) {
    const std::uint8_t* p = in.data();
    ScanListEntry entry;
    entry.listId = decodeI32(p + scanoff::kListId);
    entry.frequency = decodeI32(p + scanoff::kFrequency);
    entry.reserved8[0] = decodeU32(p + scanoff::kReserved8);
    entry.reserved8[1] = decodeU32(p + scanoff::kReserved8 + 4);
    entry.replyDestination = decodeAddress(p + scanoff::kReplyDestination);
    entry.requestSource = decodeAddress(p + scanoff::kRequestSource);
    entry.requestLength = decodeU32(p + scanoff::kRequestLength);
    entry.word156 = decodeU32(p + scanoff::kWord156);
    entry.inUse = decodeU32(p + scanoff::kInUse);
    entry.flag164 = decodeU32(p + scanoff::kFlag164);
    return entry;
}

void encodeScanEntryTags(const ScanEntryTags& tags, std::span<std::uint8_t, kScanEntryTagsBytes> out) {
    std::uint8_t* p = out.data();
    encodeU32(p + tagsoff::kTagCount, tags.tagCount);
    encodeU32(p + tagsoff::kWord4, tags.word4);
    encodeU32(p + tagsoff::kDeadbands, kNoAddress);
    encodeU32(p + tagsoff::kTagStates, kNoAddress);
    encodeU32(p + tagsoff::kLastValues, kNoAddress);
}

ScanEntryTags decodeScanEntryTags(std::span<const std::uint8_t, kScanEntryTagsBytes> in) {
    ScanEntryTags tags;
    tags.tagCount = decodeU32(in.data() + tagsoff::kTagCount);
    tags.word4 = decodeU32(in.data() + tagsoff::kWord4);
    return tags;
}

void encodeUnsolListEntry(const UnsolListEntry& entry, std::span<std::uint8_t, kUnsolListEntryBytes> out) {
    std::uint8_t* p = out.data();
    encodeI32(p + unsoloff::kListId, entry.listId);
    encodeAddress(p + unsoloff::kDestination, entry.destination);
    encodeAddress(p + unsoloff::kRequestSource, entry.requestSource);
    encodeU32(p + unsoloff::kInUse, entry.inUse);
    encodeU32(p + unsoloff::kFlag136, entry.flag136);
}

UnsolListEntry decodeUnsolListEntry(std::span<const std::uint8_t, kUnsolListEntryBytes> in) {
    const std::uint8_t* p = in.data();
    UnsolListEntry entry;
    entry.listId = decodeI32(p + unsoloff::kListId);
    entry.destination = decodeAddress(p + unsoloff::kDestination);
    entry.requestSource = decodeAddress(p + unsoloff::kRequestSource);
    entry.inUse = decodeU32(p + unsoloff::kInUse);
    entry.flag136 = decodeU32(p + unsoloff::kFlag136);
    return entry;
}

void encodeStoreListEntry(const StoreListEntry& entry, std::span<std::uint8_t, kStoreListEntryBytes> out) {
    std::uint8_t* p = out.data();
    std::memcpy(p + storeoff::kFileName, entry.FileName, kStoreFileNameBytes);
    encodeU32(p + storeoff::kWord1024, entry.word1024);
    encodeI32(p + storeoff::kFileHandle, entry.FileHandle);
    encodeI64(p + storeoff::kOffset, entry.offset);
    encodeAddress(p + storeoff::kMsgDest, entry.msgDest);
    encodeU32(p + storeoff::kIsComOk, entry.isComOk);
    encodeU32(p + storeoff::kIsAcked, entry.isAcked);
    encodeU32(p + storeoff::kExistsInList, entry.existsInList);
    encodeU32(p + storeoff::kExistsInDisk, entry.existsInDisk);
    encodeU32(p + storeoff::kNeedToRetry, entry.needToRetry);
    encodeI32(p + storeoff::kMaxSize, entry.maxSize);
    encodeI32(p + storeoff::kMaxPeriod, entry.maxPeriod);
    encodeU32(p + storeoff::kWord1132, entry.word1132);
    encodeI32(p + storeoff::kExpirationMs, entry.expirationTime.milliseconds);
    encodeI32(p + storeoff::kExpirationSeconds, entry.expirationTime.seconds);
    encodeU32(p + storeoff::kFlag1144, entry.flag1144);
    encodeU32(p + storeoff::kFlag1148, entry.flag1148);
}

void decodeStoreListFields(std::span<const std::uint8_t, kStoreListEntryBytes> in, StoreListEntry& entry) {
    const std::uint8_t* p = in.data();
    entry.word1024 = decodeU32(p + storeoff::kWord1024);
    entry.FileHandle = decodeI32(p + storeoff::kFileHandle);
    entry.offset = decodeI64(p + storeoff::kOffset);
    entry.msgDest = decodeAddress(p + storeoff::kMsgDest);
    entry.isComOk = decodeU32(p + storeoff::kIsComOk);
    entry.isAcked = decodeU32(p + storeoff::kIsAcked);
    entry.existsInList = decodeU32(p + storeoff::kExistsInList);
    entry.existsInDisk = decodeU32(p + storeoff::kExistsInDisk);
    entry.needToRetry = decodeU32(p + storeoff::kNeedToRetry);
    entry.maxSize = decodeI32(p + storeoff::kMaxSize);
    entry.maxPeriod = decodeI32(p + storeoff::kMaxPeriod);
    entry.word1132 = decodeU32(p + storeoff::kWord1132);
    entry.expirationTime.milliseconds = decodeI32(p + storeoff::kExpirationMs);
    entry.expirationTime.seconds = decodeI32(p + storeoff::kExpirationSeconds);
    entry.flag1144 = decodeU32(p + storeoff::kFlag1144);
    entry.flag1148 = decodeU32(p + storeoff::kFlag1148);
}

StoreListEntry decodeStoreListEntry(std::span<const std::uint8_t, kStoreListEntryBytes> in) {
    StoreListEntry entry;
    std::memcpy(entry.FileName, in.data() + storeoff::kFileName, kStoreFileNameBytes - 1);
    entry.FileName[kStoreFileNameBytes - 1] = '\0';
    decodeStoreListFields(in, entry);
    return entry;
}
