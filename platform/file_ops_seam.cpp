// The seam every file call goes through, the same on every system: the
// installed table, and the thread's last Windows-style error.
#include "platform/file_ops.h"

namespace platform {

namespace {

const FileOps* gInstalled = nullptr;  // nullptr: the system's own calls
thread_local std::uint32_t tLastSystemError = 0;

}  // namespace

const FileOps& fileOps() { return gInstalled != nullptr ? *gInstalled : systemFileOps(); }

void installFileOps(const FileOps* ops) { gInstalled = ops; }

std::uint32_t lastSystemError() { return tLastSystemError; }

void setLastSystemError(std::uint32_t code) { tLastSystemError = code; }

}  // namespace platform
