#pragma once
// The identity ZENTO_USR_GetApplicationID reports, kept by the registration
// calls.
#include "msglib/records.h"

namespace msglib {
// The address this process registered under; forgotten with an all-zero one.
void rememberApplicationId(const AddressRecord& self);
}  // namespace msglib
