#include "platform/broken_pipe.h"

namespace platform {

// Windows has no SIGPIPE: a write to a closed pipe fails (EPIPE, EINVAL) and
// the program goes on.
bool ignoreBrokenPipe() { return true; }

}  // namespace platform
