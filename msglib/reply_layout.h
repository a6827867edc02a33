#pragma once
// The reply layout: GET replies (transaction type 1) and unsolicited replies
// (transaction type 11) share it.
//
// Head: message type 2, the transaction type, N = 22, 25 or 28 descriptor
// entries. A GET reply carries the transaction number of its request; an
// unsolicited reply carries 0.
//
// Descriptor table (pf = pairs flag, spf = second-pairs flag):
//
//   entry  type    size        count  item
//     0    struct  14+pf+spf   1      the whole data
//     1    int     4           1      pairs flag (1: the pair array is present)
//     2    int     4           1      reply-to flag (copied from the request;
//                                     0 in an unsolicited reply)
//     3    int     4           1      second-pairs flag (1: the second pair
//                                     array is present)
//     4    int     4           1      list id
//     5    chars   32          1      device name
//     6    int     4           1      request word
//     7    int     4           1      number of tags
//     8    int     4           1      frequency, tenths of a second
//     9    struct  4           T      the data template, T entries of
//    10    short   2           1        type
//    11    short   2           1        zero
//    12    int     4           1        size
//    13    int     4           1        count
//          struct  2           tags   pair array, with pf only:
//          int     4           1        first word
//          int     4           1        second word
//          chars   tags x w    1      the tag names, w bytes each
//          chars   V           1      the values, laid out as the data template
//                                     describes (V: what it describes)
//          struct  3           tags   status records:
//          int     4           1        three words
//          int     4           1
//          int     4           1
//          struct  2           tags   second pair array, with spf only:
//          int     4           1        first word
//          int     4           1        second word
//          int     4           1      value time: milliseconds
//          int     4           1      value time: seconds
//
// The data follows in table order, so the fixed items sit at data offsets 0
// (pairs flag), 4, 8, 12 (list id), 16 (device name), 48 (request word),
// 52 (number of tags), 56 (frequency) and 60 (template). The data part is
// exactly ZENTO_SERVER_DSIZE of the table and the length word is
// 292 + 12 x N + that size.
//
// The data template is one item spanning all of its T entries. Tag count is
// at least 1, the name width w at least 1.
//
// A GET reply takes its value time from the caller; an unsolicited reply is
// stamped with the time it is built (its input carries no time).
#include <cstdint>
#include <span>

#include "msglib/descriptor_walk.h"
#include "msglib/fixed_table.h"
#include "msglib/head_writer.h"
#include "msglib/message.h"
#include "msglib/msglib.h"
#include "msglib/request_layout.h"

struct ReplyShape {
    bool pairs = false;
    bool secondPairs = false;
    std::uint32_t templateEntries = 0;
    std::uint32_t tagCount = 0;
    std::uint32_t nameBlock = 0;
    std::uint32_t valueBytes = 0;
};

FixedTable replyTable(const ReplyShape& shape);

// Everything a reply carries besides its head's fixed words.
struct ReplyContent {
    // The transaction type and number and the four addresses; the writer sets
    // the other words.
    HeadFields head;
    RequestItems items;
    DescriptorTableView dataTemplate{std::span<const DescriptorEntry>{}};
    std::uint32_t valueBytes = 0;
    std::span<const std::uint8_t> pairs;        // tagCount x 8, or empty
    std::span<const std::uint8_t> tagNames;     // tagCount x name width
    std::span<const std::uint8_t> values;       // valueBytes
    // The status records, either as words (3 per tag) or as encoded bytes
    // (12 per tag); exactly one of the two is given.
    std::span<const std::int32_t> statusWords;
    std::span<const std::uint8_t> statusBytes;
    std::span<const std::uint8_t> secondPairs;  // tagCount x 8, or empty
    TimeStamp valueTime{};
};

// Builds the reply into out. The sizes in content must agree with one
// another (the callers check them); 0, or a facility 9 code.
std::int32_t writeReply(const ReplyContent& content, Message& out);

// Parses a reply of the given transaction type. 0, or a facility 8 code;
// out is filled only on success.
std::int32_t readReply(MsgView msg, std::int32_t transType, ReplyFields& out, TimeStamp& valueTime);
