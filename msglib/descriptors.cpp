#include "msglib/descriptors.h"

#include <new>

#include "msglib/coding.h"
#include "msglib/descriptor_walk.h"
#include "msglib/library_codes.h"

void encodeDescriptor(std::uint8_t* out, const DescriptorEntry& entry) {
    encodeU16(out, entry.type);
    encodeU16(out + 2, entry.zero);
    encodeU32(out + 4, entry.size);
    encodeU32(out + 8, entry.count);
}

DescriptorEntry decodeDescriptor(const std::uint8_t* in) {
    return {decodeU16(in), decodeU16(in + 2), decodeU32(in + 4), decodeU32(in + 8)};
}

std::vector<DescriptorEntry> decodeDescriptors(std::span<const std::uint8_t> bytes) {
    std::vector<DescriptorEntry> table;
    // The only allocation of this file; when memory is short the caller gets an
    // empty table rather than an exception.
    try {
        table.reserve(bytes.size() / kDescriptorBytes);
    } catch (const std::bad_alloc&) {
        return {};
    }
    for (std::size_t at = 0; at + kDescriptorBytes <= bytes.size(); at += kDescriptorBytes) {
        table.push_back(decodeDescriptor(bytes.data() + at));
    }
    return table;
}

std::int32_t ZENTO_SERVER_DSIZE(std::span<const DescriptorEntry> table, StatusBlock& status) {
    ZENTO_SERVER_INITBLK(status);
    std::uint64_t bytes = 0;
    if (std::int32_t fault = describedBytes(DescriptorTableView(table), bytes); fault != 0) {
        ZENTO_SERVER_LDBLK(kFacilityLibrary, fault, status);
        return 0;
    }
    return static_cast<std::int32_t>(bytes);
}

std::int32_t ZENTO_DCONV_SIZE(std::span<const DescriptorEntry> dataTemplate, std::int32_t& bytes,
                              StatusBlock& status) {
    ZENTO_SERVER_INITBLK(status);
    bytes = 0;
    if (dataTemplate.empty()) {
        ZENTO_SERVER_LDBLK(kFacilityLibrary, libcode::kDescriptorEmpty, status);
        return 0;
    }
    ItemExtent extent;
    if (std::int32_t fault = walkDescriptorItem(DescriptorTableView(dataTemplate), 0, extent); fault != 0) {
        ZENTO_SERVER_LDBLK(kFacilityLibrary, fault, status);
        return 0;
    }
    // A table that large could not have been handed over in memory; the
    // guard keeps the conversion honest all the same.
    if (extent.entries > kMaxDescribedBytes) {
        ZENTO_SERVER_LDBLK(kFacilityLibrary, libcode::kDescriptorTooLarge, status);
        return 0;
    }
    bytes = static_cast<std::int32_t>(extent.bytes);
    return static_cast<std::int32_t>(extent.entries);
}

std::int32_t ZENTO_SERVER_TEMPLATE_SIZE(std::span<const DescriptorEntry> dataTemplate, StatusBlock& status) {
    std::int32_t bytes = 0;
    return ZENTO_DCONV_SIZE(dataTemplate, bytes, status);
}
