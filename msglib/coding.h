#pragma once
// Fixed-width little-endian encodings, in one place. Callers check bounds.
#include <cstdint>
#include <cstring>

inline void encodeU16(std::uint8_t* p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}
inline void encodeU32(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
inline void encodeU64(std::uint8_t* p, std::uint64_t v) {
    for (int i = 0; i < 8; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
inline void encodeI32(std::uint8_t* p, std::int32_t v) { encodeU32(p, static_cast<std::uint32_t>(v)); }
inline void encodeI64(std::uint8_t* p, std::int64_t v) { encodeU64(p, static_cast<std::uint64_t>(v)); }

inline std::uint16_t decodeU16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
inline std::uint32_t decodeU32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
inline std::uint64_t decodeU64(const std::uint8_t* p) {
    return static_cast<std::uint64_t>(decodeU32(p)) | (static_cast<std::uint64_t>(decodeU32(p + 4)) << 32);
}
inline std::int32_t decodeI32(const std::uint8_t* p) { return static_cast<std::int32_t>(decodeU32(p)); }
inline std::int64_t decodeI64(const std::uint8_t* p) { return static_cast<std::int64_t>(decodeU64(p)); }
