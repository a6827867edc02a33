// Writing and reading the header pair at the start of an open store file.
#include <array>
#include <cstdio>
#include <span>

#include "msglib/coding.h"
#include "recover/recover_context.h"
#include "storefile/file_handle.h"
#include "storefile/store_format.h"

namespace {

constexpr std::int32_t kHeaderUnusable = 13510;
constexpr std::int32_t kHeaderSeekFailed = 13511;
constexpr std::int32_t kHeaderReadFailed = 13512;
constexpr std::int32_t kHeaderWriteSeekFailed = 13520;
constexpr std::int32_t kHeaderWriteFailed = 13521;

// Block, CRC, block, CRC: the largest pair is the type-2 one.
struct HeaderPair {
    std::array<std::uint8_t, 2 * kMaxHeaderBlock + 8> bytes{};
    std::uint32_t length = 0;
};

HeaderPair layOutPair(std::span<const std::uint8_t> block) {
    HeaderPair pair;
    const auto s = static_cast<std::uint32_t>(block.size());
    const std::uint32_t crc = storeCrc(block);
    std::copy(block.begin(), block.end(), pair.bytes.begin());
    encodeU32(pair.bytes.data() + s, crc);
    std::copy(block.begin(), block.end(), pair.bytes.begin() + s + 4);
    encodeU32(pair.bytes.data() + 2 * s + 4, crc);
    pair.length = 2 * s + 8;
    return pair;
}

// The whole pair goes out in one exact write: a crash can tear it, and the
// CRC words then tell which copy survived.
bool writePairAtStart(int handle, const HeaderPair& pair, StatusBlock& status, bool announce) {
    seekStoreFile(handle, 0, 0, status);
    if (statusFailed(status)) {
        if (announce) std::printf("Warning: ERROR trying to write file header: error in SEEK.\n");
        ZENTO_SERVER_LDBLK(kFacilityStore, kHeaderWriteSeekFailed, status);
        return false;
    }
    writeExact(handle, pair.bytes.data(), pair.length, status);
    if (statusFailed(status)) {
        if (announce) std::printf("Warning: ERROR trying to write file header: error in WRITE.\n");
        ZENTO_SERVER_LDBLK(kFacilityStore, kHeaderWriteFailed, status);
        return false;
    }
    return true;
}

}  // namespace

void writeStoreHeader(RecoverContext& ctx, const StoreFileHeader& header, StatusBlock& status) {
    ZENTO_SERVER_INITBLK(status);
    HeaderPair pair;
    switch (ctx.headerType) {
        case 2: pair = layOutPair(encodeType2(header)); break;
        case 1: pair = layOutPair(headerToType1(header)); break;
        case 0: pair = layOutPair(headerToType0(header)); break;
        default:
            // No header type was established: writing any layout could ruin
            // a header this process does not understand.
            std::printf("Warning: ERROR trying to write file header: error in WRITE.\n");
            ZENTO_SERVER_LDBLK(kFacilityStore, kHeaderWriteFailed, status);
            return;
    }
    writePairAtStart(ctx.storeFileHandle, pair, status, true);
}

void writeNewType2Header(int handle, const StoreFileHeader& header, StatusBlock& status) {
    ZENTO_SERVER_INITBLK(status);
    writePairAtStart(handle, layOutPair(encodeType2(header)), status, false);
}

StoreFileHeader readType2Header(int handle, StatusBlock& status) {
    ZENTO_SERVER_INITBLK(status);
    seekStoreFile(handle, 0, 0, status);
    if (statusFailed(status)) {
        ZENTO_SERVER_LDBLK(kFacilityStore, kHeaderSeekFailed, status);
        return {};
    }
    std::array<std::uint8_t, 2 * kMaxHeaderBlock + 8> bytes{};
    readExact(handle, bytes.data(), static_cast<std::int64_t>(bytes.size()), status);
    if (statusFailed(status)) {
        ZENTO_SERVER_LDBLK(kFacilityStore, kHeaderReadFailed, status);
        return {};
    }
    switch (checkType2Blocks(bytes)) {
        case 0:
        case 2: return decodeType2(std::span<const std::uint8_t, 92>(bytes.data(), 92));
        case 1: return decodeType2(std::span<const std::uint8_t, 92>(bytes.data() + 96, 92));
        default: ZENTO_SERVER_LDBLK(kFacilityStore, kHeaderUnusable, status); return {};
    }
}
