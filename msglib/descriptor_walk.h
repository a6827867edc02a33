#pragma once
// The one walker of descriptor tables, shared by the size calls and the
// message parsers. It reads a table either as decoded entries or straight from
// message bytes (no copy, no allocation), keeps its nesting on a fixed stack
// and does its arithmetic in 64 bits, refusing anything beyond 31 bits.
#include <cstddef>
#include <cstdint>
#include <span>

#include "msglib/coding.h"
#include "msglib/descriptors.h"

class DescriptorTableView {
public:
    explicit DescriptorTableView(std::span<const DescriptorEntry> entries) : entries_(entries) {}
    // Encoded 12-byte entries; a trailing partial entry is ignored.
    static DescriptorTableView fromBytes(std::span<const std::uint8_t> bytes) {
        DescriptorTableView view;
        view.raw_ = bytes.first(bytes.size() / kDescriptorBytes * kDescriptorBytes);
        view.isRaw_ = true;
        return view;
    }

    std::size_t size() const { return isRaw_ ? raw_.size() / kDescriptorBytes : entries_.size(); }
    // Decoded in place: the parsers walk every entry of a template this way.
    DescriptorEntry at(std::size_t index) const {
        if (!isRaw_) return entries_[index];
        const std::uint8_t* entry = raw_.data() + index * kDescriptorBytes;
        return {decodeU16(entry), decodeU16(entry + 2), decodeU32(entry + 4), decodeU32(entry + 8)};
    }

private:
    DescriptorTableView() = default;
    std::span<const DescriptorEntry> entries_;
    std::span<const std::uint8_t> raw_;
    bool isRaw_ = false;
};

// Largest size a table may describe.
constexpr std::uint64_t kMaxDescribedBytes = 0x7FFFFFFF;

struct ItemExtent {
    std::size_t entries = 0;  // table entries the item spans, members included
    std::uint64_t bytes = 0;  // data bytes it describes
};

// Walks the item that starts at entry first. Returns 0 with extent filled, or
// the library code of the fault (an unknown type, members past the table,
// nesting too deep, a size beyond 31 bits).
std::int32_t walkDescriptorItem(const DescriptorTableView& table, std::size_t first, ItemExtent& extent);

// Data bytes of every top-level item together; 0 or a library code.
std::int32_t describedBytes(const DescriptorTableView& table, std::uint64_t& bytes);
