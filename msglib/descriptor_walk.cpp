#include "msglib/descriptor_walk.h"

#include <array>

#include "msglib/library_codes.h"

namespace {

// Bytes of one element of a simple entry; 0 for a type with no element size.
std::uint64_t elementSize(const DescriptorEntry& entry) {
    switch (entry.type) {
        case kDescFloat: return 4;
        case kDescShort: return 2;
        case kDescChars: return entry.size;
        case kDescInt: return 4;
        case kDescDouble: return 8;
        case kDescLong: return 8;
        default: return 0;
    }
}

bool isKnownSimpleType(std::uint16_t type) { return type >= kDescFloat && type <= kDescLong; }

// A structure being summed: members still to read, repeat count, bytes of one
// repetition so far. Every value stays within 31 bits, so a product of a sum
// and a 32-bit count fits in 64 bits.
struct OpenStructure {
    std::uint32_t membersLeft;
    std::uint32_t count;
    std::uint64_t sum;
};

}  // namespace

std::int32_t walkDescriptorItem(const DescriptorTableView& table, std::size_t first, ItemExtent& extent) {
    extent = {};
    std::array<OpenStructure, kMaxDescriptorDepth> open{};
    std::size_t depth = 0;
    std::size_t next = first;
    const std::size_t size = table.size();
    for (;;) {
        if (depth > 0) {
            // A run of simple members, all but the structure's last, summed in
            // registers: a template of one member per tag is mostly that.
            OpenStructure& parent = open[depth - 1];
            std::uint32_t left = parent.membersLeft;
            std::uint64_t sum = parent.sum;
            while (left > 1 && next < size) {
                const DescriptorEntry simple = table.at(next);
                if (!isKnownSimpleType(simple.type)) break;
                const std::uint64_t bytes = elementSize(simple) * simple.count;
                if (bytes > kMaxDescribedBytes) return libcode::kDescriptorTooLarge;
                sum += bytes;
                if (sum > kMaxDescribedBytes) return libcode::kDescriptorTooLarge;
                --left;
                ++next;
            }
            parent.membersLeft = left;
            parent.sum = sum;
        }
        if (next >= size) return libcode::kDescriptorStructOverrun;
        DescriptorEntry entry = table.at(next++);
        std::uint64_t bytes = 0;
        if (entry.type == kDescStruct) {
            if (entry.size > 0) {
                if (depth == open.size()) return libcode::kDescriptorTooDeep;
                open[depth++] = {entry.size, entry.count, 0};
                continue;
            }
            // A structure without members describes nothing.
        } else if (isKnownSimpleType(entry.type)) {
            bytes = elementSize(entry) * entry.count;
            if (bytes > kMaxDescribedBytes) return libcode::kDescriptorTooLarge;
        } else {
            return libcode::kDescriptorUnknownType;
        }
        // The item just read is complete: add it to its structure, closing
        // every structure whose last member it was.
        for (;;) {
            if (depth == 0) {
                extent.entries = next - first;
                extent.bytes = bytes;
                return 0;
            }
            OpenStructure& parent = open[depth - 1];
            parent.sum += bytes;
            if (parent.sum > kMaxDescribedBytes) return libcode::kDescriptorTooLarge;
            if (--parent.membersLeft > 0) break;
            bytes = parent.sum * parent.count;
            if (bytes > kMaxDescribedBytes) return libcode::kDescriptorTooLarge;
            --depth;
        }
    }
}

std::int32_t describedBytes(const DescriptorTableView& table, std::uint64_t& bytes) {
    bytes = 0;
    std::size_t next = 0;
    while (next < table.size()) {
        ItemExtent extent;
        if (std::int32_t fault = walkDescriptorItem(table, next, extent); fault != 0) return fault;
        bytes += extent.bytes;
        if (bytes > kMaxDescribedBytes) return libcode::kDescriptorTooLarge;
        next += extent.entries;
    }
    return 0;
}
