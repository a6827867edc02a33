// The seam of the replacing rename, the same on every system.
#include "platform/file_replace.h"

#include <cerrno>

namespace platform {

namespace {

const ReplaceOps* gReplaceOps = nullptr;  // nullptr: the system's own calls

const ReplaceOps& replaceOps() { return gReplaceOps != nullptr ? *gReplaceOps : systemReplaceOps(); }

}  // namespace

void installReplaceOps(const ReplaceOps* ops) { gReplaceOps = ops; }

int replaceFile(const char* from, const char* to) {
    if (from == nullptr || to == nullptr) return EINVAL;
    return replaceOps().replace(from, to);
}

int syncDirectory(const char* directory) {
    if (directory == nullptr) return EINVAL;
    return replaceOps().syncDirectory(directory);
}

}  // namespace platform
