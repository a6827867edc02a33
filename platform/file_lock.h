#pragma once
// An exclusive lock on a region of an open file, for the store file's lock
// step: it belongs to the open file, not to its name, so a second process
// that reaches the same file through another path (a link, another
// extension) waits for it too. Over POSIX it is an open-file-description
// record lock, which neither conflicts with flock locks nor is dropped when
// another descriptor of the process closes the file.
#include <cstdint>

namespace platform {

// Locks [0, length) of the file, waiting while another open holds it; the
// first wait is announced once on standard error with the path. 0, or the
// errno of the failure (a stop signal during the wait gives EINTR).
int lockFileRegion(int handle, const char* path, std::int64_t length);
// 0, or the errno of the failure.
int unlockFileRegion(int handle, std::int64_t length);

}  // namespace platform
