#pragma once
// The forwarding step's error codes (facility 13, kFacilityStore), and the
// parser code it loads itself.
#include <cstdint>

constexpr std::int32_t kErrFrequencyFailed = 13470;  // the frequency of the message sent could not be read
constexpr std::int32_t kErrCursorFailed = 13471;     // the cursor delivered no message and failed
constexpr std::int32_t kErrMessageTooShort = 13473;  // a stored message no longer than its head was taken out unsent
constexpr std::int32_t kErrMessageUnsendable = 13474;  // a stored message the library refuses to send was taken out unsent
// Facility 8: a stored message that is neither kind of reply.
constexpr std::int32_t kErrUnparsable = 8018;
