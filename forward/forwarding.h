#pragma once
// The forwarding step of the recovery: sends at most one stored message per
// call, the next one once the previous is acknowledged, or the outstanding one
// again when its acknowledgement is overdue or its last send failed.
#include <cstdint>

#include "msglib/msglib.h"

#include "forward/forward_codes.h"
#include "forward/forward_state.h"

struct StoreFile;

// Receive waits the main loop uses after a forwarding step.
constexpr std::int32_t kNormalWait = 5;
constexpr std::int32_t kWaitAfterFailedSend = 100;
constexpr std::int32_t kNoWait = 0;

// The service every stored message is forwarded to.
constexpr const char* kForwardService = "TSK_AREC";

// The list id the log lines show for a message that cannot be parsed.
constexpr std::int32_t kUnknownListId = -1;

// Result: the next receive wait (5, 100 after a failed send, 0 when the
// recovery has come to its end during this call).
std::int32_t forwardNextMessage(ForwardState& fwd, StoreFile& store, StatusBlock& status);

// Starts the forwarding of a recovery afresh with the program's settings.
void configureForwarding(ForwardState& fwd, const ForwardSettings& settings);

// The destination acknowledged the outstanding message: it is removed from
// the store file and the next one may go. False when the removal failed
// (status says why): the message stays outstanding and is sent again.
bool acknowledgeMessage(ForwardState& fwd, StoreFile& store, StatusBlock& status);

// Addresses the messages to the service "TSK_AREC" on the node of msg's
// requester, or on the NODE node when one was given.
void addressToRequester(ForwardState& fwd, MsgView msg);

// True when the present second is past the deadline's second.
bool ackTimerExpired(const TimeStamp& deadline);

// Parses a GET reply (transaction type 1) or an unsolicited reply (11); any
// other type prints "Unable to parse message.\n" and fails with 8018.
void parseStoredReply(MsgView msg, ReplyFields& out, StatusBlock& status);
