#pragma once
// How the transport compares node names: case-insensitively, without the
// domain part (everything from the first '.' that follows a character other
// than '.'; leading dots stay part of the name, as sameAddress treats them).
#include <string>
#include <string_view>

#include "msglib/records.h"

namespace msglib {

std::string_view nodeWithoutDomain(std::string_view node);
bool sameNode(std::string_view a, std::string_view b);

// An empty node, "localhost" or the local node name all mean this machine.
bool isLocalNode(std::string_view node, std::string_view localNode);

// A service name also names its socket file: 1 to 31 characters from
// [A-Za-z0-9_.-], not starting with '.'.
bool isServiceName(std::string_view name);

// The key under which a connection to address is cached and reused: every
// spelling of the same node and the exact service name give the same key.
std::string peerKey(const AddressRecord& address, std::string_view localNode);

}  // namespace msglib
