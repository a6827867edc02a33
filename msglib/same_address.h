#pragma once
// Whether two addresses name the same process: node names compared up to
// their domain part, service names exactly.
#include "msglib/records.h"

// 1 when both name the same node and service, else 0. At most 31 characters
// of a node name count; it is cut at its first "." that follows a character
// other than "." (leading dots stay part of the name). Service names are
// compared over at most 32 characters and never cut. Case counts.
int sameAddress(const AddressRecord& first, const AddressRecord& second);
