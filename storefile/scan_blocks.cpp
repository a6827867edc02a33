// On random data the marker's first two bytes turn up once in 65536
// positions, and in zero-filled space never, so whole blocks are tested with
// vector compares and only the rare blocks with a candidate are looked at
// closer. The widest vectors the processor has are chosen once. The search
// reads the file in windows that stay in the cache, so the test of a window
// costs what the cache can deliver: the wide variants test four blocks per
// step with one branch, a byte pair matching where both bytes XOR the marker
// to zero.
#include "storefile/scan_blocks.h"

#include "storefile/store_format.h"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define ZENTO_SCAN_X86 1
#include <immintrin.h>
#endif

namespace {

constexpr std::uint8_t kFirst = kRecordMarker[0];
constexpr std::uint8_t kSecond = kRecordMarker[1];
constexpr std::size_t kStep = 4 * kMarkerBlock;

std::size_t skipPortable(const std::uint8_t* p, std::size_t i, std::size_t end) {
    for (; i + kMarkerBlock <= end; i += kMarkerBlock) {
        std::uint8_t hits = 0;
        for (std::size_t k = i; k < i + kMarkerBlock; ++k) {
            hits |= static_cast<std::uint8_t>((p[k] == kFirst) & (p[k + 1] == kSecond));
        }
        if (hits != 0) return i;
    }
    return i;
}

#if defined(ZENTO_SCAN_X86)

template <typename V>
const V* at(const std::uint8_t* p) {
    return reinterpret_cast<const V*>(p);
}

// Bytes seen through a view of the file come from memory, not the cache;
// the processor's own prefetch stops at each page's end. A hint on an
// address past the end of the view is harmless: it never faults.
constexpr std::size_t kPrefetchDistance = 4096;

inline void prefetchAhead(const std::uint8_t* p) {
    const std::uintptr_t ahead = reinterpret_cast<std::uintptr_t>(p) + kPrefetchDistance;
    for (std::size_t k = 0; k < kStep; k += 64) _mm_prefetch(reinterpret_cast<const char*>(ahead + k), _MM_HINT_T0);
}

std::size_t skipSse2(const std::uint8_t* p, std::size_t i, std::size_t end) {
    const __m128i first = _mm_set1_epi8(static_cast<char>(kFirst));
    const __m128i second = _mm_set1_epi8(static_cast<char>(kSecond));
    for (; i + kMarkerBlock <= end; i += kMarkerBlock) {
        __m128i hits = _mm_setzero_si128();
        for (std::size_t k = i; k < i + kMarkerBlock; k += 16) {
            const __m128i here = _mm_cmpeq_epi8(_mm_loadu_si128(at<__m128i>(p + k)), first);
            const __m128i next = _mm_cmpeq_epi8(_mm_loadu_si128(at<__m128i>(p + k + 1)), second);
            hits = _mm_or_si128(hits, _mm_and_si128(here, next));
        }
        if (_mm_movemask_epi8(hits) != 0) return i;
    }
    return i;
}

// 32 positions: zero bytes where the pair matches.
__attribute__((target("avx2"))) inline __m256i pairMisses(const std::uint8_t* p, __m256i first, __m256i second) {
    return _mm256_or_si256(_mm256_xor_si256(_mm256_loadu_si256(at<__m256i>(p)), first),
                           _mm256_xor_si256(_mm256_loadu_si256(at<__m256i>(p + 1)), second));
}

__attribute__((target("avx2"))) std::size_t skipAvx2(const std::uint8_t* p, std::size_t i, std::size_t end) {
    const __m256i first = _mm256_set1_epi8(static_cast<char>(kFirst));
    const __m256i second = _mm256_set1_epi8(static_cast<char>(kSecond));
    const __m256i zero = _mm256_setzero_si256();
    for (; i + kStep <= end; i += kStep) {
        prefetchAhead(p + i);
        __m256i least = pairMisses(p + i, first, second);
        for (std::size_t k = 32; k < kStep; k += 32) least = _mm256_min_epu8(least, pairMisses(p + i + k, first, second));
        if (_mm256_movemask_epi8(_mm256_cmpeq_epi8(least, zero)) != 0) break;
    }
    for (; i + kMarkerBlock <= end; i += kMarkerBlock) {
        const __m256i least = _mm256_min_epu8(pairMisses(p + i, first, second), pairMisses(p + i + 32, first, second));
        if (_mm256_movemask_epi8(_mm256_cmpeq_epi8(least, zero)) != 0) return i;
    }
    return i;
}

__attribute__((target("avx512bw"))) inline __m512i pairMisses512(const std::uint8_t* p, __m512i first,
                                                                  __m512i second) {
    return _mm512_or_si512(_mm512_xor_si512(_mm512_loadu_si512(p), first),
                           _mm512_xor_si512(_mm512_loadu_si512(p + 1), second));
}

__attribute__((target("avx512bw"))) std::size_t skipAvx512(const std::uint8_t* p, std::size_t i, std::size_t end) {
    const __m512i first = _mm512_set1_epi8(static_cast<char>(kFirst));
    const __m512i second = _mm512_set1_epi8(static_cast<char>(kSecond));
    for (; i + kStep <= end; i += kStep) {
        prefetchAhead(p + i);
        const __m512i least =
            _mm512_min_epu8(_mm512_min_epu8(pairMisses512(p + i, first, second), pairMisses512(p + i + 64, first, second)),
                            _mm512_min_epu8(pairMisses512(p + i + 128, first, second),
                                            pairMisses512(p + i + 192, first, second)));
        if (_mm512_test_epi8_mask(least, least) != ~__mmask64{0}) break;
    }
    for (; i + kMarkerBlock <= end; i += kMarkerBlock) {
        const __m512i misses = pairMisses512(p + i, first, second);
        if (_mm512_test_epi8_mask(misses, misses) != ~__mmask64{0}) return i;
    }
    return i;
}

MarkerSkip widestSkip() {
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512bw")) return skipAvx512;
    return __builtin_cpu_supports("avx2") ? skipAvx2 : skipSse2;
}

#endif

}  // namespace

