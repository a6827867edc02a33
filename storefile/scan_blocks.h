#pragma once
// The fast part of the forward search: stepping over stretches of data in
// which no position starts with the record marker's first two bytes, and
// naming the positions of a block that do.
#include <cstddef>
#include <cstdint>
#include <vector>

constexpr std::size_t kMarkerBlock = 64;

// The first i = from + k * kMarkerBlock such that either fewer than a whole
// block of positions is left before end, or some position in [i, i +
// kMarkerBlock) holds the marker's first two bytes. Reads bytes[from .. end],
// one byte past the last position.
std::size_t skipMarkerFreeBlocks(const std::uint8_t* bytes, std::size_t from, std::size_t end);

// Bit k set when bytes[k] and bytes[k + 1] are the marker's first two bytes,
// for k below kMarkerBlock; reads kMarkerBlock + 1 bytes.
std::uint64_t markerCandidates(const std::uint8_t* bytes);

// Every implementation this processor can run (the portable loop first), so
// that tests check each against the others; the search uses the widest.
using MarkerSkip = std::size_t (*)(const std::uint8_t* bytes, std::size_t from, std::size_t end);
std::vector<MarkerSkip> markerSkipVariants();
