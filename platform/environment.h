#pragma once
// Configuration by environment.
//   ZENTO_HOME  root of sockets, logs and locks; default /tmp/zento-<uid>.
//   ZENTO_NODE  the local node name; default the host name.
//   ZENTO_SF_SYNC  "message": sync the store file's header to the disk after
//               every removal of an acknowledged message; anything else (the
//               default): sync once, when the store file is closed.
//   ZENTO_DIAG  "on" (any case): task diagnostics on from the start.
#include <string>

namespace platform {
// Each call reads the environment again. ZENTO_HOME and ZENTO_NODE cannot
// change during a run, so the code that runs one (a registration) reads them
// once and keeps what it read.
// Created (mode 0700) on first use, with its subdirectory when one is named.
std::string zentoHome();
std::string zentoHomeDir(const char* subdirectory);
std::string zentoNode();

// Whether ZENTO_DIAG asks for task diagnostics; read on every call, as the
// diagnostic switch looks again now and then.
bool diagnosticsRequested();

enum class StoreSync { AtClose, EveryMessage };
// Read on every call, so a test may change it between recoveries.
StoreSync storeSyncPolicy();
}  // namespace platform

using platform::zentoHome;
using platform::zentoNode;
