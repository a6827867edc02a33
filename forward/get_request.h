#pragma once
// A GET request built in memory, for the library to answer (the end-of-file
// notice is its GET reply): the arguments are checked one by one, then
// written in the library's GET request layout (msglib/request_layout.h), 14
// descriptor entries or 17 with the per-tag pair array. Failures load
// facility 4 codes into the caller's status block; nothing is printed.
#include <cstdint>
#include <span>

#include "msglib/descriptors.h"
#include "msglib/message.h"
#include "msglib/records.h"
#include "msglib/status_block.h"

namespace getreq {
constexpr std::int32_t kNoDeviceName = 4040;
constexpr std::int32_t kNoTags = 4041;
constexpr std::int32_t kBadHeadValue = 4042;
constexpr std::int32_t kBadReplyToFlag = 4043;
constexpr std::int32_t kNoReplyToService = 4045;
constexpr std::int32_t kNoTagNames = 4046;
// The tag names do not hold tags x name width bytes (or the first name has
// no terminator in them): copying the block would read past the caller's
// buffer.
constexpr std::int32_t kTagNamesTooShort = 4047;
constexpr std::int32_t kNoDataTemplate = 4048;
// The pair array holds fewer than two values per tag.
constexpr std::int32_t kPairsTooShort = 4049;
constexpr std::int32_t kNoDestinationNode = 4052;
constexpr std::int32_t kNoMemory = 4055;
constexpr std::int32_t kSizeFailed = 4056;
}  // namespace getreq

// deviceName points to 32 bytes (nullptr: absent). tagNames holds one
// fixed-width, NUL-padded name per tag; the width is the first name's length
// plus one. pairs holds two int32 per tag (empty: absent); it is used only
// with the reply-to flag set. An empty dataTemplate is absent. replyTo may be
// nullptr; offset 220 of the head then holds zeros, since no requester was
// named. timeout is accepted for the callers' sake and not used.
void buildGetRequest(std::int32_t listId, const char* deviceName, std::int32_t requestWord, std::uint32_t tagCount,
                     std::uint32_t headValue, std::int32_t replyToFlag, std::int32_t timeout,
                     const AddressRecord* replyTo, AddressRecord destination, std::int32_t frequency,
                     std::span<const char> tagNames, std::span<const std::int32_t> pairs,
                     std::span<const DescriptorEntry> dataTemplate, Message& out, StatusBlock& status);
