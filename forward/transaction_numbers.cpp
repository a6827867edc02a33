#include "forward/transaction_numbers.h"

#include "msglib/msglib.h"
#include "forward/forward_state.h"

namespace {

// Spreads the clock over all 32 bits: runs started close together begin far
// apart in the sequence.
std::uint32_t seedFromClock() {
    std::uint64_t x = clockMilliseconds();
    x ^= x >> 33;
    x *= 0xff51afd7ed558ccdULL;
    x ^= x >> 33;
    const auto seed = static_cast<std::uint32_t>(x);
    return seed == 0 ? 1 : seed;
}

}  // namespace

std::uint32_t takeTransactionNumber(ForwardState& fwd) {
    if (fwd.nextTransNum == 0) fwd.nextTransNum = seedFromClock();
    const std::uint32_t number = fwd.nextTransNum;
    fwd.nextTransNum = number == UINT32_MAX ? 1 : number + 1;
    return number;
}
