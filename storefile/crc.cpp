// The store file CRC: polynomial 0x04C11DB7, most significant bit first,
// register starting at 0, message bits shifted straight into the register
// (no 32 zero bits appended, no reflection, no final XOR).
//
// Shifting the data in unaugmented makes the register the remainder of the
// message itself, so for four bytes or more it equals the usual augmented
// MSB-first CRC of all bytes but the last four, XOR those four read big-endian.
// The table path computes that form sixteen bytes at a time.
//
// The register is the message polynomial modulo P, so zero bytes in front of
// a message do not change it. Processors with carry-less multiplication fold
// the message sixteen bytes at a time in four independent lanes instead
// (about ten times the table's speed on record heads); the table path stays
// for other processors and inputs shorter than one fold.
#include <array>
#include <cstddef>

#include "storefile/crc_variants.h"
#include "storefile/store_format.h"

#if (defined(__i386__) || defined(__x86_64__)) && (defined(__GNUC__) || defined(__clang__))
#define ZENTO_CRC_CLMUL 1
#include <immintrin.h>
#endif

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

std::uint32_t crcByTable(std::span<const std::uint8_t> bytes) {
    const std::size_t n = bytes.size();
    const std::uint8_t* p = bytes.data();
    if (n < 4) {
        std::uint32_t r = 0;
        for (std::size_t i = 0; i < n; ++i) r = (r << 8) | p[i];
        return r;
    }
    return augmentedCrc(0, p, n - 4) ^ loadBigEndian(p + n - 4);
}

#if defined(ZENTO_CRC_CLMUL)

// x^k mod P.
constexpr std::uint64_t xPowMod(int k) {
    std::uint32_t r = 1;
    for (int i = 0; i < k; ++i) r = (r & 0x80000000u) != 0 ? (r << 1) ^ kPolynomial : r << 1;
    return r;
}

// floor(x^64 / P), for the Barrett reduction: x^32 + floor(x^32 * (P - x^32) / P).
constexpr std::uint64_t barrettMu() {
    std::uint64_t rest = std::uint64_t{kPolynomial} << 32;
    std::uint64_t quotient = std::uint64_t{1} << 32;
    for (int bit = 63; bit >= 32; --bit) {
        if (((rest >> bit) & 1u) != 0) {
            quotient |= std::uint64_t{1} << (bit - 32);
            rest ^= (std::uint64_t{0x100000000} | kPolynomial) << (bit - 32);
        }
    }
    return quotient;
}

// Register bit i holds the coefficient of x^i: the first byte of sixteen
// goes to the top.
__attribute__((target("pclmul,sse4.1"))) inline __m128i loadReversed(const std::uint8_t* p) {
    const __m128i reverse = _mm_setr_epi8(15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0);
    return _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), reverse);
}

// x * x^d for a 128-bit x, reduced to below 96 bits: the high half times
// x^(d+64) mod P, the low half times x^d mod P; k holds both constants.
__attribute__((target("pclmul,sse4.1"))) inline __m128i fold(__m128i x, __m128i k) {
    return _mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x11), _mm_clmulepi64_si128(x, k, 0x00));
}

// The constants of a fold over 128 * d bits for d up to 6, then over 512
// bits (four lanes), worked out by the compiler.
struct FoldConstants {
    alignas(16) std::uint64_t pairs[8][2];
};

constexpr FoldConstants makeFoldConstants() {
    FoldConstants c{};
    for (int d = 0; d < 7; ++d) c.pairs[d][0] = xPowMod(128 * d), c.pairs[d][1] = xPowMod(128 * d + 64);
    c.pairs[7][0] = xPowMod(512);
    c.pairs[7][1] = xPowMod(512 + 64);
    return c;
}

constexpr FoldConstants kFolds = makeFoldConstants();

__attribute__((target("pclmul,sse4.1"))) inline __m128i foldBy(std::size_t d) {
    return _mm_load_si128(reinterpret_cast<const __m128i*>(kFolds.pairs[d]));
}

// The sum of values standing `distance` blocks before the last block.
__attribute__((target("pclmul,sse4.1"))) inline __m128i foldAt(__m128i x, std::size_t distance) {
    return distance == 0 ? x : fold(x, foldBy(distance));
}

