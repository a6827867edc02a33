#pragma once
// The command line of the recovery:
//   zento_sf_recover service storeFile [timeout] [NODE nodename] [DUMP]
//   zento_sf_recover --help | --version
// The rules' texts go to standard output; warnings about words the rules
// ignore go to standard error and the log. Instead of ending the process, a
// bad command line is reported through the result so the caller decides.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

struct RecoverContext;

// Not ok with exit code 0: --help or --version was answered, nothing is to
// be done.
struct CommandLineResult {
    bool ok = true;
    int exitCode = 0;    // meaningful when !ok
    std::string reason;  // !ok: what is wrong and what to do, for standard error and the log
};

// Longest store file path accepted: the path field holds 1,028 bytes with its
// terminator. A longer path is refused rather than cut, since a cut path
// would name another file.
constexpr std::size_t kMaxStoreFileName = 1027;
constexpr std::size_t kMaxServiceName = 15;
// Optional arguments this long or longer are skipped unread.
constexpr std::size_t kMaxOptionLength = 1024;

CommandLineResult parseCommandLine(RecoverContext& ctx, int argc, const char* const* argv);
void resetRecoverState(RecoverContext& ctx, std::string_view storeFilePath);
void parseOptions(RecoverContext& ctx, int argc, const char* const* argv, int firstIndex);
char* upcaseInPlace(char* text);

// The timeout argument's value in library units: converted as atoi would
// (leading white space, a sign, digits up to the first non-digit; none give
// 0), then times ten. Values beyond 32 bits saturate instead of wrapping, so
// a huge timeout means "as long as possible".
std::int32_t timeoutUnitsOf(std::string_view text);
