#pragma once
// Configuration by environment.
//   ZENTO_HOME  root of sockets, logs and locks; default /tmp/zento-<uid>.
//   ZENTO_NODE  the local node name; default the host name.
#include <string>

namespace platform {
// Created (mode 0700) on first use, with its subdirectory when one is named.
std::string zentoHome();
std::string zentoHomeDir(const char* subdirectory);
std::string zentoNode();
}  // namespace platform

using platform::zentoHome;
using platform::zentoNode;
