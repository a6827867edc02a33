#include "msglib/byte_cursor.h"
#include "msglib/head_writer.h"
#include "msglib/library_codes.h"
#include "msglib/reply_layout.h"

namespace {

void writeStatusRecords(WriteCursor& cursor, const ReplyContent& content) {
    if (!content.statusWords.empty()) {
        for (std::size_t i = 0; i < static_cast<std::size_t>(content.items.tagCount) * 3; ++i) {
            cursor.putI32(content.statusWords[i]);
        }
    } else {
        cursor.put(content.statusBytes.first(static_cast<std::size_t>(content.items.tagCount) * 12));
    }
}

void writeData(WriteCursor& cursor, const ReplyContent& content) {
    const RequestItems& items = content.items;
    cursor.putI32(content.pairs.empty() ? 0 : 1);
    cursor.putI32(items.replyToFlag);
    cursor.putI32(content.secondPairs.empty() ? 0 : 1);
    cursor.putI32(items.listId);
    cursor.put({reinterpret_cast<const std::uint8_t*>(items.deviceName), 32});
    cursor.putI32(items.requestWord);
    cursor.putI32(static_cast<std::int32_t>(items.tagCount));
    cursor.putI32(items.frequency);
    putDescriptors(cursor, content.dataTemplate);
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
    std::uint64_t tags = content.items.tagCount;
    bool statusGiven = content.statusWords.empty() ? content.statusBytes.size() >= tags * 12
                                                   : content.statusWords.size() >= tags * 3;
    return content.items.deviceName != nullptr && tags > 0 && content.values.size() >= content.valueBytes &&
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
    shape.tagCount = content.items.tagCount;
    shape.nameBlock = static_cast<std::uint32_t>(content.tagNames.size());
    shape.valueBytes = content.valueBytes;
    FixedTable table = replyTable(shape);

    HeadFields fields = content.head;
    fields.messageType = kMsgReply;
    std::size_t dataAt = 0;
    if (std::int32_t fault = startMessage(table.entries(), fields, libcode::kReplyTooLarge, out, dataAt); fault != 0) {
        return fault;
    }

    WriteCursor cursor(out.span(), dataAt);
    writeData(cursor, content);
    if (!cursor.ok() || cursor.position() != out.size) {
        // The caller's sizes disagreed with one another: never hand out a
        // message whose table lies about its data.
        releaseMessage(out);
        return libcode::kBadReplyInput;
    }
    return 0;
}
