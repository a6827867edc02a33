#pragma once
// The zento_arec command line.
#include <cstdint>
#include <string>

struct ArecOptions {
    std::string service = "TSK_AREC";
    std::string outPath;  // empty: received messages are not kept
    bool exitOnEof = false;
    bool quiet = false;                // a line for the first forwarded message only, a count at the end
    std::uint32_t noAck = 0;           // the first N messages get no acknowledgement
    std::uint32_t ackFirst = 0;        // only the first N messages are acknowledged (0: all)
    std::uint32_t ackDelayMs = 0;
    std::uint32_t shutAfter = 0;       // 0: never
    std::uint32_t disconnectAfter = 0; // 0: never
};

enum class ArecParse { Run, Help, Version, Bad };

ArecParse parseArecOptions(int argc, const char* const* argv, ArecOptions& options, std::string& error);

extern const char* const kArecUsage;
