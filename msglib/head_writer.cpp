#include "msglib/head_writer.h"

#include <cstring>

#include "msglib/address_coding.h"
#include "msglib/coding.h"
#include "msglib/library_codes.h"
#include "msglib/msglib.h"

namespace {

// Milliseconds since the epoch, kept modulo 2^32 as the head stores them.
std::uint32_t creationTime() { return static_cast<std::uint32_t>(clockMilliseconds()); }

}  // namespace

void writeHead(std::uint8_t* out, const HeadFields& fields) {
    std::memset(out, 0, head::kSize);
    encodeU16(out + head::kMagicOffset, head::kMagic);
    encodeU32(out + head::kLengthOffset, fields.length);
    encodeU32(out + head::kCreationTimeOffset, creationTime());
    encodeI32(out + head::kMessageTypeOffset, fields.messageType);
    encodeU32(out + head::kTransNumOffset, fields.transNum);
    encodeAddress(out + head::kDestinationOffset, fields.destination);
    encodeAddress(out + head::kReplyDestinationOffset, fields.replyDestination);
    encodeI32(out + head::kTransTypeOffset, fields.transType);
    encodeAddress(out + head::kSourceOffset, fields.source);
    encodeAddress(out + head::kRequestSourceOffset, fields.requestSource);
    encodeU32(out + head::kVersionOffset, 1);
    encodeU32(out + head::kDescriptorCountOffset, fields.descriptorCount);
}

HeadFields readHead(const std::uint8_t* in) {
    HeadFields fields;
    fields.length = decodeU32(in + head::kLengthOffset);
    fields.messageType = decodeI32(in + head::kMessageTypeOffset);
    fields.transNum = decodeU32(in + head::kTransNumOffset);
    fields.destination = decodeAddress(in + head::kDestinationOffset);
    fields.replyDestination = decodeAddress(in + head::kReplyDestinationOffset);
    fields.transType = decodeI32(in + head::kTransTypeOffset);
    fields.source = decodeAddress(in + head::kSourceOffset);
    fields.requestSource = decodeAddress(in + head::kRequestSourceOffset);
    fields.descriptorCount = decodeU32(in + head::kDescriptorCountOffset);
    return fields;
}

std::int32_t startMessage(std::span<const DescriptorEntry> table, HeadFields fields, std::int32_t tooLarge,
                          Message& out, std::size_t& dataAt) {
    std::uint64_t dataBytes = 0;
    if (describedBytes(DescriptorTableView(table), dataBytes) != 0) return tooLarge;
    const std::uint64_t tableBytes = std::uint64_t{kDescriptorBytes} * table.size();
    const std::uint64_t total = head::kSize + tableBytes + dataBytes;
    if (total > kMaxDescribedBytes) return tooLarge;
    if (!allocateMessage(out, static_cast<std::uint32_t>(total))) return libcode::kNoMemory;

    fields.length = static_cast<std::uint32_t>(total);
    fields.descriptorCount = static_cast<std::uint32_t>(table.size());
    writeHead(out.data(), fields);
    WriteCursor cursor(out.span(), head::kSize);
    putDescriptors(cursor, DescriptorTableView(table));
    dataAt = cursor.position();
    return 0;
}

void putDescriptors(WriteCursor& cursor, const DescriptorTableView& table) {
    for (std::size_t i = 0; i < table.size(); ++i) {
        std::uint8_t* entry = cursor.reserve(kDescriptorBytes);
        if (entry != nullptr) encodeDescriptor(entry, table.at(i));
    }
}
