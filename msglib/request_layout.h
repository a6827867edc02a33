#pragma once
// Reading a GET request, the message a GET reply answers. Its layout:
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
#include <cstdint>
#include <span>

#include "msglib/message.h"
#include "msglib/records.h"

struct GetRequestView {
    std::uint32_t transNum = 0;
    AddressRecord destination{};
    AddressRecord replyDestination{};
    AddressRecord requestSource{};
    std::int32_t pairsFlag = 0;
    std::int32_t replyToFlag = 0;
    std::int32_t listId = 0;
    const char* deviceName = nullptr;           // 32 bytes inside the message
    std::int32_t requestWord = 0;
    std::uint32_t tagCount = 0;
    std::int32_t frequency = 0;
    std::uint32_t templateEntries = 0;
    std::uint32_t valueBytes = 0;               // what the template describes
    std::span<const std::uint8_t> dataTemplate; // templateEntries x 12
    std::span<const std::uint8_t> pairs;        // tagCount x 8, or empty
    std::span<const std::uint8_t> tagNames;     // tagCount x name width
};

// 0, or the facility 8 code of the first fault found.
std::int32_t readGetRequest(MsgView msg, GetRequestView& request);
