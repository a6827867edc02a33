#pragma once
// Checks shared by the parsers. Each gives 0 or the facility 8 code of the
// fault, never reading outside the message.
#include <cstddef>
#include <cstdint>

#include "msglib/descriptor_walk.h"
#include "msglib/message.h"

// At least a head, the magic, and a length word equal to the bytes at hand.
std::int32_t checkHead(MsgView msg);

// The descriptor table of a checked head. Its entry count must be one of
// allowed[] and the table must lie within the message; dataOffset is where
// the data part begins.
std::int32_t readDescriptorTable(MsgView msg, std::span<const std::uint32_t> allowed,
                                 DescriptorTableView& table, std::size_t& dataOffset);

// The data template at the front of bytes: templateEntries entries forming
// exactly one item. valueBytes receives what it describes.
std::int32_t checkDataTemplate(std::span<const std::uint8_t> bytes, std::uint32_t templateEntries,
                               std::uint32_t& valueBytes);

// Entry by entry, the table equals the one expected.
bool sameTable(const DescriptorTableView& table, std::span<const DescriptorEntry> expected);

// The data part is exactly as long as the expected table describes.
std::int32_t checkDataSize(std::span<const DescriptorEntry> expected, std::size_t dataBytes);

// Name block of tagCount names of one width, at least 1 byte each.
bool isWholeNameBlock(std::uint64_t blockBytes, std::uint64_t tagCount);
