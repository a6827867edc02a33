#pragma once
// The one process-wide record of a recovery. The program keeps one for its
// lifetime; tests build their own. It composes the state each layer owns:
// the command line and the main loop's here, the store file and its cursor
// (storefile/), the forwarding bookkeeping (forward/).
#include <cstdint>
#include <memory>
#include <string>

#include "forward/forward_state.h"
#include "msglib/records.h"
#include "storefile/skip_log.h"
#include "storefile/store_file.h"

struct RecoverContext {
    // Command line.
    char serviceName[32] = {};
    std::string storeFileName;
    std::int32_t sendTimeout = 50;
    bool dumpMode = false;
    bool nodeRedirect = false;
    char redirectNodeName[34] = {};

    // Main loop.
    AddressRecord selfAddress = {};
    bool stopRequested = false;  // a SHUT request, or the last message acknowledged

    StoreFile store;
    ForwardState forward;
    // Logs and counts what the cursor steps over; made when the file is opened.
    std::unique_ptr<SkipLog> skipLog;
};

// The recovery ends when any layer has asked it to.
inline bool recoveryStopping(const RecoverContext& ctx) {
    return ctx.stopRequested || ctx.store.stopRequested || ctx.forward.stopRequested;
}

// Stored data could not be read on, or the header could not be written or
// synced: the run ends without the end-of-file notice and with a failure code.
inline bool recoveryFaulted(const RecoverContext& ctx) { return ctx.store.faulted || ctx.forward.dataUnreadable; }
