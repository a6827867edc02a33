// The store file CRC: polynomial 0x04C11DB7, most significant bit first,
// register starting at 0, message bits shifted straight into the register
// (no 32 zero bits appended, no reflection, no final XOR).
//
// Shifting the data in unaugmented makes the register the remainder of the
// message itself, so for four bytes or more it equals the usual augmented
// MSB-first CRC of all bytes but the last four, XOR those four read big-endian.
// The fast path computes that form sixteen bytes at a time.
#include <array>

#include "storefile/store_format.h"

namespace {

constexpr std::uint32_t kPolynomial = 0x04C11DB7;

using CrcTables = std::array<std::array<std::uint32_t, 256>, 16>;

constexpr CrcTables makeTables() {
    CrcTables tables{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t r = i << 24;
        for (int bit = 0; bit < 8; ++bit) r = (r & 0x80000000u) != 0 ? (r << 1) ^ kPolynomial : r << 1;
        tables[0][i] = r;
    }
    // tables[k][i]: byte i followed by k zero bytes.
    for (std::size_t k = 1; k < tables.size(); ++k) {
        for (std::uint32_t i = 0; i < 256; ++i) {
            const std::uint32_t prev = tables[k - 1][i];
            tables[k][i] = (prev << 8) ^ tables[0][prev >> 24];
        }
    }
    return tables;
}

constexpr CrcTables kTables = makeTables();

inline std::uint32_t loadBigEndian(const std::uint8_t* p) {
    return (static_cast<std::uint32_t>(p[0]) << 24) | (static_cast<std::uint32_t>(p[1]) << 16) |
           (static_cast<std::uint32_t>(p[2]) << 8) | static_cast<std::uint32_t>(p[3]);
}

// The augmented MSB-first CRC with initial value crc, over n bytes.
std::uint32_t augmentedCrc(std::uint32_t crc, const std::uint8_t* p, std::size_t n) {
    const auto& t = kTables;
    while (n >= 16) {
        const std::uint32_t a = crc ^ loadBigEndian(p);
        const std::uint32_t b = loadBigEndian(p + 4);
        const std::uint32_t c = loadBigEndian(p + 8);
        const std::uint32_t d = loadBigEndian(p + 12);
        crc = t[15][a >> 24] ^ t[14][(a >> 16) & 0xFF] ^ t[13][(a >> 8) & 0xFF] ^ t[12][a & 0xFF] ^
              t[11][b >> 24] ^ t[10][(b >> 16) & 0xFF] ^ t[9][(b >> 8) & 0xFF] ^ t[8][b & 0xFF] ^
              t[7][c >> 24] ^ t[6][(c >> 16) & 0xFF] ^ t[5][(c >> 8) & 0xFF] ^ t[4][c & 0xFF] ^
              t[3][d >> 24] ^ t[2][(d >> 16) & 0xFF] ^ t[1][(d >> 8) & 0xFF] ^ t[0][d & 0xFF];
        p += 16;
        n -= 16;
    }
    if (n >= 8) {
        const std::uint32_t a = crc ^ loadBigEndian(p);
        const std::uint32_t b = loadBigEndian(p + 4);
        crc = t[7][a >> 24] ^ t[6][(a >> 16) & 0xFF] ^ t[5][(a >> 8) & 0xFF] ^ t[4][a & 0xFF] ^
              t[3][b >> 24] ^ t[2][(b >> 16) & 0xFF] ^ t[1][(b >> 8) & 0xFF] ^ t[0][b & 0xFF];
        p += 8;
        n -= 8;
    }
    while (n-- > 0) crc = (crc << 8) ^ t[0][(crc >> 24) ^ *p++];
    return crc;
}

}  // namespace

std::uint32_t storeCrcBitwise(std::span<const std::uint8_t> bytes) {
    std::uint32_t r = 0;
    for (std::uint8_t byte : bytes) {
        for (int bit = 7; bit >= 0; --bit) {
            const bool top = (r & 0x80000000u) != 0;
            r = (r << 1) | ((static_cast<std::uint32_t>(byte) >> bit) & 1u);
            if (top) r ^= kPolynomial;
        }
    }
    return r;
}

std::uint32_t storeCrc(std::span<const std::uint8_t> bytes) {
    const std::size_t n = bytes.size();
    const std::uint8_t* p = bytes.data();
    if (n < 4) {
        std::uint32_t r = 0;
        for (std::size_t i = 0; i < n; ++i) r = (r << 8) | p[i];
        return r;
    }
    return augmentedCrc(0, p, n - 4) ^ loadBigEndian(p + n - 4);
}

std::uint32_t bodyChecksum(std::span<const std::uint8_t> /*bytes*/) {
    // Stored messages carry no body checksum: the word is always 0.
    return 0;
}
