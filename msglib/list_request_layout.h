#pragma once
// The declare and cancel requests of unsolicited lists: what a client sends
// to a store task to declare tags of a list (transaction type 4) or to
// withdraw them (5). Both follow the GET request (msglib/request_layout.h):
// the 292-byte head, a descriptor table, then the data in table order, with
// the fixed items at the GET request's data offsets (pairs flag 0, second
// flag 4, list id 8, device name 12, request word 44, number of tags 48,
// frequency 52) and the tag names last.
//
// Declare request, head: message type 1 to 9, transaction type 4,
// N = 15 + 3 with the pair array + 3 with the second pair array:
//
//   entry  type    size        count  item
//     0    struct  10+p+s      1      the whole data
//     1    int     4           1      pairs flag (1: the pair array is present)
//     2    int     4           1      second-pairs flag (1: the second pair
//                                     array, the tags' deadbands, is present)
//     3    int     4           1      list id
//     4    chars   32          1      device name
//     5    int     4           1      request word
//     6    int     4           1      number of tags
//     7    int     4           1      frequency, tenths of a second (negative:
//                                     the list is answered with unsolicited
//                                     replies)
//     8    struct  4           T      the data template, T entries of
//     9..12                           type (short), zero (short), size, count (int)
//          struct  2           tags   pair array, with p only: two ints a tag
//          int     4           1
//          int     4           1
//          struct  2           tags   second pair array, with s only: per tag
//          int     4           1        the deadband kind (int32) and
//          int     4           1        amount (float32, as its 4 bytes)
//          chars   64          1      the reply address: the AddressRecord
//                                     the list's unsolicited replies go to
//          chars   tags x w    1      the tag names, w bytes each
//
// Cancel request, head: message type 1 to 9, transaction type 5, N = 9:
//
//     0    struct  8           1      the whole data
//     1    int     4           1      pairs flag    } 0 or 1; a cancel carries
//     2    int     4           1      second flag   } neither array
//     3    int     4           1      list id
//     4    chars   32          1      device name
//     5    int     4           1      request word
//     6    int     4           1      number of tags
//     7    int     4           1      frequency (not used by the store task)
//     8    chars   tags x w    1      the names of the tags withdrawn
//
// In both the data part is exactly what the table describes, the number of
// tags is 1 or more, the name block a whole number of names, and the data
// template one item spanning all of its T entries. The width w of a name
// block is its size over the number of tags; the builders make it the first
// name's length plus its terminator.
#include <cstdint>
#include <span>

#include "msglib/descriptors.h"
#include "msglib/message.h"
#include "msglib/records.h"

constexpr std::int32_t kTransDeclare = 4;
constexpr std::int32_t kTransCancel = 5;

namespace listlayout {
constexpr std::uint32_t kDeclareBaseEntries = 15;
constexpr std::uint32_t kPairArrayEntries = 3;
constexpr std::uint32_t kCancelEntries = 9;
constexpr std::uint32_t kReplyAddressBytes = 64;
}  // namespace listlayout

// What a client declares. The spans point into the caller's buffers.
struct ListDeclaration {
    AddressRecord source{};            // the client: the message's source and requester
    AddressRecord destination{};       // the store task
    AddressRecord replyAddress{};      // where the list's unsolicited replies go
    std::int32_t messageType = 1;      // 1 to 9
    std::uint32_t transNum = 0;
    std::int32_t listId = 0;
    const char* deviceName = nullptr;  // 32 bytes
    std::int32_t requestWord = 0;
    std::int32_t frequency = 0;        // tenths of a second; negative: unsolicited
    std::uint32_t tagCount = 0;
    // At least tagCount x w bytes, w the first name's length plus one: the
    // first tagCount x w are sent.
    std::span<const std::uint8_t> tagNames;
    std::span<const DescriptorEntry> dataTemplate;  // one item
    std::span<const std::uint8_t> pairs;            // tagCount x 8, or empty: none
    std::span<const std::uint8_t> secondPairs;      // tagCount x 8, or empty: none
};

// What a client withdraws.
struct ListCancellation {
    AddressRecord source{};
    AddressRecord destination{};
    std::int32_t messageType = 1;
    std::uint32_t transNum = 0;
    std::int32_t listId = 0;
    const char* deviceName = nullptr;  // 32 bytes
    std::int32_t requestWord = 0;
    std::int32_t frequency = 0;
    std::uint32_t tagCount = 0;
    std::span<const std::uint8_t> tagNames;  // as in ListDeclaration
};

// The twelve out-slots of ZENTO_SERVER_PARSE_DECLREQ, in order. Pointers and
// spans point into the parsed message.
struct DeclareRequestSlots {
    std::int32_t pairsFlag = 0;                   // 1
    std::int32_t secondPairsFlag = 0;             // 2
    std::int32_t listId = 0;                      // 3
    const char* deviceName = nullptr;             // 4: 32 bytes
    std::int32_t requestWord = 0;                 // 5
    std::int32_t tagCount = 0;                    // 6
    std::int32_t frequency = 0;                   // 7
    std::span<const std::uint8_t> dataTemplate;   // 8: 12-byte entries
    std::span<const std::uint8_t> secondPairs;    // 9: tagCount x 8, or empty
    AddressRecord replyAddress{};                 // 10
    std::span<const std::uint8_t> pairs;          // 11: tagCount x 8, or empty
    std::span<const std::uint8_t> tagNames;       // 12: tagCount names of one width
};

// The eight out-slots of ZENTO_SERVER_PARSE_CANCREQ.
struct CancelRequestSlots {
    std::int32_t pairsFlag = 0;                   // 1
    std::int32_t secondFlag = 0;                  // 2
    std::int32_t listId = 0;                      // 3
    const char* deviceName = nullptr;             // 4
    std::int32_t requestWord = 0;                 // 5
    std::int32_t tagCount = 0;                    // 6
    std::int32_t frequency = 0;                   // 7
    std::span<const std::uint8_t> tagNames;       // 8
};

// The ten out-slots of ZENTO_SERVER_PARSE_GETREQ, and what the parse learnt
// of the template on the way.
struct GetRequestSlots {
    std::int32_t pairsFlag = 0;                   // 1
    std::int32_t replyToFlag = 0;                 // 2
    std::int32_t listId = 0;                      // 3
    const char* deviceName = nullptr;             // 4
    std::int32_t requestWord = 0;                 // 5
    std::int32_t tagCount = 0;                    // 6
    std::int32_t frequency = 0;                   // 7
    std::span<const std::uint8_t> dataTemplate;   // 8
    std::span<const std::uint8_t> pairs;          // 9: tagCount x 8, or empty
    std::span<const std::uint8_t> tagNames;       // 10
    // The bytes of the values the template describes: what ZENTO_DCONV_SIZE
    // gives for it, without walking it a second time.
    std::uint32_t valueBytes = 0;
};

// The layouts themselves; 0 or a facility 9 code (builders), 0 or a
// facility 8 code (readers, which fill their slots only on success).
std::int32_t writeDeclareRequest(const ListDeclaration& declaration, Message& out);
std::int32_t writeCancelRequest(const ListCancellation& cancellation, Message& out);
std::int32_t readDeclareRequest(MsgView msg, DeclareRequestSlots& out);
std::int32_t readCancelRequest(MsgView msg, CancelRequestSlots& out);

// Where the name block of a GET, declare or cancel request lies: 0 with the
// block and the tag count, or a facility 8 code.
std::int32_t findRequestNames(MsgView msg, std::span<const std::uint8_t>& names, std::uint32_t& tagCount);
