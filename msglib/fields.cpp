// Readers and setters of the message head. A span too short to hold a head
// reads as zeros and is never written.
#include "msglib/address_coding.h"
#include "msglib/coding.h"
#include "msglib/msglib.h"

namespace {

bool holdsHead(std::size_t size) { return size >= head::kSize; }

std::uint32_t readU32(MsgView msg, std::uint32_t offset) {
    return holdsHead(msg.size()) ? decodeU32(msg.data() + offset) : 0;
}

AddressRecord readAddress(MsgView msg, std::uint32_t offset) {
    return holdsHead(msg.size()) ? decodeAddress(msg.data() + offset) : AddressRecord{};
}

void writeAddress(MsgSpan msg, std::uint32_t offset, const AddressRecord& address) {
    if (holdsHead(msg.size())) encodeAddress(msg.data() + offset, address);
}

}  // namespace

std::int32_t ZENTO_SERVER_MSGTYPE(MsgView msg) {
    return static_cast<std::int32_t>(readU32(msg, head::kMessageTypeOffset));
}

std::int32_t ZENTO_SERVER_TRANSTYPE(MsgView msg) {
    return static_cast<std::int32_t>(readU32(msg, head::kTransTypeOffset));
}

std::uint32_t ZENTO_SERVER_TRANSNUM(MsgView msg) { return readU32(msg, head::kTransNumOffset); }

std::uint32_t ZENTO_SERVER_MSGSIZE(MsgView msg) { return readU32(msg, head::kLengthOffset); }

AddressRecord ZENTO_SERVER_MSGSRC(MsgView msg) { return readAddress(msg, head::kSourceOffset); }
AddressRecord ZENTO_SERVER_REQSRC(MsgView msg) { return readAddress(msg, head::kRequestSourceOffset); }
AddressRecord ZENTO_SERVER_MSGDEST(MsgView msg) { return readAddress(msg, head::kDestinationOffset); }
AddressRecord ZENTO_SERVER_REPDEST(MsgView msg) { return readAddress(msg, head::kReplyDestinationOffset); }

void ZENTO_SERVER_SET_MSGSRC(MsgSpan msg, const AddressRecord& address) {
    writeAddress(msg, head::kSourceOffset, address);
}

void ZENTO_SERVER_SET_MSGDEST(MsgSpan msg, const AddressRecord& address) {
    writeAddress(msg, head::kDestinationOffset, address);
}

void ZENTO_SERVER_SET_REPDEST(MsgSpan msg, const AddressRecord& address) {
    writeAddress(msg, head::kReplyDestinationOffset, address);
}

void ZENTO_SERVER_SET_TRANSNUM(MsgSpan msg, std::uint32_t number) {
    if (holdsHead(msg.size())) encodeU32(msg.data() + head::kTransNumOffset, number);
}
