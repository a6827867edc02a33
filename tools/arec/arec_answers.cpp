#include "tools/arec/arec_answers.h"

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
