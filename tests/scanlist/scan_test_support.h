#pragma once
// Tag sets, templates and requests for the scan list tests, made with the
// library's builders.
#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "msglib/coding.h"
#include "msglib/msglib.h"
#include "msglib/request_layout.h"

inline bool operator==(const DescriptorEntry& a, const DescriptorEntry& b) {
    return a.type == b.type && a.zero == b.zero && a.size == b.size && a.count == b.count;
}
inline std::ostream& operator<<(std::ostream& out, const DescriptorEntry& e) {
    return out << "{" << e.type << "," << e.zero << "," << e.size << "," << e.count << "}";
}

namespace scantest {

using Bytes = std::vector<std::uint8_t>;
using Template = std::vector<DescriptorEntry>;

// Names of one width: the given one, or the first name's length plus one.
inline Bytes nameBlock(std::initializer_list<std::string_view> names, std::size_t width = 0) {
    if (width == 0) width = names.begin()->size() + 1;
    Bytes block(names.size() * width, 0);
    std::size_t at = 0;
    for (std::string_view name : names) {
        EXPECT_LE(name.size(), width) << name;
        std::memcpy(block.data() + at, name.data(), std::min(name.size(), width));
        at += width;
    }
    return block;
}

// The names of a block, each up to its NUL.
inline std::vector<std::string> namesOf(std::span<const std::uint8_t> block, std::size_t count) {
    std::vector<std::string> names;
    if (count == 0) return names;
    const std::size_t width = block.size() / count;
    for (std::size_t i = 0; i < count; ++i) {
        const char* field = reinterpret_cast<const char*>(block.data() + i * width);
        names.emplace_back(field, strnlen(field, width));
    }
    return names;
}

inline DescriptorEntry entry(std::uint16_t type, std::uint32_t size, std::uint32_t count = 1) {
    return {type, 0, size, count};
}

// A structure of one member per tag, each of the given entry.
inline Template uniformTemplate(std::size_t tags, DescriptorEntry member = entry(kDescFloat, 4)) {
    Template result{entry(kDescStruct, static_cast<std::uint32_t>(tags))};
    result.insert(result.end(), tags, member);
    return result;
}

inline Bytes encoded(const Template& entries) {
    Bytes bytes(entries.size() * kDescriptorBytes);
    for (std::size_t i = 0; i < entries.size(); ++i) encodeDescriptor(bytes.data() + i * kDescriptorBytes, entries[i]);
    return bytes;
}

inline Template decoded(std::span<const std::uint8_t> bytes) { return decodeDescriptors(bytes); }

// Two int32 words a tag.
inline Bytes pairs(std::initializer_list<std::pair<std::int32_t, std::int32_t>> values) {
    Bytes bytes(values.size() * 8);
    std::size_t at = 0;
    for (auto [first, second] : values) {
        encodeI32(bytes.data() + at, first);
        encodeI32(bytes.data() + at + 4, second);
        at += 8;
    }
    return bytes;
}

// Deadbands: kind, then the amount as a float32.
inline Bytes deadbands(std::initializer_list<std::pair<std::int32_t, float>> values) {
    Bytes bytes(values.size() * 8);
    std::size_t at = 0;
    for (auto [kind, amount] : values) {
        std::uint32_t bits = 0;
        std::memcpy(&bits, &amount, 4);
        encodeI32(bytes.data() + at, kind);
        encodeU32(bytes.data() + at + 4, bits);
        at += 8;
    }
    return bytes;
}

inline Bytes floats(std::initializer_list<float> values) {
    Bytes bytes(values.size() * 4);
    std::size_t at = 0;
    for (float value : values) {
        std::memcpy(bytes.data() + at, &value, 4);
        at += 4;
    }
    return bytes;
}

inline Bytes bytesOf(std::span<const std::uint8_t> span) { return Bytes(span.begin(), span.end()); }

inline const char kDevice[32] = "DEVICE-1";

inline AddressRecord client() { return makeAddress("CLIENTNODE", "CLIENT"); }
inline AddressRecord storeTask() { return makeAddress("SERVERNODE", "STORE"); }
inline AddressRecord scanTask() { return makeAddress("SERVERNODE", "SCANNER"); }

// A GET request through the library's writer.
inline Message getRequest(std::int32_t listId, const Bytes& names, std::uint32_t tags, const Template& dataTemplate,
                          const Bytes& pairArray = {}, std::int32_t frequency = 10) {
    const Bytes tpl = encoded(dataTemplate);
    GetRequestFields fields;
    fields.head.messageType = kMsgRequest;
    fields.head.destination = scanTask();
    fields.head.replyDestination = storeTask();
    fields.head.source = client();
    fields.head.requestSource = client();
    fields.items = {1, listId, kDevice, 0, tags, frequency};
    fields.dataTemplate = tpl;
    fields.pairs = pairArray;
    fields.tagNames = names;
    Message out;
    EXPECT_EQ(writeGetRequest(fields, out), 0);
    return out;
}

}  // namespace scantest