std::size_t skipMarkerFreeBlocks(const std::uint8_t* bytes, std::size_t from, std::size_t end) {
#if defined(ZENTO_SCAN_X86)
    static const MarkerSkip skip = widestSkip();
    return skip(bytes, from, end);
#else
    return skipPortable(bytes, from, end);
#endif
}

std::uint64_t markerCandidates(const std::uint8_t* bytes) {
#if defined(ZENTO_SCAN_X86)
    const __m128i first = _mm_set1_epi8(static_cast<char>(kFirst));
    const __m128i second = _mm_set1_epi8(static_cast<char>(kSecond));
    std::uint64_t mask = 0;
    for (unsigned k = 0; k < kMarkerBlock; k += 16) {
        const __m128i here = _mm_cmpeq_epi8(_mm_loadu_si128(at<__m128i>(bytes + k)), first);
        const __m128i next = _mm_cmpeq_epi8(_mm_loadu_si128(at<__m128i>(bytes + k + 1)), second);
        mask |= static_cast<std::uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(_mm_and_si128(here, next)))) << k;
    }
    return mask;
#else
    std::uint64_t mask = 0;
    for (unsigned k = 0; k < kMarkerBlock; ++k) {
        mask |= static_cast<std::uint64_t>(bytes[k] == kFirst && bytes[k + 1] == kSecond) << k;
    }
    return mask;
#endif
}

std::vector<MarkerSkip> markerSkipVariants() {
    std::vector<MarkerSkip> variants{skipPortable};
#if defined(ZENTO_SCAN_X86)
    variants.push_back(skipSse2);
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2")) variants.push_back(skipAvx2);
    if (__builtin_cpu_supports("avx512bw")) variants.push_back(skipAvx512);
#endif
    return variants;
}
