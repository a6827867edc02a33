#pragma once
// The GET request layout, the one place that knows it: the builders write
// requests with writeGetRequest and the parsers read them with readGetRequest.
//
//   head     message type 1 to 9, transaction type 1, N = 14 or 17 entries
//   table    0  struct, size 9 (10 with pairs), count 1: the whole data
//            1  int   pairs flag          (1 with the pair array, else 0)
//            2  int   reply-to flag       (0 or 1)
//            3  int   list id
//            4  chars 32: device name
//            5  int   request word
//            6  int   number of tags
//            7  int   frequency, tenths of a second
//            8  struct size 4, count T: the data template
//            9..12    its entries' type (short), zero (short), size, count (int)
//           13  struct size 2, count tags: pair array   } only with pairs
//           14,15     two ints per pair                 }
//         last  chars tags x name width: the tag names
//   data     the items in table order; the template is one item spanning all
//            of its T entries.
//
// The parser accepts only that table, entry for entry, with data that is
// exactly as long as the table describes.
//
// The declare and cancel requests of unsolicited lists follow this layout,
// with the same fixed items at the same data offsets and the names last:
// msglib/list_request_layout.h.
#include <cstddef>
#include <cstdint>
#include <span>

#include "msglib/fixed_table.h"
#include "msglib/head_writer.h"
#include "msglib/message.h"

// What decides a request's descriptor table.
struct RequestShape {
    bool withPairs = false;
    std::uint32_t templateEntries = 0;
    std::uint32_t tagCount = 0;
    std::uint32_t nameBlock = 0;  // tagCount x name width
};

FixedTable requestTable(const RequestShape& shape);
// The entries of the items from the list id to the data template, which a
// reply repeats in the same order.
void addRequestItemEntries(FixedTable& table, std::uint32_t templateEntries);

namespace getlayout {
constexpr std::uint32_t kEntriesWithoutPairs = 14;
constexpr std::uint32_t kEntriesWithPairs = 17;

// Data offsets of the items before the template, which never move.
constexpr std::size_t kPairsFlagAt = 0;
constexpr std::size_t kReplyToFlagAt = 4;
constexpr std::size_t kListIdAt = 8;
constexpr std::size_t kDeviceNameAt = 12;
constexpr std::size_t kRequestWordAt = 44;
constexpr std::size_t kTagCountAt = 48;
constexpr std::size_t kFrequencyAt = 52;
constexpr std::size_t kTemplateAt = 56;

constexpr std::size_t kDeviceNameBytes = 32;
// Table entries: the list id's, and the template structure's, whose count
// is T.
constexpr std::size_t kListIdEntryIndex = 3;
constexpr std::size_t kTemplateEntryIndex = 8;
}  // namespace getlayout

// The items a GET request carries and its replies repeat.
struct RequestItems {
    std::int32_t replyToFlag = 0;
    std::int32_t listId = 0;
    const char* deviceName = nullptr;  // 32 bytes
    std::int32_t requestWord = 0;
    std::uint32_t tagCount = 0;
    std::int32_t frequency = 0;        // tenths of a second
};

// A GET request's fields: what writeGetRequest takes and readGetRequest
// gives. The spans point into the caller's buffers, or into the message read.
struct GetRequestFields {
    // The message type (1 to 9, the builder's caller chooses), the transaction
    // number and the four addresses; the writer sets the other words.
    HeadFields head;
    RequestItems items;
    std::span<const std::uint8_t> dataTemplate;  // T encoded entries (12 bytes each) forming one item
    std::span<const std::uint8_t> pairs;         // tagCount x 8 (two int32 a tag), or empty: no pair array
    std::span<const std::uint8_t> tagNames;      // tagCount x name width
};

// Builds the request into out. 0, or a facility 9 code: kBadRequestInput when
// the fields disagree with one another or with the layout (nothing is read
// past their spans, and nothing is written that readGetRequest would
// refuse), kRequestTooLarge, kNoMemory.
std::int32_t writeGetRequest(const GetRequestFields& request, Message& out);

struct GetRequestView : GetRequestFields {
    std::int32_t pairsFlag = 0;
    std::uint32_t templateEntries = 0;
    std::uint32_t valueBytes = 0;  // what the template describes
};

// 0, or the facility 8 code of the first fault found.
std::int32_t readGetRequest(MsgView msg, GetRequestView& request);
