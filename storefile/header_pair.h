#pragma once
// Rewriting the header pair (block, CRC, block, CRC) at the start of a store
// file so that a crash at any moment leaves a header the block checks accept:
// the complete old one or the complete new one.
#include <cstdint>
#include <span>

#include "msglib/status_block.h"

enum class PairWriteMode {
    Recovery,  // an open store file: warnings on the console, the header area must be there
    NewFile,   // a file being set up: silent, the header area may not exist yet
};

// Writes block (a header block of 64, 68 or 92 bytes) as the new pair. On
// failure the status holds the failed primitive's entries, then 13520 (a
// seek failed) or 13521 (a read or write failed).
void writeHeaderPair(int handle, std::span<const std::uint8_t> block, PairWriteMode mode, StatusBlock& status);
