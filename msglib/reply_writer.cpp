#include "msglib/byte_cursor.h"
#include "msglib/head_writer.h"
#include "msglib/library_codes.h"
#include "msglib/reply_layout.h"

namespace {

void writeTemplate(WriteCursor& cursor, const DescriptorTableView& dataTemplate) {
    for (std::size_t i = 0; i < dataTemplate.size(); ++i) {
        std::uint8_t* entry = cursor.reserve(kDescriptorBytes);
        if (entry != nullptr) encodeDescriptor(entry, dataTemplate.at(i));
    }
}

void writeStatusRecords(WriteCursor& cursor, const ReplyContent& content) {
    if (!content.statusWords.empty()) {
        for (std::size_t i = 0; i < static_cast<std::size_t>(content.tagCount) * 3; ++i) {
            cursor.putI32(content.statusWords[i]);
        }
    } else {
        cursor.put(content.statusBytes.first(static_cast<std::size_t>(content.tagCount) * 12));
    }
}

void writeData(WriteCursor& cursor, const ReplyContent& content) {
    cursor.putI32(content.pairs.empty() ? 0 : 1);
    cursor.putI32(content.replyToFlag);
    cursor.putI32(content.secondPairs.empty() ? 0 : 1);
    cursor.putI32(content.listId);
    cursor.put({reinterpret_cast<const std::uint8_t*>(content.deviceName), 32});
    cursor.putI32(content.requestWord);
    cursor.putI32(static_cast<std::int32_t>(content.tagCount));
    cursor.putI32(content.frequency);
    writeTemplate(cursor, content.dataTemplate);
    cursor.put(content.pairs);
    cursor.put(content.tagNames);
    cursor.put(content.values.first(content.valueBytes));
    writeStatusRecords(cursor, content);
    cursor.put(content.secondPairs);
    cursor.putI32(content.valueTime.milliseconds);
    cursor.putI32(content.valueTime.seconds);
}

bool isPairArray(std::span<const std::uint8_t> pairs, std::uint64_t tagCount) {
    return pairs.empty() || pairs.size() == tagCount * 8;
}

// The sizes the callers promise, checked again so that no copy below can
// read past a caller's buffer.
bool sizesAgree(const ReplyContent& content) {
    std::uint64_t tags = content.tagCount;
    bool statusGiven = content.statusWords.empty() ? content.statusBytes.size() >= tags * 12
                                                   : content.statusWords.size() >= tags * 3;
    return content.deviceName != nullptr && tags > 0 && content.values.size() >= content.valueBytes &&
           statusGiven && isPairArray(content.pairs, tags) && isPairArray(content.secondPairs, tags);
}

}  // namespace

std::int32_t writeReply(const ReplyContent& content, Message& out) {
    if (!sizesAgree(content)) return libcode::kBadReplyInput;
    if (content.tagNames.size() > kMaxDescribedBytes) return libcode::kReplyTooLarge;
    ReplyShape shape;
    shape.pairs = !content.pairs.empty();
    shape.secondPairs = !content.secondPairs.empty();
    shape.templateEntries = static_cast<std::uint32_t>(content.dataTemplate.size());
    shape.tagCount = content.tagCount;
    shape.nameBlock = static_cast<std::uint32_t>(content.tagNames.size());
    shape.valueBytes = content.valueBytes;
    FixedTable table = replyTable(shape);

    std::uint64_t dataBytes = 0;
    if (describedBytes(DescriptorTableView(table.entries()), dataBytes) != 0) return libcode::kReplyTooLarge;
    std::uint64_t total = head::kSize + table.size() * kDescriptorBytes + dataBytes;
    if (total > kMaxDescribedBytes) return libcode::kReplyTooLarge;
    if (!allocateMessage(out, static_cast<std::uint32_t>(total))) return libcode::kNoMemory;

    HeadFields fields;
    fields.length = static_cast<std::uint32_t>(total);
    fields.messageType = kMsgReply;
    fields.transType = content.transType;
    fields.transNum = content.transNum;
    fields.destination = content.destination;
    fields.replyDestination = content.replyDestination;
    fields.source = content.source;
    fields.requestSource = content.requestSource;
    fields.descriptorCount = static_cast<std::uint32_t>(table.size());
    writeHead(out.data(), fields);

    WriteCursor cursor(out.span(), head::kSize);
    for (const DescriptorEntry& entry : table.entries()) {
        std::uint8_t* at = cursor.reserve(kDescriptorBytes);
        if (at != nullptr) encodeDescriptor(at, entry);
    }
    writeData(cursor, content);
    if (!cursor.ok() || cursor.position() != total) {
        // The caller's sizes disagreed with one another: never hand out a
        // message whose table lies about its data.
        releaseMessage(out);
        return libcode::kBadReplyInput;
    }
    return 0;
}
