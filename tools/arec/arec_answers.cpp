#include "tools/arec/arec_answers.h"

#include <algorithm>

#include "msglib/msglib.h"

Answer answerFor(const ArecOptions& options, std::uint32_t number) {
    Answer answer;
    answer.disconnect = options.disconnectAfter != 0 && number == options.disconnectAfter;
    answer.shut = options.shutAfter != 0 && number == options.shutAfter;
    answer.ack = !answer.shut && number > options.noAck && (options.ackFirst == 0 || number <= options.ackFirst);
    return answer;
}

// Delays are all alike, so due times come in queue order; an acknowledgement
// is never sent ahead of one queued before it.
std::vector<PendingAck> AckQueue::takeDue(std::int64_t nowMs) {
    std::vector<PendingAck> due;
    while (!pending_.empty() && pending_.front().dueMs <= nowMs) {
        due.push_back(pending_.front());
        pending_.pop_front();
    }
    return due;
}

ReceiveWait receiveWaitFor(const AckQueue& acks, std::int64_t nowMs, std::int32_t idleUnits, std::int64_t pollMs) {
    if (acks.empty()) return {idleUnits, 0};
    const std::int64_t untilDue = acks.nextDueMs() - nowMs;
    if (untilDue >= std::int64_t{idleUnits} * kLibraryUnitMs) return {idleUnits, 0};
    return {0, std::clamp<std::int64_t>(untilDue, 0, pollMs)};
}
