#include "snf/snf_text.h"

#include <limits>
#include <string>

#include "msglib/msglib.h"
#include "platform/registry.h"
#include "platform/windows_errors.h"

void logRegistryFault(const char* tag, std::int32_t error) {
    if (error == platform::kErrorSuccess || error == platform::kErrorFileNotFound) return;
    const std::string reason = platform::registryFailureReason();
    if (!reason.empty()) KernelDebugLog("[%s] [%s]", tag, reason.c_str());
}

int megabytesOf(std::int64_t bytes) {
    const std::int64_t quotient = bytes / 1048576;
    if (quotient > std::numeric_limits<int>::max()) return std::numeric_limits<int>::max();
    if (quotient < std::numeric_limits<int>::min()) return std::numeric_limits<int>::min();
    return static_cast<int>(quotient);
}
