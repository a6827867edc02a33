#include "tools/arec/arec_options.h"

#include <charconv>
#include <string_view>

const char* const kArecUsage =
    "usage: zento_arec [--service NAME] [--out FILE] [--exit-on-eof] [--quiet]\n"
    "                  [--no-ack N] [--ack-first N] [--ack-delay-ms MS]\n"
    "                  [--shut-after N] [--disconnect-after N]\n"
    "       zento_arec --help | --version\n"
    "\n"
    "Plays the destination service of a store file recovery: registers on the local\n"
    "node, prints one line per message received, and acknowledges each forwarded\n"
    "message to its sender. Prints \"ready\" once registered; ends on SIGTERM or SIGINT.\n"
    "\n"
    "  --service NAME        register under NAME (default TSK_AREC)\n"
    "  --out FILE            append every forwarded message to FILE byte for byte, as it\n"
    "                        arrived (each message starts with its length word)\n"
    "  --exit-on-eof         exit after the end-of-file notice\n"
    "  --quiet               print the line of the first forwarded message only, and\n"
    "                        \"N messages received\" when the run ends (for long runs)\n"
    "  --no-ack N            do not acknowledge the first N messages received\n"
    "  --ack-first N         acknowledge only the first N messages received, then none\n"
    "                        (a destination that stops answering)\n"
    "  --ack-delay-ms MS     send each acknowledgement MS milliseconds late (to within\n"
    "                        about a millisecond)\n"
    "  --shut-after N        answer the N-th message with SHUT instead of an acknowledgement\n"
    "  --disconnect-after N  send DISCONNECT after the N-th message, then acknowledge it\n"
    "\n"
    "Exit codes: 0 after the end-of-file notice or a signal, 1 when registration or\n"
    "FILE fails, 2 bad usage.\n";

namespace {

bool parseNumber(std::string_view text, std::uint32_t& value) {
    if (text.empty()) return false;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc{} && end == text.data() + text.size();
}

}  // namespace

ArecParse parseArecOptions(int argc, const char* const* argv, ArecOptions& options, std::string& error) {
    options = ArecOptions{};
    for (int i = 1; i < argc; ++i) {
        const std::string_view name = argv[i];
        if (name == "--help" || name == "-h") return ArecParse::Help;
        if (name == "--version") return ArecParse::Version;
        if (name == "--exit-on-eof") {
            options.exitOnEof = true;
            continue;
        }
        if (name == "--quiet") {
            options.quiet = true;
            continue;
        }
        std::uint32_t* number = nullptr;
        if (name == "--no-ack") {
            number = &options.noAck;
        } else if (name == "--ack-first") {
            number = &options.ackFirst;
        } else if (name == "--ack-delay-ms") {
            number = &options.ackDelayMs;
        } else if (name == "--shut-after") {
            number = &options.shutAfter;
        } else if (name == "--disconnect-after") {
            number = &options.disconnectAfter;
        } else if (name != "--service" && name != "--out") {
            error = "unknown option '" + std::string(name) + "'";
            return ArecParse::Bad;
        }
        if (i + 1 >= argc) {
            error = std::string(name) + " needs a value";
            return ArecParse::Bad;
        }
        const std::string_view value = argv[++i];
        if (number != nullptr) {
            if (!parseNumber(value, *number)) {
                error = std::string(name) + " takes a whole number, not '" + std::string(value) + "'";
                return ArecParse::Bad;
            }
        } else if (name == "--service") {
            // A service name is a NUL-terminated field of 32 bytes.
            if (value.empty() || value.size() > 31) {
                error = "--service takes a name of 1 to 31 characters";
                return ArecParse::Bad;
            }
            options.service = std::string(value);
        } else {
            if (value.empty()) {
                error = "--out needs a file name";
                return ArecParse::Bad;
            }
            options.outPath = std::string(value);
        }
    }
    return ArecParse::Run;
}
