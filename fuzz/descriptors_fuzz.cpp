// The descriptor size calls on an arbitrary table of 12-byte entries:
// ZENTO_SERVER_DSIZE over the whole table, ZENTO_SERVER_TEMPLATE_SIZE and
// ZENTO_DCONV_SIZE over its first item, and the walker the parsers use on the
// same bytes in place. Each is compared with a plain recursive reading of the
// rules below, so a wrong size is a finding as much as a crash.
//
// Rules: types 1, 2, 4 (4, 2, 4 bytes), 5, 6 (8 bytes) and 3 (size bytes) repeat
// count times; a structure (7) spans the size items that follow it, nested
// ones included, and repeats count times; one without members describes
// nothing. A table fails on an unknown type, members past the end, more than
// 32 open structures, or any size (an item, one repetition of a structure, or
// the whole table) beyond 31 bits.
#include <optional>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "msglib/descriptor_walk.h"
#include "msglib/descriptors.h"

namespace {

constexpr std::uint64_t kLimit = 0x7FFFFFFF;
constexpr int kDepth = 32;

struct Item {
    std::size_t entries;
    std::uint64_t bytes;
};

std::optional<Item> itemAt(const std::vector<DescriptorEntry>& table, std::size_t first, int open) {
    if (first >= table.size()) return std::nullopt;
    const DescriptorEntry& e = table[first];
    std::uint64_t element = 0;
    switch (e.type) {
        case 1: case 4: element = 4; break;
        case 2: element = 2; break;
        case 3: element = e.size; break;
        case 5: case 6: element = 8; break;
        case 7: {
            if (e.size == 0) return Item{1, 0};
            if (open == kDepth) return std::nullopt;
            std::uint64_t sum = 0;
            std::size_t next = first + 1;
            for (std::uint32_t m = 0; m < e.size; ++m) {
                const std::optional<Item> member = itemAt(table, next, open + 1);
                if (!member) return std::nullopt;
                sum += member->bytes;
                if (sum > kLimit) return std::nullopt;
                next += member->entries;
            }
            if (sum * e.count > kLimit) return std::nullopt;
            return Item{next - first, sum * e.count};
        }
        default: return std::nullopt;
    }
    if (element * e.count > kLimit) return std::nullopt;
    return Item{1, element * e.count};
}

std::optional<std::uint64_t> tableBytes(const std::vector<DescriptorEntry>& table) {
    std::uint64_t total = 0;
    for (std::size_t next = 0; next < table.size();) {
        const std::optional<Item> item = itemAt(table, next, 0);
        if (!item) return std::nullopt;
        total += item->bytes;
        if (total > kLimit) return std::nullopt;
        next += item->entries;
    }
    return total;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzzsupport::prepareProcess();
    const std::span<const std::uint8_t> bytes(data, size);
    const std::vector<DescriptorEntry> table = decodeDescriptors(bytes);
    FUZZ_CHECK(table.size() == size / kDescriptorBytes);

    const std::optional<std::uint64_t> wantTotal = tableBytes(table);
    StatusBlock status;
    const std::int32_t total = ZENTO_SERVER_DSIZE(table, status);
    FUZZ_CHECK(statusFailed(status) == !wantTotal.has_value());
    FUZZ_CHECK(total == (wantTotal ? static_cast<std::int32_t>(*wantTotal) : 0));

    std::uint64_t inPlace = 0;
    const bool inPlaceOk = describedBytes(DescriptorTableView::fromBytes(bytes), inPlace) == 0;
    FUZZ_CHECK(inPlaceOk == wantTotal.has_value());
    if (inPlaceOk) FUZZ_CHECK(inPlace == *wantTotal);

    const std::optional<Item> first = table.empty() ? std::nullopt : itemAt(table, 0, 0);
    std::int32_t itemBytes = -1;
    const std::int32_t spanned = ZENTO_DCONV_SIZE(table, itemBytes, status);
    FUZZ_CHECK(statusFailed(status) == !first.has_value());
    FUZZ_CHECK(spanned == (first ? static_cast<std::int32_t>(first->entries) : 0));
    FUZZ_CHECK(itemBytes == (first ? static_cast<std::int32_t>(first->bytes) : 0));

    FUZZ_CHECK(ZENTO_SERVER_TEMPLATE_SIZE(table, status) == spanned);
    FUZZ_CHECK(statusFailed(status) == !first.has_value());
    return 0;
}
