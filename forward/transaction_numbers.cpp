#include "forward/transaction_numbers.h"

#include "msglib/msglib.h"
#include "recover/recover_context.h"

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

std::uint32_t takeTransactionNumber(RecoverContext& ctx) {
    if (ctx.nextTransNum == 0) ctx.nextTransNum = seedFromClock();
    const std::uint32_t number = ctx.nextTransNum;
    ctx.nextTransNum = number == UINT32_MAX ? 1 : number + 1;
    return number;
}
