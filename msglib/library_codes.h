#pragma once
// The library's own error codes (facility 9, kFacilityLibrary) for message
// building, descriptor tables and logging. A failure loads its cause first
// (an errno as facility 1, a parser code as facility 8) when there is one.
#include <cstdint>

namespace libcode {
// Memory.
constexpr std::int32_t kNoMemory = 9001;             // a message buffer could not be had

// Descriptor tables.
constexpr std::int32_t kDescriptorUnknownType = 9010; // type outside 1..7
constexpr std::int32_t kDescriptorStructOverrun = 9011; // structure members run past the table
constexpr std::int32_t kDescriptorTooLarge = 9012;    // described size does not fit in 31 bits
constexpr std::int32_t kDescriptorTooDeep = 9013;     // structures nested deeper than kMaxDescriptorDepth
constexpr std::int32_t kDescriptorEmpty = 9014;       // a template with no entry

// Reply building.
constexpr std::int32_t kBadRequest = 9020;            // the GET request to answer is malformed
constexpr std::int32_t kAcquisitionFailed = 9021;     // the acquisition status shows a failure
constexpr std::int32_t kValuesShort = 9022;           // fewer value bytes than the template describes
constexpr std::int32_t kValueStatusShort = 9023;      // fewer than 3 status words per tag
constexpr std::int32_t kBadReplyInput = 9024;         // inconsistent unsolicited reply input
constexpr std::int32_t kReplyTooLarge = 9025;         // the reply would not fit in 31 bits

// Request building.
constexpr std::int32_t kBadRequestInput = 9030;       // inconsistent GET request input
constexpr std::int32_t kRequestTooLarge = 9031;       // the request would not fit in 31 bits
constexpr std::int32_t kNoSuchTag = 9032;             // a tag index at or past the request's tag count

// Logging.
constexpr std::int32_t kLogOpenFailed = 9040;         // a log file could not be opened
constexpr std::int32_t kLogWriteFailed = 9041;        // a log line could not be written whole
}  // namespace libcode

// Structures nest at most this deep; deeper tables are refused rather than
// walked, so a crafted table cannot exhaust the stack.
constexpr int kMaxDescriptorDepth = 32;
