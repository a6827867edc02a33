#pragma once
// What the operator has been told about the destination while a forwarded
// message waits for it: that it cannot be reached, or that it does not
// acknowledge; since when, and why. The forwarder keeps it beside its resend
// bookkeeping and tells each change on standard error and in the log.
#include <cstdint>

struct DestinationWait {
    enum class State {
        Fine,         // nothing is overdue
        Unreachable,  // the last send failed
        Reached,      // a send went out after failures; its acknowledgement is not due yet
        Silent,       // sends go out, and the acknowledgement is overdue
    };
    State state = State::Fine;
    // Unreachable: the failed send's own code and its runtime cause (0: none).
    std::int32_t facility = 0;
    std::int32_t code = 0;
    std::int32_t cause = 0;
    std::int32_t sinceSeconds = 0;       // library clock, when the wait began
    std::int32_t lastNoticeSeconds = 0;  // when the operator was last told
    std::uint64_t resendsBefore = 0;     // the resend count when the wait began
};