__attribute__((target("pclmul,sse4.1"))) std::uint32_t crcByClmul(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < 16) return crcByTable(bytes);
    const std::uint8_t* p = bytes.data();
    const std::uint8_t* const end = p + bytes.size();

    // A length that is no multiple of sixteen: its first bytes form a block
    // with zeros in front. The mask picks them, reversed, into the low end.
    alignas(16) static constexpr std::uint8_t kLeadMasks[32] = {
        15,   14,   13,   12,   11,   10,   9,    8,    7,    6,    5,    4,    3,    2,    1,    0,
        0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80};
    const std::size_t lead = bytes.size() % 16;
    __m128i x;
    if (lead != 0) {
        const __m128i mask = _mm_loadu_si128(reinterpret_cast<const __m128i*>(kLeadMasks + 16 - lead));
        x = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), mask);
        p += lead;
        x = _mm_xor_si128(fold(x, foldBy(1)), loadReversed(p));
    } else {
        x = loadReversed(p);
    }
    p += 16;

    // Every block left at the end is folded straight to the last one, in
    // parallel, rather than one after the other.
    __m128i sum;
    if (end - p >= 48) {
        const __m128i by512 = foldBy(7);
        __m128i x1 = loadReversed(p);
        __m128i x2 = loadReversed(p + 16);
        __m128i x3 = loadReversed(p + 32);
        p += 48;
        for (; end - p >= 64; p += 64) {
            x = _mm_xor_si128(fold(x, by512), loadReversed(p));
            x1 = _mm_xor_si128(fold(x1, by512), loadReversed(p + 16));
            x2 = _mm_xor_si128(fold(x2, by512), loadReversed(p + 32));
            x3 = _mm_xor_si128(fold(x3, by512), loadReversed(p + 48));
        }
        const auto rest = static_cast<std::size_t>(end - p) / 16;
        sum = _mm_xor_si128(_mm_xor_si128(fold(x, foldBy(3 + rest)), fold(x1, foldBy(2 + rest))),
                            _mm_xor_si128(fold(x2, foldBy(1 + rest)), foldAt(x3, rest)));
    } else {
        sum = foldAt(x, static_cast<std::size_t>(end - p) / 16);
    }
    for (; p < end; p += 16) sum = _mm_xor_si128(sum, foldAt(loadReversed(p), static_cast<std::size_t>(end - p) / 16 - 1));
    x = sum;

    // 128 bits to 64: the top two 32-bit words times x^96 and x^64 mod P.
    const __m128i high = _mm_srli_si128(x, 8);
    constexpr auto x64 = static_cast<long long>(xPowMod(64));
    constexpr auto x96 = static_cast<long long>(xPowMod(96));
    const __m128i toLow = _mm_set_epi64x(x64, x96);
    const __m128i z = _mm_xor_si128(
        _mm_move_epi64(x),
        _mm_xor_si128(_mm_clmulepi64_si128(_mm_srli_epi64(high, 32), toLow, 0x00),
                      _mm_clmulepi64_si128(_mm_and_si128(high, _mm_set_epi32(0, 0, 0, -1)), toLow, 0x10)));
    // 64 bits to 32 (Barrett): the quotient is floor(floor(z / x^32) * mu / x^32).
    constexpr auto p33 = static_cast<long long>(std::uint64_t{0x100000000} | kPolynomial);
    constexpr auto mu = static_cast<long long>(barrettMu());
    const __m128i barrett = _mm_set_epi64x(p33, mu);
    const __m128i quotient = _mm_srli_epi64(_mm_clmulepi64_si128(_mm_srli_epi64(z, 32), barrett, 0x00), 32);
    return static_cast<std::uint32_t>(
        _mm_cvtsi128_si32(_mm_xor_si128(z, _mm_clmulepi64_si128(quotient, barrett, 0x10))));
}

bool clmulAvailable() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
}

#endif

using CrcFunction = std::uint32_t (*)(std::span<const std::uint8_t>);

CrcFunction widestCrc() {
#if defined(ZENTO_CRC_CLMUL)
    if (clmulAvailable()) return crcByClmul;
#endif
    return crcByTable;
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
    static const CrcFunction wide = widestCrc();
    return wide(bytes);
}

std::vector<StoreCrcVariant> storeCrcVariants() {
    std::vector<StoreCrcVariant> variants{{"table", crcByTable}};
#if defined(ZENTO_CRC_CLMUL)
    if (clmulAvailable()) variants.push_back({"clmul", crcByClmul});
#endif
    return variants;
}

std::uint32_t bodyChecksum(std::span<const std::uint8_t> /*bytes*/) {
    // Stored messages carry no body checksum: the word is always 0.
    return 0;
}
