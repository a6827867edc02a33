#pragma once
// The end-of-file notice: a GET reply for the pseudo tag "STOREFILEISEMPTY",
// sent once to the destination of the forwarded messages to tell it that the
// store file is empty. Failures are logged and left in the caller's block.
#include "msglib/status_block.h"

#include "forward/forward_state.h"

struct StoreFile;

void sendEndOfFileNotice(ForwardState& fwd, const StoreFile& store, StatusBlock& status);
