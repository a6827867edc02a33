// On random data the marker's first two bytes turn up once in 65536
// positions, and in zero-filled space never, so whole blocks are tested with
// vector compares and only the rare blocks with a candidate are looked at
// position by position. The widest vectors the processor has are chosen once;
// data without records then costs a fraction of reading it.
#include "storefile/scan_blocks.h"

#include "storefile/store_format.h"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define ZENTO_SCAN_X86 1
#include <immintrin.h>
#endif

namespace {

constexpr std::uint8_t kFirst = kRecordMarker[0];
constexpr std::uint8_t kSecond = kRecordMarker[1];

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

__attribute__((target("avx2"))) std::size_t skipAvx2(const std::uint8_t* p, std::size_t i, std::size_t end) {
    const __m256i first = _mm256_set1_epi8(static_cast<char>(kFirst));
    const __m256i second = _mm256_set1_epi8(static_cast<char>(kSecond));
    for (; i + kMarkerBlock <= end; i += kMarkerBlock) {
        __m256i hits = _mm256_setzero_si256();
        for (std::size_t k = i; k < i + kMarkerBlock; k += 32) {
            const __m256i here = _mm256_cmpeq_epi8(_mm256_loadu_si256(at<__m256i>(p + k)), first);
            const __m256i next = _mm256_cmpeq_epi8(_mm256_loadu_si256(at<__m256i>(p + k + 1)), second);
            hits = _mm256_or_si256(hits, _mm256_and_si256(here, next));
        }
        if (_mm256_testz_si256(hits, hits) == 0) return i;
    }
    return i;
}

MarkerSkip widestSkip() {
    __builtin_cpu_init();
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

std::vector<MarkerSkip> markerSkipVariants() {
    std::vector<MarkerSkip> variants{skipPortable};
#if defined(ZENTO_SCAN_X86)
    variants.push_back(skipSse2);
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2")) variants.push_back(skipAvx2);
#endif
    return variants;
}
