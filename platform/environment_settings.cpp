// The settings read from the environment that mean the same on every system.
#include "platform/environment.h"

#include <cstdlib>
#include <string_view>

namespace platform {

bool diagnosticsRequested() {
    const char* configured = std::getenv("ZENTO_DIAG");
    const std::string_view value = configured != nullptr ? configured : "";
    return value.size() == 2 && (value[0] | 0x20) == 'o' && (value[1] | 0x20) == 'n';
}

StoreSync storeSyncPolicy() {
    const char* configured = std::getenv("ZENTO_SF_SYNC");
    if (configured != nullptr && std::string_view(configured) == "message") return StoreSync::EveryMessage;
    return StoreSync::AtClose;
}

}  // namespace platform
