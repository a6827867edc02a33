#pragma once
// Why a message could not be parsed (facility 8, kFacilityParser). A parser
// loads the cause first, then kUnableToParse.
#include <cstdint>

namespace parsecode {
constexpr std::int32_t kShorterThanHead = 8001;    // fewer bytes than a message head
constexpr std::int32_t kBadMagic = 8002;           // the first two bytes are not the magic
constexpr std::int32_t kLengthMismatch = 8003;     // the length word differs from the bytes at hand
constexpr std::int32_t kWrongMessageType = 8004;   // not a request / not a reply
constexpr std::int32_t kWrongTransType = 8005;     // not the transaction type asked for
constexpr std::int32_t kBadDescriptorCount = 8006; // a count the layout never has, or a table past the end
constexpr std::int32_t kTableShape = 8007;         // the table is not the one the layout prescribes
constexpr std::int32_t kDataShort = 8008;          // the data part ends before an item
constexpr std::int32_t kBadFlag = 8009;            // a flag neither 0 nor 1
constexpr std::int32_t kBadTagCount = 8010;        // a tag count below 1
constexpr std::int32_t kBadNameBlock = 8011;       // the name block is not a whole number of names
constexpr std::int32_t kBadTemplate = 8012;        // the data template is malformed or not one item
constexpr std::int32_t kDataSizeMismatch = 8013;   // the data part is not the size the table describes
constexpr std::int32_t kUnableToParse = 8018;      // the parser's own code, always last
}  // namespace parsecode
