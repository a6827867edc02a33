#include "msglib/head_writer.h"

#include <cstring>

#include "msglib/address_coding.h"
#include "msglib/coding.h"
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
