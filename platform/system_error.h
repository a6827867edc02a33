#pragma once
// Windows error texts (FormatMessageA, LocalFree) for the error codes the
// system logs. Codes are Windows codes; the common ones map to their texts.
#include <cstdint>
#include <optional>
#include <string>

namespace platform {

// The system text of a Windows error code, ending in CR LF as Windows gives
// it; nullopt when the code has no text (the error is then in lastSystemError()).
std::optional<std::string> systemErrorText(std::uint32_t code);

}  // namespace platform
