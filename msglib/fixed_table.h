#pragma once
// A descriptor table of bounded length held in place, for the tables whose
// shape a layout prescribes. No allocation.
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "msglib/descriptors.h"

class FixedTable {
public:
    static constexpr std::size_t kCapacity = 32;

    void add(std::uint16_t type, std::uint32_t size, std::uint32_t count) {
        if (size_ < kCapacity) entries_[size_++] = {type, 0, size, count};
    }
    std::size_t size() const { return size_; }
    std::span<const DescriptorEntry> entries() const { return {entries_.data(), size_}; }

private:
    std::array<DescriptorEntry, kCapacity> entries_{};
    std::size_t size_ = 0;
};

// The four entries of a data template item as a message carries it: a
// structure of T entries of (type, zero, size, count).
inline void addTemplateItem(FixedTable& table, std::uint32_t templateEntries) {
    table.add(kDescStruct, 4, templateEntries);
    table.add(kDescShort, 2, 1);
    table.add(kDescShort, 2, 1);
    table.add(kDescInt, 4, 1);
    table.add(kDescInt, 4, 1);
}

// A per-tag array of two int32 words.
inline void addPairArrayItem(FixedTable& table, std::uint32_t tagCount) {
    table.add(kDescStruct, 2, tagCount);
    table.add(kDescInt, 4, 1);
    table.add(kDescInt, 4, 1);
}

inline void addIntItem(FixedTable& table) { table.add(kDescInt, 4, 1); }
