#include "fuzz/header_bytes.h"

#include <algorithm>

#include "msglib/coding.h"
#include "storefile/store_format.h"

namespace fuzzsupport {

int claimedHeaderType(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < kHeaderArea) return -1;
    const std::uint32_t revision = decodeU32(bytes.data() + 4);
    if (revision == 1 || revision == 2) return static_cast<int>(revision);
    int type = -1;
    for (int candidate = 0; candidate <= 2; ++candidate) {
        if (decodeU32(bytes.data() + blockSize(candidate) + 4) == kStoreMagic) type = candidate;
    }
    return type;
}

std::uint32_t blockSize(int headerType) {
    switch (headerType) {
        case 0: return 64;
        case 1: return 68;
        default: return 92;
    }
}

std::int64_t forwardOffsetOf(std::span<const std::uint8_t> block, int headerType) {
    // Older generations keep the forward offset as a 32-bit word at 48.
    if (headerType == 2) return static_cast<std::int64_t>(decodeU64(block.data() + 64));
    return decodeU32(block.data() + 48);
}

void repairHeader(std::vector<std::uint8_t>& bytes, int headerType) {
    const std::uint32_t s = blockSize(headerType);
    if (bytes.size() < 2 * s + 8) return;
    std::copy_n(bytes.begin(), s, bytes.begin() + s + 4);
    const std::uint32_t crc = storeCrc(std::span<const std::uint8_t>(bytes.data(), s));
    encodeU32(bytes.data() + s, crc);
    encodeU32(bytes.data() + 2 * s + 4, crc);
}

}  // namespace fuzzsupport
