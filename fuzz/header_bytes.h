#pragma once
// Reading a store file's header area the way its format defines it, kept
// apart from the code under test so the targets can judge its results.
#include <cstdint>
#include <span>
#include <vector>

namespace fuzzsupport {

constexpr std::size_t kHeaderArea = 392;  // what the open reads

// The generation the header area claims (0, 1, 2), or -1: the revision word
// names 1 or 2 directly, else the newest generation whose backup block starts
// with the magic. Needs kHeaderArea bytes.
int claimedHeaderType(std::span<const std::uint8_t> bytes);

// Block size of a generation: 64, 68, 92.
std::uint32_t blockSize(int headerType);

// The forward offset a block of that generation holds.
std::int64_t forwardOffsetOf(std::span<const std::uint8_t> block, int headerType);

// Copies the primary block over the backup block and sets both CRC words,
// so that the header is sound whatever its fields say.
void repairHeader(std::vector<std::uint8_t>& bytes, int headerType);

}  // namespace fuzzsupport
