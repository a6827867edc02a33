#pragma once
// The transaction numbers the forwarder stamps on stored messages, so that an
// acknowledgement can be matched to the send it answers and not merely to its
// source.
#include <cstdint>

struct ForwardState;

// The next number of this recovery: never 0 (0 means "none" in an
// acknowledgement). The first call seeds the sequence from the clock, so two
// runs of the recovery hardly ever hand out the same numbers and a late
// acknowledgement meant for an earlier run matches nothing.
std::uint32_t takeTransactionNumber(ForwardState& fwd);
