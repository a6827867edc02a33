#pragma once
// Every implementation of storeCrc this processor can run, the portable
// table first, so that tests hold each to the bitwise definition; storeCrc
// uses the last one.
#include <cstdint>
#include <span>
#include <vector>

struct StoreCrcVariant {
    const char* name;
    std::uint32_t (*crc)(std::span<const std::uint8_t> bytes);
};

std::vector<StoreCrcVariant> storeCrcVariants();
