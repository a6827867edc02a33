#pragma once
// Data descriptors: the 12-byte entries (u16 type, u16 zero, u32 size,
// u32 count) that describe a message's data part. A structure entry (type 7)
// has as its size the number of member items that directly follow it (a
// nested structure counts once) and repeats count times.
#include <cstdint>
#include <span>
#include <vector>

#include "msglib/status_block.h"

struct DescriptorEntry {
    std::uint16_t type;
    std::uint16_t zero;
    std::uint32_t size;
    std::uint32_t count;
};

constexpr std::uint32_t kDescriptorBytes = 12;

constexpr std::uint16_t kDescFloat = 1;   // 4-byte float
constexpr std::uint16_t kDescShort = 2;   // 2-byte integer
constexpr std::uint16_t kDescChars = 3;   // character field of `size` bytes
constexpr std::uint16_t kDescInt = 4;     // 4-byte integer
constexpr std::uint16_t kDescDouble = 5;  // 8-byte float
constexpr std::uint16_t kDescLong = 6;    // 8-byte value
constexpr std::uint16_t kDescStruct = 7;  // structure

void encodeDescriptor(std::uint8_t* out, const DescriptorEntry& entry);
DescriptorEntry decodeDescriptor(const std::uint8_t* in);
// Decodes bytes.size()/12 entries.
std::vector<DescriptorEntry> decodeDescriptors(std::span<const std::uint8_t> bytes);

// Number of data bytes described by all top-level items of the table.
// Failure (facility 9): an unknown type, a structure whose members run past
// the table, or a size that does not fit in 31 bits.
std::int32_t ZENTO_SERVER_DSIZE(std::span<const DescriptorEntry> table, StatusBlock& status);

// Number of entries spanned by the template's first item (entry 0 with every
// member nested in it). Fails as ZENTO_SERVER_DSIZE does.
std::int32_t ZENTO_SERVER_TEMPLATE_SIZE(std::span<const DescriptorEntry> dataTemplate, StatusBlock& status);

// Entries spanned by the first item, with the data bytes it describes in bytes.
std::int32_t ZENTO_DCONV_SIZE(std::span<const DescriptorEntry> dataTemplate, std::int32_t& bytes,
                              StatusBlock& status);
