#pragma once
// Why a recovery could not start, in one line an operator can act on: what
// is wrong and what to do. The status entries on standard output give the
// codes; these lines give their meaning.
#include <string>
#include <string_view>

#include "msglib/status_block.h"

struct StoreFile;

// The meaning of a failed call's block: the catalogue's meaning of its own
// (last) code, and the runtime's text of its cause when there is one.
std::string statusMeaning(const StatusBlock& status);

// The registration under serviceName failed as status says.
std::string registrationFailure(std::string_view serviceName, const StatusBlock& status);

// openStoreFile returned false for store as status says (an empty file loads
// no entry).
std::string storeOpenFailure(const StoreFile& store, const StatusBlock& status);
