#include "msglib/message_checks.h"

#include "msglib/coding.h"
#include "msglib/message_head.h"
#include "msglib/parse_codes.h"

std::int32_t checkHead(MsgView msg) {
    if (msg.size() < head::kSize) return parsecode::kShorterThanHead;
    if (decodeU16(msg.data() + head::kMagicOffset) != head::kMagic) return parsecode::kBadMagic;
    if (decodeU32(msg.data() + head::kLengthOffset) != msg.size()) return parsecode::kLengthMismatch;
    return 0;
}

std::int32_t readDescriptorTable(MsgView msg, std::span<const std::uint32_t> allowed,
                                 DescriptorTableView& table, std::size_t& dataOffset) {
    std::uint32_t count = decodeU32(msg.data() + head::kDescriptorCountOffset);
    bool known = false;
    for (std::uint32_t candidate : allowed) known = known || candidate == count;
    if (!known) return parsecode::kBadDescriptorCount;
    std::uint64_t tableBytes = static_cast<std::uint64_t>(count) * kDescriptorBytes;
    if (tableBytes > msg.size() - head::kSize) return parsecode::kBadDescriptorCount;
    table = DescriptorTableView::fromBytes(msg.subspan(head::kSize, static_cast<std::size_t>(tableBytes)));
    dataOffset = head::kSize + static_cast<std::size_t>(tableBytes);
    return 0;
}

std::int32_t checkDataTemplate(std::span<const std::uint8_t> bytes, std::uint32_t templateEntries,
                               std::uint32_t& valueBytes) {
    valueBytes = 0;
    if (templateEntries == 0) return parsecode::kBadTemplate;
    std::uint64_t templateBytes = static_cast<std::uint64_t>(templateEntries) * kDescriptorBytes;
    if (templateBytes > bytes.size()) return parsecode::kDataShort;
    DescriptorTableView dataTemplate =
        DescriptorTableView::fromBytes(bytes.first(static_cast<std::size_t>(templateBytes)));
    ItemExtent extent;
    if (walkDescriptorItem(dataTemplate, 0, extent) != 0) return parsecode::kBadTemplate;
    if (extent.entries != templateEntries) return parsecode::kBadTemplate;
    valueBytes = static_cast<std::uint32_t>(extent.bytes);
    return 0;
}

bool sameTable(const DescriptorTableView& table, std::span<const DescriptorEntry> expected) {
    if (table.size() != expected.size()) return false;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        DescriptorEntry actual = table.at(i);
        const DescriptorEntry& wanted = expected[i];
        if (actual.type != wanted.type || actual.zero != wanted.zero || actual.size != wanted.size ||
            actual.count != wanted.count) {
            return false;
        }
    }
    return true;
}

std::int32_t checkDataSize(std::span<const DescriptorEntry> expected, std::size_t dataBytes) {
    std::uint64_t described = 0;
    if (describedBytes(DescriptorTableView(expected), described) != 0) return parsecode::kDataSizeMismatch;
    return described == dataBytes ? 0 : parsecode::kDataSizeMismatch;
}

bool isWholeNameBlock(std::uint64_t blockBytes, std::uint64_t tagCount) {
    return tagCount > 0 && blockBytes >= tagCount && blockBytes % tagCount == 0;
}
