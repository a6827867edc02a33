#pragma once
// The forwarding state of one recovery: where the messages go, the
// acknowledgement and resend bookkeeping of the message outstanding, and the
// counts an operator reads at the end. Only the forwarding code changes it;
// the program configures it once and reads it.
#include <cstdint>

#include "forward/destination_wait.h"
#include "msglib/records.h"

// What the program gives the forwarder before the first step.
struct ForwardSettings {
    AddressRecord selfAddress = {};  // the recovery's own address, from its registration
    std::int32_t sendTimeout = 50;   // library units
    bool nodeRedirect = false;       // NODE given: every message goes to redirectNodeName
    char redirectNodeName[34] = {};
};

struct ForwardStats {
    std::uint64_t forwarded = 0;     // messages acknowledged and removed
    std::uint64_t resends = 0;       // sends after the first of a message
    std::uint64_t skippedMessages = 0;  // messages too short to forward, taken out unsent
    std::uint64_t skippedBytes = 0;
};

// A message to be taken out unsent, why, and the code the step loads.
struct SkipPending {
    const char* reason = nullptr;  // none pending
    std::int32_t code = 0;
};

struct ForwardState {
    ForwardSettings settings;

    AddressRecord destinationAddress = {};
    bool lastMsgAcked = true;
    bool retryPending = false;
    TimeStamp ackDeadline = {};
    bool retryLogged = false;
    TimeStamp lastRetryLogTime = {};
    std::int32_t lastRetryError = 0;
    char deviceName[32] = {};
    bool addressedAny = false;  // a message of this run was addressed to its destination
    SkipPending skipPending;    // a message whose removal unsent failed, to be tried again
    // The number stamped on the outstanding message at its first send (its
    // resends carry the same), and the next one to hand out (0: not seeded).
    std::uint32_t outstandingTransNum = 0;
    std::uint32_t nextTransNum = 0;

    // The forwarder has ended the recovery: nothing is left to send, or
    // (with dataUnreadable) the stored data ahead cannot be read.
    bool stopRequested = false;
    bool dataUnreadable = false;

    ForwardStats stats;
    DestinationWait wait;
};
