#pragma once
// The 292-byte message head. Every message is one contiguous little-endian
// buffer: this head, a descriptor table of 12-byte entries, then the data the
// table describes. The buffer is exactly as long as its length word.
//
//   off  size  field
//     0     2  magic, u16 0x5A5A
//     2     2  zero
//     4     4  total length of the message in bytes, head included
//     8     4  creation time in milliseconds (seconds*1000 + ms, modulo 2^32)
//    12     4  message type: 1 request, 2 reply, 3 notification
//    16     4  transaction number (0 when the sender does not number)
//    20     4  zero
//    24    64  destination AddressRecord
//    88    64  reply destination AddressRecord
//   152     4  transaction type (1 GET, 11 unsolicited reply, 7 SHUT, 13 DISCONNECT, 17 ACK, ...)
//   156    64  message source AddressRecord
//   220    64  request source AddressRecord (who asked for the data a reply carries)
//   284     4  u32, always 1
//   288     4  number of descriptor entries
#include <cstdint>

namespace head {
constexpr std::uint32_t kSize = 292;
constexpr std::uint32_t kMagicOffset = 0;
constexpr std::uint16_t kMagic = 0x5A5A;
constexpr std::uint32_t kLengthOffset = 4;
constexpr std::uint32_t kCreationTimeOffset = 8;
constexpr std::uint32_t kMessageTypeOffset = 12;
constexpr std::uint32_t kTransNumOffset = 16;
constexpr std::uint32_t kDestinationOffset = 24;
constexpr std::uint32_t kReplyDestinationOffset = 88;
constexpr std::uint32_t kTransTypeOffset = 152;
constexpr std::uint32_t kSourceOffset = 156;
constexpr std::uint32_t kRequestSourceOffset = 220;
constexpr std::uint32_t kVersionOffset = 284;
constexpr std::uint32_t kDescriptorCountOffset = 288;
}  // namespace head

// Message types.
constexpr std::int32_t kMsgRequest = 1;
constexpr std::int32_t kMsgReply = 2;
constexpr std::int32_t kMsgNotification = 3;

// Transaction types.
constexpr std::int32_t kTransGet = 1;
constexpr std::int32_t kTransShut = 7;
constexpr std::int32_t kTransUnsolicited = 11;
constexpr std::int32_t kTransDisconnect = 13;
constexpr std::int32_t kTransAck = 17;
