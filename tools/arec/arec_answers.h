#pragma once
// What zento_arec sends back for each forwarded message, and the queue of
// acknowledgements held back by --ack-delay-ms.
#include <cstdint>
#include <deque>
#include <vector>

#include "msglib/records.h"
#include "tools/arec/arec_options.h"

struct Answer {
    bool disconnect = false;  // DISCONNECT, sent first
    bool shut = false;        // SHUT, in place of the acknowledgement
    bool ack = false;
};

// The answer to the number-th forwarded message received, counting from 1.
Answer answerFor(const ArecOptions& options, std::uint32_t number);

// How the receive loop waits: a receive of `units` library units (0: only
// what has arrived), then a pause of pauseMs milliseconds.
struct ReceiveWait {
    std::int32_t units = 0;
    std::int64_t pauseMs = 0;
};

struct PendingAck;
class AckQueue;

// The library waits in whole units of 100 ms; an acknowledgement due sooner
// than one unit must not wait out the unit. Until it is due the loop looks
// for messages without waiting and pauses at most pollMs between looks, so a
// message that arrives meanwhile waits no longer than that.
ReceiveWait receiveWaitFor(const AckQueue& acks, std::int64_t nowMs, std::int32_t idleUnits, std::int64_t pollMs);

struct PendingAck {
    std::int64_t dueMs = 0;
    AddressRecord to{};
    std::uint32_t transNum = 0;
};

// Acknowledgements in the order they were queued; each leaves the queue once
// its time has come.
class AckQueue {
public:
    void push(const PendingAck& ack) { pending_.push_back(ack); }
    std::vector<PendingAck> takeDue(std::int64_t nowMs);
    bool empty() const { return pending_.empty(); }
    // When the first acknowledgement falls due; the queue must not be empty.
    std::int64_t nextDueMs() const { return pending_.front().dueMs; }

private:
    std::deque<PendingAck> pending_;
};
