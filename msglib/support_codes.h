#pragma once
// Library codes (facility 9, kFacilityLibrary) of the calls the
// store-and-forward tasks use beside the recovery's.
#include <cstdint>

namespace supportcode {
constexpr std::int32_t kBodyTooLarge = 9050;  // a notification body would not fit in 31 bits
}  // namespace supportcode
