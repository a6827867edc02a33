#pragma once
// The forwarding step of the recovery: sends at most one stored message per
// call, the next one once the previous is acknowledged, or the outstanding one
// again when its acknowledgement is overdue or its last send failed.
#include <cstdint>

#include "msglib/msglib.h"

struct RecoverContext;

// Receive waits the main loop uses after a forwarding step.
constexpr std::int32_t kNormalWait = 5;
constexpr std::int32_t kWaitAfterFailedSend = 100;
constexpr std::int32_t kNoWait = 0;

// Codes of the forwarding step (facility 13).
constexpr std::int32_t kErrFrequencyFailed = 13470;
constexpr std::int32_t kErrCursorFailed = 13471;
constexpr std::int32_t kErrMessageTooShort = 13473;
// Facility 8 code of a stored message that is neither kind of reply.
constexpr std::int32_t kErrUnparsable = 8018;

// The service every stored message is forwarded to.
constexpr const char* kForwardService = "TSK_AREC";

// The list id the log lines show for a message that cannot be parsed.
constexpr std::int32_t kUnknownListId = -1;

// Result: the next receive wait (5, 100 after a failed send, 0 when the
// recovery has come to its end during this call).
std::int32_t forwardNextMessage(RecoverContext& ctx, StatusBlock& status);

// Addresses the messages to the service "TSK_AREC" on the node of msg's
// requester, or on the NODE node when one was given.
void addressToRequester(RecoverContext& ctx, MsgView msg);

// True when the present second is past the deadline's second.
bool ackTimerExpired(const TimeStamp& deadline);

// Parses a GET reply (transaction type 1) or an unsolicited reply (11); any
// other type prints "Unable to parse message.\n" and fails with 8018.
void parseStoredReply(MsgView msg, ReplyFields& out, StatusBlock& status);
