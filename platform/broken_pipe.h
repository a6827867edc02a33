#pragma once
// A process whose standard output is a pipe that closed early (`| head`)
// would be killed by SIGPIPE at its next write. The programs rather see the
// write fail and go on: a recovery cut short between a send and the header
// write-back would send that message once more on its next run.
namespace platform {

// Writes to a closed pipe or socket then fail with EPIPE instead of ending
// the process. False when the disposition could not be changed.
bool ignoreBrokenPipe();

}  // namespace platform
