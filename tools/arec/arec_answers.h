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

private:
    std::deque<PendingAck> pending_;
};
